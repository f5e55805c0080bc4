#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"

namespace ota::backend
{

using State = E_DeviceConnectionState;

namespace
{

bool isLinked(State state) { return state == State::VERIFYING || state == State::CONNECTED; }

constexpr std::string_view PROTOCOL_ERROR = "PROTOCOL_ERROR";

}  // namespace

void CDeviceTcpManager::S_Impl::onChannelData(S_CommunicationNodeContext& node,
                                              const CDeviceTcpChannel::Pointer& channel, std::uint64_t generation,
                                              const std::uint8_t* data, std::size_t size)
{
    const std::string& nodeId = node.status.nodeId;
    const auto isLive = [&] { return isCurrentLocked(node, channel.get(), generation) && isLinked(node.status.connectionState); };

    if (size == 0)
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (isLive())
        {
            node.status.lastError = "Received an empty TCP message";
            recordFrameTraceLocked(node, "ERROR", PROTOCOL_ERROR, 0, 0, {}, "Received an empty TCP message");
        }
        return;
    }
    if (!node.autoReconnect)
    {
        return;
    }
    bool withHexText = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!isLive())
        {
            return;
        }
        node.status.receivedByteCount += size;
        node.status.lastEventAt = currentUnixMs();
        withHexText = captureEnabled;
    }

    S_ProtocolDecodeResult decoded;
    {
        std::lock_guard<std::mutex> lock(node.adapterMutex);
        decoded = node.adapter->decode(data, size, withHexText);
    }

    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!isLive())
        {
            return;
        }
        if (decoded.discardedByteCount > 0)
        {
            recordFrameTraceLocked(node, "ERROR", PROTOCOL_ERROR, 0, decoded.discardedByteCount, {},
                                   "Discarded invalid stream bytes: " + std::to_string(decoded.discardedByteCount));
        }
        for (const std::string& decodeError : decoded.errors)
        {
            node.status.lastError = toValidUtf8(decodeError);
            node.status.lastEventAt = currentUnixMs();
            recordFrameTraceLocked(node, "ERROR", PROTOCOL_ERROR, 0, 0, {}, decodeError);
        }
    }
    if (decoded.discardedByteCount > 0)
    {
        logDeviceLine("WARN", "Communication node " + nodeId + " discarded " +
                                  std::to_string(decoded.discardedByteCount) + " invalid stream byte(s)");
    }
    for (const std::string& decodeError : decoded.errors)
    {
        logDeviceLine("ERROR", "Communication node " + nodeId + " protocol decode failed: " + toValidUtf8(decodeError));
    }

    for (S_ProtocolEvent& event : decoded.events)
    {
        bool verified = false;
        std::size_t componentCount = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            if (!isLive())
            {
                return;
            }
            S_CommunicationNodeStatus& status = node.status;
            const std::int64_t now = currentUnixMs();
            ++status.receivedFrameCount;
            status.lastEventAt = now;
            recordFrameTraceLocked(node, "RX", event.messageType, event.upgradeNo, event.frameLength,
                                   std::move(event.hexText), {});
            event.hexText.clear();
            if (event.deviceStatus.present)
            {
                const S_ProtocolEventDeviceStatus& reported = event.deviceStatus;
                verified = status.connectionState == State::VERIFYING;
                status.connectionState = State::CONNECTED;
                status.statusSynchronized = true;
                ++status.statusReportCount;
                status.lastStatusAt = now;
                clearStatusQueryLocked(node);
                node.initialQuerySent = true;
                status.lastError.clear();
                status.upgradeNo = reported.upgradeNo;
                status.upgradeState = reported.upgradeState;
                status.reasonCode = reported.reasonCode;
                status.reasonName = reported.reasonName;
                status.components.clear();
                status.components.reserve(reported.components.size());
                for (const S_ProtocolEventComponent& component : reported.components)
                {
                    status.components.push_back(S_CommunicationComponentStatus{
                        toValidUtf8(component.componentTypeId), component.componentIndex,
                        toValidUtf8(component.version)});
                }
                componentCount = status.components.size();
            }
        }
        if (event.deviceStatus.present)
        {
            if (verified)
            {
                logDeviceLine("INFO", "Communication node status synchronized: " + nodeId +
                                          ", components=" + std::to_string(componentCount));
                deliverConnectionState(nodeId, State::CONNECTED);
            }
        }
        else
        {
            logDeviceLine("INFO", "Communication node " + nodeId + " reported protocol event " + event.messageType);
        }
        bool deliver = false;
        {
            // Re-checked: the node may have changed while the lock was released.
            std::lock_guard<std::mutex> lock(stateMutex);
            deliver = isLive();
        }
        if (deliver)
        {
            deliverProtocolEvent(nodeId, event);
        }
    }

    if (!decoded.connectionRejected)
    {
        return;
    }
    const std::string reason = decoded.rejectionReason.empty() ? std::string("Protocol adapter rejected the connection")
                                                               : toValidUtf8(decoded.rejectionReason);
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!isCurrentLocked(node, channel.get(), generation))
        {
            return;
        }
        node.hasConnection = false;
        node.channel.reset();
        node.autoReconnect = false;
        S_CommunicationNodeStatus& status = node.status;
        status.reconnectAllowed = false;
        status.connectionState = State::PROTOCOL_REJECTED;
        status.statusSynchronized = false;
        status.lastError = reason;
        status.upgradeState = "FAULT";
        status.components.clear();
        status.lastEventAt = currentUnixMs();
        clearStatusQueryLocked(node);
    }
    logDeviceLine("ERROR", "Communication node " + nodeId + " rejected by protocol adapter: " + reason);
    deliverConnectionState(nodeId, State::PROTOCOL_REJECTED);
    channel->close();
}

}  // namespace ota::backend
