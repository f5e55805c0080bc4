#include "history/interrupted_task_recovery.h"

#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "history/final_report.h"
#include "history/history_contracts.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace ota::backend
{

namespace
{

using nlohmann::json;

constexpr const char* kInterruptedStatus = "STOPPED";
// The texts of the devices an interrupted task leaves unfinished.
constexpr const char* kRestartedInWorkflow = "升级过程中后台服务重启，升级未完成";
constexpr const char* kRestartedBeforeTurn = "升级过程中后台服务重启，装置尚未开始升级";

void endDevice(json& device, std::int64_t finishedAt)
{
    const bool started = device.value("startedAt", std::int64_t{0}) != 0;
    const char* result = started ? "FAILED" : "ABORTED";
    const char* state = started ? "执行失败" : "已终止";
    const char* reasonName = started ? "INTERNAL_ERROR" : "UPGRADE_CONTEXT_RESET";
    const char* detail = started ? kRestartedInWorkflow : kRestartedBeforeTurn;
    device["result"] = result;
    device["state"] = state;
    device["completed"] = true;
    device["abortAllowed"] = false;
    device["finishedAt"] = finishedAt;
    device["reasonCode"] = 0;
    device["reasonName"] = reasonName;
    device["error"] = detail;
    for (json& target : device["targets"])
    {
        target["state"] = state;
        target["reasonCode"] = 0;
        target["reasonName"] = reasonName;
        target["detailText"] = detail;
    }
}

}  // namespace

bool buildInterruptedTaskFinalState(const json& lastState, std::int64_t finishedAt, json& finalState,
                                    std::string& reason)
{
    reason.clear();
    if (!validateExecutionStateDocument(lastState, reason))
    {
        return false;
    }
    try
    {
        finalState = lastState;
        std::uint64_t succeeded = 0;
        std::uint64_t failed = 0;
        std::uint64_t aborted = 0;
        for (json& device : finalState["devices"])
        {
            if (!device["completed"].get<bool>())
            {
                endDevice(device, finishedAt);
            }
            const std::string& result = device["result"].get_ref<const std::string&>();
            succeeded += result == "SUCCESS" ? 1 : 0;
            failed += result == "FAILED" ? 1 : 0;
            aborted += result == "ABORTED" ? 1 : 0;
        }
        finalState["completedCount"] = finalState["devices"].size();
        finalState["successCount"] = succeeded;
        finalState["failedCount"] = failed;
        finalState["abortedCount"] = aborted;
        finalState["readyDeviceCount"] = 0;
        finalState["runningDeviceCount"] = 0;
        finalState["delayedDeviceCount"] = 0;
        std::vector<std::string> changed;
        normalizeFinalReportDocument(finalState, kInterruptedStatus, finishedAt, changed);
    }
    catch (const std::exception& exception)
    {
        reason = std::string("cannot build the final state: ") + exception.what();
        return false;
    }
    // The same contracts every published final state meets, so the record stays compatible.
    return validateExecutionStateDocument(finalState, reason) &&
           checkStateMonotonic(finalState, lastState, reason);
}

namespace
{

// One record a killed process left RUNNING or ABORTING, finalised STOPPED from its last state.
bool finalizeInterruptedRecord(CUpgradeHistoryRepository& repository, const S_UpgradeHistoryRecord& record)
{
    const std::string number = std::to_string(record.upgradeNo);
    const std::int64_t completedAt = std::max({currentUnixMs(), record.updatedAt, record.startedAt});
    json lastState;
    json finalState;
    std::string reason;
    std::string report;
    if (!parseJsonText(record.stateJson, lastState, reason) ||
        !buildInterruptedTaskFinalState(lastState, completedAt, finalState, reason) ||
        !tryToJsonText(finalState, report, reason) ||
        !repository.finalizeReport(
            S_FinalReportWrite{record.upgradeNo, completedAt, completedAt, kInterruptedStatus, report},
            reason))
    {
        consoleErr("[WARN] Interrupted upgrade cannot be finalized at start-up: upgradeNo=" + number +
                   ", reason=" + reason);
        return false;
    }
    consoleOut("[HISTORY] Interrupted upgrade finalized at start-up: upgradeNo=" + number);
    return true;
}

}  // namespace

std::size_t finalizeInterruptedHistoryAtStartup(CUpgradeHistoryRepository& repository)
{
    std::string error;
    std::size_t finalized = 0;
    // A page at a time: start-up's memory does not grow with the history.
    const bool walked = repository.forEachRecord(
        [&](const S_UpgradeHistoryRecord& record)
        {
            if (!record.isFinal && (record.status == "RUNNING" || record.status == "ABORTING") &&
                finalizeInterruptedRecord(repository, record))
            {
                ++finalized;
            }
            return true;
        },
        error);
    if (!walked)
    {
        consoleErr("[WARN] Interrupted upgrades cannot be looked up at start-up: " + error);
    }
    return finalized;
}

}  // namespace ota::backend
