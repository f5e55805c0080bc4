#pragma once

#include "device/device_tcp_manager.h"
#include "scenario/scene_topology.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ota::test
{

// One communication node of a test topology.
struct S_TestNode
{
    std::string id;
    std::string protocolNodeType;  // "EMU", "PCS" or "BMS"
    std::uint16_t port = 0;
    std::string address = "127.0.0.1";
};

// A site container with the given communication nodes under it, in order.
ota::scenario::S_SceneTopology makeDeviceTopology(const std::vector<S_TestNode>& nodes);

// Short timings for tests; the status reply timeout stays generous so that a slow, loaded machine
// never fails a healthy device.
ota::backend::S_DeviceTcpOptions quickOptions();

std::optional<ota::backend::S_CommunicationNodeStatus> nodeStatus(
    const ota::backend::CDeviceTcpManager& manager, const std::string& nodeId);
bool waitForState(const ota::backend::CDeviceTcpManager& manager, const std::string& nodeId,
                  ota::backend::E_DeviceConnectionState state,
                  std::chrono::milliseconds bound = std::chrono::seconds(20));

// Everything the manager delivers through its two callbacks, in order.
class CTransportRecorder
{
public:
    void attach(ota::backend::CDeviceTcpManager& manager);

    std::vector<ota::backend::E_DeviceConnectionState> states(const std::string& nodeId) const;
    std::vector<std::string> eventTypes(const std::string& nodeId) const;
    // Waits until the node delivered an event of that message type; returns it.
    std::optional<ota::backend::S_ProtocolEvent> waitForEvent(
        const std::string& nodeId, const std::string& messageType,
        std::chrono::milliseconds bound = std::chrono::seconds(20));

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, ota::backend::E_DeviceConnectionState>> m_states;
    std::vector<std::pair<std::string, ota::backend::S_ProtocolEvent>> m_events;
};

}  // namespace ota::test
