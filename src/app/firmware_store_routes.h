#pragma once

#include "api/api_callbacks.h"
#include "firmware_store/firmware_store.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

// An entry as the API answers it; the path is usable wherever a firmware path is.
nlohmann::json firmwareStoreEntryJson(const S_FirmwareStoreEntry& entry);

// The store's list and delete routes. The store must outlive the callbacks.
void addFirmwareStoreRoutes(CFirmwareStore& store, S_ApiCallbacks& callbacks);

}  // namespace ota::backend
