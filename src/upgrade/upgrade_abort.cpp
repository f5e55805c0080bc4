#include "common/json_text.h"
#include "upgrade/upgrade_execution_impl.h"

// Abort: the request (taskMutex, then each session's lock to count the devices that can still be
// interrupted) and the device's context reset (its session's lock only, released for every send and
// while waiting).

namespace ota::backend
{

namespace
{

std::string rejection(std::uint32_t upgradeNo, const char* reason)
{
    return toJsonText({{"status", "ABORT_REJECTED"}, {"upgradeNo", upgradeNo}, {"reason", reason}});
}

}  // namespace

bool CUpgradeExecutionService::requestAbort(std::uint32_t upgradeNo, std::string& responseJson,
                                            std::string& error)
{
    responseJson.clear();
    error.clear();
    S_Impl& impl = *m_impl;
    std::size_t abortable = 0;
    {
        std::lock_guard<std::mutex> lock(impl.taskMutex);
        if (!impl.taskActive)
        {
            error = "No upgrade task is active";
            responseJson = rejection(upgradeNo, "NO_ACTIVE_UPGRADE");
            return false;
        }
        const std::uint32_t activeUpgradeNo = impl.task->upgradeNo;
        if (upgradeNo == 0 || upgradeNo != activeUpgradeNo)
        {
            error = "Upgrade number does not match the active task";
            responseJson = toJsonText({{"status", "ABORT_REJECTED"},
                                       {"upgradeNo", upgradeNo},
                                       {"activeUpgradeNo", activeUpgradeNo},
                                       {"reason", "UPGRADE_NO_MISMATCH"}});
            return false;
        }
        if (impl.abortRequested)
        {
            error = "Abort has already been requested";
            responseJson = rejection(upgradeNo, "ABORT_ALREADY_REQUESTED");
            return false;
        }
        for (const std::unique_ptr<CDeviceSession>& session : impl.task->sessions)
        {
            std::lock_guard<std::mutex> sessionLock(session->mutex());
            const S_DeviceExecutionState& shown = session->deviceLocked().shown;
            abortable += !shown.completed && shown.abortAllowed ? 1 : 0;
        }
        if (abortable == 0)
        {
            error = "All remaining devices have entered the non-interruptible stage";
            responseJson = rejection(upgradeNo, "ALL_REMAINING_DEVICES_NON_INTERRUPTIBLE");
            return false;
        }
        impl.abortRequested = true;
        impl.status = E_UpgradeTaskStatus::ABORTING;
        impl.publisher.taskChanged();
        impl.wakeAll(impl.task.get());
    }
    responseJson = toJsonText(
        {{"status", "ABORT_ACCEPTED"}, {"upgradeNo", upgradeNo}, {"abortableDeviceCount", abortable}});
    return true;
}

// True: the device cannot be interrupted any more and its workflow goes on. False: the device has
// ended (aborted locally, aborted by the reset, or failed while resetting).
bool CUpgradeExecutionService::S_Impl::performUpgradeContextReset(S_TaskRun& task, std::size_t index)
{
    CDeviceSession& session = *task.sessions[index];
    std::uint8_t stage = 0;
    bool localOnly = false;
    {
        std::lock_guard<std::mutex> lock(session.mutex());
        S_DeviceRuntime& device = session.deviceLocked();
        if (device.shown.completed)
        {
            return false;
        }
        if (!device.shown.abortAllowed)
        {
            return true;
        }
        localOnly = !device.targetListSent;
        if (!localOnly)
        {
            stage = device.shown.stage;
            device.shown.state = "正在复位升级上下文";
            session.changes().stateChanged();
        }
    }
    if (localOnly)
    {
        log(E_LogLevel::INFO,
            task.identity->devices[index].nodeName + " 尚未建立装置升级上下文，仅在本地终止任务");
        completeDevice(task, index, E_DeviceResult::ABORTED);
        return false;
    }

    std::string error;
    if (!sendCommand(task, index, E_ProtocolCommandType::RESET_CONTEXT, stage, 0, error))
    {
        failDevice(task, index, "升级上下文复位命令发送失败: " + error, 0, "INTERNAL_ERROR");
        return false;
    }
    if (!waitAcceptedAck(task, index, stage, task.options.ackTimeoutMs, false))
    {
        return false;
    }
    // The reset report (result 3 for this stage) ends the device as soon as the wait meets it;
    // nothing else is waited for.
    S_ProtocolEvent ignored;
    const E_WaitResult result = session.waitForEvent(
        {S_EventMatch::nothing(), task.options.stageTimeoutMs, false, false, stage, std::nullopt}, ignored);
    if (!session.completed())
    {
        failDeviceOnWaitResult(task, index, result, "等待装置升级上下文复位结果超时",
                               "等待装置升级上下文复位结果时执行服务停止");
    }
    return false;
}

}  // namespace ota::backend
