#pragma once

#include "scenario/scene_topology.h"

#include <string>

namespace ota::scenario
{

// Stops at the first rule broken; the error holds that rule's message.
bool validateSceneTopology(const S_SceneTopology& topology, std::string& error);

}  // namespace ota::scenario
