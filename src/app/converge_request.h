#pragma once

#include "baseline/baseline_types.h"
#include "firmware_store/firmware_store_entry.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace ota::backend
{

// The stored file labelled with a component type and version; none when no entry carries the label.
using StoredFirmwareLookup = std::function<std::optional<std::filesystem::path>(
    const S_FirmwareStoreLabel& label, std::string& error)>;

// POST /api/v1/rollouts/converge as the rollouts route takes it: the request's rolloutId and
// policy, with the targets and files that bring every drifted component of the report back to
// its baseline version, each from the stored file labelled with its type and that version.
// False with the message when nothing drifts, a file is missing (every missing one named) or
// the request carries members of its own for the targets or files. A body that is not a JSON
// object is passed on as it came, for the rollouts route's own refusal.
bool buildConvergeRequest(const std::string& requestJson, const S_BaselineReport& report,
                          const StoredFirmwareLookup& storedFile, std::string& rolloutJson,
                          std::string& error);

}  // namespace ota::backend
