#pragma once

#include "protocol/protocol_bodies.h"
#include "sim/sim_fault.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// What one simulated device received and sent; index = message type code (1..11, 0 unused).
struct S_SimDeviceCounters
{
    std::array<std::uint64_t, 12> framesReceived{};
    std::array<std::uint64_t, 12> framesSent{};
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t invalidFramesReceived = 0;  // rejected candidates and wrong-direction frames
    std::uint64_t discardedBytes = 0;
    std::uint64_t connectionsAccepted = 0;
    std::uint64_t disconnects = 0;
    std::uint64_t reboots = 0;
    std::uint64_t upgradesStarted = 0;        // accepted target lists
    std::uint64_t upgradesCompleted = 0;      // restarts into the new versions
    std::uint64_t contextResets = 0;
    std::array<std::uint64_t, SIM_FAULT_KIND_COUNT> faultsFired{};

    std::uint64_t totalFramesReceived() const;
    std::uint64_t totalFramesSent() const;
    std::uint64_t totalFaultsFired() const;
    void add(const S_SimDeviceCounters& other);
};

// A device's externally visible state, copied from the event loop.
struct S_SimDeviceSnapshot
{
    std::string nodeId;
    std::uint8_t deviceType = 0;
    std::string address;
    std::uint16_t port = 0;                   // the bound port (resolves an ephemeral 0)
    bool listening = false;                   // false while rebooting
    bool connected = false;
    bool upgradeContextOpen = false;
    std::uint32_t contextUpgradeNo = 0;
    std::uint32_t lastCompletedUpgradeNo = 0;
    std::vector<S_ProtocolComponentVersion> components;
    S_SimDeviceCounters counters;
};

// "frames received: MSG_QUERY_STATUS=1 ..., sent: ..., bytes in/out, upgrades, faults".
std::string formatDeviceCounters(const S_SimDeviceCounters& counters);

}  // namespace ota::backend
