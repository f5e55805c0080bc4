#pragma once

#include "device/device_connection_state.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// One component as the device last reported it.
struct S_CommunicationComponentStatus
{
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::string version;

    bool operator==(const S_CommunicationComponentStatus&) const = default;
};

// The public part of a communication node's context: identity, connection state, counters and
// the last device status. A copy, taken under the manager's state mutex.
struct S_CommunicationNodeStatus
{
    std::string nodeId;
    std::string nodeName;
    std::string nodePath;
    std::string nodeTypeId;
    std::string protocolAdapterId;
    std::string protocolNodeType;
    std::string address;
    std::uint16_t port = 0;

    E_DeviceConnectionState connectionState = E_DeviceConnectionState::PENDING;
    bool reconnectAllowed = true;

    std::uint64_t connectionAttemptCount = 0;
    std::uint64_t successfulConnectionCount = 0;
    std::uint64_t connectionFailureCount = 0;
    std::uint64_t disconnectionCount = 0;
    std::uint32_t reconnectAttempt = 0;
    std::uint64_t receivedFrameCount = 0;
    std::uint64_t sentFrameCount = 0;
    std::uint64_t receivedByteCount = 0;
    std::uint64_t sentByteCount = 0;
    std::uint64_t invalidFrameCount = 0;  // received frames the decoder refused

    bool statusSynchronized = false;
    std::uint64_t statusReportCount = 0;

    std::int64_t lastEventAt = 0;
    std::int64_t lastConnectedAt = 0;
    std::int64_t lastDisconnectedAt = 0;
    std::int64_t nextReconnectAt = 0;
    std::int64_t lastQueryAt = 0;
    std::int64_t lastStatusAt = 0;

    std::uint32_t upgradeNo = 0;
    std::string upgradeState = "UNKNOWN";
    std::uint16_t reasonCode = 0;
    std::string reasonName = "UNKNOWN";
    std::string lastError;
    std::vector<S_CommunicationComponentStatus> components;

    bool operator==(const S_CommunicationNodeStatus&) const = default;
};

}  // namespace ota::backend
