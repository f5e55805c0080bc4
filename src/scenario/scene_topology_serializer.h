#pragma once

#include "scenario/scene_topology.h"

#include <nlohmann/json.hpp>

#include <string>

namespace ota::scenario
{

// Validates first, then writes the file schema; the output is written only on success.
bool serializeSceneTopology(const S_SceneTopology& topology, nlohmann::json& value, std::string& error);

}  // namespace ota::scenario
