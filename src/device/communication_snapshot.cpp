#include "device/communication_snapshot.h"

#include "common/json_writer.h"

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

// Members in ascending key order (see CJsonObjectWriter).
void appendNodeJson(std::string& out, const S_CommunicationNodeStatus& node, std::int64_t nowMs)
{
    CJsonObjectWriter object(out);
    object.text("address", node.address);
    std::string& components = object.member("components");
    components += '[';
    for (std::size_t index = 0; index < node.components.size(); ++index)
    {
        const S_CommunicationComponentStatus& component = node.components[index];
        if (index != 0)
        {
            components += ',';
        }
        CJsonObjectWriter(components)
            .number("index", component.componentIndex)
            .text("typeId", component.componentTypeId)
            .text("version", component.version)
            .close();
    }
    components += ']';
    object.boolean("connected", node.connectionState == E_DeviceConnectionState::CONNECTED)
        .number("connectionAttemptCount", node.connectionAttemptCount)
        .number("connectionFailureCount", node.connectionFailureCount)
        .text("connectionState", deviceConnectionStateName(node.connectionState))
        .number("disconnectionCount", node.disconnectionCount)
        .number("lastConnectedAt", node.lastConnectedAt)
        .number("lastDisconnectedAt", node.lastDisconnectedAt)
        .text("lastError", node.lastError)
        .number("lastEventAt", node.lastEventAt)
        .number("lastQueryAt", node.lastQueryAt)
        .number("lastStatusAt", node.lastStatusAt)
        .number("nextReconnectAt", node.nextReconnectAt)
        .text("nodeId", node.nodeId)
        .text("nodeName", node.nodeName)
        .text("nodePath", node.nodePath)
        .text("nodeTypeId", node.nodeTypeId)
        .number("port", node.port)
        .text("protocolAdapterId", node.protocolAdapterId)
        .text("protocolNodeType", node.protocolNodeType)
        .number("reasonCode", node.reasonCode)
        .text("reasonName", node.reasonName)
        .number("receivedByteCount", node.receivedByteCount)
        .number("receivedFrameCount", node.receivedFrameCount)
        .boolean("reconnectAllowed", node.reconnectAllowed)
        .number("reconnectAttempt", node.reconnectAttempt)
        .number("sentByteCount", node.sentByteCount)
        .number("sentFrameCount", node.sentFrameCount);
    if (node.lastStatusAt != 0)
    {
        object.number("statusAgeMs", std::max<std::int64_t>(0, nowMs - node.lastStatusAt));
    }
    else
    {
        object.null("statusAgeMs");
    }
    object.number("statusReportCount", node.statusReportCount)
        .boolean("statusSynchronized", node.statusSynchronized)
        .number("successfulConnectionCount", node.successfulConnectionCount)
        .number("upgradeNo", node.upgradeNo)
        .text("upgradeState", node.upgradeState)
        .close();
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
        // Written as text: a site of 1,000 devices gives a megabyte, read and pushed often.
        const S_DeviceTcpStatusSummary summary = summarizeNodeStatuses(running, nodes);
        std::string text;
        text.reserve(512 + nodes.size() * 1200);
        CJsonObjectWriter document(text);
        document.number("communicationNodeCount", nodes.size());
        std::string& items = document.member("communicationNodes");
        items += '[';
        for (std::size_t index = 0; index < nodes.size(); ++index)
        {
            if (index != 0)
            {
                items += ',';
            }
            appendNodeJson(items, nodes[index], nowMs);
        }
        items += ']';
        document.boolean("configuredEnabled", configuredEnabled)
            .number("connectedNodeCount", summary.connectedDeviceCount)
            .number("connectingNodeCount", summary.connectingDeviceCount)
            .number("disconnectedNodeCount", summary.disconnectedDeviceCount)
            .number("errorNodeCount", summary.errorDeviceCount)
            .number("fetchedAt", nowMs)
            .number("lastEventAt", summary.lastEventAt)
            .number("lastStatusAt", summary.lastStatusAt)
            .number("pendingNodeCount", summary.pendingDeviceCount)
            .number("protocolRejectedNodeCount", summary.protocolRejectedDeviceCount)
            .boolean("ready", configuredEnabled && running)
            .number("receivedByteCount", summary.receivedByteCount)
            .number("receivedFrameCount", summary.receivedFrameCount)
            .boolean("running", running)
            .number("sceneGeneration", sceneGeneration)
            .number("sentByteCount", summary.sentByteCount)
            .number("sentFrameCount", summary.sentFrameCount)
            .text("status", !configuredEnabled ? "DISABLED" : (running ? "READY" : "NOT_READY"))
            .number("statusReportCount", summary.statusReportCount)
            .close();
        json = std::move(text);
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
