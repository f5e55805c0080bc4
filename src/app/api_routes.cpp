#include "app/api_routes.h"

#include "app/application_state.h"
#include "app/device_routes.h"
#include "app/health_report.h"
#include "app/system_capacity.h"
#include "common/console_log.h"

namespace ota::backend
{
namespace
{

// A route whose service has not been built into this version of the backend yet.
JsonHandler unavailable(const char* service)
{
    return [service](std::string& response, std::string& error) {
        response.clear();
        error = std::string(service) + " is not available yet in this backend version";
        return false;
    };
}

[[maybe_unused]] JsonBodyHandler unavailableWithBody(const char* service)
{
    return [service](const std::string&, std::string& response, std::string& error) {
        response.clear();
        error = std::string(service) + " is not available yet in this backend version";
        return false;
    };
}

}  // namespace

S_ApiCallbacks buildApiCallbacks(CBackendApplication::S_Impl& app)
{
    S_ApiCallbacks callbacks;

    callbacks.health = [&app](std::string& response, std::string& error) {
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

    callbacks.systemCapacity = [](std::string& response, std::string& error) {
        error.clear();
        response = buildSystemCapacityJson(readSystemCapacity());
        return true;
    };

    callbacks.workspace = [&app](std::string& response, std::string& error) {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        return scenario::buildWorkspaceJson(app.workspace.snapshot(), app.sceneGeneration, "WORKSPACE_READ", response,
                                            error);
    };

    callbacks.sceneReload = unavailable("Scene reload");
    callbacks.firmwareInspect = [&app](const std::string& request, std::string& response, std::string& error) {
        consoleOut("[FIRMWARE] Inspect request received");
        if (!app.taskService.inspectFirmware(request, response, error))
        {
            consoleErr("[FIRMWARE] File inspection rejected: " + error);
            return false;
        }
        consoleOut("[FIRMWARE] File inspection completed");
        return true;
    };
    callbacks.upgradePreview = unavailableWithBody("Upgrade preview");
    callbacks.upgradeStart = unavailable("Upgrade execution");
    callbacks.upgradeAbort = [](std::uint32_t, std::string& response, std::string& error) {
        response.clear();
        error = "Upgrade execution is not available yet in this backend version";
        return false;
    };
    callbacks.currentUpgrade = unavailable("Upgrade execution");
    // No execution or task service yet: no task is active and none is prepared.
    callbacks.upgradeHistory = [&app](std::string& response, std::string& error) {
        std::lock_guard<std::mutex> operationLock(app.upgradeOperationMutex);
        std::uint64_t sceneGeneration = 0;
        {
            std::lock_guard<std::mutex> lock(app.applicationMutex);
            sceneGeneration = app.sceneGeneration;
        }
        return readHistory(app.historyRepository, app.historyCache, app.config.historyRetentionDays, sceneGeneration,
                           S_HistoryTaskActivity{}, response, error);
    };
    callbacks.upgradeHistoryClear = [&app](std::string& response, std::string& error) {
        std::lock_guard<std::mutex> operationLock(app.upgradeOperationMutex);
        return clearHistory(app.historyRepository, S_HistoryTaskActivity{}, response, error);
    };
    addDeviceRoutes(app, callbacks);
    return callbacks;
}

}  // namespace ota::backend
