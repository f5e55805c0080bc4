#include "firmware/upgrade_target_path.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace ota::backend
{

bool buildTargetPath(const scenario::S_SceneNode& node, const scenario::SceneNodeIndex& nodesById,
                     const scenario::SceneNodeTypeIndex& nodeTypesById,
                     std::vector<S_UpgradeTargetPathItem>& path, std::string& error)
{
    std::vector<S_UpgradeTargetPathItem> items;
    std::unordered_set<std::string_view> visited;
    const scenario::S_SceneNode* current = &node;
    while (current != nullptr)
    {
        if (!visited.insert(current->id).second)
        {
            error = "Topology cycle detected while creating upgrade target path: " + current->id;
            return false;
        }
        const auto type = nodeTypesById.find(current->typeId);
        if (type == nodeTypesById.end() || type->second == nullptr)
        {
            error =
                "Topology node type is unavailable while creating upgrade target path: " + current->typeId;
            return false;
        }
        items.push_back({current->id, current->name, current->typeId, type->second->displayName});
        if (current->parentId.empty())
        {
            break;
        }
        const auto parent = nodesById.find(current->parentId);
        if (parent == nodesById.end() || parent->second == nullptr)
        {
            error = "Topology parent is unavailable while creating upgrade target path: " + current->id +
                    " -> " + current->parentId;
            return false;
        }
        current = parent->second;
    }
    std::reverse(items.begin(), items.end());
    path = std::move(items);
    return true;
}

}  // namespace ota::backend
