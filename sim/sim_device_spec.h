#pragma once

#include "protocol/protocol_bodies.h"
#include "sim/sim_fault.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// How long a simulated device takes for its work. The defaults keep an upgrade of a 1 MiB file
// within a few seconds.
struct S_SimTimings
{
    std::uint32_t replyLatencyMs = 0;      // before every answer
    std::uint32_t preparationMs = 100;     // PREPARE_UPGRADE until its stage report
    std::uint32_t flashMs = 300;           // START_FLASH until its stage report
    std::uint32_t rebootMs = 500;          // connections are refused this long after RESTART_VERIFY
    std::uint32_t progressIntervalMs = 50; // between MSG_DEVICE_PROGRESS rounds

    bool operator==(const S_SimTimings&) const = default;
};

inline constexpr std::uint32_t MAX_SIM_TIMING_MS = 3600000;

inline constexpr const char* DEFAULT_COMPONENT_VERSION = "1.0.0";

// Everything one simulated device is: identity and endpoint from the topology, its model and
// behaviour from the scenario (or the library caller).
struct S_SimDeviceSpec
{
    std::string nodeId;
    std::string nodeName;
    std::vector<std::string> ancestorIds;  // parent first, root last: for group selection
    std::uint8_t deviceType = 0;           // E_ProtocolDeviceType
    std::string address = "127.0.0.1";     // must be a loopback address
    std::uint16_t port = 0;                // 0: an ephemeral port, read back from the simulator
    std::vector<S_ProtocolComponentVersion> components;  // empty: the standard set of the type
    unsigned bmsBcuCount = 6;              // used when components is empty
    bool statusOnConnect = true;           // MSG_DEVICE_STATUS right after accepting
    bool progressReports = true;           // MSG_DEVICE_PROGRESS during preparation and flashing
    S_SimTimings timings;
    std::vector<S_SimFault> faults;
};

// A device spec's component list with defaults applied: the standard set of its device type when
// none is given.
std::vector<S_ProtocolComponentVersion> effectiveComponents(const S_SimDeviceSpec& spec);

// Checks a spec before it is simulated (loopback address, device type, component set, fault
// fields). The message names the node.
bool validateSimDeviceSpec(const S_SimDeviceSpec& spec, std::string& error);

}  // namespace ota::backend
