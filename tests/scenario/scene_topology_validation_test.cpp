#include "scenario/scene_topology_validation.h"
#include "common/json_text.h"
#include "scenario/scene_topology_parser.h"
#include "scenario/topology_fixture.h"

#include <gtest/gtest.h>

namespace ota::scenario
{
namespace
{

using test::validModel;

std::string validationError(const S_SceneTopology& topology)
{
    std::string error;
    EXPECT_FALSE(validateSceneTopology(topology, error));
    return error;
}

S_SceneNode containerNode(const std::string& id, const std::string& parentId)
{
    return S_SceneNode{id, parentId, "site", "Name " + id, "", "", 0, ""};
}

S_SceneNodeType& typeById(S_SceneTopology& topology, const std::string& id)
{
    for (S_SceneNodeType& type : topology.sceneProfile.nodeTypes)
    {
        if (type.id == id)
        {
            return type;
        }
    }
    throw std::logic_error("no type " + id);
}

TEST(SceneTopologyValidation, AcceptsTheFixtureAndClearsTheError)
{
    std::string error = "stale";
    EXPECT_TRUE(validateSceneTopology(validModel(), error));
    EXPECT_TRUE(error.empty());
}

TEST(SceneTopologyValidation, DocumentRulesComeFirstInOrder)
{
    S_SceneTopology topology = validModel();
    topology.schemaVersion = 3;
    topology.sceneProfile.id.clear();
    EXPECT_EQ(validationError(topology), "Unsupported scene schema version: 3");
    topology.schemaVersion = 2;
    EXPECT_EQ(validationError(topology), "Scene profile id and displayName are required");
    topology.sceneProfile.id = "p";
    topology.sceneProfile.displayName.clear();
    EXPECT_EQ(validationError(topology), "Scene profile id and displayName are required");
    topology.sceneProfile.displayName = "P";

    S_SceneTopology empty = topology;
    empty.sceneProfile.nodeTypes.clear();
    empty.nodes.clear();
    EXPECT_EQ(validationError(empty), "Scene profile contains no node type");
    empty.sceneProfile.nodeTypes = topology.sceneProfile.nodeTypes;
    EXPECT_EQ(validationError(empty), "Scene topology contains no node");
}

TEST(SceneTopologyValidation, NodeTypeRules)
{
    S_SceneTopology topology = validModel();
    topology.sceneProfile.nodeTypes[1].displayName.clear();
    EXPECT_EQ(validationError(topology), "Node type id and displayName are required");

    topology = validModel();
    topology.sceneProfile.nodeTypes[2].role = static_cast<E_SceneNodeRole>(9);
    EXPECT_EQ(validationError(topology), "Node type has invalid role: label");
    topology.sceneProfile.nodeTypes[2].role = static_cast<E_SceneNodeRole>(0);
    EXPECT_EQ(validationError(topology), "Node type has invalid role: label");

    topology = validModel();
    topology.sceneProfile.nodeTypes.push_back(topology.sceneProfile.nodeTypes[0]);
    EXPECT_EQ(validationError(topology), "Duplicate node type id: site");

    topology = validModel();
    typeById(topology, "pcs").capabilities.supportsCommunication = false;
    EXPECT_EQ(validationError(topology), "Node type role and supportsCommunication mismatch: pcs");
    topology = validModel();
    typeById(topology, "site").capabilities.supportsCommunication = true;
    EXPECT_EQ(validationError(topology), "Node type role and supportsCommunication mismatch: site");

    topology = validModel();
    typeById(topology, "label").capabilities.supportsRuntimeDiscovery = true;
    EXPECT_EQ(validationError(topology), "Runtime discovery requires communication capability: label");
    topology = validModel();
    typeById(topology, "pcs").capabilities.supportsRuntimeDiscovery = true;
    std::string error;
    EXPECT_TRUE(validateSceneTopology(topology, error)) << error;
}

TEST(SceneTopologyValidation, NodeIdentityRules)
{
    for (const auto clear : {&S_SceneNode::id, &S_SceneNode::typeId, &S_SceneNode::name})
    {
        S_SceneTopology topology = validModel();
        (topology.nodes[2].*clear).clear();
        EXPECT_EQ(validationError(topology), "Node id, typeId and name are required");
    }
    S_SceneTopology topology = validModel();
    topology.nodes[3].id = "pcs-1";
    EXPECT_EQ(validationError(topology), "Duplicate node id: pcs-1");
    topology = validModel();
    topology.nodes[2].typeId = "PCS";
    EXPECT_EQ(validationError(topology), "Unknown node type id: PCS for node: pcs-2");
}

TEST(SceneTopologyValidation, CommunicationBindingRules)
{
    S_SceneTopology topology = validModel();
    topology.nodes[0].port = 1;
    EXPECT_EQ(validationError(topology), "Non-communication node contains communication binding: site-a");
    for (const auto field :
         {&S_SceneNode::protocolAdapterId, &S_SceneNode::address, &S_SceneNode::protocolNodeType})
    {
        topology = validModel();
        topology.nodes[3].*field = "x";
        EXPECT_EQ(validationError(topology),
                  "Non-communication node contains communication binding: label-1");
        topology = validModel();
        (topology.nodes[2].*field).clear();
        EXPECT_EQ(validationError(topology), "Communication binding is incomplete for node: pcs-2");
    }
    topology = validModel();
    topology.nodes[1].port = 0;
    EXPECT_EQ(validationError(topology), "Communication binding is incomplete for node: pcs-1");

    topology = validModel();
    topology.nodes[2].port = topology.nodes[1].port;
    EXPECT_EQ(validationError(topology), "Duplicate communication endpoint: 127.0.0.1:19001");

    // The endpoint is the exact address text and the port number.
    std::string error;
    topology = validModel();
    topology.nodes[2].port = 19003;
    EXPECT_TRUE(validateSceneTopology(topology, error)) << error;
    topology.nodes[2].port = topology.nodes[1].port;
    topology.nodes[2].address = "127.000.000.001";
    EXPECT_TRUE(validateSceneTopology(topology, error)) << error;
}

TEST(SceneTopologyValidation, ParentsMustExistAndSeveralRootsAreAllowed)
{
    S_SceneTopology topology = validModel();
    topology.nodes[3].parentId = "ghost";
    EXPECT_EQ(validationError(topology), "Orphan node references unknown parent: label-1 -> ghost");

    topology = validModel();
    topology.nodes.push_back(containerNode("site-b", ""));
    std::string error;
    EXPECT_TRUE(validateSceneTopology(topology, error)) << error;
}

TEST(SceneTopologyValidation, CycleIsReportedAtTheFirstNodeMetAgain)
{
    S_SceneTopology topology = validModel();
    topology.nodes.push_back(containerNode("A", "B"));
    topology.nodes.push_back(containerNode("B", "A"));
    EXPECT_EQ(validationError(topology), "Scene node hierarchy contains a cycle at: A");
    std::swap(topology.nodes[4], topology.nodes[5]);
    EXPECT_EQ(validationError(topology), "Scene node hierarchy contains a cycle at: B");

    topology = validModel();
    topology.nodes.push_back(containerNode("self", "self"));
    EXPECT_EQ(validationError(topology), "Scene node hierarchy contains a cycle at: self");

    // A tail leading into a loop: the loop's entry is the node met again, not the start.
    topology = validModel();
    topology.nodes.push_back(containerNode("tail", "loop-1"));
    topology.nodes.push_back(containerNode("loop-1", "loop-2"));
    topology.nodes.push_back(containerNode("loop-2", "loop-1"));
    EXPECT_EQ(validationError(topology), "Scene node hierarchy contains a cycle at: loop-1");
}

S_SceneTopology deepChain(std::size_t depth, bool rootFirst)
{
    S_SceneTopology topology = validModel();
    topology.nodes.clear();
    topology.nodes.reserve(depth);
    for (std::size_t index = 0; index < depth; ++index)
    {
        const std::size_t level = rootFirst ? index : depth - 1 - index;
        topology.nodes.push_back(
            containerNode("n" + std::to_string(level), level == 0 ? "" : "n" + std::to_string(level - 1)));
    }
    return topology;
}

TEST(SceneTopologyValidation, WalksADeepParentChainWithoutRecursion)
{
    constexpr std::size_t kDepth = 200000;
    std::string error;
    EXPECT_TRUE(validateSceneTopology(deepChain(kDepth, true), error)) << error;
    EXPECT_TRUE(validateSceneTopology(deepChain(kDepth, false), error)) << error;

    // Closing the chain into one loop: the walk from the first node goes all the way round.
    S_SceneTopology loop = deepChain(kDepth, false);
    loop.nodes.back().parentId = loop.nodes.front().id;
    EXPECT_EQ(validationError(loop), "Scene node hierarchy contains a cycle at: " + loop.nodes.front().id);
}

}  // namespace
}  // namespace ota::scenario
