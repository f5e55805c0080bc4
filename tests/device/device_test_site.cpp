#include "device/device_test_site.h"

#include "support/wait_until.h"

namespace ota::test
{

using namespace ota::backend;
using ota::scenario::E_SceneNodeRole;
using ota::scenario::S_SceneNode;
using ota::scenario::S_SceneNodeType;
using ota::scenario::S_SceneTopology;

namespace
{

S_SceneNodeType deviceType(const std::string& id)
{
    S_SceneNodeType type;
    type.id = id;
    type.displayName = id;
    type.role = E_SceneNodeRole::COMMUNICATION_NODE;
    type.capabilities.supportsCommunication = true;
    type.capabilities.supportsUpgrade = true;
    type.capabilities.visibleInUpgrade = true;
    return type;
}

}  // namespace

S_SceneTopology makeDeviceTopology(const std::vector<S_TestNode>& nodes)
{
    S_SceneTopology topology;
    topology.schemaVersion = 2;
    topology.sceneProfile.id = "test-site";
    topology.sceneProfile.displayName = "Test site";
    S_SceneNodeType site;
    site.id = "site";
    site.displayName = "Site";
    site.role = E_SceneNodeRole::CONTAINER;
    topology.sceneProfile.nodeTypes = {site, deviceType("emu"), deviceType("pcs"), deviceType("bms")};

    S_SceneNode root;
    root.id = "site-1";
    root.typeId = "site";
    root.name = "Site 1";
    topology.nodes.push_back(root);
    for (const S_TestNode& source : nodes)
    {
        S_SceneNode node;
        node.id = source.id;
        node.parentId = root.id;
        node.name = "Device " + source.id;
        node.typeId = source.protocolNodeType == "EMU"   ? "emu"
                      : source.protocolNodeType == "BMS" ? "bms"
                                                         : "pcs";
        node.protocolAdapterId = "ota-v1";
        node.protocolNodeType = source.protocolNodeType;
        node.address = source.address;
        node.port = source.port;
        topology.nodes.push_back(node);
    }
    return topology;
}

S_DeviceTcpOptions quickOptions()
{
    S_DeviceTcpOptions options;
    options.connectTimeoutMs = 5000;
    options.reconnectIntervalMs = 100;
    options.initialStatusQueryDelayMs = 100;
    options.statusReplyTimeoutMs = 10000;
    options.keepAliveIdleSeconds = 30;
    return options;
}

std::optional<S_CommunicationNodeStatus> nodeStatus(const CDeviceTcpManager& manager,
                                                    const std::string& nodeId)
{
    for (S_CommunicationNodeStatus& status : manager.getCommunicationNodeStatuses())
    {
        if (status.nodeId == nodeId)
        {
            return std::move(status);
        }
    }
    return std::nullopt;
}

bool waitForState(const CDeviceTcpManager& manager, const std::string& nodeId, E_DeviceConnectionState state,
                  std::chrono::milliseconds bound)
{
    return waitUntil(
        [&]
        {
            const auto status = nodeStatus(manager, nodeId);
            return status.has_value() && status->connectionState == state;
        },
        bound);
}

void CTransportRecorder::attach(CDeviceTcpManager& manager)
{
    manager.setConnectionStateCallback(
        [this](const std::string& nodeId, E_DeviceConnectionState state)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_states.emplace_back(nodeId, state);
        });
    manager.setProtocolEventCallback(
        [this](const std::string& nodeId, const S_ProtocolEvent& event)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.emplace_back(nodeId, event);
        });
}

std::vector<E_DeviceConnectionState> CTransportRecorder::states(const std::string& nodeId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<E_DeviceConnectionState> result;
    for (const auto& [id, state] : m_states)
    {
        if (id == nodeId)
        {
            result.push_back(state);
        }
    }
    return result;
}

std::vector<std::string> CTransportRecorder::eventTypes(const std::string& nodeId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> result;
    for (const auto& [id, event] : m_events)
    {
        if (id == nodeId)
        {
            result.push_back(event.messageTypeName());
        }
    }
    return result;
}

std::optional<S_ProtocolEvent> CTransportRecorder::waitForEvent(const std::string& nodeId,
                                                                const std::string& messageType,
                                                                std::chrono::milliseconds bound)
{
    std::optional<S_ProtocolEvent> found;
    waitUntil(
        [&]
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& [id, event] : m_events)
            {
                if (id == nodeId && event.messageTypeName() == messageType)
                {
                    found = event;
                    return true;
                }
            }
            return false;
        },
        bound);
    return found;
}

}  // namespace ota::test
