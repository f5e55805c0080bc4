#include "app/rollout_task_driver.h"

#include "app/rollout_task_feed.h"
#include "common/console_log.h"
#include "common/json_text.h"

#include <algorithm>
#include <exception>
#include <unordered_map>
#include <unordered_set>

namespace ota::backend
{

const char* const kRolloutFileChangedMessage = "Firmware file changed since the rollout was created: ";

namespace
{

using nlohmann::json;

json targetToJson(const S_RolloutTarget& target)
{
    return json{{"nodeId", target.nodeId},
                {"componentTypeId", target.componentTypeId},
                {"componentIndex", target.componentIndex},
                {"currentVersion", target.currentVersion},
                {"fileSlotKey", target.fileSlotKey},
                {"force", target.force}};
}

}  // namespace

CRolloutTaskDriver::CRolloutTaskDriver(S_UpgradeRouteServices services) : m_services(std::move(services)) {}

void CRolloutTaskDriver::runExclusive(const std::function<void()>& work)
{
    std::lock_guard<std::mutex> operation(m_services.upgradeOperationMutex);
    work();
}

S_RolloutPreviewResult CRolloutTaskDriver::previewTask(const S_RolloutTaskRequest& request)
{
    S_RolloutPreviewResult result;
    const S_SiteView site = readSiteView(m_services);
    if (!site.topology)
    {
        result.error = "Upgrade preview requires a loaded topology";
        return result;
    }
    // Devices refused now are left out before any file is digested; one refused only by the
    // preview itself (its link dropped a moment later) is left out on the next try.
    json allTargets = json::array();
    for (const S_RolloutTarget& target : request.targets)
    {
        allTargets.push_back(targetToJson(target));
    }
    std::unordered_map<std::string, std::string> refused;
    const std::vector<std::string> refusals =
        m_services.taskService.findRefusedTargetDevices(allTargets, *site.topology, site.statuses);
    for (std::size_t i = 0; i < refusals.size(); ++i)
    {
        if (!refusals[i].empty())
        {
            refused.emplace(request.targets[i].nodeId, refusals[i]);
        }
    }
    const auto finishRefused = [&]
    {
        for (const S_RolloutTarget& target : request.targets)
        {
            const auto found = refused.find(target.nodeId);
            if (found != refused.end() &&
                std::none_of(result.refusedDevices.begin(), result.refusedDevices.end(),
                             [&](const auto& entry) { return entry.first == target.nodeId; }))
            {
                result.refusedDevices.emplace_back(found->first, found->second);
            }
        }
    };
    S_ExpectedFileDigests expected;
    expected.changedFileMessage = kRolloutFileChangedMessage;
    for (const S_RolloutFile& file : request.files)
    {
        expected.sha256BySlot.emplace(file.fileSlotKey, file.sha256);
    }
    for (std::size_t attempt = 0; attempt <= request.targets.size(); ++attempt)
    {
        std::vector<const S_RolloutTarget*> remaining;
        json targets = json::array();
        std::unordered_set<std::string> slots;
        for (const S_RolloutTarget& target : request.targets)
        {
            if (refused.count(target.nodeId) == 0)
            {
                remaining.push_back(&target);
                targets.push_back(targetToJson(target));
                slots.insert(target.fileSlotKey);
            }
        }
        if (remaining.empty())
        {
            finishRefused();
            result.outcome = E_RolloutPreviewOutcome::NO_DEVICE;
            return result;
        }
        json files = json::array();
        for (const S_RolloutFile& file : request.files)
        {
            if (slots.count(file.fileSlotKey) != 0)
            {
                files.push_back(json{{"fileSlotKey", file.fileSlotKey},
                                     {"filePath", file.filePath},
                                     {"targetVersion", file.targetVersion}});
            }
        }
        const std::string requestJson =
            toJsonText(json{{"upgradeId", request.upgradeId}, {"targets", targets}, {"files", files}});
        S_TaskPreviewOptions options;
        options.expectedDigests = &expected;
        options.rolloutTask = true;
        S_TaskPreviewRefusal refusal;
        std::string response;
        std::string error;
        if (previewTaskLocked(m_services, requestJson, options, response, error, &refusal))
        {
            json parsed;
            std::string parseError;
            if (!parseJsonText(response, parsed, parseError))
            {
                result.error = "The preview answer cannot be read: " + parseError;
                return result;
            }
            finishRefused();
            result.outcome = E_RolloutPreviewOutcome::PREVIEWED;
            result.upgradeNo = parsed.at("snapshot").at("upgradeNo").get<std::uint32_t>();
            m_previewedUpgradeNo = result.upgradeNo;
            m_previewedTaskOptions.maxConcurrentPerType = request.maxConcurrentPerType;
            return result;
        }
        if (refusal.preview.kind == E_PreviewRefusalKind::TARGET_DEVICE &&
            refusal.preview.targetIndex < remaining.size())
        {
            refused.emplace(remaining[refusal.preview.targetIndex]->nodeId, error);
            continue;
        }
        finishRefused();
        result.error = error;
        result.outcome = refusal.upgradeIdTaken ? E_RolloutPreviewOutcome::UPGRADE_ID_TAKEN
                         : refusal.preview.kind == E_PreviewRefusalKind::FILE_CHANGED
                             ? E_RolloutPreviewOutcome::FILE_CHANGED
                             : E_RolloutPreviewOutcome::REFUSED;
        return result;
    }
    result.error = "Every device was refused";
    return result;
}

bool CRolloutTaskDriver::startTask(std::uint32_t upgradeNo, std::string& error)
{
    const UpgradeTaskSnapshotPtr snapshot = m_services.taskService.currentSnapshot();
    if (!snapshot || snapshot->upgradeNo != upgradeNo)
    {
        error = "The previewed task is no longer the current task snapshot";
        return false;
    }
    std::string response;
    const S_UpgradeTaskOptions taskOptions =
        m_previewedUpgradeNo == upgradeNo ? m_previewedTaskOptions : S_UpgradeTaskOptions{};
    return startTaskLocked(m_services, true, response, error, nullptr, taskOptions);
}

bool CRolloutTaskDriver::abortTask(std::uint32_t upgradeNo, std::string& error)
{
    std::string response;
    return m_services.executionService.requestAbort(upgradeNo, response, error);
}

bool CRolloutTaskDriver::isTaskActive()
{
    return m_services.executionService.isTaskActive();
}

std::optional<S_RolloutTaskView> CRolloutTaskDriver::readFinishedTask(std::uint32_t upgradeNo)
{
    std::optional<S_UpgradeHistoryRecord> record;
    std::string error;
    if (!m_services.historyRepository.findRecord(upgradeNo, record, error))
    {
        consoleErr("[WARN] [ROLLOUT] Task of a rollout cannot be read: upgradeNo=" +
                   std::to_string(upgradeNo) + ", error=" + error);
        return std::nullopt;
    }
    if (!record || !record->isFinal || !record->reportJson)
    {
        return std::nullopt;
    }
    json report;
    S_RolloutTaskView view;
    if (!parseJsonText(*record->reportJson, report, error) || !rolloutTaskViewFromState(report, view))
    {
        return std::nullopt;
    }
    view.active = false;
    return view;
}

}  // namespace ota::backend
