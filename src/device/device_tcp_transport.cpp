#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"

#include <functional>
#include <limits>

namespace ota::backend
{

using State = E_DeviceConnectionState;

namespace
{

using FrameEncoder = std::function<bool(IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes,
                                        std::string& messageType, std::string& error)>;

constexpr std::size_t MAX_SEND_SIZE = std::size_t{1} << 31;

bool submitUpgradeFrame(CDeviceTcpManager& manager, CDeviceTcpManager::S_Impl& impl, const std::string& deviceId,
                        std::uint32_t upgradeNo, const FrameEncoder& encoder, std::string& error)
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
    std::vector<std::uint8_t> bytes;
    std::string messageType;
    {
        std::shared_lock<std::shared_mutex> runLock(impl.runLock);
        if (!impl.run || !impl.run->running)
        {
            error = "Device TCP manager is not running";
            return false;
        }
        const auto found = impl.run->nodesById.find(deviceId);
        if (found == impl.run->nodesById.end())
        {
            error = "Communication node does not exist: " + deviceId;
            return false;
        }
        S_CommunicationNodeContext& node = *found->second;
        if (!node.adapter)
        {
            error = "Protocol adapter is unavailable for communication node: " + deviceId;
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
    }
    return manager.submitEncodedFrame(deviceId, bytes, messageType, upgradeNo, error);
}

}  // namespace

bool CDeviceTcpManager::submitEncodedFrame(const std::string& deviceId, const std::vector<std::uint8_t>& bytes,
                                           const std::string& messageType, std::uint32_t upgradeNo,
                                           std::string& error)
{
    error.clear();
    std::shared_lock<std::shared_mutex> runLock(m_impl->runLock);
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
    const DeviceTcpRunPointer& run = m_impl->run;
    if (!run || !run->running || !run->loopRunning)
    {
        error = "Device TCP manager is not running";
        return false;
    }
    const auto found = run->nodesById.find(deviceId);
    if (found == run->nodesById.end())
    {
        error = "Communication node does not exist: " + deviceId;
        return false;
    }
    S_CommunicationNodeContext& node = *found->second;
    const auto isSendable = [&] {
        return node.status.connectionState == State::CONNECTED && node.hasConnection && node.channel;
    };
    {
        std::lock_guard<std::mutex> lock(m_impl->stateMutex);
        if (!isSendable())
        {
            error = "Communication node is not connected: " + deviceId;
            return false;
        }
    }

    bool connectionChanged = false;
    int writeResult = 0;
    {
        std::lock_guard<std::mutex> sendLock(node.sendMutex);
        CDeviceTcpChannel::Pointer channel;
        std::uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(m_impl->stateMutex);
            if (!isSendable())
            {
                error = "Communication node disconnected before frame submission: " + deviceId;
                return false;
            }
            channel = node.channel;
            generation = node.connectionGeneration;
        }
        writeResult = channel->write(bytes);
        std::lock_guard<std::mutex> lock(m_impl->stateMutex);
        if (!S_Impl::isCurrentLocked(node, channel.get(), generation))
        {
            connectionChanged = true;
        }
        else
        {
            if (writeResult < 0)
            {
                node.status.lastError =
                    "libhv failed to submit encoded protocol frame, result=" + std::to_string(writeResult);
                error = node.status.lastError;
            }
            else
            {
                ++node.status.sentFrameCount;
                node.status.sentByteCount += bytes.size();
                node.status.lastError.clear();
            }
            node.status.lastEventAt = currentUnixMs();
        }
    }

    if (connectionChanged)
    {
        error = "Communication node connection changed during frame submission: " + deviceId;
        m_impl->recordOutgoingFrameTrace(node, "ERROR", messageType, upgradeNo, bytes, error);
        logDeviceLine("WARN", "Protocol frame submission became stale: " + deviceId + ", " + error);
        return false;
    }
    if (writeResult < 0)
    {
        m_impl->recordOutgoingFrameTrace(node, "ERROR", messageType, upgradeNo, bytes, error);
        logDeviceLine("WARN", "Protocol frame submission failed: " + deviceId + ", " + error);
        return false;
    }
    m_impl->recordOutgoingFrameTrace(node, "TX", messageType, upgradeNo, bytes, {});
    logDeviceLine("INFO", "Protocol frame submitted: " + deviceId +
                              ", type=" + (messageType.empty() ? std::string("UNKNOWN") : messageType) +
                              ", bytes=" + std::to_string(bytes.size()));
    return true;
}

bool CDeviceTcpManager::sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                               std::string& error)
{
    return submitUpgradeFrame(
        *this, *m_impl, deviceId, upgradeNo,
        [upgradeNo](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
                    std::string& encodeError) {
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
        },
        error);
}

bool CDeviceTcpManager::sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                                           const S_ProtocolCommand& command, std::string& error)
{
    return submitUpgradeFrame(*this, *m_impl, deviceId, upgradeNo,
                              [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes,
                                  std::string& messageType, std::string& encodeError) {
                                  return adapter.encodeCommand(upgradeNo, command, bytes, messageType, encodeError);
                              },
                              error);
}

bool CDeviceTcpManager::sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                                              const S_ProtocolTargetList& targetList, std::string& error)
{
    return submitUpgradeFrame(*this, *m_impl, deviceId, upgradeNo,
                              [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes,
                                  std::string& messageType, std::string& encodeError) {
                                  return adapter.encodeTargetList(upgradeNo, targetList, bytes, messageType,
                                                                  encodeError);
                              },
                              error);
}

bool CDeviceTcpManager::sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                                            const S_ProtocolFileInfo& fileInfo, std::string& error)
{
    return submitUpgradeFrame(*this, *m_impl, deviceId, upgradeNo,
                              [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes,
                                  std::string& messageType, std::string& encodeError) {
                                  return adapter.encodeFileInfo(upgradeNo, fileInfo, bytes, messageType, encodeError);
                              },
                              error);
}

bool CDeviceTcpManager::sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                                             const S_ProtocolFileChunk& fileChunk, std::string& error)
{
    return submitUpgradeFrame(*this, *m_impl, deviceId, upgradeNo,
                              [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes,
                                  std::string& messageType, std::string& encodeError) {
                                  return adapter.encodeFileChunk(upgradeNo, fileChunk, bytes, messageType,
                                                                 encodeError);
                              },
                              error);
}

}  // namespace ota::backend
