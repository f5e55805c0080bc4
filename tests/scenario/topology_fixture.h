#pragma once

#include "scenario/scene_topology.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace ota::scenario::test
{

// A valid schema-2 document: types "site" (CONTAINER), "pcs" (COMMUNICATION_NODE, visible in
// upgrade) and "label" (DISPLAY_ONLY); nodes site-a (root), pcs-1 and pcs-2 under it, and
// label-1 under pcs-1. Tests change one thing and expect one message.
nlohmann::json validTopologyJson();

nlohmann::json containerNodeJson(const std::string& id, const std::string& parentId);
nlohmann::json pcsNodeJson(const std::string& id, const std::string& parentId, std::uint16_t port);

// validTopologyJson() parsed into the model (a parse failure fails the calling test).
S_SceneTopology validModel();

// Whether the JSON writer accepts the text as a string value, that is, whether it is valid UTF-8.
bool isValidUtf8(const std::string& text);

}  // namespace ota::scenario::test
