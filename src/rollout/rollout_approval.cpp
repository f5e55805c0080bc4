#include "rollout/rollout_approval.h"

#include "common/digest.h"
#include "common/json_text.h"
#include "rollout/rollout_document.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

namespace
{

using nlohmann::json;

std::string creatorOf(const S_Rollout& rollout)
{
    return rollout.actors ? rollout.actors->createdBy : std::string();
}

std::string notAwaiting(const S_Rollout& rollout)
{
    return "Rollout " + std::to_string(rollout.rolloutNo) + " is " + rolloutStatusName(rollout.status) +
           "; only a rollout awaiting approval can be approved or rejected";
}

}  // namespace

std::string rolloutPlanDigest(const S_RolloutPlan& plan)
{
    // nlohmann's objects keep their keys sorted, and toJsonText writes them compactly: the text is
    // the canonical form described in the header.
    json targets = json::array();
    for (const S_RolloutTarget& target : plan.targets)
    {
        targets.push_back(json{
            {"componentIndex", target.componentIndex},
            {"componentTypeId", target.componentTypeId},
            {"currentVersion", target.currentVersion},
            {"fileSlotKey", target.fileSlotKey},
            {"force", target.force},
            {"nodeId", target.nodeId},
        });
    }
    json files = json::array();
    for (const S_RolloutFile& file : plan.files)
    {
        files.push_back(json{
            {"fileSlotKey", file.fileSlotKey},
            {"sha256", file.sha256},
            {"targetVersion", file.targetVersion},
        });
    }
    const std::string text = toJsonText(json{{"files", std::move(files)},
                                             {"policy", rolloutPolicyToJson(plan.policy)},
                                             {"targets", std::move(targets)}});
    return toLowerHex(CSha256::digestOf(text.data(), text.size()));
}

E_RolloutApprovalResult approveRollout(S_Rollout& rollout, const std::string& planDigest,
                                       const std::string& approver, std::string& refusal)
{
    refusal.clear();
    if (rollout.status != E_RolloutStatus::AWAITING_APPROVAL)
    {
        refusal = notAwaiting(rollout);
        return E_RolloutApprovalResult::NOT_AWAITING;
    }
    const std::string creator = creatorOf(rollout);
    if (approver == creator)
    {
        refusal = "Rollout " + std::to_string(rollout.rolloutNo) + " was created by \"" + creator +
                  "\"; another person must approve it";
        return E_RolloutApprovalResult::SELF_APPROVAL;
    }
    if (!rollout.plan || planDigest != rolloutPlanDigest(*rollout.plan))
    {
        refusal = "The plan of rollout " + std::to_string(rollout.rolloutNo) +
                  " is not the one approved (planDigest differs); review it again";
        return E_RolloutApprovalResult::PLAN_CHANGED;
    }
    rollout.status = E_RolloutStatus::READY;
    rollout.reason.clear();
    S_RolloutActors& actors = rollout.actors ? *rollout.actors : rollout.actors.emplace();
    actors.approvedBy = approver;
    return E_RolloutApprovalResult::DONE;
}

E_RolloutApprovalResult rejectRollout(S_Rollout& rollout, const std::string& reason,
                                      const std::string& rejecter, std::int64_t now, std::string& refusal)
{
    refusal.clear();
    if (rollout.status != E_RolloutStatus::AWAITING_APPROVAL)
    {
        refusal = notAwaiting(rollout);
        return E_RolloutApprovalResult::NOT_AWAITING;
    }
    rollout.status = E_RolloutStatus::REJECTED;
    rollout.reason = reason;
    rollout.finishedAt = now;
    rollout.currentGroupNo = 0;
    S_RolloutActors& actors = rollout.actors ? *rollout.actors : rollout.actors.emplace();
    actors.rejectedBy = rejecter;
    actors.rejectReason = reason;
    return E_RolloutApprovalResult::DONE;
}

}  // namespace ota::backend
