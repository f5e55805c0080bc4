#pragma once

#include "api/api_callbacks.h"
#include "firmware_store/firmware_store.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ota::backend
{

class CFirmwareTrust;

// The trust in force when a route answers (none: signatures are not checked).
using FirmwareTrustSource = std::function<std::shared_ptr<const CFirmwareTrust>()>;

// The largest file a device takes: 65535 chunks of 32768 bytes.
inline constexpr std::uint64_t kMaxFirmwareUploadBytes = 65535ULL * 32768ULL;

// An entry as the API answers it; the path is usable wherever a firmware path is. With a trust the
// signature is judged now, as an inspection of the path would report it.
nlohmann::json firmwareStoreEntryJson(const S_FirmwareStoreEntry& entry,
                                      const CFirmwareTrust* trust = nullptr);

// The store's list, upload, signature and delete routes. The store must outlive the callbacks.
void addFirmwareStoreRoutes(CFirmwareStore& store, FirmwareTrustSource trustSource,
                            S_ApiCallbacks& callbacks);

}  // namespace ota::backend
