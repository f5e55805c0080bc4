#include "app/upgrade_state_recorder.h"

#include "common/console_log.h"
#include "history/history_operations.h"

#include <exception>
#include <memory>

namespace ota::backend
{

UpgradeStateObserver makeUpgradeStateRecorder(std::mutex& stateRecordingMutex,
                                              CUpgradeHistoryRepository& repository,
                                              std::uint16_t retentionDays, CHttpApiServer& apiServer)
{
    // Guarded by the state-recording mutex like the writes it reports on.
    auto failureLog = std::make_shared<CStateWriteFailureLog>();
    return [&stateRecordingMutex, &repository, retentionDays, &apiServer,
            failureLog](const std::string& stateJson)
    {
        {
            std::lock_guard<std::mutex> lock(stateRecordingMutex);
            persistPublishedState(repository, retentionDays, stateJson, *failureLog);
        }
        try
        {
            apiServer.publishEvent("upgrade.current", stateJson);
        }
        catch (const std::exception& exception)
        {
            consoleErr(std::string("[WARN] Upgrade WebSocket event publishing failed: ") + exception.what());
        }
        catch (...)
        {
            consoleErr("[WARN] Upgrade WebSocket event publishing failed");
        }
    };
}

}  // namespace ota::backend
