#pragma once

#include "scenario/scene_topology.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace ota::scenario
{

enum class E_TopologyLoadResult : std::uint8_t
{
    LOADED = 0,
    ABSENT = 1,
    INVALID = 2,
};

inline constexpr std::uintmax_t kMaximumTopologyFileBytes = 64u * 1024u * 1024u;

// Reads, parses and validates the topology file. ABSENT: no path configured or no file there;
// INVALID: anything else that keeps the file from loading. The error holds exactly one message
// (empty on LOADED); the topology is written only on LOADED.
E_TopologyLoadResult loadTopologyFile(const std::filesystem::path& path, S_SceneTopology& topology,
                                      std::string& error);

}  // namespace ota::scenario
