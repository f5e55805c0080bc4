#pragma once

#include "firmware/upgrade_task_snapshot.h"

#include <nlohmann/json.hpp>

#include <string>

namespace ota::backend
{

// The snapshot as the preview returns it and the history stores it: counts, the files as the
// inspection reports them, and every target with its node path.
nlohmann::json snapshotToJson(const S_UpgradeTaskSnapshot& snapshot);

// The same document as canonical JSON text; fails (text left empty) only when a text member is
// not valid UTF-8.
bool snapshotToJsonText(const S_UpgradeTaskSnapshot& snapshot, std::string& text, std::string& error);

}  // namespace ota::backend
