#include "app/metrics_routes.h"

#include "app/application_state.h"
#include "app/metrics_report.h"

namespace ota::backend
{

MetricsHandler makeMetricsHandler(CBackendApplication::S_Impl& app)
{
    return [&app]
    {
        S_MetricsFigures figures;
        figures.version = OTA_BUILD_VERSION;
        {
            std::lock_guard<std::mutex> lock(app.applicationMutex);
            figures.devices = app.deviceTcpManager->getMetrics();
        }
        if (const ExecutionStatePtr state = app.executionService.getCurrentStateSnapshot())
        {
            figures.upgradeActive = state->active;
            for (const S_DeviceExecutionState& device : state->devices)
            {
                const auto result = static_cast<std::size_t>(device.result);
                if (result < figures.upgradeDevices.size())
                {
                    ++figures.upgradeDevices[result];
                }
            }
        }
        figures.engine = app.executionService.getMetrics();
        figures.rolloutActive = app.rollouts.holdsSite();
        figures.newestRolloutStatus = app.rollouts.newestRolloutStatus();
        figures.siteHolds = app.siteHolds.list().size();
        figures.baseline = app.baselines.summary();
        figures.rolloutStoreFailures = app.rollouts.storeFailures();
        figures.historyWriteFailures = app.stateWriteFailures->totalFailures();
        figures.auditWriteFailures = app.auditTrail->writeFailures();
        figures.apiRequests = app.apiServer.requestCounts();
        figures.eventStreamClients = app.apiServer.eventClientCount();
        figures.process = readProcessStats();
        return renderMetrics(figures);
    };
}

}  // namespace ota::backend
