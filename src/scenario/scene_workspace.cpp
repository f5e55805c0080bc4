#include "scenario/scene_workspace.h"

#include "common/json_text.h"
#include "scenario/scene_topology_serializer.h"

#include <mutex>
#include <utility>

namespace ota::scenario
{

void CSceneWorkspace::replaceTopology(S_SceneTopology&& topology, std::int64_t loadedAt)
{
    // Built outside the lock; readers wait only for the pointer swap.
    replaceTopology(std::make_shared<const S_SceneTopology>(std::move(topology)), loadedAt);
}

bool CSceneWorkspace::replaceTopology(std::shared_ptr<const S_SceneTopology> topology, std::int64_t loadedAt)
{
    if (!topology)
    {
        return false;
    }
    std::shared_ptr<const S_SceneTopology> previous;
    {
        const std::unique_lock lock(m_lock);
        previous = std::exchange(m_topology, std::move(topology));
        m_loadedAt = loadedAt;
    }
    // The previous topology, when this was its last owner, is destroyed here, outside the lock.
    return true;
}

S_WorkspaceSnapshot CSceneWorkspace::snapshot() const
{
    const std::shared_lock lock(m_lock);
    return S_WorkspaceSnapshot{m_topology, m_loadedAt};
}

bool buildWorkspaceJson(const S_WorkspaceSnapshot& snapshot, std::uint64_t sceneGeneration,
                        std::string_view operation, std::string& responseJson, std::string& error)
{
    responseJson.clear();
    error.clear();
    try
    {
        nlohmann::json report = {
            {"operation", operation},
            {"sceneGeneration", sceneGeneration},
        };
        if (!snapshot.topology)
        {
            report["status"] = "NOT_CONFIGURED";
            report["ready"] = false;
            report["topologyConfigured"] = false;
            report["loadedAt"] = nullptr;
            report["nodeCount"] = 0;
            report["directDeviceCount"] = 0;
            report["upgradeVisibleNodeCount"] = 0;
            report["topology"] = nullptr;
        }
        else
        {
            nlohmann::json topology;
            std::string serializeError;
            if (!serializeSceneTopology(*snapshot.topology, topology, serializeError))
            {
                error = "Cannot serialize scene topology: " + serializeError;
                return false;
            }
            report["status"] = "READY";
            report["ready"] = true;
            report["topologyConfigured"] = true;
            report["loadedAt"] = snapshot.loadedAt;
            report["nodeCount"] = snapshot.nodeCount();
            report["directDeviceCount"] = snapshot.directDeviceCount();
            report["upgradeVisibleNodeCount"] = snapshot.upgradeVisibleNodeCount();
            report["topology"] = std::move(topology);
        }
        responseJson = backend::toJsonText(report);
        return true;
    }
    catch (const std::exception& exception)
    {
        responseJson.clear();
        error = std::string("Cannot build workspace JSON: ") + exception.what();
        return false;
    }
}

}  // namespace ota::scenario
