#include "upgrade/upgrade_execution_impl.h"

#include <algorithm>
#include <chrono>

namespace ota::backend
{

namespace
{

constexpr auto kMaxWaitSlice = std::chrono::milliseconds(86'400'000);
// How long a worker at its deadline waits for a callback that is still delivering an answer.
constexpr auto kDrainWait = std::chrono::milliseconds(10);

constexpr const char* kDeviceStatus = "MSG_DEVICE_STATUS";
constexpr const char* kAck = "MSG_DEVICE_ACK";
constexpr const char* kStageReport = "MSG_DEVICE_STAGE_REPORT";

bool isFailureStageReport(const S_ProtocolEvent& event)
{
    return event.messageType == kStageReport && event.stageReport.present &&
           event.stageReport.result != toProtocolByte(E_ProtocolResult::SUCCESS);
}

void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, TimePoint deadline)
{
    const TimePoint now = SteadyClock::now();
    condition.wait_until(lock, std::min(deadline, now + kMaxWaitSlice));
}

}  // namespace

E_WaitResult CUpgradeExecutionService::S_Impl::waitForDeviceEvent(std::size_t index, std::uint32_t timeoutMs,
                                                                  bool abortable,
                                                                  const EventPredicate& predicate,
                                                                  S_ProtocolEvent& event, bool extendable,
                                                                  std::uint8_t stage, TimePoint* receivedAt,
                                                                  std::optional<TimePoint> absoluteDeadline)
{
    std::unique_lock<std::mutex> lock(stateMutex);
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    const TimePoint begin = SteadyClock::now();
    TimePoint inactivityDeadline = begin + timeout;
    TimePoint hardCap = extendable ? begin + 4 * timeout : inactivityDeadline;
    if (absoluteDeadline)
    {
        hardCap = std::min(hardCap, *absoluteDeadline);
    }
    S_DeviceRuntime& device = devices[index];
    DeviceEventQueue& queue = queues[index];
    if (device.completed || stopping)
    {
        return E_WaitResult::WAIT_STOPPED;
    }
    std::uint64_t seenProgress = 0;
    while (true)
    {
        if (device.eventStreamFailed)
        {
            return E_WaitResult::WAIT_EVENT_STREAM_FAILED;
        }
        if (abortable && abortRequested)
        {
            return E_WaitResult::WAIT_ABORT_REQUESTED;
        }
        if (extendable && device.progressStage == stage && device.progressSequence != seenProgress &&
            device.lastProgressAt <= inactivityDeadline)
        {
            seenProgress = device.progressSequence;
            inactivityDeadline =
                std::min(hardCap, std::max(inactivityDeadline, device.lastProgressAt + timeout));
        }
        const TimePoint effectiveDeadline = std::min(inactivityDeadline, hardCap);

        for (auto it = queue.begin(); it != queue.end();)
        {
            if (isFailureStageReport(it->event))
            {
                if (it->receivedAt > effectiveDeadline)
                {
                    it = queue.erase(it);
                    continue;
                }
                const S_ProtocolEventStageReport report = it->event.stageReport;
                applyTerminalStageReport(index, report);
                workerCondition.notify_all();
                notifyCondition.notify_all();
                return E_WaitResult::WAIT_STOPPED;
            }
            if (!predicate(it->event))
            {
                ++it;
                continue;
            }
            if (it->receivedAt <= effectiveDeadline)
            {
                event = std::move(it->event);
                if (receivedAt != nullptr)
                {
                    *receivedAt = it->receivedAt;
                }
                queue.erase(it);
                return E_WaitResult::WAIT_MATCHED;
            }
            it = queue.erase(it);
        }

        const TimePoint now = SteadyClock::now();
        if (now < effectiveDeadline)
        {
            waitUntil(deviceCondition(index), lock, effectiveDeadline);
        }
        else if (protocolCallbackRunning(device.nodeId, effectiveDeadline))
        {
            deviceCondition(index).wait_for(lock, kDrainWait);
        }
        else
        {
            return E_WaitResult::WAIT_TIMEOUT;
        }
        if (device.completed || stopping)
        {
            return E_WaitResult::WAIT_STOPPED;
        }
    }
}

E_WaitResult CUpgradeExecutionService::S_Impl::waitConnectionState(std::size_t index,
                                                                   E_DeviceConnectionState wanted,
                                                                   std::uint32_t timeoutMs, bool abortable)
{
    std::unique_lock<std::mutex> lock(stateMutex);
    S_DeviceRuntime& device = devices[index];
    const TimePoint deadline =
        wanted == E_DeviceConnectionState::CONNECTED && device.connectDeadline != kNever
            ? device.connectDeadline
            : SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (true)
    {
        if (device.completed || stopping)
        {
            return E_WaitResult::WAIT_STOPPED;
        }
        if (device.eventStreamFailed)
        {
            return E_WaitResult::WAIT_EVENT_STREAM_FAILED;
        }
        if (abortable && abortRequested)
        {
            return E_WaitResult::WAIT_ABORT_REQUESTED;
        }
        if (device.connectionState == wanted &&
            (device.lastConnectionChangeAt == kNever || device.lastConnectionChangeAt <= deadline))
        {
            return E_WaitResult::WAIT_MATCHED;
        }
        const TimePoint now = SteadyClock::now();
        if (now < deadline)
        {
            waitUntil(deviceCondition(index), lock, deadline);
        }
        else if (connectionCallbackRunning(device.nodeId, deadline))
        {
            deviceCondition(index).wait_for(lock, kDrainWait);
        }
        else
        {
            return E_WaitResult::WAIT_TIMEOUT;
        }
    }
}

bool CUpgradeExecutionService::S_Impl::continueAfterWait(std::size_t index, E_WaitResult result,
                                                         const std::string& timeoutText,
                                                         const std::string& stoppedText)
{
    if (result == E_WaitResult::WAIT_MATCHED)
    {
        return true;
    }
    return failDeviceOnWaitResult(index, result, timeoutText, stoppedText);
}

namespace
{

// Runs an abortable wait; an abort seen by it resets the device's upgrade context. A device that
// cannot be interrupted any more ignores the abort, and the wait goes on without it.
template <typename Wait>
E_WaitResult waitWithAbort(CUpgradeExecutionService::S_Impl& impl, std::size_t index, bool abortable,
                           Wait&& wait, bool& ended)
{
    ended = false;
    while (true)
    {
        const E_WaitResult result = wait(abortable);
        if (result != E_WaitResult::WAIT_ABORT_REQUESTED)
        {
            return result;
        }
        // The wait has ended: its question is no longer pending, so the reset may be asked.
        impl.clearPendingRequest(index);
        if (!impl.performUpgradeContextReset(index))
        {
            ended = true;
            return result;
        }
        abortable = false;
    }
}

}  // namespace

bool CUpgradeExecutionService::S_Impl::synchronizeDeviceStatus(std::size_t index)
{
    purgeQueuedEvents(index,
                      [](const S_ProtocolEvent& queued) { return queued.messageType == kDeviceStatus; });
    setDeviceStage(index, E_ProtocolStage::STATUS_SYNCED, "同步装置状态", 10);
    std::string nodeId;
    std::uint32_t timeoutMs = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        nodeId = devices[index].nodeId;
        timeoutMs = options.ackTimeoutMs;
    }
    std::string error;
    if (!transport->sendUpgradeStatusQuery(nodeId, upgradeNo, error))
    {
        failDevice(index, "装置状态查询发送失败: " + error, 0, "INTERNAL_ERROR");
        return false;
    }
    S_ProtocolEvent event;
    bool ended = false;
    const E_WaitResult result = waitWithAbort(
        *this, index, true,
        [&](bool abortable)
        {
            return waitForDeviceEvent(
                index, timeoutMs, abortable,
                [](const S_ProtocolEvent& candidate)
                { return candidate.messageType == kDeviceStatus && candidate.deviceStatus.present; },
                event, false, toProtocolByte(E_ProtocolStage::STATUS_SYNCED));
        },
        ended);
    if (ended || !continueAfterWait(index, result, "等待装置状态同步超时", "等待装置状态同步时执行服务停止"))
    {
        return false;
    }
    const S_ProtocolEventDeviceStatus& status = event.deviceStatus;
    if (status.upgradeNo != upgradeNo)
    {
        failDevice(index, "装置状态上报的升级号不匹配", 0, "INTERNAL_ERROR");
        return false;
    }
    if (status.upgradeState != "READY" || status.reasonCode != 0)
    {
        failDevice(index, "装置当前不可升级: state=" + status.upgradeState + ", reason=" + status.reasonName,
                   status.reasonCode, status.reasonName);
        return false;
    }
    return true;
}

namespace
{

// The ACK wait both the target list and the commands use; the pending question ends with it.
bool waitAck(CUpgradeExecutionService::S_Impl& impl, std::size_t index, std::uint8_t stage,
             std::uint32_t timeoutMs, bool abortable, const std::string& timeoutText,
             const std::string& stoppedText, const std::string& refusedPrefix)
{
    S_ProtocolEvent event;
    bool ended = false;
    const E_WaitResult result = waitWithAbort(
        impl, index, abortable,
        [&](bool canAbort)
        {
            return impl.waitForDeviceEvent(
                index, timeoutMs, canAbort,
                [stage](const S_ProtocolEvent& candidate) {
                    return candidate.messageType == kAck && candidate.ack.present &&
                           candidate.ack.stage == stage;
                },
                event, false, stage);
        },
        ended);
    impl.clearPendingRequest(index);
    if (ended || !impl.continueAfterWait(index, result, timeoutText, stoppedText))
    {
        return false;
    }
    if (event.ack.result != toProtocolByte(E_ProtocolResult::SUCCESS))
    {
        impl.failDevice(index, refusedPrefix + event.ack.reasonName, event.ack.reasonCode,
                        event.ack.reasonName);
        return false;
    }
    return true;
}

}  // namespace

bool CUpgradeExecutionService::S_Impl::waitTargetListAccepted(std::size_t index, std::uint32_t timeoutMs,
                                                              bool abortable)
{
    return waitAck(*this, index, toProtocolByte(E_ProtocolStage::PREPARATION), timeoutMs, abortable,
                   "等待升级目标清单确认超时", "等待升级目标清单确认时执行服务停止",
                   "装置拒绝升级目标清单: ");
}

bool CUpgradeExecutionService::S_Impl::waitAcceptedAck(std::size_t index, std::uint8_t stage,
                                                       std::uint32_t timeoutMs, bool abortable)
{
    return waitAck(*this, index, stage, timeoutMs, abortable,
                   std::string("等待命令确认超时: ") + stageName(stage), "等待命令确认时执行服务停止",
                   "装置拒绝命令: ");
}

bool CUpgradeExecutionService::S_Impl::waitSuccessfulStage(std::size_t index, std::uint8_t stage,
                                                           std::uint32_t timeoutMs, bool abortable,
                                                           std::optional<TimePoint> absoluteDeadline)
{
    S_ProtocolEvent event;
    bool ended = false;
    const auto isStageReport = [stage](const S_ProtocolEvent& candidate)
    {
        return candidate.messageType == kStageReport && candidate.stageReport.present &&
               candidate.stageReport.stage == stage;
    };
    const E_WaitResult result = waitWithAbort(
        *this, index, abortable,
        [&](bool canAbort)
        {
            return waitForDeviceEvent(index, timeoutMs, canAbort, isStageReport, event, true, stage, nullptr,
                                      absoluteDeadline);
        },
        ended);
    clearPendingRequest(index);
    if (ended || !continueAfterWait(index, result, std::string("等待阶段结果超时: ") + stageName(stage),
                                    "等待阶段结果时执行服务停止"))
    {
        return false;
    }
    purgeQueuedEvents(index, isStageReport);
    return true;
}

bool CUpgradeExecutionService::S_Impl::waitRestartAccepted(std::size_t index, std::uint32_t timeoutMs)
{
    const std::uint8_t restartStage = toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
    std::vector<S_LogLine> lines;
    std::unique_lock<std::mutex> lock(stateMutex);
    S_DeviceRuntime& device = devices[index];
    DeviceEventQueue& queue = queues[index];
    const TimePoint deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const auto fail = [&](const std::string& text, std::uint16_t code, const std::string& name)
    {
        device.pendingRequest = {};
        failDeviceLocked(device, text, code, name, lines);
        lock.unlock();
        workerCondition.notify_all();
        notifyCondition.notify_all();
        log(lines);
        return false;
    };
    while (!device.completed && !stopping)
    {
        if (device.eventStreamFailed)
        {
            return fail(describeEventStreamFailure(device), 0, "EVENT_QUEUE_OVERFLOW");
        }
        for (auto it = queue.begin(); it != queue.end();)
        {
            const S_ProtocolEvent& queued = it->event;
            const bool failedReport =
                isFailureStageReport(queued) && queued.stageReport.stage == restartStage;
            const bool restartAck =
                queued.messageType == kAck && queued.ack.present && queued.ack.stage == restartStage;
            if (!failedReport && !restartAck)
            {
                ++it;
                continue;
            }
            if (it->receivedAt > deadline)
            {
                it = queue.erase(it);
                continue;
            }
            if (failedReport)
            {
                const S_ProtocolEventStageReport report = queued.stageReport;
                queue.erase(it);
                return fail("装置重启验证失败: " + report.reasonName, report.reasonCode, report.reasonName);
            }
            const S_ProtocolEventAck ack = queued.ack;
            const TimePoint ackAt = it->receivedAt;
            queue.erase(it);
            if (ack.result != toProtocolByte(E_ProtocolResult::SUCCESS))
            {
                return fail("装置拒绝重启验证命令: " + ack.reasonName, ack.reasonCode, ack.reasonName);
            }
            device.restartAcceptedAt = ackAt;
            device.pendingRequest = {};
            return true;
        }
        if (device.disconnectCount > device.restartBaseline && device.lastDisconnectAt <= deadline)
        {
            device.restartAcceptedAt = device.lastDisconnectAt;
            device.pendingRequest = {};
            const std::string nodeId = device.nodeId;
            lock.unlock();
            log(E_LogLevel::INFO, "装置在重启确认ACK前断线，按已开始重启继续验证: nodeId=" + nodeId);
            return true;
        }
        const TimePoint now = SteadyClock::now();
        if (now < deadline)
        {
            waitUntil(deviceCondition(index), lock, deadline);
        }
        else if (protocolCallbackRunning(device.nodeId, deadline) ||
                 connectionCallbackRunning(device.nodeId, deadline))
        {
            deviceCondition(index).wait_for(lock, kDrainWait);
        }
        else
        {
            return fail("等待重启命令确认或重启断线超时", kTimeoutReasonCode, "TIMEOUT");
        }
    }
    if (device.completed)
    {
        device.pendingRequest = {};
        return false;
    }
    return fail("等待重启命令确认时执行服务停止", 0, "INTERNAL_ERROR");
}

}  // namespace ota::backend
