#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace ota::backend
{

// The previewed task awaiting a second person's approval before it may start: what was previewed
// (the snapshot as answered and its digest), by whom and when. A new preview replaces it, and
// needs an approval of its own. Kept in memory: the snapshot it approves is too.
class CStartApproval
{
public:
    enum class E_Result : std::uint8_t
    {
        DONE,
        NOTHING_AWAITING,  // no preview awaits approval (none made, already approved or replaced)
        PLAN_CHANGED,      // the digest is not the previewed snapshot's
        SELF_APPROVAL,     // the approver previewed it
    };

    struct S_Preview
    {
        std::uint32_t upgradeNo = 0;
        std::string snapshotDigest;
        std::string previewedBy;
        std::int64_t previewedAt = 0;
        nlohmann::json snapshot;
        bool approved = false;
        std::string approvedBy;
    };

    // SHA-256 (lowercase hex) of the snapshot's canonical text: compact, keys in ascending order.
    static std::string snapshotDigestOf(const nlohmann::json& snapshot);

    // A preview of task upgradeNo was answered (an object holding "snapshot"): it now awaits
    // approval, and the answer gains "snapshotDigest" and "previewedBy".
    void previewed(std::uint32_t upgradeNo, nlohmann::json& answer, const std::string& previewedBy,
                   std::int64_t previewedAt);
    // currentUpgradeNo: the task prepared now (0: none); only its preview can be approved.
    E_Result approve(std::uint32_t currentUpgradeNo, const std::string& snapshotDigest,
                     const std::string& approver, S_Preview& preview, std::string& error);
    bool isApproved(std::uint32_t upgradeNo) const;
    // {"snapshotDigest","previewedBy","previewedAt","upgradeNo","snapshot"} of the preview of the
    // prepared task while it awaits approval; null otherwise.
    nlohmann::json awaitingJson(std::uint32_t currentUpgradeNo) const;

private:
    mutable std::mutex m_mutex;
    std::optional<S_Preview> m_preview;
};

}  // namespace ota::backend
