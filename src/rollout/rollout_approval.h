#pragma once

#include "rollout/rollout_types.h"

#include <cstdint>
#include <string>

namespace ota::backend
{

// The second person's approval of a rollout: what the approver saw (the plan's digest) and who
// they are decide whether an AWAITING_APPROVAL rollout becomes READY. No threads, no I/O.

// SHA-256, 64 lowercase hexadecimal characters, over the plan as the approver reviews it. The bytes
// digested are the compact JSON text of
//   {"files":[{"fileSlotKey","sha256","targetVersion"}...],
//    "policy":<the policy as the rollout document shows it>,
//    "targets":[{"componentIndex","componentTypeId","currentVersion","fileSlotKey","force","nodeId"}...]}
// with every object's keys in ascending byte order and the arrays in request order. The identifier
// and the files' paths are left out: the digests say which bytes are sent.
std::string rolloutPlanDigest(const S_RolloutPlan& plan);

enum class E_RolloutApprovalResult : std::uint8_t
{
    DONE,
    NOT_AWAITING,   // the rollout does not await approval
    PLAN_CHANGED,   // the digest is not the plan's
    SELF_APPROVAL,  // the approver is the rollout's creator
};

// AWAITING_APPROVAL -> READY when planDigest is the plan's and approver is not the creator.
// False with the refusal's message (naming the creator where it matters) and the rollout unchanged.
E_RolloutApprovalResult approveRollout(S_Rollout& rollout, const std::string& planDigest,
                                       const std::string& approver, std::string& refusal);
// AWAITING_APPROVAL -> REJECTED (final, finished now) with the reason.
E_RolloutApprovalResult rejectRollout(S_Rollout& rollout, const std::string& reason,
                                      const std::string& rejecter, std::int64_t now, std::string& refusal);

}  // namespace ota::backend
