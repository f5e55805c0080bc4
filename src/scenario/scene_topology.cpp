#include "scenario/scene_topology.h"

#include <algorithm>
#include <array>
#include <unordered_set>
#include <utility>

namespace ota::scenario
{
namespace
{

constexpr std::array<std::pair<E_SceneNodeRole, std::string_view>, 4> kRoleTexts{{
    {E_SceneNodeRole::CONTAINER, "CONTAINER"},
    {E_SceneNodeRole::COMMUNICATION_NODE, "COMMUNICATION_NODE"},
    {E_SceneNodeRole::DISCOVERED_NODE, "DISCOVERED_NODE"},
    {E_SceneNodeRole::DISPLAY_ONLY, "DISPLAY_ONLY"},
}};

template <typename Predicate>
std::uint64_t countNodesWhoseType(const S_SceneTopology& topology, Predicate&& predicate)
{
    const SceneNodeTypeIndex typesById = buildSceneNodeTypeIndex(topology);
    std::uint64_t count = 0;
    for (const S_SceneNode& node : topology.nodes)
    {
        const auto type = typesById.find(node.typeId);
        if (type != typesById.end() && predicate(type->second->capabilities))
        {
            ++count;
        }
    }
    return count;
}

}  // namespace

std::string_view sceneNodeRoleText(E_SceneNodeRole role)
{
    for (const auto& [value, text] : kRoleTexts)
    {
        if (value == role)
        {
            return text;
        }
    }
    return {};
}

std::optional<E_SceneNodeRole> sceneNodeRoleFromText(std::string_view text)
{
    for (const auto& [value, name] : kRoleTexts)
    {
        if (name == text)
        {
            return value;
        }
    }
    return std::nullopt;
}

bool isValidSceneNodeRole(E_SceneNodeRole role)
{
    return !sceneNodeRoleText(role).empty();
}

std::uint64_t S_SceneTopology::nodeCount() const
{
    return nodes.size();
}

std::uint64_t S_SceneTopology::directDeviceCount() const
{
    return countNodesWhoseType(*this, [](const S_SceneNodeCapabilities& capabilities)
                               { return capabilities.supportsCommunication; });
}

std::uint64_t S_SceneTopology::upgradeVisibleNodeCount() const
{
    return countNodesWhoseType(
        *this, [](const S_SceneNodeCapabilities& capabilities) { return capabilities.visibleInUpgrade; });
}

SceneNodeIndex buildSceneNodeIndex(const S_SceneTopology& topology)
{
    SceneNodeIndex index;
    index.reserve(topology.nodes.size());
    for (const S_SceneNode& node : topology.nodes)
    {
        index.emplace(node.id, &node);
    }
    return index;
}

SceneNodeTypeIndex buildSceneNodeTypeIndex(const S_SceneTopology& topology)
{
    SceneNodeTypeIndex index;
    index.reserve(topology.sceneProfile.nodeTypes.size());
    for (const S_SceneNodeType& type : topology.sceneProfile.nodeTypes)
    {
        index.emplace(type.id, &type);
    }
    return index;
}

std::vector<const S_SceneNode*> communicationNodes(const S_SceneTopology& topology)
{
    const SceneNodeTypeIndex typesById = buildSceneNodeTypeIndex(topology);
    std::vector<const S_SceneNode*> result;
    for (const S_SceneNode& node : topology.nodes)
    {
        const auto type = typesById.find(node.typeId);
        if (type != typesById.end() && type->second->capabilities.supportsCommunication)
        {
            result.push_back(&node);
        }
    }
    return result;
}

bool buildNodeDisplayPath(const S_SceneNode& node, const SceneNodeIndex& nodesById, std::string& path,
                          std::string& error)
{
    path.clear();
    error.clear();
    std::unordered_set<std::string_view> seen;
    std::vector<std::string_view> namesLeafFirst;
    const S_SceneNode* current = &node;
    while (true)
    {
        if (!seen.insert(current->id).second)
        {
            error = "Topology node hierarchy contains a cycle at: " + current->id;
            return false;
        }
        if (!current->name.empty())
        {
            namesLeafFirst.push_back(current->name);
        }
        if (current->parentId.empty())
        {
            break;
        }
        const auto parent = nodesById.find(current->parentId);
        if (parent == nodesById.end())
        {
            error = "Topology parent node does not exist: " + current->parentId;
            return false;
        }
        current = parent->second;
    }
    for (auto name = namesLeafFirst.rbegin(); name != namesLeafFirst.rend(); ++name)
    {
        if (!path.empty())
        {
            path += " / ";
        }
        path += *name;
    }
    return true;
}

}  // namespace ota::scenario
