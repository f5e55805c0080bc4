#include "app/upgrade_state_recorder.h"

#include "app/upgrade_device_events.h"
#include "common/console_log.h"
#include "history/published_state_writer.h"

#include <exception>
#include <memory>

namespace ota::backend
{

UpgradeStateSnapshotObserver makeUpgradeStateRecorder(std::mutex& stateRecordingMutex,
                                                      CUpgradeHistoryRepository& repository,
                                                      std::uint16_t retentionDays, CHttpApiServer& apiServer,
                                                      std::shared_ptr<CStateWriteFailureLog> failureLog)
{
    // Both guarded by the state-recording mutex like the writes they serve (the log's count is atomic).
    auto writer = std::make_shared<CPublishedStateWriter>();
    auto deviceEvents = std::make_shared<CUpgradeDeviceEvents>(
        [&apiServer](const std::string& dataJson)
        { apiServer.publishCanonicalEvent("upgrade.devices", dataJson); },
        [](const std::string& line) { consoleErr(line); });
    // The publisher calls one observer at a time: the renderer is its alone.
    auto renderer = std::make_shared<CExecutionStateRenderer>();
    return [&stateRecordingMutex, &repository, retentionDays, &apiServer, failureLog, writer, deviceEvents,
            renderer](const ExecutionStatePtr& state)
    {
        // Rendered once: the same text goes into the history row and out to the event stream. A
        // state that cannot be rendered is reported by the engine as an observer failure.
        std::string stateJson;
        renderer->render(state, stateJson);
        {
            std::lock_guard<std::mutex> lock(stateRecordingMutex);
            writer->persist(repository, retentionDays, state, stateJson, *failureLog);
        }
        try
        {
            apiServer.publishCanonicalEvent("upgrade.current", stateJson);
        }
        catch (const std::exception& exception)
        {
            consoleErr(std::string("[WARN] Upgrade WebSocket event publishing failed: ") + exception.what());
        }
        catch (...)
        {
            consoleErr("[WARN] Upgrade WebSocket event publishing failed");
        }
        deviceEvents->offer(state);
    };
}

}  // namespace ota::backend
