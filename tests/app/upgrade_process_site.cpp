#include "app/upgrade_process_site.h"

#include "protocol/protocol_enums.h"
#include "scenario/scene_topology_serializer.h"
#include "support/free_port.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

namespace ota::test
{

using json = nlohmann::json;

namespace
{

const std::filesystem::path kBackend = OTA_BACKEND_EXE;

}  // namespace

CUpgradeBackend::CUpgradeBackend(const std::vector<S_TestNode>& nodes, const S_BackendSettings& settings)
{
    json topology;
    std::string error;
    if (!ota::scenario::serializeSceneTopology(makeDeviceTopology(nodes), topology, error))
    {
        throw std::runtime_error(error);
    }
    m_directory.writeFile("site.json", topology.dump());
    m_config = {{"httpHost", "127.0.0.1"},
                {"deviceConcurrency", settings.deviceConcurrency},
                {"connectTimeoutMs", settings.connectTimeoutMs},
                {"ackTimeoutMs", settings.ackTimeoutMs},
                {"stageTimeoutMs", settings.stageTimeoutMs},
                {"flashTimeoutMs", settings.flashTimeoutMs},
                {"restartTimeoutMs", settings.restartTimeoutMs},
                {"chunkSize", settings.chunkSize},
                {"reconnectIntervalMs", settings.reconnectIntervalMs},
                {"topologyFile", "site.json"}};
}

CUpgradeBackend::~CUpgradeBackend() = default;

bool CUpgradeBackend::launch()
{
    m_port = findFreeLoopbackPort();
    m_config["httpPort"] = m_port;
    const auto configPath = m_directory.writeFile("ota-backend.json", m_config.dump());
    m_child.reset();
    m_child =
        std::make_unique<CChildProcess>(kBackend, std::vector<std::string>{"--config", configPath.string()});
    return m_child->waitForOutput("[INFO] WebSocket events: ws://");
}

int CUpgradeBackend::stop()
{
    m_child->sendSignal(SIGTERM);
    return m_child->waitForExit(std::chrono::seconds(60)).value_or(-1);
}

std::string CUpgradeBackend::output() const
{
    return m_child ? "stdout:\n" + m_child->standardOutput() + "\nstderr:\n" + m_child->standardError() : "";
}

std::filesystem::path CUpgradeBackend::writeFirmware(const std::string& name, std::size_t size,
                                                     std::uint32_t seed) const
{
    std::string bytes(size, '\0');
    std::uint32_t state = 0x9E3779B9u * seed + 1u;
    for (char& byte : bytes)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    return m_directory.writeFile("firmware/" + name, bytes);
}

std::vector<S_TestNode> nodesOf(const ota::backend::CDeviceSimulator& simulator,
                                const std::vector<ota::backend::S_SimDeviceSpec>& devices)
{
    std::vector<S_TestNode> nodes;
    for (const ota::backend::S_SimDeviceSpec& device : devices)
    {
        nodes.push_back(S_TestNode{device.nodeId, ota::backend::protocolDeviceTypeName(device.deviceType),
                                   simulator.boundPort(device.nodeId)});
    }
    return nodes;
}

CUpgradeApi::CUpgradeApi(std::uint16_t port, std::chrono::milliseconds bound) : m_http(port, bound) {}

S_HttpResult CUpgradeApi::post(const std::string& target, const std::string& body)
{
    HeaderList headers = m_headers;
    headers.emplace_back("Content-Type", "application/json");
    return m_http.request("POST", target, body, headers);
}

S_HttpResult CUpgradeApi::get(const std::string& target)
{
    return m_http.request("GET", target, {}, m_headers);
}

json CUpgradeApi::current()
{
    const S_HttpResult result = get("/api/v1/upgrades/current");
    return result.status == 200u ? result.json["data"] : json(nullptr);
}

json CUpgradeApi::history()
{
    const S_HttpResult result = get("/api/v1/upgrades/history");
    return result.status == 200u ? result.json["data"] : json(nullptr);
}

json CUpgradeApi::deviceStatus()
{
    const S_HttpResult result = get("/api/v1/devices/status");
    return result.status == 200u ? result.json["data"] : json(nullptr);
}

json CUpgradeApi::waitReady(const std::vector<std::string>& nodeIds, const std::string& upgradeState)
{
    json status;
    const bool ready = waitUntil(
        [&]
        {
            status = deviceStatus();
            if (!status.is_object())
            {
                return false;
            }
            for (const std::string& nodeId : nodeIds)
            {
                const json node = findNode(status, nodeId);
                if (node.is_null() || node["connectionState"] != "CONNECTED" ||
                    node["upgradeState"] != upgradeState || node["reasonCode"] != 0 ||
                    node["lastStatusAt"] == 0 ||
                    node["lastStatusAt"].get<std::int64_t>() < node["lastConnectedAt"].get<std::int64_t>() ||
                    node["components"].empty())
                {
                    return false;
                }
            }
            return true;
        },
        std::chrono::seconds(30));
    return ready ? status : json(nullptr);
}

json CUpgradeApi::waitEnded(std::uint32_t upgradeNo, std::chrono::milliseconds bound)
{
    json state;
    const bool ended = waitUntil(
        [&]
        {
            state = current();
            return state.is_object() && state.value("upgradeNo", 0u) == upgradeNo && state["active"] == false;
        },
        bound);
    return ended ? state : json(nullptr);
}

json CUpgradeApi::waitFinalized(std::uint32_t upgradeNo)
{
    json record;
    const bool finalized = waitUntil(
        [&]
        {
            record = findRecord(history(), upgradeNo);
            return record.is_object() && record["finalized"] == true;
        },
        std::chrono::seconds(30));
    return finalized ? record : json(nullptr);
}

json firmwareEntry(const std::string& slotKey, const std::filesystem::path& path,
                   const std::string& targetVersion)
{
    return {{"fileSlotKey", slotKey}, {"filePath", path.string()}, {"targetVersion", targetVersion}};
}

json upgradeTarget(const std::string& nodeId, const std::string& typeId, unsigned index,
                   const std::string& currentVersion, const std::string& slotKey)
{
    return {{"nodeId", nodeId},        {"componentTypeId", typeId},
            {"componentIndex", index}, {"currentVersion", currentVersion},
            {"fileSlotKey", slotKey},  {"force", false}};
}

json previewBody(const std::string& upgradeId, const json& targets, const json& files)
{
    return {{"upgradeId", upgradeId}, {"targets", targets}, {"files", files}};
}

const std::map<std::string, std::string>& slotOfComponent()
{
    static const std::map<std::string, std::string> slots = {
        {"EMU", "emu:emu"},     {"PCS_DSP1", "pcs:dsp1"}, {"PCS_DSP2", "pcs:dsp2"}, {"PCS_FPGA", "pcs:fpga"},
        {"PCS_ARM", "pcs:arm"}, {"BMS_BAU", "bms:bau"},   {"BMS_BEU", "bms:beu"},   {"BMS_BCU", "bms:bcu"}};
    return slots;
}

json targetsForEveryComponent(const json& deviceStatus, const std::vector<std::string>& nodeIds)
{
    json targets = json::array();
    for (const std::string& nodeId : nodeIds)
    {
        const json node = findNode(deviceStatus, nodeId);
        for (const json& component : node["components"])
        {
            const std::string typeId = component["typeId"];
            targets.push_back(upgradeTarget(nodeId, typeId, component["index"], component["version"],
                                            slotOfComponent().at(typeId)));
        }
    }
    return targets;
}

json findNode(const json& deviceStatus, const std::string& nodeId)
{
    if (deviceStatus.is_object() && deviceStatus.contains("communicationNodes"))
    {
        for (const json& node : deviceStatus["communicationNodes"])
        {
            if (node["nodeId"] == nodeId)
            {
                return node;
            }
        }
    }
    return nullptr;
}

std::string reportedVersion(const json& deviceStatus, const std::string& nodeId, const std::string& typeId,
                            unsigned index)
{
    const json node = findNode(deviceStatus, nodeId);
    if (node.is_object())
    {
        for (const json& component : node["components"])
        {
            if (component["typeId"] == typeId && component["index"] == index)
            {
                return component["version"].get<std::string>();
            }
        }
    }
    return {};
}

json findDevice(const json& state, const std::string& nodeId)
{
    if (state.is_object() && state.contains("devices"))
    {
        for (const json& device : state["devices"])
        {
            if (device["nodeId"] == nodeId)
            {
                return device;
            }
        }
    }
    return nullptr;
}

json findRecord(const json& history, std::uint32_t upgradeNo)
{
    if (history.is_object() && history.contains("records"))
    {
        for (const json& record : history["records"])
        {
            if (record["upgradeNo"] == upgradeNo)
            {
                return record;
            }
        }
    }
    return nullptr;
}

json withoutKeys(json document, const std::vector<std::string>& keys)
{
    for (const std::string& key : keys)
    {
        document.erase(key);
    }
    return document;
}

}  // namespace ota::test
