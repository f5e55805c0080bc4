#include "sim/topology_devices.h"

#include "protocol/protocol_adapter.h"
#include "protocol/protocol_enums.h"
#include "scenario/topology_file_loader.h"
#include "sim/loopback_address.h"

#include <set>

namespace ota::backend
{

bool simDevicesFromTopology(const ota::scenario::S_SceneTopology& topology, std::vector<S_SimDeviceSpec>& devices,
                            std::string& error)
{
    error.clear();
    const ota::scenario::SceneNodeIndex nodesById = ota::scenario::buildSceneNodeIndex(topology);
    std::vector<S_SimDeviceSpec> result;
    for (const ota::scenario::S_SceneNode* node : ota::scenario::communicationNodes(topology))
    {
        const std::string prefix = "Topology node " + node->id + ": ";
        if (node->protocolAdapterId != OTA_V1_PROTOCOL_ADAPTER_ID)
        {
            error = prefix + "protocol adapter " + node->protocolAdapterId + " is not simulated (only ota-v1)";
            return false;
        }
        S_SimDeviceSpec spec;
        if (!deviceTypeFromProtocolNodeType(node->protocolNodeType, spec.deviceType))
        {
            error = prefix + "protocolNodeType " + node->protocolNodeType + " is not EMU, PCS or BMS";
            return false;
        }
        std::string addressError;
        if (!isLoopbackAddressText(node->address, addressError))
        {
            error = prefix + addressError;
            return false;
        }
        spec.nodeId = node->id;
        spec.nodeName = node->name;
        spec.address = node->address;
        spec.port = node->port;
        // Validation has ruled out cycles and orphans; the set guards the walk regardless.
        std::set<std::string> seen{node->id};
        for (std::string parentId = node->parentId; !parentId.empty() && seen.insert(parentId).second;)
        {
            spec.ancestorIds.push_back(parentId);
            const auto parent = nodesById.find(parentId);
            if (parent == nodesById.end())
            {
                break;
            }
            parentId = parent->second->parentId;
        }
        result.push_back(std::move(spec));
    }
    if (result.empty())
    {
        error = "The topology has no communication node to simulate";
        return false;
    }
    devices = std::move(result);
    return true;
}

bool loadSimDevicesFromTopologyFile(const std::filesystem::path& path, std::vector<S_SimDeviceSpec>& devices,
                                    std::string& error)
{
    error.clear();
    ota::scenario::S_SceneTopology topology;
    switch (ota::scenario::loadTopologyFile(path, topology, error))
    {
    case ota::scenario::E_TopologyLoadResult::LOADED:
        return simDevicesFromTopology(topology, devices, error);
    case ota::scenario::E_TopologyLoadResult::ABSENT:
        if (error.empty())
        {
            error = "Topology file does not exist: " + path.string();
        }
        return false;
    case ota::scenario::E_TopologyLoadResult::INVALID:
        break;
    }
    return false;
}

}  // namespace ota::backend
