#include "device/communication_snapshot.h"

#include "common/json_text.h"

#include <algorithm>
#include <exception>

namespace ota::backend
{

S_DeviceTcpStatusSummary summarizeNodeStatuses(bool running, const std::vector<S_CommunicationNodeStatus>& nodes)
{
    S_DeviceTcpStatusSummary summary;
    summary.running = running;
    summary.deviceCount = nodes.size();
    for (const S_CommunicationNodeStatus& node : nodes)
    {
        switch (node.connectionState)
        {
        case E_DeviceConnectionState::PENDING: ++summary.pendingDeviceCount; break;
        case E_DeviceConnectionState::CONNECTED: ++summary.connectedDeviceCount; break;
        case E_DeviceConnectionState::DISCONNECTED: ++summary.disconnectedDeviceCount; break;
        case E_DeviceConnectionState::ERROR: ++summary.errorDeviceCount; break;
        case E_DeviceConnectionState::PROTOCOL_REJECTED: ++summary.protocolRejectedDeviceCount; break;
        default: ++summary.connectingDeviceCount; break;
        }
        summary.receivedFrameCount += node.receivedFrameCount;
        summary.sentFrameCount += node.sentFrameCount;
        summary.receivedByteCount += node.receivedByteCount;
        summary.sentByteCount += node.sentByteCount;
        summary.statusReportCount += node.statusReportCount;
        summary.lastEventAt = std::max(summary.lastEventAt, node.lastEventAt);
        summary.lastStatusAt = std::max(summary.lastStatusAt, node.lastStatusAt);
    }
    return summary;
}

namespace
{

nlohmann::json nodeJson(const S_CommunicationNodeStatus& node, std::int64_t nowMs)
{
    nlohmann::json components = nlohmann::json::array();
    for (const S_CommunicationComponentStatus& component : node.components)
    {
        components.push_back({{"typeId", component.componentTypeId},
                              {"index", component.componentIndex},
                              {"version", component.version}});
    }
    nlohmann::json statusAge = nullptr;
    if (node.lastStatusAt != 0)
    {
        statusAge = std::max<std::int64_t>(0, nowMs - node.lastStatusAt);
    }
    return {{"nodeId", node.nodeId},
            {"nodeName", node.nodeName},
            {"nodePath", node.nodePath},
            {"nodeTypeId", node.nodeTypeId},
            {"protocolAdapterId", node.protocolAdapterId},
            {"protocolNodeType", node.protocolNodeType},
            {"address", node.address},
            {"port", node.port},
            {"connectionState", deviceConnectionStateName(node.connectionState)},
            {"connected", node.connectionState == E_DeviceConnectionState::CONNECTED},
            {"reconnectAllowed", node.reconnectAllowed},
            {"connectionAttemptCount", node.connectionAttemptCount},
            {"successfulConnectionCount", node.successfulConnectionCount},
            {"connectionFailureCount", node.connectionFailureCount},
            {"disconnectionCount", node.disconnectionCount},
            {"reconnectAttempt", node.reconnectAttempt},
            {"receivedFrameCount", node.receivedFrameCount},
            {"sentFrameCount", node.sentFrameCount},
            {"receivedByteCount", node.receivedByteCount},
            {"sentByteCount", node.sentByteCount},
            {"statusSynchronized", node.statusSynchronized},
            {"statusReportCount", node.statusReportCount},
            {"lastEventAt", node.lastEventAt},
            {"lastConnectedAt", node.lastConnectedAt},
            {"lastDisconnectedAt", node.lastDisconnectedAt},
            {"nextReconnectAt", node.nextReconnectAt},
            {"lastQueryAt", node.lastQueryAt},
            {"lastStatusAt", node.lastStatusAt},
            {"statusAgeMs", std::move(statusAge)},
            {"upgradeNo", node.upgradeNo},
            {"upgradeState", node.upgradeState},
            {"reasonCode", node.reasonCode},
            {"reasonName", node.reasonName},
            {"lastError", node.lastError},
            {"components", std::move(components)}};
}

}  // namespace

bool serializeCommunicationSnapshotDocument(const std::vector<S_CommunicationNodeStatus>& nodes, bool running,
                                            std::uint64_t sceneGeneration, bool configuredEnabled,
                                            std::int64_t nowMs, std::string& json, std::string& error)
{
    json.clear();
    error.clear();
    try
    {
        const S_DeviceTcpStatusSummary summary = summarizeNodeStatuses(running, nodes);
        nlohmann::json nodeItems = nlohmann::json::array();
        for (const S_CommunicationNodeStatus& node : nodes)
        {
            nodeItems.push_back(nodeJson(node, nowMs));
        }
        const char* status = !configuredEnabled ? "DISABLED" : (running ? "READY" : "NOT_READY");
        const nlohmann::json document = {
            {"fetchedAt", nowMs},
            {"sceneGeneration", sceneGeneration},
            {"status", status},
            {"ready", configuredEnabled && running},
            {"configuredEnabled", configuredEnabled},
            {"running", running},
            {"communicationNodeCount", nodes.size()},
            {"pendingNodeCount", summary.pendingDeviceCount},
            {"connectingNodeCount", summary.connectingDeviceCount},
            {"connectedNodeCount", summary.connectedDeviceCount},
            {"disconnectedNodeCount", summary.disconnectedDeviceCount},
            {"errorNodeCount", summary.errorDeviceCount},
            {"protocolRejectedNodeCount", summary.protocolRejectedDeviceCount},
            {"receivedFrameCount", summary.receivedFrameCount},
            {"sentFrameCount", summary.sentFrameCount},
            {"receivedByteCount", summary.receivedByteCount},
            {"sentByteCount", summary.sentByteCount},
            {"statusReportCount", summary.statusReportCount},
            {"lastEventAt", summary.lastEventAt},
            {"lastStatusAt", summary.lastStatusAt},
            {"communicationNodes", std::move(nodeItems)},
        };
        json = toJsonText(document);
        return true;
    }
    catch (const std::exception& exception)
    {
        json.clear();
        error = std::string("Cannot serialize communication snapshot: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
