#pragma once

#include "firmware/upgrade_task_snapshot.h"
#include "scenario/scene_topology.h"

#include <string>
#include <vector>

namespace ota::backend
{

// The node's ancestry for a task snapshot, root first and ending with the node itself. Walks the
// parent links iteratively and refuses a cycle, an unknown node type or a missing parent, so a
// topology that was never validated cannot loop or crash it. The path is written only on success.
bool buildTargetPath(const scenario::S_SceneNode& node, const scenario::SceneNodeIndex& nodesById,
                     const scenario::SceneNodeTypeIndex& nodeTypesById,
                     std::vector<S_UpgradeTargetPathItem>& path, std::string& error);

}  // namespace ota::backend
