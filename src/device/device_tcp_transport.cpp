#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"

// Frame submission to a node: the five upgrade sends by id, and the path every frame of the node
// takes to its connection. Locks as in device_tcp_manager_impl.h: runLock shared around the
// look-up, then the node's sendMutex for the write, with its mutex taken briefly before and after.

namespace ota::backend
{

using State = E_DeviceConnectionState;

namespace
{

constexpr std::size_t MAX_SEND_SIZE = std::size_t{1} << 31;

bool isSendable(const S_CommunicationNodeContext& node)
{
    return node.status.connectionState == State::CONNECTED && node.hasConnection && node.channel;
}

}  // namespace

bool CDeviceTcpManager::S_Impl::submitToNode(S_DeviceTcpRunContext& run, S_CommunicationNodeContext& node,
                                             const CDeviceTcpChannel::FramePointer& frame,
                                             std::string_view messageType, std::uint32_t upgradeNo,
                                             const S_ChunkFrameInfo* chunk, std::string& error)
{
    const std::string& deviceId = node.status.nodeId;
    const std::size_t size = frame->size();
    if (size == 0)
    {
        error = "Encoded protocol frame is empty";
        return false;
    }
    if (size >= MAX_SEND_SIZE)
    {
        error = "Encoded protocol frame is too large for libhv send";
        return false;
    }
    if (!run.running || !run.loopRunning)
    {
        error = "Device TCP manager is not running";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        if (!isSendable(node))
        {
            error = "Communication node is not connected: " + deviceId;
            return false;
        }
    }

    bool frameLine = true;
    std::string transferSummary;  // a transfer this frame stopped
    std::string unsentSummary;    // the transfer of this chunk, when the chunk did not go out
    const S_NodeWriteResult written = writeToNode(
        node, frame,
        [&]
        {
            if (!isSendable(node))
            {
                error = "Communication node disconnected before frame submission: " + deviceId;
                return false;
            }
            // Entered before the write: the device may answer a chunk before the write returns.
            if (chunk != nullptr)
            {
                frameLine = node.transferLog.chunkSent(deviceId, upgradeNo, chunk->fileNo, chunk->chunkNo,
                                                       chunk->totalChunks, size, transferSummary);
            }
            else
            {
                node.transferLog.interrupt(deviceId, transferSummary);
            }
            return true;
        },
        [&](const S_NodeWriteResult& result)
        {
            if (result.outcome != E_NodeWriteOutcome::CONNECTION_CHANGED)
            {
                if (result.writeResult < 0)
                {
                    node.status.lastError = "libhv failed to submit encoded protocol frame, result=" +
                                            std::to_string(result.writeResult);
                    error = node.status.lastError;
                }
                else
                {
                    ++node.status.sentFrameCount;
                    node.status.sentByteCount += size;
                    node.status.lastError.clear();
                }
                node.status.lastEventAt = currentUnixMs();
            }
            if (result.outcome != E_NodeWriteOutcome::WRITTEN && chunk != nullptr)
            {
                node.transferLog.chunkNotSent(deviceId, size, unsentSummary);
            }
        });

    switch (written.outcome)
    {
        case E_NodeWriteOutcome::REFUSED:
            return false;
        case E_NodeWriteOutcome::CONNECTION_CHANGED:
            error = "Communication node connection changed during frame submission: " + deviceId;
            recordOutgoingFrameTrace(node, "ERROR", messageType, upgradeNo, frame->data(), size, error);
            logDeviceLine(E_DeviceLogLevel::WARN,
                          "Protocol frame submission became stale: " + deviceId + ", " + error);
            logTransferSummary(transferSummary);
            logTransferSummary(unsentSummary);
            return false;
        case E_NodeWriteOutcome::WRITE_FAILED:
            recordOutgoingFrameTrace(node, "ERROR", messageType, upgradeNo, frame->data(), size, error);
            logDeviceLine(E_DeviceLogLevel::WARN,
                          "Protocol frame submission failed: " + deviceId + ", " + error);
            logTransferSummary(transferSummary);
            logTransferSummary(unsentSummary);
            return false;
        case E_NodeWriteOutcome::WRITTEN:
            break;
    }
    recordOutgoingFrameTrace(node, "TX", messageType, upgradeNo, frame->data(), size, {});
    // A transfer this frame stopped is reported before the frame.
    logTransferSummary(transferSummary);
    if (frameLine)
    {
        logDeviceLine(E_DeviceLogLevel::INFO, "Protocol frame submitted: " + deviceId + ", type=" +
                                                  std::string(messageType.empty() ? "UNKNOWN" : messageType) +
                                                  ", bytes=" + std::to_string(size));
    }
    return true;
}

S_CommunicationNodeContext* CDeviceTcpManager::S_Impl::findNodeLocked(const std::string& deviceId,
                                                                      std::string& error) const
{
    const auto found = run->nodesById.find(deviceId);
    if (found == run->nodesById.end())
    {
        error = "Communication node does not exist: " + deviceId;
        return nullptr;
    }
    return found->second;
}

bool CDeviceTcpManager::S_Impl::submitFrame(const std::string& deviceId,
                                            const std::vector<std::uint8_t>& bytes,
                                            std::string_view messageType, std::uint32_t upgradeNo,
                                            const S_ChunkFrameInfo* chunk, std::string& error)
{
    error.clear();
    std::shared_lock<std::shared_mutex> lock(runLock);
    if (deviceId.empty())
    {
        error = "Communication node ID is empty";
        return false;
    }
    if (bytes.empty())
    {
        error = "Encoded protocol frame is empty";
        return false;
    }
    if (bytes.size() >= MAX_SEND_SIZE)
    {
        error = "Encoded protocol frame is too large for libhv send";
        return false;
    }
    if (!run || !run->running || !run->loopRunning)
    {
        error = "Device TCP manager is not running";
        return false;
    }
    S_CommunicationNodeContext* node = findNodeLocked(deviceId, error);
    return node != nullptr &&
           submitToNode(*run, *node, CFrameBuffer::copyOf(bytes), messageType, upgradeNo, chunk, error);
}

bool CDeviceTcpManager::S_Impl::encodeForNode(const std::string& deviceId, std::uint32_t upgradeNo,
                                              const FrameEncoder& encoder, std::vector<std::uint8_t>& bytes,
                                              std::string& messageType, std::string& error)
{
    error.clear();
    if (deviceId.empty())
    {
        error = "Communication node ID is empty";
        return false;
    }
    if (upgradeNo == 0)
    {
        error = "Upgrade number must not be zero";
        return false;
    }
    if (!encoder)
    {
        error = "Upgrade frame encoder is empty";
        return false;
    }
    std::shared_lock<std::shared_mutex> lock(runLock);
    if (!run || !run->running)
    {
        error = "Device TCP manager is not running";
        return false;
    }
    S_CommunicationNodeContext* node = findNodeLocked(deviceId, error);
    return node != nullptr && encodeWith(*node, encoder, bytes, messageType, error);
}

bool CDeviceTcpManager::S_Impl::encodeWith(S_CommunicationNodeContext& node, const FrameEncoder& encoder,
                                           std::vector<std::uint8_t>& bytes, std::string& messageType,
                                           std::string& error)
{
    if (!node.adapter)
    {
        error = "Protocol adapter is unavailable for communication node: " + node.status.nodeId;
        return false;
    }
    std::lock_guard<std::mutex> adapterLock(node.adapterMutex);
    if (!encoder(*node.adapter, bytes, messageType, error))
    {
        if (error.empty())
        {
            error = "Protocol adapter failed to encode upgrade frame";
        }
        return false;
    }
    return true;
}

bool CDeviceTcpManager::S_Impl::sendUpgradeFrame(const std::string& deviceId, std::uint32_t upgradeNo,
                                                 const FrameEncoder& encoder, std::string& error,
                                                 const S_ChunkFrameInfo* chunk)
{
    std::vector<std::uint8_t> bytes;
    std::string messageType;
    if (!encodeForNode(deviceId, upgradeNo, encoder, bytes, messageType, error))
    {
        return false;
    }
    return submitFrame(deviceId, bytes, messageType, upgradeNo, chunk, error);
}

CDeviceTcpManager::S_Impl::FrameEncoder CDeviceTcpManager::S_Impl::upgradeStatusQueryEncoder(
    std::uint32_t upgradeNo)
{
    return [upgradeNo](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes,
                       std::string& messageType, std::string& encodeError)
    {
        std::uint32_t encodedUpgradeNo = 0;
        if (!adapter.encodeUpgradeStatusQuery(upgradeNo, bytes, messageType, encodedUpgradeNo, encodeError))
        {
            return false;
        }
        if (encodedUpgradeNo != upgradeNo)
        {
            encodeError = "Protocol adapter returned an unexpected upgrade number";
            return false;
        }
        return true;
    };
}

bool CDeviceTcpManager::submitEncodedFrame(const std::string& deviceId,
                                           const std::vector<std::uint8_t>& bytes,
                                           const std::string& messageType, std::uint32_t upgradeNo,
                                           std::string& error)
{
    return m_impl->submitFrame(deviceId, bytes, messageType, upgradeNo, nullptr, error);
}

bool CDeviceTcpManager::sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                               std::string& error)
{
    return m_impl->sendUpgradeFrame(deviceId, upgradeNo, S_Impl::upgradeStatusQueryEncoder(upgradeNo), error);
}

bool CDeviceTcpManager::sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                                           const S_ProtocolCommand& command, std::string& error)
{
    return m_impl->sendUpgradeFrame(
        deviceId, upgradeNo,
        [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
            std::string& encodeError)
        { return adapter.encodeCommand(upgradeNo, command, bytes, messageType, encodeError); },
        error);
}

bool CDeviceTcpManager::sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                                              const S_ProtocolTargetList& targetList, std::string& error)
{
    return m_impl->sendUpgradeFrame(
        deviceId, upgradeNo,
        [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
            std::string& encodeError)
        { return adapter.encodeTargetList(upgradeNo, targetList, bytes, messageType, encodeError); },
        error);
}

bool CDeviceTcpManager::sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                                            const S_ProtocolFileInfo& fileInfo, std::string& error)
{
    return m_impl->sendUpgradeFrame(
        deviceId, upgradeNo,
        [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
            std::string& encodeError)
        { return adapter.encodeFileInfo(upgradeNo, fileInfo, bytes, messageType, encodeError); },
        error);
}

bool CDeviceTcpManager::sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                                             const S_ProtocolFileChunk& fileChunk, std::string& error)
{
    const S_ChunkFrameInfo chunk{fileChunk.fileNo, fileChunk.chunkNo, fileChunk.totalChunks};
    return m_impl->sendUpgradeFrame(
        deviceId, upgradeNo,
        [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
            std::string& encodeError)
        { return adapter.encodeFileChunk(upgradeNo, fileChunk, bytes, messageType, encodeError); },
        error, &chunk);
}

}  // namespace ota::backend
