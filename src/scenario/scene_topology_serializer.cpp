#include "scenario/scene_topology_serializer.h"

#include "scenario/scene_topology_validation.h"

#include <utility>

namespace ota::scenario
{
namespace
{

using Json = nlohmann::json;

Json nodeTypeJson(const S_SceneNodeType& type)
{
    const S_SceneNodeCapabilities& capabilities = type.capabilities;
    return Json{
        {"id", type.id},
        {"displayName", type.displayName},
        {"role", sceneNodeRoleText(type.role)},
        {"capabilities",
         {{"supportsCommunication", capabilities.supportsCommunication},
          {"supportsRuntimeDiscovery", capabilities.supportsRuntimeDiscovery},
          {"supportsUpgrade", capabilities.supportsUpgrade},
          {"visibleInUpgrade", capabilities.visibleInUpgrade}}},
    };
}

Json nodeJson(const S_SceneNode& node)
{
    return Json{
        {"id", node.id},
        {"parentId", node.parentId},
        {"typeId", node.typeId},
        {"name", node.name},
        {"protocolAdapterId", node.protocolAdapterId},
        {"address", node.address},
        {"port", node.port},
        {"protocolNodeType", node.protocolNodeType},
    };
}

}  // namespace

bool serializeSceneTopology(const S_SceneTopology& topology, nlohmann::json& value, std::string& error)
{
    error.clear();
    if (!validateSceneTopology(topology, error))
    {
        return false;
    }
    Json nodeTypes = Json::array();
    for (const S_SceneNodeType& type : topology.sceneProfile.nodeTypes)
    {
        nodeTypes.push_back(nodeTypeJson(type));
    }
    Json nodes = Json::array();
    for (const S_SceneNode& node : topology.nodes)
    {
        nodes.push_back(nodeJson(node));
    }
    Json result = Json::object();
    result["schemaVersion"] = topology.schemaVersion;
    result["sceneProfile"] = Json{
        {"id", topology.sceneProfile.id},
        {"displayName", topology.sceneProfile.displayName},
        {"nodeTypes", std::move(nodeTypes)},
    };
    result["nodes"] = std::move(nodes);
    value = std::move(result);
    return true;
}

}  // namespace ota::scenario
