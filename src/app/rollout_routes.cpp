#include "app/rollout_routes.h"

#include "app/application_state.h"
#include "app/baseline_routes.h"
#include "app/converge_request.h"
#include "app/rollout_request.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/digest.h"

namespace ota::backend
{

namespace
{

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

bool rejectCreate(const std::string& message, std::string& response, std::string& error)
{
    response.clear();
    error = message;
    consoleErr("[ROLLOUT] Create rejected: " + message);
    return false;
}

// The plan of a rollout: the request's targets and files, checked and digested as a preview
// checks them, kept as the request named them (files by their canonical path).
bool createRollout(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                   const std::string& requestJson, std::string& response, std::string& error)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    response.clear();
    error.clear();
    consoleOut("[ROLLOUT] Create request received");
    S_RolloutRequest request;
    std::string message;
    if (!readRolloutRequest(requestJson, request, message))
    {
        return rejectCreate(message, response, error);
    }
    if (app.rollouts.rolloutIdExists(request.rolloutId))
    {
        return rejectCreate("rolloutId is already used by another rollout: " + request.rolloutId, response,
                            error);
    }
    const S_SiteView site = readSiteView(services);
    if (!site.topology)
    {
        return rejectCreate("Upgrade preview requires a loaded topology", response, error);
    }
    S_UpgradeTaskSnapshot content;
    if (!services.taskService.checkTaskContent(request.targets, request.files, *site.topology, site.statuses,
                                               content, message))
    {
        return rejectCreate(message, response, error);
    }
    S_RolloutPlan plan;
    plan.rolloutId = request.rolloutId;
    plan.policy = request.policy;
    for (const S_UpgradeTarget& target : content.targets)
    {
        plan.targets.push_back(S_RolloutTarget{target.nodeId, target.componentTypeId, target.componentIndex,
                                               target.currentVersion, target.fileSlotKey, target.force});
    }
    for (const S_FirmwareFileInfo& file : content.files)
    {
        plan.files.push_back(S_RolloutFile{file.fileSlotKey, file.filePath.string(), file.targetVersion,
                                           toLowerHex(file.sha256)});
    }
    if (!app.rollouts.create(std::move(plan), response, message))
    {
        return rejectCreate(message, response, error);
    }
    return true;
}

// A rollout that brings every drifted component back to the current baseline, from the stored
// files labelled with the baseline's versions; created as the rollouts route creates one.
bool convergeRollout(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                     const std::string& requestJson, std::string& response, std::string& error)
{
    response.clear();
    consoleOut("[ROLLOUT] Converge request received");
    const std::optional<S_BaselineReport> report = freshBaselineReport(app);
    if (!report)
    {
        return rejectCreate("No baseline has been taken", response, error);
    }
    const StoredFirmwareLookup storedFile =
        [&app](const S_FirmwareStoreLabel& label,
               std::string& lookupError) -> std::optional<std::filesystem::path>
    {
        const std::optional<S_FirmwareStoreEntry> entry = app.firmwareStore.findLabelled(label, lookupError);
        return entry ? std::optional<std::filesystem::path>(entry->path) : std::nullopt;
    };
    std::string rolloutJson;
    std::string message;
    if (!buildConvergeRequest(requestJson, *report, storedFile, rolloutJson, message))
    {
        return rejectCreate(message, response, error);
    }
    return createRollout(app, services, rolloutJson, response, error);
}

bool operateRollout(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                    E_RolloutOperation operation, std::uint32_t rolloutNo, std::string& response,
                    std::string& error, E_RouteRefusal& refusal)
{
    std::lock_guard<std::mutex> lock(services.upgradeOperationMutex);
    // A held site starts nothing: neither a rollout nor the next group of a paused one. An unknown
    // number is answered as such first.
    if ((operation == E_RolloutOperation::START || operation == E_RolloutOperation::RESUME) &&
        app.rollouts.rolloutExists(rolloutNo) && services.siteHeld && services.siteHeld(error))
    {
        refusal = E_RouteRefusal::SITE_HELD;
        consoleErr("[ROLLOUT] Rollout " + std::to_string(rolloutNo) + " " + rolloutOperationName(operation) +
                   " rejected: " + error);
        return false;
    }
    const E_RolloutOperationResult result =
        app.rollouts.operate(rolloutNo, operation, services.executionService.isTaskActive(), response, error);
    if (result == E_RolloutOperationResult::NOT_FOUND)
    {
        refusal = E_RouteRefusal::NOT_FOUND;
    }
    if (result != E_RolloutOperationResult::DONE)
    {
        consoleErr("[ROLLOUT] Rollout " + std::to_string(rolloutNo) + " " + rolloutOperationName(operation) +
                   " rejected: " + error);
        return false;
    }
    return true;
}

}  // namespace

void cleanupRolloutRetention(CBackendApplication::S_Impl& app)
{
    app.rollouts.deleteFinishedBefore(
        currentUnixMs() - static_cast<std::int64_t>(app.config.historyRetentionDays) * kMillisecondsPerDay);
}

void addRolloutRoutes(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                      S_ApiCallbacks& callbacks)
{
    callbacks.rolloutCreate =
        [&app, services](const std::string& request, std::string& response, std::string& error)
    { return createRollout(app, services, request, response, error); };
    callbacks.rolloutConverge =
        [&app, services](const std::string& request, std::string& response, std::string& error)
    { return convergeRollout(app, services, request, response, error); };
    callbacks.rolloutList = [&app](std::string& response, std::string& error)
    {
        error.clear();
        cleanupRolloutRetention(app);
        response = app.rollouts.listJson();
        return true;
    };
    callbacks.rolloutCurrent = [&app](std::string& response, std::string& error)
    {
        error.clear();
        response = app.rollouts.currentJson();
        return true;
    };
    const auto operationCallback = [&app, services](E_RolloutOperation operation)
    {
        return [&app, services, operation](std::uint32_t rolloutNo, std::string& response, std::string& error,
                                           E_RouteRefusal& refusal)
        { return operateRollout(app, services, operation, rolloutNo, response, error, refusal); };
    };
    callbacks.rolloutStart = operationCallback(E_RolloutOperation::START);
    callbacks.rolloutPause = operationCallback(E_RolloutOperation::PAUSE);
    callbacks.rolloutResume = operationCallback(E_RolloutOperation::RESUME);
    callbacks.rolloutCancel = operationCallback(E_RolloutOperation::CANCEL);
}

}  // namespace ota::backend
