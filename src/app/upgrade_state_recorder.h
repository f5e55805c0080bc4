#pragma once

#include "api/http_api_server.h"
#include "history/history_operations.h"
#include "history/upgrade_history_repository.h"
#include "upgrade/upgrade_execution_service.h"

#include <cstdint>
#include <memory>
#include <mutex>

namespace ota::backend
{

// The execution service's state observer: renders every published execution state once, records
// it in the history (typed, under the state-recording mutex, so the repository is never closed under
// a write), then broadcasts the same text as "upgrade.current" whether or not recording succeeded,
// and the devices that changed as "upgrade.devices" (upgrade_device_events.h).
// While the history cannot be written, each task and status reports its failed writes once. Runs on
// the service's notification thread; throws only when the state cannot be rendered.
// failureLog: where failed writes are reported and counted (shared with whoever shows the count).
UpgradeStateSnapshotObserver makeUpgradeStateRecorder(
    std::mutex& stateRecordingMutex, CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
    CHttpApiServer& apiServer,
    std::shared_ptr<CStateWriteFailureLog> failureLog = std::make_shared<CStateWriteFailureLog>());

}  // namespace ota::backend
