#include "sim/site_generator.h"

#include "common/json_text.h"
#include "common/message_text.h"
#include "scenario/scene_topology_serializer.h"
#include "sim/loopback_address.h"

#include <algorithm>
#include <fstream>

namespace ota::backend
{
namespace
{

using ota::scenario::E_SceneNodeRole;
using ota::scenario::S_SceneNode;
using ota::scenario::S_SceneNodeType;

S_SceneNodeType deviceNodeType(const char* id, const char* displayName)
{
    return {id, displayName, E_SceneNodeRole::COMMUNICATION_NODE, {true, false, true, true}};
}

bool writeTextFile(const std::filesystem::path& path, const std::string& text, std::string& error)
{
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text << '\n';
    stream.close();
    if (!stream)
    {
        error = "Cannot write " + toMessageText(path.string());
        return false;
    }
    return true;
}

}  // namespace

bool buildSiteTopology(const S_SiteLayout& layout, ota::scenario::S_SceneTopology& topology, std::string& error)
{
    error.clear();
    const unsigned total = layout.emuCount + layout.pcsCount + layout.bmsCount;
    if (total == 0)
    {
        error = "A site needs at least one device (--emu, --pcs or --bms)";
        return false;
    }
    if (layout.emuCount > MAX_GENERATED_DEVICES || layout.pcsCount > MAX_GENERATED_DEVICES ||
        layout.bmsCount > MAX_GENERATED_DEVICES || total > MAX_GENERATED_DEVICES)
    {
        error = "A generated site holds at most " + std::to_string(MAX_GENERATED_DEVICES) + " devices";
        return false;
    }
    if (layout.bcuCount != 6 && layout.bcuCount != 12)
    {
        error = "A BMS has 6 or 12 BCUs";
        return false;
    }
    if (layout.basePort == 0 || std::uint32_t{layout.basePort} + total - 1 > 65535)
    {
        error = "Ports " + std::to_string(layout.basePort) + ".." + std::to_string(std::uint32_t{layout.basePort} + total - 1) +
                " do not fit below 65536";
        return false;
    }
    if (!isLoopbackAddressText(layout.address, error))
    {
        error = "Device " + error;
        return false;
    }
    ota::scenario::S_SceneTopology result;
    result.schemaVersion = 2;
    result.sceneProfile.id = "energy-storage-site";
    result.sceneProfile.displayName = "Energy storage site";
    result.sceneProfile.nodeTypes = {
        {"container", "Container", E_SceneNodeRole::CONTAINER, {false, false, false, false}},
        deviceNodeType("emu", "EMU"),
        deviceNodeType("pcs", "PCS"),
        deviceNodeType("bms", "BMS"),
    };
    const unsigned containers = std::max({layout.emuCount, layout.pcsCount, layout.bmsCount});
    for (unsigned k = 1; k <= containers; ++k)
    {
        result.nodes.push_back({"container-" + std::to_string(k), "", "container", "Container " + std::to_string(k),
                                "", "", 0, ""});
    }
    std::uint32_t port = layout.basePort;
    const auto addDevices = [&](unsigned count, const std::string& typeId, const std::string& label) {
        for (unsigned k = 1; k <= count; ++k)
        {
            result.nodes.push_back({typeId + "-" + std::to_string(k), "container-" + std::to_string(k), typeId,
                                    label + " " + std::to_string(k), "ota-v1", layout.address,
                                    static_cast<std::uint16_t>(port++), label});
        }
    };
    addDevices(layout.emuCount, "emu", "EMU");
    addDevices(layout.pcsCount, "pcs", "PCS");
    addDevices(layout.bmsCount, "bms", "BMS");
    topology = std::move(result);
    return true;
}

bool writeSiteFiles(const S_SiteLayout& layout, const std::filesystem::path& directory, S_GeneratedSiteFiles& files,
                    std::string& error)
{
    error.clear();
    ota::scenario::S_SceneTopology topology;
    if (!buildSiteTopology(layout, topology, error))
    {
        return false;
    }
    nlohmann::json topologyJson;
    if (!ota::scenario::serializeSceneTopology(topology, topologyJson, error))
    {
        return false;
    }
    std::error_code code;
    std::filesystem::create_directories(directory, code);
    if (code)
    {
        error = "Cannot create directory " + toMessageText(directory.string()) + ": " + code.message();
        return false;
    }
    const unsigned total = layout.emuCount + layout.pcsCount + layout.bmsCount;
    const nlohmann::json config = {
        {"httpHost", "127.0.0.1"},
        {"httpPort", layout.httpPort},
        {"topologyFile", "site.json"},
        {"deviceConcurrency", std::min(total, 32u)},
        {"connectTimeoutMs", 3000},
        // Short so that a device is back soon after its simulated reboot.
        {"reconnectIntervalMs", 1000},
        {"ackTimeoutMs", 5000},
        {"stageTimeoutMs", 60000},
        {"flashTimeoutMs", 300000},
        {"restartTimeoutMs", 120000},
        {"chunkSize", 10240},
        {"historyRetentionDays", 90},
    };
    nlohmann::json rules = nlohmann::json::array();
    if (layout.bmsCount != 0)
    {
        rules.push_back({{"deviceType", "BMS"}, {"settings", {{"bcuCount", layout.bcuCount}}}});
    }
    const nlohmann::json scenario = {{"schemaVersion", 1}, {"rules", rules}};
    files.topologyFile = directory / "site.json";
    files.configFile = directory / "ota-backend.json";
    files.scenarioFile = directory / "sim-scenario.json";
    return writeTextFile(files.topologyFile, toJsonText(topologyJson), error) &&
           writeTextFile(files.configFile, toJsonText(config), error) &&
           writeTextFile(files.scenarioFile, toJsonText(scenario), error);
}

}  // namespace ota::backend
