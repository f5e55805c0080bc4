#include "upgrade/upgrade_execution_impl.h"

// The device waits of the workflow (status synchronisation, ACKs, stage results, the restart's
// acceptance) on top of the session's waits (device_session.cpp). Each takes only the device's
// session lock, released while it waits.

#include <algorithm>
#include <chrono>

namespace ota::backend
{

namespace
{

constexpr auto kMaxWaitSlice = std::chrono::milliseconds(86'400'000);
constexpr auto kDrainWait = std::chrono::milliseconds(10);

}  // namespace

E_WaitResult CUpgradeExecutionService::S_Impl::waitForReply(S_TaskRun& task, std::size_t index,
                                                            const S_EventWait& wait, S_ProtocolEvent& event,
                                                            bool& ended)
{
    CDeviceSession& session = *task.sessions[index];
    return waitWithAbort(
        task, index, wait.abortable,
        [&](bool abortable)
        {
            S_EventWait current = wait;
            current.abortable = abortable;
            return session.waitForEvent(current, event);
        },
        ended);
}

bool CUpgradeExecutionService::S_Impl::synchronizeDeviceStatus(S_TaskRun& task, std::size_t index)
{
    CDeviceSession& session = *task.sessions[index];
    session.purge(S_EventMatch::deviceStatus());
    setDeviceStage(task, index, E_ProtocolStage::STATUS_SYNCED, "同步装置状态", 10);
    std::string error;
    if (!task.links[index]->sendUpgradeStatusQuery(task.upgradeNo, error))
    {
        failDevice(task, index, "装置状态查询发送失败: " + error, 0, "INTERNAL_ERROR");
        return false;
    }
    S_ProtocolEvent event;
    bool ended = false;
    const S_EventWait wait{S_EventMatch::deviceStatus(),
                           task.options.ackTimeoutMs,
                           true,
                           false,
                           toProtocolByte(E_ProtocolStage::STATUS_SYNCED),
                           std::nullopt};
    const E_WaitResult result = waitForReply(task, index, wait, event, ended);
    if (ended ||
        !continueAfterWait(task, index, result, "等待装置状态同步超时", "等待装置状态同步时执行服务停止"))
    {
        return false;
    }
    const S_ProtocolEventDeviceStatus& status = *event.deviceStatus();
    if (status.upgradeNo != task.upgradeNo)
    {
        failDevice(task, index, "装置状态上报的升级号不匹配", 0, "INTERNAL_ERROR");
        return false;
    }
    if (!status.isReady() || status.reasonCode != 0)
    {
        failDevice(task, index,
                   std::string("装置当前不可升级: state=") + status.upgradeStateName() +
                       ", reason=" + status.reasonName(),
                   status.reasonCode, status.reasonName());
        return false;
    }
    return true;
}

namespace
{

// The ACK wait both the target list and the commands use; the pending question ends with it.
bool waitAck(CUpgradeExecutionService::S_Impl& impl, S_TaskRun& task, std::size_t index, std::uint8_t stage,
             std::uint32_t timeoutMs, bool abortable, const std::string& timeoutText,
             const std::string& stoppedText, const char* refusedPrefix)
{
    S_ProtocolEvent event;
    bool ended = false;
    const E_WaitResult result = impl.waitForReply(
        task, index, {S_EventMatch::ack(stage), timeoutMs, abortable, false, stage, std::nullopt}, event,
        ended);
    task.sessions[index]->clearPendingRequest();
    if (ended || !impl.continueAfterWait(task, index, result, timeoutText, stoppedText))
    {
        return false;
    }
    const S_ProtocolEventAck& ack = *event.ack();
    if (!ack.accepted())
    {
        impl.failDevice(task, index, std::string(refusedPrefix) + ack.reasonName(), ack.reasonCode,
                        ack.reasonName());
        return false;
    }
    return true;
}

}  // namespace

bool CUpgradeExecutionService::S_Impl::waitTargetListAccepted(S_TaskRun& task, std::size_t index,
                                                              std::uint32_t timeoutMs, bool abortable)
{
    return waitAck(*this, task, index, toProtocolByte(E_ProtocolStage::PREPARATION), timeoutMs, abortable,
                   "等待升级目标清单确认超时", "等待升级目标清单确认时执行服务停止",
                   "装置拒绝升级目标清单: ");
}

bool CUpgradeExecutionService::S_Impl::waitAcceptedAck(S_TaskRun& task, std::size_t index, std::uint8_t stage,
                                                       std::uint32_t timeoutMs, bool abortable)
{
    return waitAck(*this, task, index, stage, timeoutMs, abortable,
                   std::string("等待命令确认超时: ") + stageName(stage), "等待命令确认时执行服务停止",
                   "装置拒绝命令: ");
}

bool CUpgradeExecutionService::S_Impl::waitSuccessfulStage(S_TaskRun& task, std::size_t index,
                                                           std::uint8_t stage, std::uint32_t timeoutMs,
                                                           bool abortable,
                                                           std::optional<TimePoint> absoluteDeadline)
{
    S_ProtocolEvent event;
    bool ended = false;
    const E_WaitResult result = waitForReply(
        task, index, {S_EventMatch::stageReport(stage), timeoutMs, abortable, true, stage, absoluteDeadline},
        event, ended);
    task.sessions[index]->clearPendingRequest();
    if (ended || !continueAfterWait(task, index, result, std::string("等待阶段结果超时: ") + stageName(stage),
                                    "等待阶段结果时执行服务停止"))
    {
        return false;
    }
    task.sessions[index]->purge(S_EventMatch::stageReport(stage));
    return true;
}

bool CUpgradeExecutionService::S_Impl::waitRestartAccepted(S_TaskRun& task, std::size_t index,
                                                           std::uint32_t timeoutMs)
{
    const std::uint8_t restartStage = toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
    CDeviceSession& session = *task.sessions[index];
    std::vector<S_LogLine> lines;
    std::unique_lock<std::mutex> lock(session.mutex());
    S_DeviceRuntime& device = session.deviceLocked();
    std::vector<S_QueuedEvent>& queue = session.queueLocked();
    const TimePoint deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const auto fail = [&](const std::string& text, std::uint16_t code, const char* name)
    {
        device.pendingRequest = {};
        session.failLocked(text, code, name, lines);
        lock.unlock();
        log(lines);
        return false;
    };
    while (!session.stoppingOrCompletedLocked())
    {
        if (device.shown.eventStreamFailed)
        {
            return fail(session.describeEventStreamFailureLocked(), 0, "EVENT_QUEUE_OVERFLOW");
        }
        for (auto it = queue.begin(); it != queue.end();)
        {
            const S_ProtocolEventStageReport* report = it->event.stageReport();
            const bool failedReport =
                report != nullptr && !report->succeeded() && report->stage == restartStage;
            const S_ProtocolEventAck* ackPointer = it->event.ack();
            const bool restartAck = ackPointer != nullptr && ackPointer->stage == restartStage;
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
                const S_ProtocolEventStageReport failure = *report;
                queue.erase(it);
                return fail(std::string("装置重启验证失败: ") + failure.reasonName(), failure.reasonCode,
                            failure.reasonName());
            }
            const S_ProtocolEventAck ack = *ackPointer;
            const TimePoint ackAt = it->receivedAt;
            queue.erase(it);
            if (!ack.accepted())
            {
                return fail(std::string("装置拒绝重启验证命令: ") + ack.reasonName(), ack.reasonCode,
                            ack.reasonName());
            }
            device.restartAcceptedAt = ackAt;
            device.pendingRequest = {};
            return true;
        }
        if (device.disconnectCount > device.restartBaseline && device.lastDisconnectAt <= deadline)
        {
            device.restartAcceptedAt = device.lastDisconnectAt;
            device.pendingRequest = {};
            lock.unlock();
            log(E_LogLevel::INFO,
                "装置在重启确认ACK前断线，按已开始重启继续验证: nodeId=" + session.nodeId());
            return true;
        }
        const TimePoint now = SteadyClock::now();
        if (now < deadline)
        {
            session.condition().wait_until(lock, std::min(deadline, now + kMaxWaitSlice));
        }
        else if (session.protocolCallbackRunning(deadline) || session.connectionCallbackRunning(deadline))
        {
            session.condition().wait_for(lock, kDrainWait);
        }
        else
        {
            return fail("等待重启命令确认或重启断线超时", kTimeoutReasonCode, "TIMEOUT");
        }
    }
    if (device.shown.completed)
    {
        device.pendingRequest = {};
        return false;
    }
    return fail("等待重启命令确认时执行服务停止", 0, "INTERNAL_ERROR");
}

}  // namespace ota::backend
