#include "app/start_approval.h"

#include "common/digest.h"
#include "common/json_text.h"

namespace ota::backend
{

std::string CStartApproval::snapshotDigestOf(const nlohmann::json& snapshot)
{
    const std::string text = toJsonText(snapshot);
    return toLowerHex(CSha256::digestOf(text.data(), text.size()));
}

void CStartApproval::previewed(std::uint32_t upgradeNo, nlohmann::json& answer,
                               const std::string& previewedBy, std::int64_t previewedAt)
{
    S_Preview preview;
    preview.upgradeNo = upgradeNo;
    preview.snapshot = answer.value("snapshot", nlohmann::json());
    preview.snapshotDigest = snapshotDigestOf(preview.snapshot);
    preview.previewedBy = previewedBy;
    preview.previewedAt = previewedAt;
    answer["snapshotDigest"] = preview.snapshotDigest;
    answer["previewedBy"] = previewedBy;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_preview = std::move(preview);
}

CStartApproval::E_Result CStartApproval::approve(std::uint32_t currentUpgradeNo,
                                                 const std::string& snapshotDigest,
                                                 const std::string& approver, S_Preview& preview,
                                                 std::string& error)
{
    error.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_preview || m_preview->approved || currentUpgradeNo == 0 ||
        m_preview->upgradeNo != currentUpgradeNo)
    {
        error = "No previewed upgrade task awaits approval";
        return E_Result::NOTHING_AWAITING;
    }
    if (approver == m_preview->previewedBy)
    {
        error = "The upgrade task was previewed by \"" + m_preview->previewedBy +
                "\"; another person must approve it";
        return E_Result::SELF_APPROVAL;
    }
    if (snapshotDigest != m_preview->snapshotDigest)
    {
        error =
            "The previewed upgrade task is not the one approved (snapshotDigest differs); review it again";
        return E_Result::PLAN_CHANGED;
    }
    m_preview->approved = true;
    m_preview->approvedBy = approver;
    preview = *m_preview;
    return E_Result::DONE;
}

bool CStartApproval::isApproved(std::uint32_t upgradeNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_preview && m_preview->approved && m_preview->upgradeNo == upgradeNo;
}

nlohmann::json CStartApproval::awaitingJson(std::uint32_t currentUpgradeNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_preview || m_preview->approved || currentUpgradeNo == 0 ||
        m_preview->upgradeNo != currentUpgradeNo)
    {
        return nullptr;
    }
    return nlohmann::json{{"upgradeNo", m_preview->upgradeNo},
                          {"snapshotDigest", m_preview->snapshotDigest},
                          {"previewedBy", m_preview->previewedBy},
                          {"previewedAt", m_preview->previewedAt},
                          {"snapshot", m_preview->snapshot}};
}

}  // namespace ota::backend
