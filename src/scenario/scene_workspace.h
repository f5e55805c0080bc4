#pragma once

#include "scenario/scene_topology.h"

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace ota::scenario
{

// The topology the backend serves, with the time it was installed (Unix milliseconds).
// A snapshot keeps its topology alive even after the workspace moved on to another one.
struct S_WorkspaceSnapshot
{
    std::shared_ptr<const S_SceneTopology> topology;
    std::int64_t loadedAt = 0;

    bool topologyConfigured() const { return topology != nullptr; }
    std::uint64_t nodeCount() const { return topology ? topology->nodeCount() : 0; }
    std::uint64_t directDeviceCount() const { return topology ? topology->directDeviceCount() : 0; }
    std::uint64_t upgradeVisibleNodeCount() const
    {
        return topology ? topology->upgradeVisibleNodeCount() : 0;
    }
};

// Holds the current immutable topology. Installed topologies are never modified, only replaced;
// there is no way back to an empty workspace.
class CSceneWorkspace
{
public:
    void replaceTopology(S_SceneTopology&& topology, std::int64_t loadedAt);
    // Installs an already shared topology (a reload builds its report from it before committing).
    // A null topology is refused and leaves the workspace unchanged.
    bool replaceTopology(std::shared_ptr<const S_SceneTopology> topology, std::int64_t loadedAt);

    S_WorkspaceSnapshot snapshot() const;

private:
    mutable std::shared_mutex m_lock;
    std::shared_ptr<const S_SceneTopology> m_topology;
    std::int64_t m_loadedAt = 0;
};

// The workspace report: "READY" with the serialised topology, or "NOT_CONFIGURED" with nulls.
// The response is compact JSON with keys in ascending byte order, written only on success.
bool buildWorkspaceJson(const S_WorkspaceSnapshot& snapshot, std::uint64_t sceneGeneration,
                        std::string_view operation, std::string& responseJson, std::string& error);

}  // namespace ota::scenario
