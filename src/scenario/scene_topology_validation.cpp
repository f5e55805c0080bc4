#include "scenario/scene_topology_validation.h"

#include <functional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ota::scenario
{
namespace
{

struct S_EndpointKey
{
    std::string_view address;
    std::uint16_t port = 0;

    bool operator==(const S_EndpointKey&) const = default;
};

struct S_EndpointKeyHash
{
    std::size_t operator()(const S_EndpointKey& key) const
    {
        return std::hash<std::string_view>{}(key.address) * 31u + key.port;
    }
};

bool validateNodeTypes(const S_SceneProfile& profile, std::string& error)
{
    std::unordered_set<std::string_view> seenIds;
    seenIds.reserve(profile.nodeTypes.size());
    for (const S_SceneNodeType& type : profile.nodeTypes)
    {
        if (type.id.empty() || type.displayName.empty())
        {
            error = "Node type id and displayName are required";
            return false;
        }
        if (!isValidSceneNodeRole(type.role))
        {
            error = "Node type has invalid role: " + type.id;
            return false;
        }
        if (!seenIds.insert(type.id).second)
        {
            error = "Duplicate node type id: " + type.id;
            return false;
        }
        const bool communicationRole = type.role == E_SceneNodeRole::COMMUNICATION_NODE;
        if (type.capabilities.supportsCommunication != communicationRole)
        {
            error = "Node type role and supportsCommunication mismatch: " + type.id;
            return false;
        }
        if (type.capabilities.supportsRuntimeDiscovery && !type.capabilities.supportsCommunication)
        {
            error = "Runtime discovery requires communication capability: " + type.id;
            return false;
        }
    }
    return true;
}

bool hasCommunicationBinding(const S_SceneNode& node)
{
    return !node.protocolAdapterId.empty() || !node.address.empty() || node.port != 0 ||
           !node.protocolNodeType.empty();
}

bool hasCompleteCommunicationBinding(const S_SceneNode& node)
{
    return !node.protocolAdapterId.empty() && !node.address.empty() && node.port != 0 &&
           !node.protocolNodeType.empty();
}

bool validateNodes(const S_SceneTopology& topology, std::string& error)
{
    const SceneNodeTypeIndex typesById = buildSceneNodeTypeIndex(topology);
    std::unordered_set<std::string_view> seenIds;
    seenIds.reserve(topology.nodes.size());
    std::unordered_set<S_EndpointKey, S_EndpointKeyHash> seenEndpoints;
    for (const S_SceneNode& node : topology.nodes)
    {
        if (node.id.empty() || node.typeId.empty() || node.name.empty())
        {
            error = "Node id, typeId and name are required";
            return false;
        }
        if (!seenIds.insert(node.id).second)
        {
            error = "Duplicate node id: " + node.id;
            return false;
        }
        const auto type = typesById.find(node.typeId);
        if (type == typesById.end())
        {
            error = "Unknown node type id: " + node.typeId + " for node: " + node.id;
            return false;
        }
        if (!type->second->capabilities.supportsCommunication)
        {
            if (hasCommunicationBinding(node))
            {
                error = "Non-communication node contains communication binding: " + node.id;
                return false;
            }
            continue;
        }
        if (!hasCompleteCommunicationBinding(node))
        {
            error = "Communication binding is incomplete for node: " + node.id;
            return false;
        }
        if (!seenEndpoints.insert(S_EndpointKey{node.address, node.port}).second)
        {
            error = "Duplicate communication endpoint: " + node.address + ":" + std::to_string(node.port);
            return false;
        }
    }
    return true;
}

bool validateParents(const S_SceneTopology& topology, const SceneNodeIndex& nodesById, std::string& error)
{
    for (const S_SceneNode& node : topology.nodes)
    {
        if (!node.parentId.empty() && !nodesById.contains(node.parentId))
        {
            error = "Orphan node references unknown parent: " + node.id + " -> " + node.parentId;
            return false;
        }
    }
    return true;
}

// Depth-first visit along parent links with the unvisited / being visited / finished marks.
// Walked with an explicit path instead of recursion: a legal file can hold a parent chain
// hundreds of thousands of nodes deep. The first node met again while on the current path is
// the one the recursive visit would have reported.
bool validateAcyclic(const S_SceneTopology& topology, const SceneNodeIndex& nodesById, std::string& error)
{
    enum class E_Mark : std::uint8_t
    {
        UNVISITED,
        VISITING,
        FINISHED,
    };
    const S_SceneNode* const first = topology.nodes.data();
    std::vector<E_Mark> marks(topology.nodes.size(), E_Mark::UNVISITED);
    std::vector<std::size_t> path;
    for (std::size_t start = 0; start < topology.nodes.size(); ++start)
    {
        std::size_t current = start;
        while (marks[current] != E_Mark::FINISHED)
        {
            if (marks[current] == E_Mark::VISITING)
            {
                error = "Scene node hierarchy contains a cycle at: " + topology.nodes[current].id;
                return false;
            }
            marks[current] = E_Mark::VISITING;
            path.push_back(current);
            const S_SceneNode& node = topology.nodes[current];
            if (node.parentId.empty())
            {
                break;
            }
            // Parents were checked to exist before this walk.
            current = static_cast<std::size_t>(nodesById.at(node.parentId) - first);
        }
        for (const std::size_t visited : path)
        {
            marks[visited] = E_Mark::FINISHED;
        }
        path.clear();
    }
    return true;
}

}  // namespace

bool validateSceneTopology(const S_SceneTopology& topology, std::string& error)
{
    error.clear();
    if (topology.schemaVersion != 2)
    {
        error = "Unsupported scene schema version: " + std::to_string(topology.schemaVersion);
        return false;
    }
    if (topology.sceneProfile.id.empty() || topology.sceneProfile.displayName.empty())
    {
        error = "Scene profile id and displayName are required";
        return false;
    }
    if (topology.sceneProfile.nodeTypes.empty())
    {
        error = "Scene profile contains no node type";
        return false;
    }
    if (topology.nodes.empty())
    {
        error = "Scene topology contains no node";
        return false;
    }
    if (!validateNodeTypes(topology.sceneProfile, error) || !validateNodes(topology, error))
    {
        return false;
    }
    const SceneNodeIndex nodesById = buildSceneNodeIndex(topology);
    return validateParents(topology, nodesById, error) && validateAcyclic(topology, nodesById, error);
}

}  // namespace ota::scenario
