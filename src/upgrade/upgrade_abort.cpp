#include "common/json_text.h"
#include "upgrade/upgrade_execution_impl.h"

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
        std::lock_guard<std::mutex> lock(impl.stateMutex);
        if (!impl.taskActive)
        {
            error = "No upgrade task is active";
            responseJson = rejection(upgradeNo, "NO_ACTIVE_UPGRADE");
            return false;
        }
        if (upgradeNo == 0 || upgradeNo != impl.upgradeNo)
        {
            error = "Upgrade number does not match the active task";
            responseJson = toJsonText({{"status", "ABORT_REJECTED"},
                                       {"upgradeNo", upgradeNo},
                                       {"activeUpgradeNo", impl.upgradeNo},
                                       {"reason", "UPGRADE_NO_MISMATCH"}});
            return false;
        }
        if (impl.abortRequested)
        {
            error = "Abort has already been requested";
            responseJson = rejection(upgradeNo, "ABORT_ALREADY_REQUESTED");
            return false;
        }
        for (const S_DeviceRuntime& device : impl.devices)
        {
            abortable += !device.completed && device.abortAllowed ? 1 : 0;
        }
        if (abortable == 0)
        {
            error = "All remaining devices have entered the non-interruptible stage";
            responseJson = rejection(upgradeNo, "ALL_REMAINING_DEVICES_NON_INTERRUPTIBLE");
            return false;
        }
        impl.abortRequested = true;
        impl.status = "ABORTING";
        impl.markStateChanged();
        impl.wakeAllLocked();
    }
    impl.notifyCondition.notify_all();
    responseJson = toJsonText(
        {{"status", "ABORT_ACCEPTED"}, {"upgradeNo", upgradeNo}, {"abortableDeviceCount", abortable}});
    return true;
}

// True: the device cannot be interrupted any more and its workflow goes on. False: the device has
// ended (aborted locally, aborted by the reset, or failed while resetting).
bool CUpgradeExecutionService::S_Impl::performUpgradeContextReset(std::size_t index)
{
    std::uint8_t stage = 0;
    std::string nodeName;
    bool localOnly = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        S_DeviceRuntime& device = devices[index];
        if (device.completed)
        {
            return false;
        }
        if (!device.abortAllowed)
        {
            return true;
        }
        nodeName = device.nodeName;
        localOnly = !device.targetListSent;
        if (!localOnly)
        {
            stage = device.stage;
            device.state = "正在复位升级上下文";
            markStateChanged();
        }
    }
    if (localOnly)
    {
        log(E_LogLevel::INFO, nodeName + " 尚未建立装置升级上下文，仅在本地终止任务");
        completeDevice(index, "ABORTED");
        return false;
    }
    notifyCondition.notify_all();

    std::string error;
    if (!sendCommand(index, E_ProtocolCommandType::RESET_CONTEXT, stage, 0, error))
    {
        failDevice(index, "升级上下文复位命令发送失败: " + error, 0, "INTERNAL_ERROR");
        return false;
    }
    std::uint32_t ackTimeoutMs = 0;
    std::uint32_t stageTimeoutMs = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        ackTimeoutMs = options.ackTimeoutMs;
        stageTimeoutMs = options.stageTimeoutMs;
    }
    if (!waitAcceptedAck(index, stage, ackTimeoutMs, false))
    {
        return false;
    }
    // The reset report (result 3 for this stage) ends the device as soon as the wait meets it;
    // nothing else is waited for.
    S_ProtocolEvent ignored;
    const E_WaitResult result = waitForDeviceEvent(
        index, stageTimeoutMs, false, [](const S_ProtocolEvent&) { return false; }, ignored, false, stage);
    bool completed = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        completed = devices[index].completed;
    }
    if (!completed)
    {
        failDeviceOnWaitResult(index, result, "等待装置升级上下文复位结果超时",
                               "等待装置升级上下文复位结果时执行服务停止");
    }
    return false;
}

}  // namespace ota::backend
