#pragma once

#include "scenario/scene_topology.h"

#include <string>
#include <string_view>

namespace ota::scenario
{

// Deepest array/object nesting accepted in a topology text; the format itself needs 5 levels.
inline constexpr std::size_t kMaximumTopologyJsonDepth = 64;

// Parses a schema-2 topology text and validates it. The output is written only on success;
// the error names the first structural fault with its path (for example "nodes[3].port").
bool parseSceneTopologyJson(std::string_view jsonText, S_SceneTopology& topology, std::string& error);

}  // namespace ota::scenario
