#include "app/approval_routes.h"

#include "app/application_state.h"
#include "app/start_approval.h"
#include "common/acting_user.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "history/upgrade_actor_store.h"

#include <map>

namespace ota::backend
{

namespace
{

using json = nlohmann::json;

constexpr std::size_t kMaxReasonBytes = 500;

// The body must be exactly {"<key>": <non-empty string of at most maxBytes>}.
bool readSingleText(const std::string& requestJson, const char* key, std::size_t maxBytes, std::string& value,
                    std::string& error)
{
    json body;
    std::string parseError;
    if (!parseJsonText(requestJson, body, parseError) || !body.is_object() || body.size() != 1 ||
        !body.contains(key) || !body[key].is_string() || body[key].get_ref<const std::string&>().empty() ||
        body[key].get_ref<const std::string&>().size() > maxBytes)
    {
        error = std::string("Request body must be exactly {\"") + key +
                "\": <a non-empty string of at most " + std::to_string(maxBytes) + " bytes>}";
        return false;
    }
    value = body[key].get<std::string>();
    return true;
}

E_RouteRefusal refusalOf(E_RolloutDecisionResult result)
{
    switch (result)
    {
        case E_RolloutDecisionResult::NOT_FOUND:
            return E_RouteRefusal::NOT_FOUND;
        case E_RolloutDecisionResult::PLAN_CHANGED:
            return E_RouteRefusal::PLAN_CHANGED;
        case E_RolloutDecisionResult::SELF_APPROVAL:
            return E_RouteRefusal::SELF_APPROVAL;
        case E_RolloutDecisionResult::FAILED:
        case E_RolloutDecisionResult::NOT_AWAITING:
        case E_RolloutDecisionResult::DONE:
            break;
    }
    return E_RouteRefusal::USUAL;
}

bool decideRollout(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services, bool approving,
                   std::uint32_t rolloutNo, const std::string& requestJson, std::string& response,
                   std::string& error, E_RouteRefusal& refusal)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    response.clear();
    const char* what = approving ? "approve" : "reject";
    std::string text;
    if (!readSingleText(requestJson, approving ? "planDigest" : "reason", approving ? 64 : kMaxReasonBytes,
                        text, error))
    {
        refusal = E_RouteRefusal::INVALID_BODY;
        return false;
    }
    const E_RolloutDecisionResult result = approving ? app.rollouts.approve(rolloutNo, text, response, error)
                                                     : app.rollouts.reject(rolloutNo, text, response, error);
    const std::string line = "[ROLLOUT] Rollout " + std::to_string(rolloutNo) + " " + what + " by \"" +
                             currentActingUser().name + "\"";
    if (result != E_RolloutDecisionResult::DONE)
    {
        refusal = refusalOf(result);
        consoleErr(line + " rejected: " + error);
        return false;
    }
    consoleOut(line + " accepted");
    return true;
}

bool approvePreview(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                    const std::string& requestJson, std::string& response, std::string& error,
                    E_RouteRefusal& refusal)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    response.clear();
    std::string digest;
    if (!readSingleText(requestJson, "snapshotDigest", 64, digest, error))
    {
        refusal = E_RouteRefusal::INVALID_BODY;
        return false;
    }
    const UpgradeTaskSnapshotPtr snapshot = app.taskService.currentSnapshot();
    const std::string& approver = currentActingUser().name;
    CStartApproval::S_Preview preview;
    const CStartApproval::E_Result result =
        app.startApproval->approve(snapshot ? snapshot->upgradeNo : 0, digest, approver, preview, error);
    if (result != CStartApproval::E_Result::DONE)
    {
        refusal = result == CStartApproval::E_Result::PLAN_CHANGED    ? E_RouteRefusal::PLAN_CHANGED
                  : result == CStartApproval::E_Result::SELF_APPROVAL ? E_RouteRefusal::SELF_APPROVAL
                                                                      : E_RouteRefusal::USUAL;
        consoleErr("[UPGRADE] Preview approval by \"" + approver + "\" rejected: " + error);
        return false;
    }
    std::string noteError;
    if (!app.upgradeActors.note(preview.upgradeNo, E_UpgradeActorRole::APPROVED, approver, noteError))
    {
        consoleErr("[WARN] [UPGRADE] Cannot record who acted: upgradeNo=" +
                   std::to_string(preview.upgradeNo) + ", error=" + noteError);
    }
    consoleOut("[UPGRADE] Preview of upgradeNo=" + std::to_string(preview.upgradeNo) + " approved by \"" +
               approver + "\"; previewed by \"" + preview.previewedBy + "\"");
    response = toJsonText(json{{"upgradeNo", preview.upgradeNo},
                               {"snapshotDigest", preview.snapshotDigest},
                               {"previewedBy", preview.previewedBy},
                               {"approvedBy", preview.approvedBy}});
    return true;
}

}  // namespace

void addApprovalRoutes(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                       S_ApiCallbacks& callbacks)
{
    const auto decision = [&app, services](bool approving)
    {
        return [&app, services, approving](std::uint32_t rolloutNo, const std::string& request,
                                           std::string& response, std::string& error, E_RouteRefusal& refusal)
        { return decideRollout(app, services, approving, rolloutNo, request, response, error, refusal); };
    };
    callbacks.rolloutApprove = decision(true);
    callbacks.rolloutReject = decision(false);
    if (app.startApproval)
    {
        callbacks.previewApprove = [&app, services](const std::string& request, std::string& response,
                                                    std::string& error, E_RouteRefusal& refusal)
        { return approvePreview(app, services, request, response, error, refusal); };
    }
    callbacks.approvals = [&app](std::string& response, std::string& error)
    {
        error.clear();
        json preview = nullptr;
        if (app.startApproval)
        {
            const UpgradeTaskSnapshotPtr snapshot = app.taskService.currentSnapshot();
            preview = app.startApproval->awaitingJson(snapshot ? snapshot->upgradeNo : 0);
        }
        response =
            toJsonText(json{{"rollouts", app.rollouts.awaitingApproval()}, {"preview", std::move(preview)}});
        return true;
    };
}

bool addUpgradeActors(CUpgradeActorStore& actors, std::string& historyJson, std::string& error)
{
    // The history's reads drop the records past retention: their actors go with them.
    std::string pruneError;
    if (!actors.prune(pruneError))
    {
        consoleErr("[WARN] [HISTORY] Cannot drop the actors of removed tasks: " + pruneError);
    }
    std::map<std::uint32_t, S_UpgradeActors> byTask;
    if (!actors.readAll(byTask, error))
    {
        return false;
    }
    json answer;
    if (!parseJsonText(historyJson, answer, error) || !answer.is_object() || !answer.contains("records"))
    {
        return false;
    }
    for (json& record : answer["records"])
    {
        const auto found = byTask.find(record.value("upgradeNo", 0u));
        const S_UpgradeActors named = found != byTask.end() ? found->second : S_UpgradeActors{};
        record["previewedBy"] = named.previewedBy;
        record["approvedBy"] = named.approvedBy;
        record["startedBy"] = named.startedBy;
        record["abortedBy"] = named.abortedBy;
    }
    historyJson = toJsonText(answer);
    return true;
}

}  // namespace ota::backend
