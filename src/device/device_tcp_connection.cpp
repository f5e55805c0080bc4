#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"
#include "device/device_tcp_timing.h"

#include <boost/asio/post.hpp>

namespace ota::backend
{

using State = E_DeviceConnectionState;

namespace
{

std::string endpointText(const S_CommunicationNodeStatus& status)
{
    return status.nodeId + " " + status.address + ":" + std::to_string(status.port);
}

}  // namespace

bool CDeviceTcpManager::S_Impl::isCurrentLocked(const S_CommunicationNodeContext& node,
                                                const CDeviceTcpChannel* channel, std::uint64_t generation)
{
    return node.connectionGeneration == generation && node.channel.get() == channel && channel != nullptr;
}

void CDeviceTcpManager::S_Impl::clearStatusQueryLocked(S_CommunicationNodeContext& node)
{
    node.replyPending = false;
    node.replyDeadline = 0;
    node.closeOnTimeout = false;
    node.closing = false;
    node.initialQueryAt = 0;
    node.initialQuerySent = false;
}

void CDeviceTcpManager::S_Impl::scheduleReconnectLocked(S_CommunicationNodeContext& node, std::int64_t now)
{
    const std::uint32_t attempt = node.status.reconnectAttempt;
    node.status.nextReconnectAt =
        now + static_cast<std::int64_t>(reconnectDelayMs(node.status.nodeId, node.reconnectIntervalMs, attempt));
    node.status.reconnectAttempt = nextReconnectAttempt(attempt);
}

S_DisconnectOutcome CDeviceTcpManager::S_Impl::disconnectLocked(S_CommunicationNodeContext& node, std::int64_t now)
{
    S_CommunicationNodeStatus& status = node.status;
    S_DisconnectOutcome outcome;
    outcome.previousState = status.connectionState;
    status.lastEventAt = now;
    node.hasConnection = false;
    node.channel.reset();
    status.statusSynchronized = false;
    status.lastDisconnectedAt = now;
    clearStatusQueryLocked(node);
    if (outcome.previousState == State::VERIFYING || outcome.previousState == State::CONNECTED)
    {
        ++status.disconnectionCount;
    }
    else if (outcome.previousState == State::CONNECTING)
    {
        ++status.connectionFailureCount;
    }
    node.transferLog.interrupt(status.nodeId, outcome.transferSummary);
    if (node.autoReconnect && status.connectionState != State::DISCONNECTED)
    {
        status.connectionState = State::DISCONNECTED;
        status.lastError = "TCP connection closed; waiting for reconnect";
        scheduleReconnectLocked(node, now);
    }
    outcome.currentState = status.connectionState;
    return outcome;
}

void CDeviceTcpManager::S_Impl::finishDisconnect(S_CommunicationNodeContext& node, const S_DisconnectOutcome& outcome)
{
    {
        std::lock_guard<std::mutex> lock(node.adapterMutex);
        node.adapter->resetDecoder();
    }
    if (outcome.previousState != State::DISCONNECTED)
    {
        deliverConnectionState(node.status.nodeId, outcome.currentState);
    }
    if (outcome.previousState == State::VERIFYING || outcome.previousState == State::CONNECTED)
    {
        logDeviceLine(E_DeviceLogLevel::WARN, "TCP disconnected: " + node.status.nodeId);
    }
    logTransferSummary(outcome.transferSummary);
}

void CDeviceTcpManager::S_Impl::postConnectTask(const DeviceTcpRunPointer& run, S_CommunicationNodeContext& node)
{
    boost::asio::post(run->loop, [this, runPointer = run.get(), nodePointer = &node] {
        runConnectTask(*runPointer, *nodePointer);
    });
}

void CDeviceTcpManager::S_Impl::runConnectTask(S_DeviceTcpRunContext& run, S_CommunicationNodeContext& node)
{
    std::uint64_t generation = 0;
    CDeviceTcpChannel::Pointer previousChannel;
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        node.connectTaskQueued = false;
        --run.queuedConnectCount;
        if (run.stopRequested || !run.running || !node.autoReconnect || !node.client ||
            node.status.connectionState != State::CONNECTING)
        {
            return;
        }
        generation = ++node.connectionGeneration;
        previousChannel = std::move(node.channel);
        node.hasConnection = false;
    }
    if (previousChannel)
    {
        previousChannel->clearHandlers();
        previousChannel->closeOnLoop();
        previousChannel.reset();
    }

    auto channel = std::make_shared<CDeviceTcpChannel>(run.loop, run.nextChannelId++);
    S_CommunicationNodeContext* nodePointer = &node;
    channel->setHandlers(CDeviceTcpChannel::S_Handlers{
        [this, nodePointer, generation](const CDeviceTcpChannel::Pointer& self) {
            onChannelConnected(*nodePointer, self, generation);
        },
        [this, nodePointer, generation](const CDeviceTcpChannel::Pointer& self, const std::uint8_t* data,
                                        std::size_t size) { onChannelData(*nodePointer, self, generation, data, size); },
        [this, nodePointer, generation](const CDeviceTcpChannel::Pointer& self) {
            onChannelClosed(*nodePointer, self, generation);
        },
    });
    const int result = node.client->startConnect(*channel);

    bool stale = false;
    bool notifyFailure = false;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        const std::int64_t now = currentUnixMs();
        ++node.status.connectionAttemptCount;
        node.status.lastEventAt = now;
        if (result >= 0)
        {
            if (node.connectionGeneration == generation)
            {
                node.channel = channel;
            }
            else
            {
                stale = true;
            }
        }
        else
        {
            failure = "libhv startConnect failed with result=" + std::to_string(result);
            if (node.autoReconnect)
            {
                node.status.connectionState = State::DISCONNECTED;
                ++node.status.connectionFailureCount;
                node.status.lastEventAt = now;
                node.status.lastError = failure;
                scheduleReconnectLocked(node, now);
                notifyFailure = true;
            }
        }
    }
    if (stale)
    {
        channel->clearHandlers();
        channel->close();
        return;
    }
    if (result < 0)
    {
        channel->clearHandlers();
        if (notifyFailure)
        {
            deliverConnectionState(node.status.nodeId, State::DISCONNECTED);
        }
        logDeviceLine(E_DeviceLogLevel::WARN, "TCP connect attempt failed: " + node.status.nodeId + " " +
                                                  node.status.address + ":" +
                                                  std::to_string(node.status.port) + ", " + failure);
    }
}

void CDeviceTcpManager::S_Impl::onChannelConnected(S_CommunicationNodeContext& node,
                                                   const CDeviceTcpChannel::Pointer& channel,
                                                   std::uint64_t generation)
{
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        if (!isCurrentLocked(node, channel.get(), generation))
        {
            channel->close();
            return;
        }
    }
    const int keepAliveResult = channel->enableKeepAlive(node.keepAliveIdleSeconds);
    if (keepAliveResult != 0)
    {
        logDeviceLine(E_DeviceLogLevel::WARN, "Cannot enable TCP KeepAlive for " + node.status.nodeId +
                                                  ", result=" + std::to_string(keepAliveResult));
    }
    // A new connection never sees bytes of an old one.
    {
        std::lock_guard<std::mutex> lock(node.adapterMutex);
        node.adapter->resetDecoder();
    }

    bool verifying = false;
    bool closeChannel = false;
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        if (!isCurrentLocked(node, channel.get(), generation))
        {
            closeChannel = true;
        }
        else
        {
            node.hasConnection = true;
            S_CommunicationNodeStatus& status = node.status;
            const std::int64_t now = currentUnixMs();
            status.lastEventAt = now;
            if (status.connectionState == State::VERIFYING || status.connectionState == State::CONNECTED)
            {
                // already handled
            }
            else if (node.autoReconnect && status.connectionState == State::CONNECTING)
            {
                status.connectionState = State::VERIFYING;
                ++status.successfulConnectionCount;
                status.lastConnectedAt = now;
                status.lastError.clear();
                status.reconnectAttempt = 0;
                status.nextReconnectAt = 0;
                status.statusSynchronized = false;
                status.lastStatusAt = 0;
                status.upgradeNo = 0;
                status.upgradeState = "UNKNOWN";
                status.reasonName = "UNKNOWN";
                status.reasonCode = 0;
                status.components.clear();
                clearStatusQueryLocked(node);
                node.initialQueryAt =
                    status.lastConnectedAt +
                    static_cast<std::int64_t>(initialStatusQueryDelayMs(status.nodeId, node.initialStatusQueryDelayMs));
                verifying = true;
            }
            else
            {
                closeChannel = true;
            }
        }
    }
    if (closeChannel)
    {
        channel->close();
        return;
    }
    if (verifying)
    {
        deliverConnectionState(node.status.nodeId, State::VERIFYING);
        logDeviceLine(E_DeviceLogLevel::INFO, "TCP connected: " + endpointText(node.status));
    }
}

void CDeviceTcpManager::S_Impl::onChannelClosed(S_CommunicationNodeContext& node,
                                                const CDeviceTcpChannel::Pointer& channel, std::uint64_t generation)
{
    S_DisconnectOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        if (!isCurrentLocked(node, channel.get(), generation))
        {
            return;
        }
        outcome = disconnectLocked(node, currentUnixMs());
    }
    finishDisconnect(node, outcome);
}

}  // namespace ota::backend
