#include "request_body_site.h"

#include "app/baseline_routes.h"
#include "app/rollout_request.h"
#include "app/task_retry_route.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace ota::backend
{

namespace
{

using scenario::E_SceneNodeRole;
using scenario::S_SceneNode;
using scenario::S_SceneNodeType;
using scenario::S_SceneTopology;

S_SceneNodeType nodeType(const std::string& id, E_SceneNodeRole role, bool communication, bool upgrade)
{
    return {id, id + " type", role, {communication, false, upgrade, true}};
}

S_SceneNode node(const std::string& id, const std::string& parentId, const std::string& typeId,
                 std::uint16_t port = 0, const std::string& protocolNodeType = "")
{
    const bool device = port != 0;
    return {id,   parentId,        typeId, "Name " + id, device ? "ota-v1" : "", device ? "127.0.0.1" : "",
            port, protocolNodeType};
}

std::shared_ptr<const S_SceneTopology> siteTopology()
{
    auto topology = std::make_shared<S_SceneTopology>();
    topology->schemaVersion = 2;
    topology->sceneProfile = {"profile",
                              "Profile",
                              {nodeType("site", E_SceneNodeRole::CONTAINER, false, false),
                               nodeType("room", E_SceneNodeRole::CONTAINER, false, false),
                               nodeType("pcs", E_SceneNodeRole::COMMUNICATION_NODE, true, true),
                               nodeType("bms", E_SceneNodeRole::COMMUNICATION_NODE, true, true),
                               nodeType("meter", E_SceneNodeRole::COMMUNICATION_NODE, true, false)}};
    topology->nodes = {node("site-a", "", "site"), node("room-1", "site-a", "room"),
                       node("pcs-1", "room-1", "pcs", 19001, "PCS"),
                       node("bms-1", "room-1", "bms", 19002, "BMS"),
                       node("meter-1", "site-a", "meter", 19003, "METER")};
    return topology;
}

S_CommunicationNodeStatus readyStatus(const std::string& nodeId,
                                      std::vector<S_CommunicationComponentStatus> components)
{
    S_CommunicationNodeStatus status;
    status.nodeId = nodeId;
    status.connectionState = E_DeviceConnectionState::CONNECTED;
    status.lastConnectedAt = 1000;
    status.lastStatusAt = 2000;
    status.upgradeState = "READY";
    status.reasonName = "NONE";
    status.components = std::move(components);
    return status;
}

void writeFile(const std::filesystem::path& path, std::size_t size, char fill)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, fill);
}

}  // namespace

CFuzzRequestSite& CFuzzRequestSite::instance()
{
    static CFuzzRequestSite site;
    return site;
}

CFuzzRequestSite::CFuzzRequestSite()
    : m_topology(siteTopology()), m_service([] { return std::int64_t{1700000000000}; })
{
    const std::filesystem::path folder = "/tmp/ota-fuzz-firmware";
    std::filesystem::create_directories(folder);
    writeFile(folder / "dsp.bin", 3000, 'd');
    writeFile(folder / "bcu.bin", 1024, 'b');
    std::string error;
    m_service.setChunkSize(1024, error);
    std::vector<S_CommunicationComponentStatus> bms = {{"BMS_BAU", 1, "A1"}, {"BMS_BEU", 1, "E1"}};
    for (std::uint16_t index = 1; index <= 12; ++index)
    {
        bms.push_back({"BMS_BCU", index, "C1"});
    }
    m_statuses = {readyStatus("pcs-1", {{"PCS_DSP1", 1, "D1.0"},
                                        {"PCS_DSP2", 1, "D2.0"},
                                        {"PCS_FPGA", 1, "F1.0"},
                                        {"PCS_ARM", 1, "R1.0"}}),
                  readyStatus("bms-1", std::move(bms)), readyStatus("meter-1", {{"EMU", 1, "M1"}})};
    m_inspect = [this](const std::string& body, std::string& response, std::string& error)
    { return m_service.inspectFirmware(body, response, error); };
    m_preview = [this](const std::string& body, std::string& response, std::string& error)
    { return m_service.previewUpgrade(body, 7, m_topology, m_statuses, response, error); };
    // The creation's own checks, then the preview's checks of its content (what the route does
    // before it stores the rollout).
    m_rollout = [this](const std::string& body, std::string& response, std::string& error)
    {
        S_RolloutRequest request;
        S_UpgradeTaskSnapshot content;
        if (!readRolloutRequest(body, request, error) ||
            !m_service.checkTaskContent(request.targets, request.files, *m_topology, m_statuses, content,
                                        error))
        {
            return false;
        }
        response = "{\"targetCount\":" + std::to_string(content.targets.size()) + "}";
        return true;
    };
    m_retry = [](std::uint32_t, const std::string& body, std::string& response, std::string& error)
    {
        std::string upgradeId;
        if (!readRetryBody(body, upgradeId, error))
        {
            return false;
        }
        response = "{}";
        return true;
    };
    if (!m_baselines.open(":memory:", error))
    {
        std::abort();
    }
    m_baseline = makeBaselineCreateHandler(m_baselines, [this] { return m_statuses; });
}

}  // namespace ota::backend
