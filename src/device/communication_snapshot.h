#pragma once

#include "device/communication_node_status.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// The manager's status summary (health report "deviceTcp" block): node counts per state and
// sums over the nodes. VERIFYING counts as connecting. All zero while no node is served.
struct S_DeviceTcpStatusSummary
{
    bool running = false;
    std::uint64_t deviceCount = 0;
    std::uint64_t pendingDeviceCount = 0;
    std::uint64_t connectingDeviceCount = 0;
    std::uint64_t connectedDeviceCount = 0;
    std::uint64_t disconnectedDeviceCount = 0;
    std::uint64_t errorDeviceCount = 0;
    std::uint64_t protocolRejectedDeviceCount = 0;
    std::uint64_t receivedFrameCount = 0;
    std::uint64_t sentFrameCount = 0;
    std::uint64_t receivedByteCount = 0;
    std::uint64_t sentByteCount = 0;
    std::uint64_t statusReportCount = 0;
    std::int64_t lastEventAt = 0;
    std::int64_t lastStatusAt = 0;

    bool operator==(const S_DeviceTcpStatusSummary&) const = default;
};

// The figures of the metrics endpoint: nodes per connection state (indexed by the state's value)
// and the traffic counters summed over every node of the run.
struct S_DeviceTcpMetrics
{
    std::array<std::uint64_t, 7> devicesByState{};
    std::uint64_t sentFrameCount = 0;
    std::uint64_t receivedFrameCount = 0;
    std::uint64_t sentByteCount = 0;
    std::uint64_t receivedByteCount = 0;
    std::uint64_t invalidFrameCount = 0;
};

S_DeviceTcpStatusSummary summarizeNodeStatuses(bool running,
                                               const std::vector<S_CommunicationNodeStatus>& nodes);

// The device status document (GET /api/v1/devices/status, event "device.status") at time nowMs.
bool serializeCommunicationSnapshotDocument(const std::vector<S_CommunicationNodeStatus>& nodes, bool running,
                                            std::uint64_t sceneGeneration, bool configuredEnabled,
                                            std::int64_t nowMs, std::string& json, std::string& error);

}  // namespace ota::backend
