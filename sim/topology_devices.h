#pragma once

#include "scenario/scene_topology.h"
#include "sim/sim_device_spec.h"

#include <filesystem>
#include <string>
#include <vector>

namespace ota::backend
{

// One simulated device per communication node of a topology, in file order, with the node's
// identity, ancestors (for group selection), device type and endpoint. Fails with a message
// naming the node when a node's adapter is not "ota-v1", its protocol node type is not EMU, PCS
// or BMS, or its address is not a loopback address.
bool simDevicesFromTopology(const ota::scenario::S_SceneTopology& topology, std::vector<S_SimDeviceSpec>& devices,
                            std::string& error);

// Loads (and validates) the topology file, then simDevicesFromTopology.
bool loadSimDevicesFromTopologyFile(const std::filesystem::path& path, std::vector<S_SimDeviceSpec>& devices,
                                    std::string& error);

}  // namespace ota::backend
