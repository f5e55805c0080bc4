#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"

namespace ota::backend
{

void CDeviceTcpManager::S_Impl::recordFrameTrace(const S_CommunicationNodeContext& node,
                                                 std::string_view direction, std::string_view messageType,
                                                 std::uint32_t upgradeNo, std::uint64_t frameLength,
                                                 std::string hexText, std::string errorSummary)
{
    if (!captureEnabled.load())
    {
        return;  // capture costs nothing while off
    }
    // The node's identity is fixed for the run: read without its lock.
    S_FrameTraceRecord record;
    record.timestamp = currentUnixMs();
    record.direction = direction.empty() ? "ERROR" : std::string(direction);
    record.deviceId = node.status.nodeId;
    record.deviceName = node.status.nodeName;
    record.ip = node.status.address;
    record.port = node.status.port;
    record.messageType = messageType.empty() ? "UNKNOWN" : std::string(messageType);
    record.upgradeNo = upgradeNo;
    record.frameLength = frameLength;
    record.hexText = std::move(hexText);
    record.errorSummary = toValidUtf8(errorSummary);
    std::lock_guard<std::mutex> lock(traceMutex);
    if (!captureEnabled.load())
    {
        return;  // switched off meanwhile: the trace was emptied and stays so
    }
    traceRing.append(std::move(record));
    ++traceVersion;
}

void CDeviceTcpManager::S_Impl::recordOutgoingFrameTrace(const S_CommunicationNodeContext& node,
                                                         std::string_view direction,
                                                         std::string_view messageType,
                                                         std::uint32_t upgradeNo, const std::uint8_t* data,
                                                         std::size_t size, std::string errorSummary)
{
    if (!captureEnabled.load())
    {
        return;
    }
    // Formatted outside any lock: a chunk frame gives about 100 KB of text.
    std::string hexText = formatFrameHexText(data, size);
    recordFrameTrace(node, direction, messageType, upgradeNo, size, std::move(hexText),
                     std::move(errorSummary));
}

void CDeviceTcpManager::setFrameCaptureEnabled(bool enabled)
{
    std::lock_guard<std::mutex> lock(m_impl->traceMutex);
    m_impl->captureEnabled = enabled;
    if (!enabled)
    {
        m_impl->traceRing.clear();
    }
    ++m_impl->traceVersion;
}

bool CDeviceTcpManager::isFrameCaptureEnabled() const
{
    return m_impl->captureEnabled.load();
}

std::uint64_t CDeviceTcpManager::getFrameTraceVersion() const
{
    std::lock_guard<std::mutex> lock(m_impl->traceMutex);
    return m_impl->traceVersion;
}

bool CDeviceTcpManager::serializeFrameTrace(std::string& json, std::string& error) const
{
    bool enabled = false;
    std::vector<S_FrameTraceRecord> records;
    {
        std::lock_guard<std::mutex> lock(m_impl->traceMutex);
        enabled = m_impl->captureEnabled.load();
        records = m_impl->traceRing.copy();
    }
    return serializeFrameTraceRecords(enabled, records, json, error);
}

namespace
{

std::vector<S_CommunicationNodeStatus> copyStatuses(const CDeviceTcpManager::S_Impl& impl, bool& running)
{
    std::shared_lock<std::shared_mutex> runLock(impl.runLock);
    std::vector<S_CommunicationNodeStatus> statuses;
    running = impl.run && impl.run->running;
    if (!impl.run)
    {
        return statuses;
    }
    statuses.reserve(impl.run->nodes.size());
    for (const auto& node : impl.run->nodes)
    {
        std::lock_guard<std::mutex> lock(node->mutex);
        statuses.push_back(node->status);
    }
    return statuses;
}

}  // namespace

std::vector<S_CommunicationNodeStatus> CDeviceTcpManager::getCommunicationNodeStatuses() const
{
    bool running = false;
    return copyStatuses(*m_impl, running);
}

bool CDeviceTcpManager::serializeCommunicationSnapshot(std::uint64_t sceneGeneration, bool deviceTcpEnabled,
                                                       std::string& json, std::string& error) const
{
    bool running = false;
    const std::vector<S_CommunicationNodeStatus> statuses = copyStatuses(*m_impl, running);
    return serializeCommunicationSnapshotDocument(statuses, running, sceneGeneration, deviceTcpEnabled,
                                                  currentUnixMs(), json, error);
}

S_DeviceTcpStatusSummary CDeviceTcpManager::getStatusSummary() const
{
    bool running = false;
    const std::vector<S_CommunicationNodeStatus> statuses = copyStatuses(*m_impl, running);
    return summarizeNodeStatuses(running, statuses);
}

S_DeviceTcpMetrics CDeviceTcpManager::getMetrics() const
{
    S_DeviceTcpMetrics metrics;
    std::shared_lock<std::shared_mutex> runLock(m_impl->runLock);
    if (!m_impl->run)
    {
        return metrics;
    }
    for (const auto& node : m_impl->run->nodes)
    {
        std::lock_guard<std::mutex> lock(node->mutex);
        const S_CommunicationNodeStatus& status = node->status;
        const auto state = static_cast<std::size_t>(status.connectionState);
        if (state < metrics.devicesByState.size())
        {
            ++metrics.devicesByState[state];
        }
        metrics.sentFrameCount += status.sentFrameCount;
        metrics.receivedFrameCount += status.receivedFrameCount;
        metrics.sentByteCount += status.sentByteCount;
        metrics.receivedByteCount += status.receivedByteCount;
        metrics.invalidFrameCount += status.invalidFrameCount;
    }
    return metrics;
}

}  // namespace ota::backend
