#pragma once

#include "api/api_callbacks.h"
#include "device/device_tcp_manager.h"
#include "firmware/upgrade_task_service.h"
#include "history/upgrade_history_repository.h"
#include "scenario/scene_workspace.h"
#include "upgrade/upgrade_execution_service.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ota::backend
{

class CStartApproval;
class CUpgradeActorStore;

// What the upgrade routes use of the application. The references stay valid for the life of the
// application; deviceTcpManager and sceneGeneration are read only under applicationMutex.
struct S_UpgradeRouteServices
{
    std::mutex& upgradeOperationMutex;
    std::mutex& applicationMutex;
    const std::uint64_t& sceneGeneration;
    const scenario::CSceneWorkspace& workspace;
    const std::unique_ptr<CDeviceTcpManager>& deviceTcpManager;
    CUpgradeTaskService& taskService;
    CUpgradeExecutionService& executionService;
    CUpgradeHistoryRepository& historyRepository;
    // Optional: true while a rollout holds the site; other tasks are then neither previewed nor
    // started ("A rollout is in progress").
    std::function<bool()> rolloutHoldsSite = nullptr;
    // Optional: told of every abort the execution service accepted.
    std::function<void(std::uint32_t upgradeNo)> abortAccepted = nullptr;
    // Optional: true while the site is held, with the refusal's message; no task starts then.
    std::function<bool(std::string& message)> siteHeld = nullptr;
    // Optional: a previewed task starts only once someone other than who previewed it approved it.
    CStartApproval* startApproval = nullptr;
    // Optional: who previewed, started and aborted each task (the routes' acting user) is recorded.
    CUpgradeActorStore* upgradeActors = nullptr;
};

// POST /api/v1/upgrades/preview, POST /api/v1/upgrades/start, POST /api/v1/upgrades/:upgradeNo/abort
// and GET /api/v1/upgrades/current.
void addUpgradeRoutes(const S_UpgradeRouteServices& services, S_ApiCallbacks& callbacks);

// What a preview checks targets against: the workspace's topology (empty when none is loaded), its
// revision and the devices' last reported status, copied under the application mutex.
struct S_SiteView
{
    std::shared_ptr<const scenario::S_SceneTopology> topology;
    std::uint64_t sceneGeneration = 0;
    std::vector<S_CommunicationNodeStatus> statuses;
};
S_SiteView readSiteView(const S_UpgradeRouteServices& services);

// What else a preview checks, and for whom it runs.
struct S_TaskPreviewOptions
{
    // Files whose SHA-256 must not have changed (a retry, a rollout's group).
    const S_ExpectedFileDigests* expectedDigests = nullptr;
    // A rollout's own task: the rollout gate does not apply to it.
    bool rolloutTask = false;
};

// Why previewTaskLocked refused, beside its message.
struct S_TaskPreviewRefusal
{
    S_PreviewRefusal preview;     // the task service's refusal
    bool upgradeIdTaken = false;  // the history holds the identifier
};

// The preview route's work (checks, preview, history row, log lines); the caller holds the
// upgrade-operation mutex.
bool previewTaskLocked(const S_UpgradeRouteServices& services, const std::string& request,
                       const S_TaskPreviewOptions& options, std::string& response, std::string& error,
                       S_TaskPreviewRefusal* refusal = nullptr);
// After an operator's preview (the preview route's, a retry's): records who previewed it and, where
// starts need approval, makes it await one (the answer gains snapshotDigest and previewedBy).
void recordOperatorPreview(const S_UpgradeRouteServices& services, std::string& response);
// The start route's work for the current snapshot; the caller holds the upgrade-operation mutex.
// siteHeld (optional) is set when the refusal is the site's holds'.
// taskOptions: what the task asks of the engine beyond its options (a rollout's per-type caps).
bool startTaskLocked(const S_UpgradeRouteServices& services, bool rolloutTask, std::string& response,
                     std::string& error, bool* siteHeld = nullptr,
                     const S_UpgradeTaskOptions& taskOptions = {});
// Aborts the running task, if any, as the abort route does; the caller holds the upgrade-operation
// mutex or knows no start can race it (a start re-checks the holds once it has started).
void abortRunningTask(const S_UpgradeRouteServices& services, const std::string& why);

}  // namespace ota::backend
