#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"

// The receive path of a node (event loop thread only). Locks: the node's mutex for its state, the
// adapter mutex for decoding, never both; callbacks and console lines with neither held.

namespace ota::backend
{

using State = E_DeviceConnectionState;

namespace
{

bool isLinked(State state)
{
    return state == State::VERIFYING || state == State::CONNECTED;
}

constexpr std::string_view PROTOCOL_ERROR = "PROTOCOL_ERROR";

}  // namespace

void CDeviceTcpManager::S_Impl::onChannelData(S_CommunicationNodeContext& node,
                                              const CDeviceTcpChannel::Pointer& channel,
                                              std::uint64_t generation, const std::uint8_t* data,
                                              std::size_t size)
{
    const std::string& nodeId = node.status.nodeId;
    const auto isLive = [&]
    { return isCurrentLocked(node, channel.get(), generation) && isLinked(node.status.connectionState); };

    if (size == 0)
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        if (isLive())
        {
            node.status.lastError = "Received an empty TCP message";
            recordFrameTrace(node, "ERROR", PROTOCOL_ERROR, 0, 0, {}, "Received an empty TCP message");
        }
        return;
    }
    if (!node.autoReconnect)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        if (!isLive())
        {
            return;
        }
        node.status.receivedByteCount += size;
        node.status.lastEventAt = currentUnixMs();
    }

    // Only this thread decodes for the node, so the result is reused from read to read.
    S_ProtocolDecodeResult& decoded = node.decoded;
    {
        std::lock_guard<std::mutex> lock(node.adapterMutex);
        node.adapter->decodeInto(data, size, captureEnabled.load(), decoded);
    }

    if (decoded.discardedByteCount > 0 || !decoded.errors.empty())
    {
        {
            std::lock_guard<std::mutex> lock(node.mutex);
            if (!isLive())
            {
                return;
            }
            if (decoded.discardedByteCount > 0)
            {
                recordFrameTrace(
                    node, "ERROR", PROTOCOL_ERROR, 0, decoded.discardedByteCount, {},
                    "Discarded invalid stream bytes: " + std::to_string(decoded.discardedByteCount));
            }
            node.status.invalidFrameCount += decoded.errors.size();
            for (const std::string& decodeError : decoded.errors)
            {
                node.status.lastError = toValidUtf8(decodeError);
                node.status.lastEventAt = currentUnixMs();
                recordFrameTrace(node, "ERROR", PROTOCOL_ERROR, 0, 0, {}, decodeError);
            }
        }
        if (decoded.discardedByteCount > 0)
        {
            logDeviceLine(E_DeviceLogLevel::WARN, "Communication node " + nodeId + " discarded " +
                                                      std::to_string(decoded.discardedByteCount) +
                                                      " invalid stream byte(s)");
        }
        for (const std::string& decodeError : decoded.errors)
        {
            logDeviceLine(
                E_DeviceLogLevel::ERROR,
                "Communication node " + nodeId + " protocol decode failed: " + toValidUtf8(decodeError));
        }
    }

    for (S_ProtocolEvent& event : decoded.events)
    {
        bool verified = false;
        std::size_t componentCount = 0;
        bool eventLine = true;
        std::string transferSummary;
        {
            std::lock_guard<std::mutex> lock(node.mutex);
            if (!isLive())
            {
                return;
            }
            S_CommunicationNodeStatus& status = node.status;
            const std::int64_t now = currentUnixMs();
            ++status.receivedFrameCount;
            status.lastEventAt = now;
            recordFrameTrace(node, "RX", event.messageTypeName(), event.upgradeNo, event.frameLength,
                             std::move(event.hexText), {});
            event.hexText.clear();
            if (const S_ProtocolEventFileChunkReport* report = event.fileChunkReport())
            {
                eventLine = node.transferLog.chunkReportReceived(nodeId, event.upgradeNo, report->fileNo,
                                                                 report->chunkNo, report->succeeded(),
                                                                 event.frameLength, transferSummary);
            }
            if (const S_ProtocolEventDeviceStatus* reported = event.deviceStatus())
            {
                verified = status.connectionState == State::VERIFYING;
                status.connectionState = State::CONNECTED;
                status.statusSynchronized = true;
                ++status.statusReportCount;
                status.lastStatusAt = now;
                clearStatusQueryLocked(node);
                node.initialQuerySent = true;
                status.lastError.clear();
                status.upgradeNo = reported->upgradeNo;
                status.upgradeState = reported->upgradeStateName();
                status.reasonCode = reported->reasonCode;
                status.reasonName = reported->reasonName();
                status.components.clear();
                status.components.reserve(reported->components.size());
                for (const S_ProtocolEventComponent& component : reported->components)
                {
                    status.components.push_back(
                        S_CommunicationComponentStatus{component.componentTypeId(), component.componentIndex,
                                                       toValidUtf8(component.version)});
                }
                componentCount = status.components.size();
            }
        }
        if (event.deviceStatus() != nullptr)
        {
            if (verified)
            {
                logDeviceLine(E_DeviceLogLevel::INFO, "Communication node status synchronized: " + nodeId +
                                                          ", components=" + std::to_string(componentCount));
                deliverConnectionState(nodeId, State::CONNECTED);
            }
        }
        else
        {
            if (eventLine)
            {
                logDeviceLine(E_DeviceLogLevel::INFO, std::string("Communication node ") + nodeId +
                                                          " reported protocol event " +
                                                          event.messageTypeName());
            }
            logTransferSummary(transferSummary);
        }
        deliverProtocolEvent(nodeId, event);
    }

    if (!decoded.connectionRejected)
    {
        return;
    }
    std::string rejectionSummary;
    const std::string reason = decoded.rejectionReason.empty()
                                   ? std::string("Protocol adapter rejected the connection")
                                   : toValidUtf8(decoded.rejectionReason);
    {
        std::lock_guard<std::mutex> lock(node.mutex);
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
        node.transferLog.interrupt(nodeId, rejectionSummary);
    }
    logDeviceLine(E_DeviceLogLevel::ERROR,
                  "Communication node " + nodeId + " rejected by protocol adapter: " + reason);
    logTransferSummary(rejectionSummary);
    deliverConnectionState(nodeId, State::PROTOCOL_REJECTED);
    channel->close();
}

}  // namespace ota::backend
