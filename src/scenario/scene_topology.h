#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ota::scenario
{

enum class E_SceneNodeRole : std::uint8_t
{
    CONTAINER = 1,
    COMMUNICATION_NODE = 2,
    DISCOVERED_NODE = 3,
    DISPLAY_ONLY = 4,
};

// The enumerator name; an empty view for a value outside the enumeration.
std::string_view sceneNodeRoleText(E_SceneNodeRole role);
std::optional<E_SceneNodeRole> sceneNodeRoleFromText(std::string_view text);
bool isValidSceneNodeRole(E_SceneNodeRole role);

struct S_SceneNodeCapabilities
{
    bool supportsCommunication = false;
    bool supportsRuntimeDiscovery = false;
    bool supportsUpgrade = false;
    bool visibleInUpgrade = false;

    bool operator==(const S_SceneNodeCapabilities&) const = default;
};

struct S_SceneNodeType
{
    std::string id;
    std::string displayName;
    E_SceneNodeRole role = E_SceneNodeRole::CONTAINER;
    S_SceneNodeCapabilities capabilities;

    bool operator==(const S_SceneNodeType&) const = default;
};

struct S_SceneProfile
{
    std::string id;
    std::string displayName;
    std::vector<S_SceneNodeType> nodeTypes;

    bool operator==(const S_SceneProfile&) const = default;
};

// The last four fields are the communication binding: empty and 0 unless the node's type
// supports communication.
struct S_SceneNode
{
    std::string id;
    std::string parentId;
    std::string typeId;
    std::string name;
    std::string protocolAdapterId;
    std::string address;
    std::uint16_t port = 0;
    std::string protocolNodeType;

    bool operator==(const S_SceneNode&) const = default;
};

struct S_SceneTopology
{
    std::uint32_t schemaVersion = 0;
    S_SceneProfile sceneProfile;
    std::vector<S_SceneNode> nodes;

    // Computed on demand from each node's type; a node whose type is unknown counts for neither.
    std::uint64_t nodeCount() const;
    std::uint64_t directDeviceCount() const;
    std::uint64_t upgradeVisibleNodeCount() const;

    bool operator==(const S_SceneTopology&) const = default;
};

// Lookups by id. The views and pointers refer into the topology, which must outlive the index;
// with duplicate ids (only possible before validation) the first one wins.
using SceneNodeIndex = std::unordered_map<std::string_view, const S_SceneNode*>;
using SceneNodeTypeIndex = std::unordered_map<std::string_view, const S_SceneNodeType*>;

SceneNodeIndex buildSceneNodeIndex(const S_SceneTopology& topology);
SceneNodeTypeIndex buildSceneNodeTypeIndex(const S_SceneTopology& topology);

// The direct devices (communication nodes): nodes whose type supports communication, in file order.
std::vector<const S_SceneNode*> communicationNodes(const S_SceneTopology& topology);

// The non-empty names from the root down to the node, joined with " / ".
bool buildNodeDisplayPath(const S_SceneNode& node, const SceneNodeIndex& nodesById, std::string& path,
                          std::string& error);

}  // namespace ota::scenario
