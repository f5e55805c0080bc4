#include "app/upgrade_routes.h"

#include "app/start_approval.h"
#include "common/acting_user.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "firmware/upgrade_task_snapshot_json.h"
#include "history/upgrade_actor_store.h"
#include "history/upgrade_id_rule.h"

#include <exception>

namespace ota::backend
{

namespace
{

using json = nlohmann::json;

constexpr const char* kRolloutInProgress = "A rollout is in progress";

bool rejectPreview(const std::string& message, std::string& response, std::string& error)
{
    response.clear();
    error = message;
    consoleErr("[UPGRADE] Preview rejected: " + message);
    return false;
}

// The identifier must not name a task of the history already. An identifier the repository
// would refuse is left for the preview itself, which reports its format.
bool checkUpgradeIdUnused(CUpgradeHistoryRepository& repository, const std::string& requestJson,
                          std::string& error, bool& taken)
{
    taken = false;
    json request;
    std::string parseError;
    if (!parseJsonText(requestJson, request, parseError) || !request.is_object())
    {
        return true;
    }
    const auto found = request.find("upgradeId");
    if (found == request.end() || !found->is_string() || found->get_ref<const std::string&>().empty())
    {
        return true;
    }
    const std::string& upgradeId = found->get_ref<const std::string&>();
    if (!isValidUpgradeId(upgradeId))
    {
        return true;
    }
    bool exists = false;
    std::string lookupError;
    if (!repository.upgradeIdExists(upgradeId, exists, lookupError))
    {
        error = "Cannot verify upgradeId uniqueness: " + lookupError;
        return false;
    }
    if (exists)
    {
        taken = true;
        error = "UPGRADE_ID_ALREADY_EXISTS: 升级任务标识已存在，请修改后再执行";
        return false;
    }
    return true;
}

bool rolloutInProgress(const S_UpgradeRouteServices& services, bool rolloutTask)
{
    return !rolloutTask && services.rolloutHoldsSite && services.rolloutHoldsSite();
}

}  // namespace

S_SiteView readSiteView(const S_UpgradeRouteServices& services)
{
    S_SiteView site;
    std::lock_guard<std::mutex> lock(services.applicationMutex);
    site.topology = services.workspace.snapshot().topology;
    site.sceneGeneration = services.sceneGeneration;
    site.statuses = services.deviceTcpManager->getCommunicationNodeStatuses();
    return site;
}

bool previewTaskLocked(const S_UpgradeRouteServices& services, const std::string& request,
                       const S_TaskPreviewOptions& options, std::string& response, std::string& error,
                       S_TaskPreviewRefusal* refusal)
{
    response.clear();
    error.clear();
    S_TaskPreviewRefusal unused;
    S_TaskPreviewRefusal& why = refusal != nullptr ? *refusal : unused;
    why = S_TaskPreviewRefusal{};
    why.preview.kind = E_PreviewRefusalKind::REQUEST;
    consoleOut("[UPGRADE] Preview request received");
    if (services.executionService.isTaskActive())
    {
        return rejectPreview("An upgrade is active; a new preview cannot replace its task snapshot", response,
                             error);
    }
    if (rolloutInProgress(services, options.rolloutTask))
    {
        return rejectPreview(kRolloutInProgress, response, error);
    }
    std::string idError;
    if (!checkUpgradeIdUnused(services.historyRepository, request, idError, why.upgradeIdTaken))
    {
        return rejectPreview(idError, response, error);
    }
    const S_SiteView site = readSiteView(services);
    const std::uint64_t sceneGeneration = site.sceneGeneration;
    std::string previewError;
    if (!services.taskService.previewUpgrade(request, sceneGeneration, site.topology, site.statuses, response,
                                             previewError, options.expectedDigests, &why.preview))
    {
        return rejectPreview(previewError, response, error);
    }
    const UpgradeTaskSnapshotPtr snapshot = services.taskService.currentSnapshot();
    json parsed;
    std::string parseError;
    if (!snapshot || !parseJsonText(response, parsed, parseError) || !parsed.is_object() ||
        !parsed.contains("snapshot"))
    {
        response.clear();
        error = "Preview succeeded without an immutable task snapshot";
        return false;
    }
    S_TaskSnapshotWrite write;
    write.upgradeNo = snapshot->upgradeNo;
    write.upgradeId = snapshot->upgradeId;
    write.startedAt = snapshot->createdAt;
    write.updatedAt = snapshot->createdAt;
    write.status = "PREVIEW_READY";
    write.snapshotJson = toJsonText(parsed["snapshot"]);
    std::string writeError;
    if (!services.historyRepository.upsertTaskSnapshot(write, writeError))
    {
        response.clear();
        error = writeError;
        consoleErr("[UPGRADE] History snapshot write failed: " + writeError);
        return false;
    }
    consoleOut("[UPGRADE] Immutable task snapshot created for scene generation " +
               std::to_string(sceneGeneration));
    why = S_TaskPreviewRefusal{};
    return true;
}

namespace
{

bool rejectStart(const std::string& message, std::string& error)
{
    error = message;
    consoleErr("[UPGRADE] Start rejected: " + message);
    return false;
}

}  // namespace

bool startTaskLocked(const S_UpgradeRouteServices& services, bool rolloutTask, std::string& response,
                     std::string& error, bool* siteHeld, const S_UpgradeTaskOptions& taskOptions)
{
    response.clear();
    error.clear();
    consoleOut("[UPGRADE] Start request received");
    if (rolloutInProgress(services, rolloutTask))
    {
        return rejectStart(kRolloutInProgress, error);
    }
    std::string heldMessage;
    if (services.siteHeld && services.siteHeld(heldMessage))
    {
        if (siteHeld != nullptr)
        {
            *siteHeld = true;
        }
        return rejectStart(heldMessage, error);
    }
    const UpgradeTaskSnapshotPtr snapshot = services.taskService.currentSnapshot();
    if (!snapshot)
    {
        return rejectStart("No immutable upgrade task snapshot is available; preview the upgrade first",
                           error);
    }
    std::optional<S_UpgradeHistoryRecord> record;
    std::string readError;
    if (!services.historyRepository.findRecord(snapshot->upgradeNo, record, readError))
    {
        return rejectStart(readError, error);
    }
    if (!record)
    {
        return rejectStart("Upgrade history snapshot is missing; preview the upgrade again", error);
    }
    static const std::string kNotCurrentTask = "Upgrade history snapshot does not match the current task";
    if (record->isFinal || record->upgradeId != snapshot->upgradeId ||
        record->startedAt != snapshot->createdAt)
    {
        return rejectStart(kNotCurrentTask, error);
    }
    std::uint64_t sceneGeneration = 0;
    {
        std::lock_guard<std::mutex> lock(services.applicationMutex);
        sceneGeneration = services.sceneGeneration;
    }
    // A snapshot runs once. While its task runs the service refuses the start as it refuses any
    // start during a task; once the task has ended, its row is finalised a moment later by the
    // notification thread, and a start in between is refused as one against a finalised row.
    std::string startError;
    E_TaskStartRefusal refusal = E_TaskStartRefusal::NONE;
    if (!services.executionService.startTask(snapshot, sceneGeneration, response, startError, &refusal,
                                             taskOptions))
    {
        response.clear();
        return rejectStart(refusal == E_TaskStartRefusal::SNAPSHOT_ALREADY_RAN ? kNotCurrentTask : startError,
                           error);
    }
    consoleOut("[UPGRADE] Upgrade execution accepted: upgradeNo=" + std::to_string(snapshot->upgradeNo));
    // A hold that came between the check and the start (the hold file, read on another thread)
    // found no task to abort: this one ends here as if it had been running.
    if (services.siteHeld && services.siteHeld(heldMessage))
    {
        abortRunningTask(services, heldMessage);
    }
    return true;
}

void abortRunningTask(const S_UpgradeRouteServices& services, const std::string& why)
{
    const ExecutionStatePtr state = services.executionService.getCurrentStateSnapshot();
    if (!state || !state->active || !state->task)
    {
        return;
    }
    const std::uint32_t upgradeNo = state->task->upgradeNo;
    const std::string number = std::to_string(upgradeNo);
    std::string response;
    std::string error;
    if (!services.executionService.requestAbort(upgradeNo, response, error))
    {
        // The task ended meanwhile, or its abort is already under way.
        consoleErr("[UPGRADE] Abort for a site hold rejected: upgradeNo=" + number + ", error=" + error);
        return;
    }
    consoleOut("[UPGRADE] Abort for a site hold accepted: upgradeNo=" + number + ", " + why);
    if (services.abortAccepted)
    {
        services.abortAccepted(upgradeNo);
    }
}

namespace
{

// Records who acted on a task; a failure to record does not undo what was done.
void noteActor(const S_UpgradeRouteServices& services, std::uint32_t upgradeNo, E_UpgradeActorRole role)
{
    if (services.upgradeActors == nullptr || upgradeNo == 0)
    {
        return;
    }
    std::string error;
    if (!services.upgradeActors->note(upgradeNo, role, currentActingUser().name, error))
    {
        consoleErr("[WARN] [UPGRADE] Cannot record who acted: upgradeNo=" + std::to_string(upgradeNo) +
                   ", error=" + error);
    }
}

}  // namespace

void recordOperatorPreview(const S_UpgradeRouteServices& services, std::string& response)
{
    const UpgradeTaskSnapshotPtr snapshot = services.taskService.currentSnapshot();
    const std::uint32_t upgradeNo = snapshot ? snapshot->upgradeNo : 0;
    noteActor(services, upgradeNo, E_UpgradeActorRole::PREVIEWED);
    if (services.startApproval != nullptr)
    {
        json answer = json::parse(response);
        services.startApproval->previewed(upgradeNo, answer, currentActingUser().name, currentUnixMs());
        response = toJsonText(answer);
    }
}

namespace
{

bool previewUpgrade(const S_UpgradeRouteServices& services, const std::string& request, std::string& response,
                    std::string& error)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    if (!previewTaskLocked(services, request, S_TaskPreviewOptions{}, response, error))
    {
        return false;
    }
    recordOperatorPreview(services, response);
    return true;
}

// The previewed task awaits approval: it does not start.
bool awaitsApproval(const S_UpgradeRouteServices& services, std::string& error)
{
    if (services.startApproval == nullptr)
    {
        return false;
    }
    const UpgradeTaskSnapshotPtr snapshot = services.taskService.currentSnapshot();
    if (!snapshot || services.startApproval->isApproved(snapshot->upgradeNo))
    {
        return false;  // nothing previewed is refused as before
    }
    error = "The previewed upgrade task awaits approval by someone other than who previewed it";
    consoleErr("[UPGRADE] Start rejected: " + error);
    return true;
}

bool startUpgrade(const S_UpgradeRouteServices& services, std::string& response, std::string& error,
                  E_RouteRefusal& refusal)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    refusal = E_RouteRefusal::USUAL;
    if (awaitsApproval(services, error))
    {
        refusal = E_RouteRefusal::APPROVAL_REQUIRED;
        return false;
    }
    bool siteHeld = false;
    if (!startTaskLocked(services, false, response, error, &siteHeld))
    {
        refusal = siteHeld ? E_RouteRefusal::SITE_HELD : E_RouteRefusal::USUAL;
        return false;
    }
    const UpgradeTaskSnapshotPtr snapshot = services.taskService.currentSnapshot();
    noteActor(services, snapshot ? snapshot->upgradeNo : 0, E_UpgradeActorRole::STARTED);
    return true;
}

bool abortUpgrade(const S_UpgradeRouteServices& services, std::uint32_t upgradeNo, std::string& response,
                  std::string& error)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    const std::string number = std::to_string(upgradeNo);
    consoleOut("[UPGRADE] Abort request received: upgradeNo=" + number);
    if (!services.executionService.requestAbort(upgradeNo, response, error))
    {
        consoleErr("[UPGRADE] Abort request rejected: upgradeNo=" + number + ", error=" + error);
        return false;
    }
    consoleOut("[UPGRADE] Abort request accepted: upgradeNo=" + number);
    noteActor(services, upgradeNo, E_UpgradeActorRole::ABORTED);
    if (services.abortAccepted)
    {
        services.abortAccepted(upgradeNo);
    }
    return true;
}

bool currentUpgrade(const S_UpgradeRouteServices& services, std::string& response, std::string& error)
{
    response.clear();
    error.clear();
    std::string stateError;
    if (services.executionService.getCurrentState(response, stateError))
    {
        return true;
    }
    if (services.executionService.isTaskActive())
    {
        error =
            stateError.empty() ? std::string("Active upgrade execution status is unavailable") : stateError;
        return false;
    }
    std::uint64_t sceneGeneration = 0;
    bool deviceTcpRunning = false;
    {
        std::lock_guard<std::mutex> lock(services.applicationMutex);
        sceneGeneration = services.sceneGeneration;
        deviceTcpRunning = services.deviceTcpManager->isRunning();
    }
    const UpgradeTaskSnapshotPtr snapshot = services.taskService.currentSnapshot();
    const bool stale = snapshot && snapshot->sceneGeneration != sceneGeneration;
    const json view = {
        {"status", snapshot ? "PREVIEW_READY" : "IDLE"},
        {"ready", snapshot && !stale && deviceTcpRunning},
        {"previewReady", snapshot && !stale},
        {"operation", "CURRENT_UPGRADE_READ"},
        {"sceneGeneration", sceneGeneration},
        {"sceneStale", stale},
        {"currentTask", snapshot ? snapshotToJson(*snapshot) : json(nullptr)},
        {"capabilities",
         {
             {"deviceTcp", deviceTcpRunning},
             {"deviceStatusQuery", deviceTcpRunning},
             {"firmwareInspection", true},
             {"upgradePreview", true},
             {"upgradeStateMachine", true},
             {"historyPersistence", services.historyRepository.isOpen()},
         }},
    };
    std::string serializeError;
    if (!tryToJsonText(view, response, serializeError))
    {
        response.clear();
        error = "Cannot serialize current upgrade JSON: " + serializeError;
        return false;
    }
    return true;
}

}  // namespace

void addUpgradeRoutes(const S_UpgradeRouteServices& services, S_ApiCallbacks& callbacks)
{
    callbacks.upgradePreview =
        [services](const std::string& request, std::string& response, std::string& error)
    { return previewUpgrade(services, request, response, error); };
    callbacks.upgradeStart = [services](std::string& response, std::string& error)
    {
        E_RouteRefusal ignored = E_RouteRefusal::USUAL;
        return startUpgrade(services, response, error, ignored);
    };
    if (services.siteHeld || services.startApproval != nullptr)
    {
        callbacks.upgradeStartRefusing =
            [services](std::string& response, std::string& error, E_RouteRefusal& refusal)
        { return startUpgrade(services, response, error, refusal); };
    }
    callbacks.upgradeAbort = [services](std::uint32_t upgradeNo, std::string& response, std::string& error)
    { return abortUpgrade(services, upgradeNo, response, error); };
    callbacks.currentUpgrade = [services](std::string& response, std::string& error)
    { return currentUpgrade(services, response, error); };
}

}  // namespace ota::backend
