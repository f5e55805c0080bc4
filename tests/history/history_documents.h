#pragma once

#include "history/upgrade_history_record.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace ota::test
{

// Documents that satisfy the history record contract, for tests, the crash writer and benchmarks.

// "T" + the number: the identifier the tests give task N (built without operator+, which g++ 12
// misreports under -O3 with -Wrestrict).
std::string taskId(std::uint32_t upgradeNo);

// A task snapshot with one target per device ("node1", "node2", ...) under one container.
nlohmann::json makeSnapshotDocument(std::uint32_t upgradeNo, const std::string& upgradeId, std::size_t deviceCount = 1);

// A RUNNING execution state with every key of the published document; devices PENDING.
nlohmann::json makeStateDocument(std::uint32_t upgradeNo, const std::string& upgradeId, std::size_t deviceCount = 1,
                                 std::int64_t startedAt = 1'700'000'000'000);

// Marks every device completed with the result and the task ended with the status.
void finishStateDocument(nlohmann::json& state, const std::string& status, const std::string& deviceResult,
                         std::int64_t finishedAt);

// Recomputes completedCount and the result counts from the devices.
void recountStateDocument(nlohmann::json& state);

// The preview row of a task.
ota::backend::S_TaskSnapshotWrite makeSnapshotWrite(std::uint32_t upgradeNo, const std::string& upgradeId,
                                                    std::int64_t startedAt, std::size_t deviceCount = 1);

}  // namespace ota::test
