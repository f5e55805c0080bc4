#include "scenario/topology_fixture.h"

#include "common/json_text.h"
#include "scenario/scene_topology_parser.h"

#include <gtest/gtest.h>

namespace ota::scenario::test
{

namespace
{

nlohmann::json nodeTypeJson(const std::string& id, const std::string& role, bool communication,
                            bool visibleInUpgrade)
{
    return {{"id", id},
            {"displayName", id + " type"},
            {"role", role},
            {"capabilities",
             {{"supportsCommunication", communication},
              {"supportsRuntimeDiscovery", false},
              {"supportsUpgrade", visibleInUpgrade},
              {"visibleInUpgrade", visibleInUpgrade}}}};
}

}  // namespace

nlohmann::json containerNodeJson(const std::string& id, const std::string& parentId)
{
    return {{"id", id},
            {"parentId", parentId},
            {"typeId", "site"},
            {"name", "Name " + id},
            {"protocolAdapterId", ""},
            {"address", ""},
            {"port", 0},
            {"protocolNodeType", ""}};
}

nlohmann::json pcsNodeJson(const std::string& id, const std::string& parentId, std::uint16_t port)
{
    return {{"id", id},
            {"parentId", parentId},
            {"typeId", "pcs"},
            {"name", "Name " + id},
            {"protocolAdapterId", "ota-v1"},
            {"address", "127.0.0.1"},
            {"port", port},
            {"protocolNodeType", "PCS"}};
}

nlohmann::json validTopologyJson()
{
    nlohmann::json label = containerNodeJson("label-1", "pcs-1");
    label["typeId"] = "label";
    return {{"schemaVersion", 2},
            {"sceneProfile",
             {{"id", "profile-1"},
              {"displayName", "Profile 1"},
              {"nodeTypes",
               {nodeTypeJson("site", "CONTAINER", false, false),
                nodeTypeJson("pcs", "COMMUNICATION_NODE", true, true),
                nodeTypeJson("label", "DISPLAY_ONLY", false, false)}}}},
            {"nodes",
             {containerNodeJson("site-a", ""), pcsNodeJson("pcs-1", "site-a", 19001),
              pcsNodeJson("pcs-2", "site-a", 19002), label}}};
}

S_SceneTopology validModel()
{
    S_SceneTopology topology;
    std::string error;
    EXPECT_TRUE(parseSceneTopologyJson(backend::toJsonText(validTopologyJson()), topology, error)) << error;
    return topology;
}

bool isValidUtf8(const std::string& text)
{
    std::string written;
    std::string error;
    return backend::tryToJsonText(nlohmann::json(text), written, error);
}

}  // namespace ota::scenario::test
