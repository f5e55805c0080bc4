#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ota::backend
{

// One row of upgrade_history as read back. NULL texts read as empty; NULL completion fields as absent.
struct S_UpgradeHistoryRecord
{
    std::uint32_t upgradeNo = 0;
    std::string upgradeId;
    std::int64_t startedAt = 0;
    std::int64_t updatedAt = 0;
    std::optional<std::int64_t> completedAt;
    std::string status;
    std::string snapshotJson;
    std::string stateJson;
    std::optional<std::string> reportJson;
    bool isFinal = false;
};

// The preview's row: the immutable task snapshot.
struct S_TaskSnapshotWrite
{
    std::uint32_t upgradeNo = 0;
    std::string upgradeId;
    std::int64_t startedAt = 0;
    std::int64_t updatedAt = 0;
    std::string status;
    std::string snapshotJson;
};

// The latest execution state of a running task.
struct S_RunningStateWrite
{
    std::uint32_t upgradeNo = 0;
    std::int64_t updatedAt = 0;
    std::string status;
    std::string stateJson;
};

// The final report; the row becomes immutable.
struct S_FinalReportWrite
{
    std::uint32_t upgradeNo = 0;
    std::int64_t updatedAt = 0;
    std::int64_t completedAt = 0;
    std::string status;
    std::string reportJson;
};

}  // namespace ota::backend
