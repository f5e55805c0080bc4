#include "upgrade/upgrade_execution_impl.h"

#include <algorithm>

namespace ota::backend
{

namespace
{

constexpr const char* kDeviceStatus = "MSG_DEVICE_STATUS";
constexpr const char* kAck = "MSG_DEVICE_ACK";
constexpr const char* kStageReport = "MSG_DEVICE_STAGE_REPORT";
constexpr const char* kChunkReport = "MSG_DEVICE_FILE_CHUNK_REPORT";
constexpr const char* kVerifyReport = "MSG_DEVICE_FILE_VERIFY_REPORT";
constexpr const char* kProgress = "MSG_DEVICE_PROGRESS";

using Registry = std::unordered_map<std::string, std::multiset<TimePoint>>;

// Enters a callback into its in-flight registry for as long as it runs, and wakes the device's
// worker when it leaves: a worker at its deadline waits for callbacks that entered before it.
class CInFlightEntry
{
public:
    CInFlightEntry(std::mutex& mutex, Registry& registry, const std::string& nodeId)
        : m_mutex(mutex), m_registry(registry), m_nodeId(nodeId), m_enteredAt(SteadyClock::now())
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_position = m_registry[m_nodeId].insert(m_enteredAt);
    }
    ~CInFlightEntry()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto found = m_registry.find(m_nodeId);
            found->second.erase(m_position);
            if (found->second.empty())
            {
                m_registry.erase(found);
            }
        }
        if (m_leaveSignal)
        {
            m_leaveSignal->notify_all();
        }
    }
    CInFlightEntry(const CInFlightEntry&) = delete;
    CInFlightEntry& operator=(const CInFlightEntry&) = delete;

    TimePoint enteredAt() const { return m_enteredAt; }
    void wakeOnLeave(std::shared_ptr<std::condition_variable> condition)
    {
        m_leaveSignal = std::move(condition);
    }

private:
    std::mutex& m_mutex;
    Registry& m_registry;
    std::shared_ptr<std::condition_variable> m_leaveSignal;
    const std::string& m_nodeId;
    TimePoint m_enteredAt;
    std::multiset<TimePoint>::iterator m_position;
};

bool runningBefore(std::mutex& mutex, const Registry& registry, const std::string& nodeId,
                   TimePoint enteredBy)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = registry.find(nodeId);
    return found != registry.end() && !found->second.empty() && *found->second.begin() <= enteredBy;
}

}  // namespace

bool CUpgradeExecutionService::S_Impl::protocolCallbackRunning(const std::string& nodeId,
                                                               TimePoint enteredBy) const
{
    return runningBefore(registryMutex, protocolCallbacksInFlight, nodeId, enteredBy);
}

bool CUpgradeExecutionService::S_Impl::connectionCallbackRunning(const std::string& nodeId,
                                                                 TimePoint enteredBy) const
{
    return runningBefore(registryMutex, connectionCallbacksInFlight, nodeId, enteredBy);
}

std::string CUpgradeExecutionService::S_Impl::describeEventStreamFailure(const S_DeviceRuntime& device) const
{
    return "装置事件队列溢出，事件流已不完整，停止当前装置升级: nodeId=" + device.nodeId +
           ", protocolDropped=" + std::to_string(device.protocolEventDropCount) +
           ", connectionDropped=" + std::to_string(device.connectionEventDropCount);
}

void CUpgradeExecutionService::S_Impl::onProtocolEvent(const std::string& nodeId,
                                                       const S_ProtocolEvent& event)
{
    CInFlightEntry entry(registryMutex, protocolCallbacksInFlight, nodeId);
    std::shared_ptr<std::condition_variable> deviceWake;
    std::vector<S_LogLine> lines;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!taskActive || event.upgradeNo != upgradeNo)
        {
            return;
        }
        const auto found = deviceIndex.find(nodeId);
        if (found == deviceIndex.end())
        {
            return;
        }
        const std::size_t index = found->second;
        S_DeviceRuntime& device = devices[index];
        if (device.completed)
        {
            return;
        }
        deviceWake = deviceConditions[index];
        entry.wakeOnLeave(deviceWake);
        if (device.eventStreamFailed)
        {
            ++device.protocolEventDropCount;
            lines.push_back(
                {E_LogLevel::WARN, "装置事件流已失败，丢弃后续协议事件: nodeId=" + nodeId +
                                       ", protocolDropped=" + std::to_string(device.protocolEventDropCount)});
            markStateChanged();
            changed = true;
        }
        else
        {
            bool enqueue = false;
            const std::string& type = event.messageType;
            if (type == kProgress && event.progress.present)
            {
                changed = applyDeviceProgress(device, event.progress, entry.enteredAt());
            }
            else if (type == kAck && event.ack.present)
            {
                S_PendingRequest& pending = device.pendingRequest;
                const char* ackStage = stageName(event.ack.stage);
                if (!pending.present)
                {
                    ++device.unexpectedAckCount;
                    lines.push_back({E_LogLevel::WARN, "收到无待回复请求的ACK，按迟到或重复ACK丢弃: nodeId=" +
                                                           nodeId + ", stage=" + ackStage});
                }
                else if (pending.stage != event.ack.stage)
                {
                    ++device.mismatchedAckCount;
                    lines.push_back({E_LogLevel::WARN, "收到阶段不匹配ACK并丢弃: nodeId=" + nodeId +
                                                           ", expected=" + stageName(pending.stage) +
                                                           ", actual=" + ackStage +
                                                           ", request=" + pending.name});
                }
                else if (pending.acked)
                {
                    ++device.duplicateAckCount;
                    lines.push_back({E_LogLevel::WARN, "收到同一待回复请求的重复ACK并丢弃: nodeId=" + nodeId +
                                                           ", stage=" + ackStage +
                                                           ", request=" + pending.name});
                }
                else
                {
                    pending.acked = true;
                    enqueue = true;
                }
                if (!enqueue)
                {
                    markStateChanged();
                    changed = true;
                }
            }
            else if (type == kStageReport && event.stageReport.present)
            {
                const S_ProtocolEventStageReport& report = event.stageReport;
                const bool success = report.result == toProtocolByte(E_ProtocolResult::SUCCESS);
                if (report.stage == device.stage)
                {
                    const bool resultStage =
                        report.stage == toProtocolByte(E_ProtocolStage::PREPARATION) ||
                        report.stage == toProtocolByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION) ||
                        report.stage == toProtocolByte(E_ProtocolStage::FLASHING);
                    enqueue = resultStage || !success;
                }
                else if (!success)
                {
                    lines.push_back({E_LogLevel::WARN, "收到非当前阶段的失败报告并丢弃: nodeId=" + nodeId +
                                                           ", current=" + stageName(device.stage) +
                                                           ", reported=" + stageName(report.stage) +
                                                           ", reason=" + report.reasonName});
                }
            }
            else if (type == kDeviceStatus && event.deviceStatus.present)
            {
                if (device.stage == toProtocolByte(E_ProtocolStage::STATUS_SYNCED))
                {
                    // Only the newest status waits.
                    purgeQueuedEventsLocked(index, [](const S_ProtocolEvent& queued)
                                            { return queued.messageType == kDeviceStatus; });
                    enqueue = true;
                }
                else
                {
                    enqueue = device.stage == toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
                }
            }
            else if (type == kChunkReport && event.fileChunkReport.present)
            {
                const S_ProtocolEventFileChunkReport& report = event.fileChunkReport;
                const DeviceEventQueue& queue = queues[index];
                enqueue = device.stage == toProtocolByte(E_ProtocolStage::FILE_TRANSFER) &&
                          report.fileNo == device.currentFileNo && report.chunkNo == device.currentChunkNo &&
                          std::none_of(queue.begin(), queue.end(),
                                       [&](const S_QueuedEvent& queued)
                                       {
                                           return queued.event.messageType == kChunkReport &&
                                                  queued.event.fileChunkReport.fileNo == report.fileNo &&
                                                  queued.event.fileChunkReport.chunkNo == report.chunkNo;
                                       });
            }
            else if (type == kVerifyReport && event.fileVerifyReport.present)
            {
                const std::uint8_t fileNo = event.fileVerifyReport.fileNo;
                const DeviceEventQueue& queue = queues[index];
                enqueue =
                    device.stage == toProtocolByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION) &&
                    std::find(device.fileNos.begin(), device.fileNos.end(), fileNo) != device.fileNos.end() &&
                    std::none_of(queue.begin(), queue.end(),
                                 [&](const S_QueuedEvent& queued) {
                                     return queued.event.messageType == kVerifyReport &&
                                            queued.event.fileVerifyReport.fileNo == fileNo;
                                 });
            }
            else
            {
                lines.push_back({E_LogLevel::WARN, "收到无法识别的装置协议事件并丢弃: nodeId=" + nodeId +
                                                       ", messageType=" + type});
            }

            if (enqueue)
            {
                DeviceEventQueue& queue = queues[index];
                if (queue.size() >= kDeviceEventQueueCapacity)
                {
                    ++device.protocolEventDropCount;
                    device.eventStreamFailed = true;
                    lines.push_back({E_LogLevel::ERROR, describeEventStreamFailure(device)});
                    markStateChanged();
                    changed = true;
                }
                else
                {
                    queue.push_back({event, entry.enteredAt()});
                }
            }
        }
    }
    deviceWake->notify_all();
    if (changed)
    {
        notifyCondition.notify_all();
    }
    log(lines);
}

void CUpgradeExecutionService::S_Impl::onConnectionStateChanged(const std::string& nodeId,
                                                                E_DeviceConnectionState state)
{
    CInFlightEntry entry(registryMutex, connectionCallbacksInFlight, nodeId);
    std::shared_ptr<std::condition_variable> deviceWake;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!taskActive)
        {
            return;
        }
        const auto found = deviceIndex.find(nodeId);
        if (found == deviceIndex.end() || devices[found->second].completed)
        {
            return;
        }
        S_DeviceRuntime& device = devices[found->second];
        deviceWake = deviceConditions[found->second];
        entry.wakeOnLeave(deviceWake);
        const bool differs = device.connectionState != state;
        device.connectionState = state;
        if (state == E_DeviceConnectionState::CONNECTED)
        {
            device.ready = true;
        }
        if (differs)
        {
            ++device.connectionChangeCount;
            device.lastConnectionChangeAt = entry.enteredAt();
            device.lastConnectionState = state;
            if (state == E_DeviceConnectionState::DISCONNECTED)
            {
                ++device.disconnectCount;
                device.lastDisconnectAt = entry.enteredAt();
            }
            markStateChanged();
            changed = true;
        }
    }
    // The claiming workers care about connections too.
    workerCondition.notify_all();
    deviceWake->notify_all();
    if (changed)
    {
        notifyCondition.notify_all();
    }
}

bool CUpgradeExecutionService::S_Impl::registerPendingRequest(std::size_t index, std::uint8_t stage,
                                                              const std::string& requestName,
                                                              std::string& error)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    S_DeviceRuntime& device = devices[index];
    if (device.completed)
    {
        error = "装置升级已经结束，禁止发送后续命令: nodeId=" + device.nodeId;
        return false;
    }
    if (device.eventStreamFailed)
    {
        error = describeEventStreamFailure(device);
        return false;
    }
    if (device.pendingRequest.present)
    {
        error = "装置已有待回复请求，禁止并行发送下一条问答命令: nodeId=" + device.nodeId +
                ", pending=" + device.pendingRequest.name + ", next=" + requestName;
        return false;
    }
    device.pendingRequest = {true, false, stage, requestName};
    return true;
}

void CUpgradeExecutionService::S_Impl::clearPendingRequest(std::size_t index)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    devices[index].pendingRequest = {};
}

void CUpgradeExecutionService::S_Impl::purgeQueuedEventsLocked(std::size_t index,
                                                               const EventPredicate& predicate)
{
    DeviceEventQueue& queue = queues[index];
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const S_QueuedEvent& queued) { return predicate(queued.event); }),
                queue.end());
}

void CUpgradeExecutionService::S_Impl::purgeQueuedEvents(std::size_t index, const EventPredicate& predicate)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    purgeQueuedEventsLocked(index, predicate);
}

bool CUpgradeExecutionService::S_Impl::sendCommand(std::size_t index, E_ProtocolCommandType commandType,
                                                   std::uint8_t stage, std::uint16_t commandParam,
                                                   std::string& error)
{
    const bool restart = commandType == E_ProtocolCommandType::RESTART_VERIFY;
    std::string nodeId;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        purgeQueuedEventsLocked(
            index,
            [&](const S_ProtocolEvent& queued)
            {
                return (queued.messageType == kStageReport && queued.stageReport.stage == stage) ||
                       (restart && queued.messageType == kDeviceStatus);
            });
        S_DeviceRuntime& device = devices[index];
        if (restart)
        {
            device.restartBaseline = device.disconnectCount;
            device.restartCommandAt = SteadyClock::now();
            device.restartAcceptedAt = kNever;
        }
        nodeId = device.nodeId;
    }
    if (!registerPendingRequest(index, stage, stageName(stage), error))
    {
        log(E_LogLevel::ERROR, error);
        return false;
    }
    S_ProtocolCommand command;
    command.commandType = toProtocolByte(commandType);
    command.stage = stage;
    command.commandParam = commandParam;
    const bool sent = transport->sendUpgradeCommand(nodeId, upgradeNo, command, error);
    if (!sent)
    {
        clearPendingRequest(index);
    }
    return sent;
}

}  // namespace ota::backend
