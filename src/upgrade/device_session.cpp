#include "upgrade/device_session.h"

// Locks: see device_session.h. Every public operation takes the session's mutex itself; the
// ...Locked ones expect the caller to hold it. Notifications of the worker are made after the
// mutex was released, once per event.

#include <algorithm>
#include <chrono>

namespace ota::backend
{

namespace
{

constexpr auto kMaxWaitSlice = std::chrono::milliseconds(86'400'000);
// How long a worker at its deadline waits for a callback that is still delivering an answer.
constexpr auto kDrainWait = std::chrono::milliseconds(10);

bool isFailureStageReport(const S_ProtocolEvent& event)
{
    const S_ProtocolEventStageReport* report = event.stageReport();
    return report != nullptr && !report->succeeded();
}

void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, TimePoint deadline)
{
    const TimePoint now = SteadyClock::now();
    condition.wait_until(lock, std::min(deadline, now + kMaxWaitSlice));
}

// Leaves the registry when the callback is done, whatever the way out.
class CInFlight
{
public:
    explicit CInFlight(CInFlightRegistry& registry) : m_registry(registry), m_enteredAt(registry.enter()) {}
    ~CInFlight() { m_registry.leave(m_enteredAt); }
    CInFlight(const CInFlight&) = delete;
    CInFlight& operator=(const CInFlight&) = delete;
    TimePoint enteredAt() const { return m_enteredAt; }

private:
    CInFlightRegistry& m_registry;
    const TimePoint m_enteredAt;
};

}  // namespace

const char* stageName(std::uint8_t stage)
{
    return executionStageName(stage);
}

void stageProgressBand(std::uint8_t stage, std::uint8_t& begin, std::uint8_t& end)
{
    static constexpr std::uint8_t kBands[7][2] = {{0, 5},   {5, 10},  {10, 20}, {20, 55},
                                                  {55, 65}, {65, 90}, {90, 100}};
    if (stage > 6)
    {
        begin = end = 0;
        return;
    }
    begin = kBands[stage][0];
    end = kBands[stage][1];
}

bool S_EventMatch::matches(const S_ProtocolEvent& event) const
{
    switch (kind)
    {
        case E_Kind::NOTHING:
            return false;
        case E_Kind::DEVICE_STATUS:
            return event.deviceStatus() != nullptr;
        case E_Kind::ACK:
        {
            const S_ProtocolEventAck* ack = event.ack();
            return ack != nullptr && ack->stage == stage;
        }
        case E_Kind::STAGE_REPORT:
        {
            const S_ProtocolEventStageReport* report = event.stageReport();
            return report != nullptr && report->stage == stage;
        }
        case E_Kind::CHUNK_REPORT:
        {
            const S_ProtocolEventFileChunkReport* report = event.fileChunkReport();
            return report != nullptr && report->fileNo == fileNo && report->chunkNo == chunkNo;
        }
        case E_Kind::VERIFY_REPORT:
        {
            const S_ProtocolEventFileVerifyReport* report = event.fileVerifyReport();
            return report != nullptr && (anyFile || report->fileNo == fileNo);
        }
    }
    return false;
}

TimePoint CInFlightRegistry::enter()
{
    const TimePoint now = SteadyClock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entered.push_back(now);
    return now;
}

void CInFlightRegistry::leave(TimePoint enteredAt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = std::find(m_entered.begin(), m_entered.end(), enteredAt);
    if (found != m_entered.end())
    {
        m_entered.erase(found);
    }
}

bool CInFlightRegistry::runningSince(TimePoint enteredBy) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_entered.begin(), m_entered.end(),
                       [&](TimePoint entered) { return entered <= enteredBy; });
}

CDeviceSession::CDeviceSession(S_DeviceRuntime device, IStateChangeSink& changes, S_TaskSignals signals)
    : m_nodeId(device.nodeId), m_changes(changes), m_signals(signals), m_device(std::move(device))
{
    mirrorLocked();
}

void CDeviceSession::mirrorLocked()
{
    m_connection.store(m_device.shown.connectionState);
    m_completed.store(m_device.shown.completed);
}

std::string CDeviceSession::describeEventStreamFailureLocked() const
{
    return "装置事件队列溢出，事件流已不完整，停止当前装置升级: nodeId=" + m_nodeId +
           ", protocolDropped=" + std::to_string(m_device.shown.protocolEventDropCount) +
           ", connectionDropped=" + std::to_string(m_device.shown.connectionEventDropCount);
}

std::string CDeviceSession::describeEventStreamFailure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return describeEventStreamFailureLocked();
}

// ---- intake

bool CDeviceSession::queueEventLocked(const S_ProtocolEvent& event, TimePoint receivedAt,
                                      std::vector<S_LogLine>& lines, bool& wakeWorker)
{
    wakeWorker = true;
    if (m_queue.size() >= kDeviceEventQueueCapacity)
    {
        ++m_device.shown.protocolEventDropCount;
        m_device.shown.eventStreamFailed = true;
        lines.push_back({E_LogLevel::ERROR, describeEventStreamFailureLocked()});
        m_changes.stateChanged();
        return false;
    }
    m_queue.push_back({event, receivedAt});
    return true;
}

void CDeviceSession::takeProtocolEvent(const S_ProtocolEvent& event, std::vector<S_LogLine>& lines)
{
    const CInFlight entry(m_protocolCallbacks);
    bool wakeWorker = false;        // something its waits look at: an event in the queue, progress, a failure
    IChunkPump* pumping = nullptr;  // took the report and holds the link: sends next, on this thread
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        S_DeviceExecutionState& shown = m_device.shown;
        if (shown.completed)
        {
            return;
        }
        if (shown.eventStreamFailed)
        {
            ++shown.protocolEventDropCount;
            lines.push_back(
                {E_LogLevel::WARN, "装置事件流已失败，丢弃后续协议事件: nodeId=" + m_nodeId +
                                       ", protocolDropped=" + std::to_string(shown.protocolEventDropCount)});
            m_changes.stateChanged();
        }
        else if (const S_ProtocolEventProgress* progress = event.progress())
        {
            wakeWorker = applyProgressLocked(*progress, entry.enteredAt());
        }
        else if (const S_ProtocolEventAck* ack = event.ack())
        {
            S_PendingRequest& pending = m_device.pendingRequest;
            const char* ackStage = stageName(ack->stage);
            if (!pending.present)
            {
                ++shown.unexpectedAckCount;
                lines.push_back({E_LogLevel::WARN, "收到无待回复请求的ACK，按迟到或重复ACK丢弃: nodeId=" +
                                                       m_nodeId + ", stage=" + ackStage});
                m_changes.stateChanged();
            }
            else if (pending.stage != ack->stage)
            {
                ++shown.mismatchedAckCount;
                lines.push_back({E_LogLevel::WARN, "收到阶段不匹配ACK并丢弃: nodeId=" + m_nodeId +
                                                       ", expected=" + stageName(pending.stage) +
                                                       ", actual=" + ackStage + ", request=" + pending.name});
                m_changes.stateChanged();
            }
            else if (pending.acked)
            {
                ++shown.duplicateAckCount;
                lines.push_back({E_LogLevel::WARN, "收到同一待回复请求的重复ACK并丢弃: nodeId=" + m_nodeId +
                                                       ", stage=" + ackStage + ", request=" + pending.name});
                m_changes.stateChanged();
            }
            else
            {
                pending.acked = true;
                queueEventLocked(event, entry.enteredAt(), lines, wakeWorker);
            }
        }
        else if (const S_ProtocolEventStageReport* report = event.stageReport())
        {
            if (report->stage == shown.stage)
            {
                const bool resultStage =
                    report->stage == toProtocolByte(E_ProtocolStage::PREPARATION) ||
                    report->stage == toProtocolByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION) ||
                    report->stage == toProtocolByte(E_ProtocolStage::FLASHING);
                if (resultStage || !report->succeeded())
                {
                    queueEventLocked(event, entry.enteredAt(), lines, wakeWorker);
                }
            }
            else if (!report->succeeded())
            {
                lines.push_back({E_LogLevel::WARN, "收到非当前阶段的失败报告并丢弃: nodeId=" + m_nodeId +
                                                       ", current=" + stageName(shown.stage) +
                                                       ", reported=" + stageName(report->stage) +
                                                       ", reason=" + report->reasonName()});
            }
        }
        else if (event.deviceStatus() != nullptr)
        {
            if (shown.stage == toProtocolByte(E_ProtocolStage::STATUS_SYNCED))
            {
                // Only the newest status waits.
                purgeLocked(S_EventMatch::deviceStatus());
                queueEventLocked(event, entry.enteredAt(), lines, wakeWorker);
            }
            else if (shown.stage == toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION))
            {
                queueEventLocked(event, entry.enteredAt(), lines, wakeWorker);
            }
        }
        else if (const S_ProtocolEventFileChunkReport* report = event.fileChunkReport())
        {
            const S_EventMatch sameChunk = S_EventMatch::chunkReport(report->fileNo, report->chunkNo);
            if (m_pump != nullptr && m_pump->takeReportLocked(*report, entry.enteredAt()))
            {
                pumping = m_pump;
            }
            else if (shown.stage == toProtocolByte(E_ProtocolStage::FILE_TRANSFER) &&
                     report->fileNo == shown.currentFileNo && report->chunkNo == shown.currentChunkNo &&
                     std::none_of(m_queue.begin(), m_queue.end(),
                                  [&](const S_QueuedEvent& queued)
                                  { return sameChunk.matches(queued.event); }))
            {
                queueEventLocked(event, entry.enteredAt(), lines, wakeWorker);
            }
        }
        else if (const S_ProtocolEventFileVerifyReport* report = event.fileVerifyReport())
        {
            const S_EventMatch sameFile = S_EventMatch::verifyReport(report->fileNo);
            if (shown.stage == toProtocolByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION) &&
                std::find(m_device.fileNos.begin(), m_device.fileNos.end(), report->fileNo) !=
                    m_device.fileNos.end() &&
                std::none_of(m_queue.begin(), m_queue.end(),
                             [&](const S_QueuedEvent& queued) { return sameFile.matches(queued.event); }))
            {
                queueEventLocked(event, entry.enteredAt(), lines, wakeWorker);
            }
        }
        else
        {
            lines.push_back({E_LogLevel::WARN, std::string("收到无法识别的装置协议事件并丢弃: nodeId=") +
                                                   m_nodeId + ", messageType=" + event.messageTypeName()});
        }
    }
    if (pumping != nullptr)
    {
        // Still inside this callback (in flight): a worker at its deadline waits for this send.
        pumping->pumpNext();
    }
    // One worker waits on this device: it is woken once, after the event is in place.
    if (wakeWorker)
    {
        m_wake.notify_one();
    }
}

bool CDeviceSession::takeConnectionState(E_DeviceConnectionState state)
{
    const CInFlight entry(m_connectionCallbacks);
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        S_DeviceExecutionState& shown = m_device.shown;
        if (shown.completed)
        {
            return false;
        }
        const bool differs = shown.connectionState != state;
        changed = differs || (state == E_DeviceConnectionState::CONNECTED && !m_ready.load());
        shown.connectionState = state;
        if (state == E_DeviceConnectionState::CONNECTED)
        {
            m_ready.store(true);
        }
        if (differs)
        {
            ++m_device.connectionChangeCount;
            m_device.lastConnectionChangeAt = entry.enteredAt();
            m_device.lastConnectionState = state;
            if (state == E_DeviceConnectionState::DISCONNECTED)
            {
                ++m_device.disconnectCount;
                m_device.lastDisconnectAt = entry.enteredAt();
            }
            m_changes.stateChanged();
        }
        mirrorLocked();
    }
    m_wake.notify_one();
    return changed;
}

void CDeviceSession::takeInitialConnectionState(E_DeviceConnectionState state)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_device.connectionChangeCount == 0)
    {
        m_device.shown.connectionState = state;
        mirrorLocked();
    }
}

// ---- waits

void CDeviceSession::attachChunkPump(IChunkPump& pump)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pump = &pump;
}

void CDeviceSession::detachChunkPump()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_pump != nullptr)
    {
        IChunkPump* pump = m_pump;
        pump->disarmLocked();
        m_wake.wait(lock, [&] { return !pump->linkBusyLocked(); });
        m_pump = nullptr;
    }
}

void CDeviceSession::wake()
{
    {
        // Taken so that a worker between its look at the flags and its wait does not miss this.
        std::lock_guard<std::mutex> lock(m_mutex);
    }
    m_wake.notify_all();
}

E_WaitResult CDeviceSession::waitForEvent(const S_EventWait& wait, S_ProtocolEvent& event,
                                          TimePoint* receivedAt)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto timeout = std::chrono::milliseconds(wait.timeoutMs);
    const TimePoint begin = SteadyClock::now();
    TimePoint inactivityDeadline = begin + timeout;
    TimePoint hardCap = wait.extendable ? begin + 4 * timeout : inactivityDeadline;
    if (wait.pump != nullptr)
    {
        // Each chunk the pump sends starts the timeout again; only the absolute deadline caps it.
        hardCap = TimePoint::max();
    }
    if (wait.absoluteDeadline)
    {
        hardCap = std::min(hardCap, *wait.absoluteDeadline);
    }
    // Whatever ends the wait, the link is the worker's again before it goes on.
    const auto finish = [&](E_WaitResult result)
    {
        if (wait.pump != nullptr)
        {
            wait.pump->disarmLocked();
            m_wake.wait(lock, [&] { return !wait.pump->linkBusyLocked(); });
        }
        return result;
    };
    if (stoppingOrCompletedLocked())
    {
        return finish(E_WaitResult::WAIT_STOPPED);
    }
    std::uint64_t seenProgress = 0;
    S_EventMatch match = wait.match;
    while (true)
    {
        if (m_device.shown.eventStreamFailed)
        {
            return finish(E_WaitResult::WAIT_EVENT_STREAM_FAILED);
        }
        if (wait.abortable && m_signals.abortRequested.load())
        {
            return finish(E_WaitResult::WAIT_ABORT_REQUESTED);
        }
        if (wait.pump != nullptr)
        {
            if (wait.pump->stoppedLocked())
            {
                return finish(E_WaitResult::WAIT_PUMP_STOPPED);
            }
            match = wait.pump->replyMatchLocked();
            inactivityDeadline = std::max(inactivityDeadline, wait.pump->askedAtLocked() + timeout);
        }
        if (wait.extendable && m_device.progressStage == wait.stage &&
            m_device.progressSequence != seenProgress && m_device.lastProgressAt <= inactivityDeadline)
        {
            seenProgress = m_device.progressSequence;
            inactivityDeadline =
                std::min(hardCap, std::max(inactivityDeadline, m_device.lastProgressAt + timeout));
        }
        const TimePoint effectiveDeadline = std::min(inactivityDeadline, hardCap);

        for (auto it = m_queue.begin(); it != m_queue.end();)
        {
            if (isFailureStageReport(it->event))
            {
                if (it->receivedAt > effectiveDeadline)
                {
                    it = m_queue.erase(it);
                    continue;
                }
                const S_ProtocolEventStageReport report = *it->event.stageReport();
                applyTerminalStageReportLocked(report);
                return finish(E_WaitResult::WAIT_STOPPED);
            }
            if (!match.matches(it->event))
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
                m_queue.erase(it);
                return finish(E_WaitResult::WAIT_MATCHED);
            }
            it = m_queue.erase(it);
        }

        const TimePoint now = SteadyClock::now();
        if (now < effectiveDeadline)
        {
            waitUntil(m_wake, lock, effectiveDeadline);
        }
        else if (m_protocolCallbacks.runningSince(effectiveDeadline))
        {
            m_wake.wait_for(lock, kDrainWait);
        }
        else
        {
            return finish(E_WaitResult::WAIT_TIMEOUT);
        }
        if (m_signals.workerWakes != nullptr)
        {
            m_signals.workerWakes->fetch_add(1, std::memory_order_relaxed);
        }
        if (stoppingOrCompletedLocked())
        {
            return finish(E_WaitResult::WAIT_STOPPED);
        }
    }
}

E_WaitResult CDeviceSession::waitConnectionState(E_DeviceConnectionState wanted, std::uint32_t timeoutMs,
                                                 bool abortable)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const TimePoint deadline =
        wanted == E_DeviceConnectionState::CONNECTED && m_device.connectDeadline != kNever
            ? m_device.connectDeadline
            : SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (true)
    {
        if (stoppingOrCompletedLocked())
        {
            return E_WaitResult::WAIT_STOPPED;
        }
        if (m_device.shown.eventStreamFailed)
        {
            return E_WaitResult::WAIT_EVENT_STREAM_FAILED;
        }
        if (abortable && m_signals.abortRequested.load())
        {
            return E_WaitResult::WAIT_ABORT_REQUESTED;
        }
        if (m_device.shown.connectionState == wanted &&
            (m_device.lastConnectionChangeAt == kNever || m_device.lastConnectionChangeAt <= deadline))
        {
            return E_WaitResult::WAIT_MATCHED;
        }
        const TimePoint now = SteadyClock::now();
        if (now < deadline)
        {
            waitUntil(m_wake, lock, deadline);
        }
        else if (m_connectionCallbacks.runningSince(deadline))
        {
            m_wake.wait_for(lock, kDrainWait);
        }
        else
        {
            return E_WaitResult::WAIT_TIMEOUT;
        }
    }
}

// ---- the one-question rule

bool CDeviceSession::registerPendingRequest(std::uint8_t stage, const char* requestName, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_device.shown.completed)
    {
        error = "装置升级已经结束，禁止发送后续命令: nodeId=" + m_nodeId;
        return false;
    }
    if (m_device.shown.eventStreamFailed)
    {
        error = describeEventStreamFailureLocked();
        return false;
    }
    if (m_device.pendingRequest.present)
    {
        error = "装置已有待回复请求，禁止并行发送下一条问答命令: nodeId=" + m_nodeId +
                ", pending=" + m_device.pendingRequest.name + ", next=" + requestName;
        return false;
    }
    m_device.pendingRequest = {true, false, stage, requestName};
    return true;
}

void CDeviceSession::clearPendingRequest()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_device.pendingRequest = {};
}

void CDeviceSession::purgeLocked(const S_EventMatch& match)
{
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                 [&](const S_QueuedEvent& queued) { return match.matches(queued.event); }),
                  m_queue.end());
}

void CDeviceSession::purge(const S_EventMatch& match)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    purgeLocked(match);
}

// ---- transitions

void CDeviceSession::setStage(E_ProtocolStage stage, const char* text, std::uint8_t progress,
                              std::vector<S_LogLine>& lines)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    S_DeviceExecutionState& shown = m_device.shown;
    if (shown.completed)
    {
        return;
    }
    shown.stage = toProtocolByte(stage);
    m_device.progressStage = shown.stage;
    m_device.progressSequence = 0;
    m_device.lastProgressAt = kNever;
    shown.state = text;
    shown.workflowProgress = progress;
    if (shown.startedAt == 0)
    {
        shown.startedAt = currentUnixMs();
    }
    m_changes.stateChanged();
    lines.push_back({E_LogLevel::INFO, m_device.nodeName + " -> " + text});
}

void CDeviceSession::failLocked(const std::string& detailText, std::uint16_t reasonCode,
                                const char* resultCode, std::vector<S_LogLine>& lines)
{
    S_DeviceExecutionState& shown = m_device.shown;
    if (shown.completed)
    {
        return;
    }
    shown.state = "执行失败";
    shown.result = E_DeviceResult::FAILED;
    shown.completed = true;
    shown.abortAllowed = false;
    shown.finishedAt = currentUnixMs();
    shown.reasonCode = reasonCode;
    shown.reasonName = resultCode;
    shown.detailText = detailText;
    for (S_ComponentRuntime& component : m_device.components)
    {
        component.shown.state = "执行失败";
        component.shown.stateStage = kNoStage;
        component.shown.reasonCode = reasonCode;
        component.shown.reasonName = resultCode;
        component.shown.detailText = detailText;
    }
    m_device.pendingRequest = {};
    mirrorLocked();
    m_changes.stateChanged();
    lines.push_back({E_LogLevel::ERROR, m_device.nodeName + " 执行失败: " + detailText});
}

void CDeviceSession::fail(const std::string& detailText, std::uint16_t reasonCode, const char* resultCode,
                          std::vector<S_LogLine>& lines)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        failLocked(detailText, reasonCode, resultCode, lines);
    }
    m_wake.notify_all();
}

void CDeviceSession::completeLocked(E_DeviceResult result, std::vector<S_LogLine>& lines)
{
    S_DeviceExecutionState& shown = m_device.shown;
    if (shown.completed)
    {
        return;
    }
    shown.completed = true;
    shown.abortAllowed = false;
    shown.finishedAt = currentUnixMs();
    shown.result = result;
    m_device.pendingRequest = {};
    if (result == E_DeviceResult::SUCCESS)
    {
        shown.stage = toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
        shown.workflowProgress = 100;
        shown.state = "升级成功";
        shown.reasonCode = 0;
        shown.reasonName = "OK";
        shown.detailText.clear();
        for (S_ComponentRuntime& component : m_device.components)
        {
            component.shown.componentStageProgress = 100;
            component.shown.versionConfirmed = true;
            component.shown.state = "重启验证完成";
            component.shown.stateStage = kNoStage;
            component.shown.reasonCode = 0;
            component.shown.reasonName = "OK";
            component.shown.detailText = "版本已在重连后确认";
        }
    }
    else
    {
        shown.state = "已终止";
        shown.reasonCode = 0;
        shown.reasonName = "UPGRADE_CONTEXT_RESET";
        shown.detailText = "用户终止升级";
        for (S_ComponentRuntime& component : m_device.components)
        {
            component.shown.state = "已终止";
            component.shown.stateStage = kNoStage;
            component.shown.reasonCode = 0;
            component.shown.reasonName = "UPGRADE_CONTEXT_RESET";
            component.shown.detailText = "用户终止升级";
        }
    }
    mirrorLocked();
    m_changes.stateChanged();
    lines.push_back({E_LogLevel::INFO, m_device.nodeName + " -> " + shown.state});
}

void CDeviceSession::complete(E_DeviceResult result, std::vector<S_LogLine>& lines)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        completeLocked(result, lines);
    }
    m_wake.notify_all();
}

// A stage report with a result other than success, met while waiting: the device ends with the
// report's reason (result 3 is a context reset, anything else a failure).
void CDeviceSession::applyTerminalStageReportLocked(const S_ProtocolEventStageReport& report)
{
    S_DeviceExecutionState& shown = m_device.shown;
    if (shown.completed)
    {
        return;
    }
    shown.stage = report.stage;
    std::uint8_t begin = 0;
    std::uint8_t end = 0;
    stageProgressBand(report.stage, begin, end);
    const unsigned reached =
        begin + static_cast<unsigned>(std::min<std::uint8_t>(report.progress, 100)) * (end - begin) / 100;
    shown.workflowProgress = static_cast<std::uint8_t>(std::max<unsigned>(shown.workflowProgress, reached));
    const bool reset = report.contextReset();
    shown.result = reset ? E_DeviceResult::ABORTED : E_DeviceResult::FAILED;
    shown.state = reset ? "已终止" : "执行失败";
    shown.detailText =
        std::string(reset ? "装置升级上下文已复位: " : "装置阶段执行失败: ") + report.reasonName();
    shown.completed = true;
    shown.abortAllowed = false;
    shown.finishedAt = currentUnixMs();
    shown.reasonCode = report.reasonCode;
    shown.reasonName = report.reasonName();
    for (S_ComponentRuntime& component : m_device.components)
    {
        component.shown.state = shown.state;
        component.shown.stateStage = kNoStage;
        component.shown.reasonCode = report.reasonCode;
        component.shown.reasonName = report.reasonName();
        component.shown.detailText = shown.detailText;
    }
    m_device.pendingRequest = {};
    m_queue.clear();
    mirrorLocked();
    m_changes.stateChanged();
}

bool CDeviceSession::applyProgressLocked(const S_ProtocolEventProgress& progress, TimePoint receivedAt)
{
    S_DeviceExecutionState& shown = m_device.shown;
    if (shown.completed || progress.stage != shown.stage || progress.percentage > 100)
    {
        return false;
    }
    const auto component = std::find_if(m_device.components.begin(), m_device.components.end(),
                                        [&](const S_ComponentRuntime& candidate)
                                        {
                                            return candidate.componentType == progress.componentType &&
                                                   candidate.componentIndex == progress.componentIndex;
                                        });
    if (component == m_device.components.end())
    {
        return false;
    }
    S_ComponentExecutionState& target = component->shown;
    const bool sameStage = component->hasProgressStage && component->progressStage == progress.stage;
    if (sameStage && progress.percentage < target.componentStageProgress)
    {
        return false;
    }
    const bool advance = !sameStage || progress.percentage > target.componentStageProgress;
    const char* stateText = stageName(progress.stage);
    // A component's reason name is always the name of its reason code here (the device is not
    // completed), so the codes tell whether it changes.
    const bool visible = advance || target.stateStage != progress.stage ||
                         target.reasonCode != progress.reasonCode || target.detailText != progress.detailText;
    target.componentStageProgress = progress.percentage;
    target.state = stateText;
    target.stateStage = progress.stage;
    target.reasonCode = progress.reasonCode;
    target.reasonName = progress.reasonName();
    target.detailText = progress.detailText;
    component->hasProgressStage = true;
    component->progressStage = progress.stage;
    if (advance)
    {
        m_device.lastProgressAt = receivedAt;
        ++m_device.progressSequence;
        m_device.progressStage = progress.stage;
    }
    if (visible)
    {
        m_changes.progressChanged();
    }
    return visible;
}

void CDeviceSession::copyShown(S_DeviceExecutionState& device, S_ComponentExecutionState* components) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    device = m_device.shown;
    for (const S_ComponentRuntime& component : m_device.components)
    {
        *components++ = component.shown;
    }
}

}  // namespace ota::backend
