#pragma once

#include "history/upgrade_history_repository.h"

#include <cstdint>
#include <string>

namespace ota::bench
{

// A busy site's history: `records` finished four-device tasks with snapshot, state and report
// (about 8.5 KiB each in the history's answer), numbered from 1.
bool fillHistory(ota::backend::CUpgradeHistoryRepository& repository, std::string& error,
                 std::uint32_t records = 10'000);

}  // namespace ota::bench
