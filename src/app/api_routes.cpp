#include "app/api_routes.h"

#include "app/application_state.h"
#include "app/approval_routes.h"
#include "app/audit_chain_report.h"
#include "app/baseline_routes.h"
#include "app/console_assets.h"
#include "app/device_routes.h"
#include "app/firmware_store_routes.h"
#include "app/health_report.h"
#include "app/metrics_routes.h"
#include "app/rollout_routes.h"
#include "app/scene_reload.h"
#include "app/site_hold_routes.h"
#include "app/system_capacity.h"
#include "app/task_retry_route.h"
#include "app/upgrade_routes.h"
#include "common/console_log.h"

namespace ota::backend
{

S_ApiCallbacks buildApiCallbacks(CBackendApplication::S_Impl& app)
{
    S_ApiCallbacks callbacks;

    callbacks.health = [&app](std::string& response, std::string& error)
    {
        error.clear();
        S_HealthInputs inputs;
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        const scenario::S_WorkspaceSnapshot snapshot = app.workspace.snapshot();
        inputs.topologyConfigured = snapshot.topologyConfigured();
        inputs.sceneGeneration = app.sceneGeneration;
        inputs.directDeviceCount = snapshot.directDeviceCount();
        inputs.historyPersistence = app.historyRepository.isOpen();
        inputs.deviceTcp = app.deviceTcpManager->getStatusSummary();
        response = buildHealthJson(app.config, inputs);
        return true;
    };

    callbacks.systemCapacity = [](std::string& response, std::string& error)
    {
        error.clear();
        response = buildSystemCapacityJson(readSystemCapacity());
        return true;
    };

    callbacks.workspace = [&app](std::string& response, std::string& error)
    {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        return scenario::buildWorkspaceJson(app.workspace.snapshot(), app.sceneGeneration, "WORKSPACE_READ",
                                            response, error);
    };

    callbacks.sceneReload = [&app](std::string& response, std::string& error)
    { return reloadScene(app, response, error); };
    callbacks.staticAssets = findConsoleAsset;
    callbacks.firmwareInspect = [&app](const std::string& request, std::string& response, std::string& error)
    {
        consoleOut("[FIRMWARE] Inspect request received");
        if (!app.taskService.inspectFirmware(request, response, error))
        {
            consoleErr("[FIRMWARE] File inspection rejected: " + error);
            return false;
        }
        consoleOut("[FIRMWARE] File inspection completed");
        return true;
    };
    // The history routes need to know whether a task runs (or a rollout holds the site, between its
    // tasks) and which one is prepared.
    const auto activity = [&app]
    {
        S_HistoryTaskActivity current;
        current.taskActive = app.executionService.isTaskActive() || app.rollouts.holdsSite();
        current.rolloutUnfinished = app.rollouts.hasOpenRollout();
        if (const UpgradeTaskSnapshotPtr snapshot = app.taskService.currentSnapshot())
        {
            current.preparedUpgradeNo = snapshot->upgradeNo;
        }
        return current;
    };
    callbacks.upgradeHistory = [&app, activity](std::string& response, std::string& error)
    {
        std::lock_guard<std::mutex> operationLock(app.upgradeOperationMutex);
        std::uint64_t sceneGeneration = 0;
        {
            std::lock_guard<std::mutex> lock(app.applicationMutex);
            sceneGeneration = app.sceneGeneration;
        }
        return readHistory(app.historyRepository, app.historyCache, app.config.historyRetentionDays,
                           sceneGeneration, activity(), response, error) &&
               (!app.config.approvals || addUpgradeActors(app.upgradeActors, response, error));
    };
    callbacks.upgradeHistoryPage =
        [&app, activity](const S_HistoryPageQuery& query, std::string& response, std::string& error)
    {
        std::lock_guard<std::mutex> operationLock(app.upgradeOperationMutex);
        std::uint64_t sceneGeneration = 0;
        {
            std::lock_guard<std::mutex> lock(app.applicationMutex);
            sceneGeneration = app.sceneGeneration;
        }
        const S_HistoryPage page{query.limit, query.before};
        return readHistoryPage(app.historyRepository, app.historyCache, app.config.historyRetentionDays,
                               sceneGeneration, activity(), &page, response, error) &&
               (!app.config.approvals || addUpgradeActors(app.upgradeActors, response, error));
    };
    callbacks.upgradeHistoryClear = [&app, activity](std::string& response, std::string& error)
    {
        std::lock_guard<std::mutex> operationLock(app.upgradeOperationMutex);
        if (!clearHistory(app.historyRepository, activity(), response, error))
        {
            return false;
        }
        std::string pruneError;
        if (app.config.approvals && !app.upgradeActors.prune(pruneError))
        {
            consoleErr("[WARN] [HISTORY] Cannot drop the actors of cleared tasks: " + pruneError);
        }
        // Finished rollouts go with the finished tasks they ran.
        std::uint32_t rollouts = 0;
        std::string rolloutError;
        if (!app.rollouts.deleteFinished(rollouts, rolloutError))
        {
            consoleErr("[WARN] [ROLLOUT] Finished rollouts cannot be cleared: " + rolloutError);
        }
        else if (rollouts > 0)
        {
            consoleOut("[ROLLOUT] Cleared " + std::to_string(rollouts) + " finished rollout(s)");
        }
        return true;
    };
    const S_UpgradeRouteServices services = upgradeRouteServicesOf(app);
    addUpgradeRoutes(services, callbacks);
    addTaskRetryRoute(services, callbacks);
    addRolloutRoutes(app, services, callbacks);
    if (app.config.approvals)
    {
        addApprovalRoutes(app, services, callbacks);
    }
    addDeviceRoutes(app, callbacks);
    addSiteHoldRoutes(app, services, callbacks);
    addFirmwareStoreRoutes(
        app.firmwareStore, [&app] { return app.taskService.firmwareTrust(); }, callbacks);
    addBaselineRoutes(app, callbacks);
    callbacks.accessControl = app.accessControl;
    callbacks.auditTrail = app.auditTrail;
    callbacks.metrics = makeMetricsHandler(app);
    callbacks.auditList = [&app](std::uint32_t limit, std::int64_t before, std::string& response,
                                 std::string& error) {
        return readAuditPage(app.auditStore, app.config.historyRetentionDays, limit, before, response, error);
    };
    callbacks.auditVerify = [&app](std::string& response, std::string& error)
    { return readAuditChainReport(app.auditStore.databasePath(), response, error); };
    return callbacks;
}

S_UpgradeRouteServices upgradeRouteServicesOf(CBackendApplication::S_Impl& app)
{
    S_UpgradeRouteServices services{
        app.upgradeOperationMutex, app.applicationMutex, app.sceneGeneration,  app.workspace,
        app.deviceTcpManager,      app.taskService,      app.executionService, app.historyRepository};
    services.rolloutHoldsSite = [&app] { return app.rollouts.holdsSite(); };
    services.startApproval = app.startApproval.get();
    services.upgradeActors = app.config.approvals ? &app.upgradeActors : nullptr;
    services.abortAccepted = [&app](std::uint32_t upgradeNo) { app.rollouts.onOperatorAbort(upgradeNo); };
    services.siteHeld = [&app](std::string& message)
    {
        const std::vector<S_SiteHold> holds = app.siteHolds.list();
        if (holds.empty())
        {
            return false;
        }
        message = siteHeldMessage(holds);
        return true;
    };
    return services;
}

}  // namespace ota::backend
