#include "common/json_text.h"
#include "scenario/scene_topology.h"
#include "scenario/scene_topology_parser.h"
#include "scenario/scene_topology_serializer.h"
#include "scenario/topology_fixture.h"

#include <gtest/gtest.h>

namespace ota::scenario
{
namespace
{

using test::validModel;

S_SceneNode namedNode(const std::string& id, const std::string& parentId, const std::string& name)
{
    S_SceneNode node;
    node.id = id;
    node.parentId = parentId;
    node.typeId = "t";
    node.name = name;
    return node;
}

TEST(SceneTopologyModel, RoleTextsAreTheEnumeratorNames)
{
    EXPECT_EQ(sceneNodeRoleText(E_SceneNodeRole::CONTAINER), "CONTAINER");
    EXPECT_EQ(sceneNodeRoleText(E_SceneNodeRole::COMMUNICATION_NODE), "COMMUNICATION_NODE");
    EXPECT_EQ(sceneNodeRoleText(E_SceneNodeRole::DISCOVERED_NODE), "DISCOVERED_NODE");
    EXPECT_EQ(sceneNodeRoleText(E_SceneNodeRole::DISPLAY_ONLY), "DISPLAY_ONLY");
    EXPECT_EQ(static_cast<int>(E_SceneNodeRole::DISPLAY_ONLY), 4);
    EXPECT_EQ(sceneNodeRoleFromText("DISCOVERED_NODE"), E_SceneNodeRole::DISCOVERED_NODE);
    EXPECT_FALSE(sceneNodeRoleFromText("display_only").has_value());
    EXPECT_TRUE(sceneNodeRoleText(static_cast<E_SceneNodeRole>(5)).empty());
}

TEST(SceneTopologyModel, DerivedCountsFollowTheNodeTypes)
{
    S_SceneTopology topology = validModel();
    EXPECT_EQ(topology.nodeCount(), 4u);
    EXPECT_EQ(topology.directDeviceCount(), 2u);
    EXPECT_EQ(topology.upgradeVisibleNodeCount(), 2u);
    topology.sceneProfile.nodeTypes[2].capabilities.visibleInUpgrade = true;
    EXPECT_EQ(topology.upgradeVisibleNodeCount(), 3u);
    EXPECT_EQ(topology.directDeviceCount(), 2u);

    const std::vector<const S_SceneNode*> devices = communicationNodes(topology);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]->id, "pcs-1");
    EXPECT_EQ(devices[1]->id, "pcs-2");
}

TEST(SceneTopologyModel, DisplayPathJoinsNamesFromTheRoot)
{
    S_SceneTopology topology;
    topology.nodes = {namedNode("site", "", "Site A"), namedNode("container", "site", "Container 1"),
                      namedNode("unnamed", "container", ""), namedNode("pcs", "unnamed", "PCS 1")};
    const SceneNodeIndex index = buildSceneNodeIndex(topology);
    std::string path = "stale";
    std::string error = "stale";
    ASSERT_TRUE(buildNodeDisplayPath(topology.nodes[3], index, path, error)) << error;
    EXPECT_EQ(path, "Site A / Container 1 / PCS 1");
    EXPECT_TRUE(error.empty());
    ASSERT_TRUE(buildNodeDisplayPath(topology.nodes[0], index, path, error));
    EXPECT_EQ(path, "Site A");
}

TEST(SceneTopologyModel, DisplayPathReportsCyclesAndMissingParents)
{
    S_SceneTopology topology;
    topology.nodes = {namedNode("a", "b", "A"), namedNode("b", "c", "B"), namedNode("c", "b", "C"),
                      namedNode("d", "ghost", "D")};
    const SceneNodeIndex index = buildSceneNodeIndex(topology);
    std::string path = "stale";
    std::string error;
    EXPECT_FALSE(buildNodeDisplayPath(topology.nodes[0], index, path, error));
    EXPECT_EQ(error, "Topology node hierarchy contains a cycle at: b");
    EXPECT_TRUE(path.empty());
    EXPECT_FALSE(buildNodeDisplayPath(topology.nodes[3], index, path, error));
    EXPECT_EQ(error, "Topology parent node does not exist: ghost");
}

TEST(SceneTopologyModel, DisplayPathOfADeepChain)
{
    S_SceneTopology topology;
    constexpr int kDepth = 200000;
    for (int level = 0; level < kDepth; ++level)
    {
        topology.nodes.push_back(
            namedNode("n" + std::to_string(level), level == 0 ? "" : "n" + std::to_string(level - 1),
                      level == 0 || level == kDepth - 1 ? "N" + std::to_string(level) : ""));
    }
    std::string path;
    std::string error;
    ASSERT_TRUE(buildNodeDisplayPath(topology.nodes.back(), buildSceneNodeIndex(topology), path, error))
        << error;
    EXPECT_EQ(path, "N0 / N199999");
}

TEST(SceneTopologySerializer, WritesTheFileSchemaAndRoundTrips)
{
    const S_SceneTopology topology = validModel();
    nlohmann::json value;
    std::string error = "stale";
    ASSERT_TRUE(serializeSceneTopology(topology, value, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(value, test::validTopologyJson());
    EXPECT_TRUE(value["nodes"][1]["port"].is_number_unsigned());
    EXPECT_EQ(value["sceneProfile"]["nodeTypes"][1]["role"], "COMMUNICATION_NODE");

    S_SceneTopology reparsed;
    ASSERT_TRUE(parseSceneTopologyJson(backend::toJsonText(value), reparsed, error)) << error;
    EXPECT_EQ(reparsed, topology);
}

TEST(SceneTopologySerializer, RefusesAnInvalidModelWithItsValidationMessage)
{
    S_SceneTopology topology = validModel();
    topology.nodes[2].parentId = "nowhere";
    nlohmann::json value = "untouched";
    std::string error;
    EXPECT_FALSE(serializeSceneTopology(topology, value, error));
    EXPECT_EQ(error, "Orphan node references unknown parent: pcs-2 -> nowhere");
    EXPECT_EQ(value, "untouched");
}

}  // namespace
}  // namespace ota::scenario
