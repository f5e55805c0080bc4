#include "app/scene_reload.h"

#include "app/application_state.h"
#include "app/service_options.h"
#include "app/system_capacity.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "scenario/topology_file_loader.h"

#include <exception>
#include <memory>
#include <utility>

namespace ota::backend
{

namespace
{

const char* const kWorkspaceRemains = "current workspace remains active: ";

// Binds the execution service to the manager that stays current after a failed reload. A failure
// here is appended to the reload's error: the operator must know the service is not bound.
void restoreExecutionService(CBackendApplication::S_Impl& app, const S_UpgradeExecutionOptions& options,
                             std::string& error)
{
    std::string restoreError;
    if (!app.executionService.start(*app.deviceTcpManager, options, restoreError))
    {
        error += "; failed to restore the execution service on the current TCP manager: " + restoreError;
    }
}

void stopPreviousManager(std::unique_ptr<CDeviceTcpManager> previous)
{
    try
    {
        previous->stop();
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[SCENE] Previous device TCP manager cleanup failed after replacement: ") +
                   exception.what());
    }
    catch (...)
    {
        consoleErr("[SCENE] Previous device TCP manager cleanup failed after replacement");
    }
}

}  // namespace

// Lock order: upgradeOperationMutex and sceneOperationMutex together (so no preview, start, abort,
// history operation, reconnect or frame capture switch runs meanwhile), then applicationMutex only
// to read the current state and to commit. Only this function replaces deviceTcpManager, and it
// holds sceneOperationMutex while doing so, so reading the pointer here without applicationMutex
// is safe; every other reader takes applicationMutex.
bool reloadScene(CBackendApplication::S_Impl& app, std::string& response, std::string& error)
{
    std::scoped_lock operationLocks(app.upgradeOperationMutex, app.sceneOperationMutex);
    response.clear();
    error.clear();
    consoleOut("[SCENE] Reload requested");

    // Between a rollout's tasks the site is held as during one.
    if (app.executionService.isTaskActive() || app.rollouts.holdsSite())
    {
        error = "An upgrade is active; the scene cannot be reloaded";
        consoleErr("[SCENE] Reload rejected; current workspace remains active: " + error);
        return false;
    }
    if (app.topologyPath.empty())
    {
        error = "Topology file path is not configured";
        consoleErr("[SCENE] Reload failed; current workspace remains active: " + error);
        return false;
    }
    scenario::S_SceneTopology topology;
    if (scenario::loadTopologyFile(app.topologyPath, topology, error) !=
        scenario::E_TopologyLoadResult::LOADED)
    {
        consoleErr("[SCENE] Reload failed; current workspace remains active: " + error);
        return false;
    }

    std::uint64_t candidateGeneration = 0;
    bool frameCaptureEnabled = false;
    {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        candidateGeneration = app.sceneGeneration + 1;
        frameCaptureEnabled = app.deviceTcpManager->isFrameCaptureEnabled();
    }

    const std::int64_t loadedAt = currentUnixMs();
    const scenario::S_WorkspaceSnapshot candidate{
        std::make_shared<const scenario::S_SceneTopology>(std::move(topology)), loadedAt};
    std::string candidateResponse;
    if (!scenario::buildWorkspaceJson(candidate, candidateGeneration, "SCENE_RELOAD", candidateResponse,
                                      error))
    {
        consoleErr(std::string("[SCENE] Reload validation failed; ") + kWorkspaceRemains + error);
        return false;
    }

    auto manager = std::make_unique<CDeviceTcpManager>();
    manager->setFrameCaptureEnabled(frameCaptureEnabled);

    const S_UpgradeExecutionOptions options =
        buildExecutionOptions(app.config, recommendDeviceConcurrency(readSystemCapacity()));
    app.executionService.stop();
    if (!app.executionService.start(*manager, options, error))
    {
        manager->stop();
        restoreExecutionService(app, options, error);
        consoleErr(std::string("[SCENE] Reload failed while binding the candidate execution service; ") +
                   kWorkspaceRemains + error);
        return false;
    }

    if (app.config.deviceTcpEnabled && candidate.directDeviceCount() > 0 &&
        !manager->start(*candidate.topology, buildDeviceTcpOptions(app.config), error))
    {
        app.executionService.stop();
        manager->stop();
        restoreExecutionService(app, options, error);
        consoleErr("[SCENE] New device TCP manager start failed; workspace was not changed: " + error);
        return false;
    }

    std::unique_ptr<CDeviceTcpManager> previous;
    {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        previous = std::exchange(app.deviceTcpManager, std::move(manager));
        app.workspace.replaceTopology(candidate.topology, loadedAt);
        app.sceneGeneration = candidateGeneration;
    }
    // Outside the application mutex: its close barrier may take seconds, and nothing else can
    // reach the previous manager any more.
    stopPreviousManager(std::move(previous));

    consoleOut("[SCENE] Reload completed\n[SCENE] Direct device count: " +
               std::to_string(candidate.directDeviceCount()) +
               "\n[SCENE] Workspace loaded at: " + formatLocalTime(loadedAt));
    response = std::move(candidateResponse);
    return true;
}

bool CBackendApplication::reloadScene(std::string& response, std::string& error)
{
    return ota::backend::reloadScene(*m_impl, response, error);
}

}  // namespace ota::backend
