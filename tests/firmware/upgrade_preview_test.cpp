#include "firmware/upgrade_target_path.h"
#include "firmware/upgrade_task_service.h"
#include "firmware/upgrade_task_snapshot_json.h"

#include "common/digest.h"
#include "common/json_text.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace ota::backend
{
namespace
{

using nlohmann::json;
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

// site-a > room-1 > {pcs-1, bms-1}; meter-1 (communicates, not upgradeable) under site-a.
S_SceneTopology siteTopology()
{
    S_SceneTopology topology;
    topology.schemaVersion = 2;
    topology.sceneProfile = {"profile",
                             "Profile",
                             {nodeType("site", E_SceneNodeRole::CONTAINER, false, false),
                              nodeType("room", E_SceneNodeRole::CONTAINER, false, false),
                              nodeType("pcs", E_SceneNodeRole::COMMUNICATION_NODE, true, true),
                              nodeType("bms", E_SceneNodeRole::COMMUNICATION_NODE, true, true),
                              nodeType("meter", E_SceneNodeRole::COMMUNICATION_NODE, true, false)}};
    topology.nodes = {node("site-a", "", "site"), node("room-1", "site-a", "room"),
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
    status.reasonCode = 0;
    status.reasonName = "NONE";
    status.components = std::move(components);
    return status;
}

std::vector<S_CommunicationComponentStatus> bcus(std::uint16_t count)
{
    std::vector<S_CommunicationComponentStatus> components = {{"BMS_BAU", 1, "A1"}, {"BMS_BEU", 1, "E1"}};
    for (std::uint16_t index = 1; index <= count; ++index)
    {
        components.push_back({"BMS_BCU", index, "C1"});
    }
    return components;
}

json target(const std::string& nodeId, const std::string& type, json index, const std::string& version,
            const std::string& slot, bool force = false)
{
    return {{"nodeId", nodeId},          {"componentTypeId", type}, {"componentIndex", std::move(index)},
            {"currentVersion", version}, {"fileSlotKey", slot},     {"force", force}};
}

json fileEntry(const std::string& slot, const std::filesystem::path& path, const std::string& version)
{
    return {{"fileSlotKey", slot}, {"filePath", path.string()}, {"targetVersion", version}};
}

class UpgradePreview : public ::testing::Test
{
protected:
    UpgradePreview()
    {
        std::string error;
        EXPECT_TRUE(service.setChunkSize(1024, error));
        statuses = {readyStatus("pcs-1", {{"PCS_DSP1", 1, "D1.0"},
                                          {"PCS_DSP2", 1, "D2.0"},
                                          {"PCS_FPGA", 1, "F1.0"},
                                          {"PCS_ARM", 1, "R1.0"}}),
                    readyStatus("bms-1", bcus(12)), readyStatus("meter-1", {{"EMU", 1, "M1"}})};
        request = {{"upgradeId", "task_01"},
                   {"targets",
                    {target("pcs-1", "PCS_DSP1", 1, "D1.0", "pcs:dsp1"),
                     target("bms-1", "BMS_BCU", 3, "C1", "bms:bcu", true)}},
                   {"files", {fileEntry("pcs:dsp1", dspFile, "D1.1"), fileEntry("bms:bcu", bcuFile, "C2")}}};
    }

    bool preview(const json& body, std::string& response, std::string& error)
    {
        return service.previewUpgrade(toJsonText(body), 7, topology, statuses, response, error);
    }

    // The message of a refused preview; a refusal must leave no response behind.
    std::string refusal(const json& body)
    {
        std::string response = "old";
        std::string error;
        if (preview(body, response, error))
        {
            return "accepted";
        }
        EXPECT_TRUE(response.empty());
        return error;
    }

    test::CTempDirectory directory;
    const std::filesystem::path dspFile = directory.writeFile("dsp1.bin", std::string(3000, 'd'));
    const std::filesystem::path bcuFile = directory.writeFile("bcu.bin", "bcu");
    const std::filesystem::path fpgaFile = directory.writeFile("fpga.bin", "fpga");
    std::atomic<std::int64_t> nowMs{1700000000123};
    CUpgradeTaskService service{[this] { return nowMs.load(); }};
    std::shared_ptr<const S_SceneTopology> topology = std::make_shared<const S_SceneTopology>(siteTopology());
    std::vector<S_CommunicationNodeStatus> statuses;
    json request;
};

TEST_F(UpgradePreview, RefusesAtTheFirstFailedCheck)
{
    struct S_Case
    {
        std::string name;
        std::function<void(json&, std::vector<S_CommunicationNodeStatus>&,
                           std::shared_ptr<const S_SceneTopology>&)>
            change;
        std::string message;
    };
    const auto withTarget = [](json value)
    { return [value](json& body, auto&, auto&) { body["targets"][0] = value; }; };
    const auto withMember = [](const std::string& key, json value)
    { return [key, value](json& body, auto&, auto&) { body["targets"][0][key] = value; }; };
    const auto withStatus = [](std::function<void(S_CommunicationNodeStatus&)> change)
    { return [change](json&, std::vector<S_CommunicationNodeStatus>& list, auto&) { change(list[0]); }; };
    std::vector<json> thirtyThree;
    for (int index = 1; index <= 33; ++index)
    {
        thirtyThree.push_back(target("bms-1", "BMS_BCU", index, "C1", "bms:bcu"));
    }
    const std::vector<S_Case> cases = {
        {"extra member", [](json& body, auto&, auto&) { body["extra"] = 1; },
         "request contains missing or unsupported fields"},
        {"missing member",
         [](json& body, auto&, auto&)
         {
             body.erase("files");
             body["file"] = 1;
         },
         "request must contain field 'files'"},
        {"no topology, checked before the identifier",
         [](json& body, auto&, auto& topo)
         {
             body["upgradeId"] = "bad-id";
             topo.reset();
         },
         "Upgrade preview requires a loaded topology"},
        {"identifier not a string", [](json& body, auto&, auto&) { body["upgradeId"] = 5; },
         "request.upgradeId must be a string"},
        {"identifier empty", [](json& body, auto&, auto&) { body["upgradeId"] = ""; },
         "request.upgradeId length must be between 1 and 32 bytes"},
        {"identifier 33 bytes", [](json& body, auto&, auto&) { body["upgradeId"] = std::string(33, 'a'); },
         "request.upgradeId length must be between 1 and 32 bytes"},
        {"identifier with space", [](json& body, auto&, auto&) { body["upgradeId"] = "task 01"; },
         "request.upgradeId must contain only ASCII letters, digits and underscore"},
        {"identifier with hyphen", [](json& body, auto&, auto&) { body["upgradeId"] = "task-01"; },
         "request.upgradeId must contain only ASCII letters, digits and underscore"},
        {"empty targets, checked before the files",
         [](json& body, auto&, auto&)
         {
             body["targets"] = json::array();
             body["files"] = json::array();
         },
         "targets must be a non-empty JSON array"},
        {"targets not an array", [](json& body, auto&, auto&) { body["targets"] = json::object(); },
         "targets must be a non-empty JSON array"},
        {"files refused before any target",
         [](json& body, auto&, auto&)
         {
             body["files"] = json::array();
             body["targets"][0] = 1;
         },
         "files must be a non-empty JSON array"},
        {"missing file",
         [this](json& body, auto&, auto&)
         { body["files"][1]["filePath"] = (directory / "missing.bin").string(); },
         "Firmware file does not exist: " + (directory / "missing.bin").string()},
        {"target not an object", withTarget(1), "targets[0] must be a JSON object"},
        {"target extra member", withMember("extra", true),
         "targets[0] contains missing or unsupported fields"},
        {"nodeId not a string", withMember("nodeId", 1), "targets[0].nodeId must be a string"},
        {"nodeId 129 bytes", withMember("nodeId", std::string(129, 'n')),
         "targets[0].nodeId length must be between 1 and 128 bytes"},
        {"componentTypeId 33 bytes", withMember("componentTypeId", std::string(33, 'c')),
         "targets[0].componentTypeId length must be between 1 and 32 bytes"},
        {"componentIndex 0", withMember("componentIndex", 0),
         "targets[0].componentIndex must be between 1 and 255"},
        {"componentIndex 256", withMember("componentIndex", 256),
         "targets[0].componentIndex must be between 1 and 255"},
        {"componentIndex -1", withMember("componentIndex", -1),
         "targets[0].componentIndex must be an unsigned integer"},
        {"componentIndex 1.5", withMember("componentIndex", 1.5),
         "targets[0].componentIndex must be an unsigned integer"},
        {"componentIndex 1.0", withMember("componentIndex", 1.0),
         "targets[0].componentIndex must be an unsigned integer"},
        {"componentIndex text", withMember("componentIndex", "1"),
         "targets[0].componentIndex must be an unsigned integer"},
        {"currentVersion 32 bytes", withMember("currentVersion", std::string(32, 'v')),
         "targets[0].currentVersion length must be between 1 and 31 bytes"},
        {"currentVersion with NUL", withMember("currentVersion", std::string("D1\0", 3)),
         "targets[0].currentVersion must not contain NUL bytes"},
        {"fileSlotKey 33 bytes", withMember("fileSlotKey", std::string(33, 'k')),
         "targets[0].fileSlotKey length must be between 1 and 32 bytes"},
        {"force not a boolean", withMember("force", 1), "targets[0].force must be a boolean"},
        {"duplicate target", [](json& body, auto&, auto&) { body["targets"].push_back(body["targets"][0]); },
         "Duplicate upgrade target at targets[2]"},
        {"33 targets on one node",
         [&thirtyThree](json& body, auto& list, auto&)
         {
             list[1].components = bcus(40);
             body["targets"] = thirtyThree;
             body["files"].erase(0);
         },
         "Target count for node 'bms-1' exceeds protocol per-device limit 32"},
        {"unknown node", withMember("nodeId", "pcs-9"),
         "targets[0].nodeId does not exist in the loaded topology: pcs-9"},
        {"container node", withMember("nodeId", "room-1"),
         "targets[0].nodeId is not an upgradeable communication node: room-1"},
        {"node type without upgrade", withMember("nodeId", "meter-1"),
         "targets[0].nodeId is not an upgradeable communication node: meter-1"},
        {"no status record", [](json&, auto& list, auto&) { list.erase(list.begin()); },
         "Device TCP status is unavailable for node: pcs-1"},
        {"verifying",
         withStatus([](auto& status) { status.connectionState = E_DeviceConnectionState::VERIFYING; }),
         "Device is not connected: pcs-1"},
        {"never reported", withStatus([](auto& status) { status.lastStatusAt = 0; }),
         "Device has not reported component status: pcs-1"},
        {"reconnected since the last report", withStatus([](auto& status) { status.lastConnectedAt = 2001; }),
         "Device has not reported component status: pcs-1"},
        {"no components", withStatus([](auto& status) { status.components.clear(); }),
         "Device has not reported component status: pcs-1"},
        {"not READY", withStatus([](auto& status) { status.upgradeState = "BUSY"; }),
         "Device is not ready for upgrade: pcs-1, state=BUSY, reason=NONE"},
        {"abandoned context with a reason",
         withStatus(
             [](auto& status)
             {
                 status.upgradeState = "UPGRADING";
                 status.reasonCode = 4;
                 status.reasonName = "LOW_BATTERY";
             }),
         "Device is not ready for upgrade: pcs-1, state=UPGRADING, reason=LOW_BATTERY"},
        {"READY with a reason",
         withStatus(
             [](auto& status)
             {
                 status.reasonCode = 4;
                 status.reasonName = "LOW_BATTERY";
             }),
         "Device is not ready for upgrade: pcs-1, state=READY, reason=LOW_BATTERY"},
        {"component not reported", withMember("componentIndex", 2),
         "Target component was not reported by device: pcs-1/PCS_DSP1#2"},
        {"stale version, compared case-sensitively", withMember("currentVersion", "d1.0"),
         "Target currentVersion is stale for pcs-1/PCS_DSP1#1: expected D1.0, received d1.0"},
        {"force bypasses nothing",
         [](json& body, auto&, auto&) { body["targets"][1]["currentVersion"] = "C0"; },
         "Target currentVersion is stale for bms-1/BMS_BCU#3: expected C1, received C0"},
        {"unbound slot", withTarget(target("pcs-1", "PCS_ARM", 1, "R1.0", "pcs:arm")),
         "No firmware file is bound to target fileSlotKey: pcs:arm"},
        {"dsp1 file on DSP2", withTarget(target("pcs-1", "PCS_DSP2", 1, "D2.0", "pcs:dsp1")),
         "Target component identity is incompatible with fileSlotKey at targets[0]"},
        {"bcu file on BEU",
         [](json& body, auto&, auto&)
         { body["targets"][1] = target("bms-1", "BMS_BEU", 1, "E1", "bms:bcu"); },
         "Target component identity is incompatible with fileSlotKey at targets[1]"},
        {"unreferenced file",
         [this](json& body, auto&, auto&) { body["files"].push_back(fileEntry("pcs:fpga", fpgaFile, "F2")); },
         "Firmware file is not referenced by any upgrade target: pcs:fpga"},
    };
    for (const S_Case& testCase : cases)
    {
        json body = request;
        std::vector<S_CommunicationNodeStatus> savedStatuses = statuses;
        std::shared_ptr<const S_SceneTopology> savedTopology = topology;
        testCase.change(body, statuses, topology);
        EXPECT_EQ(refusal(body), testCase.message) << testCase.name;
        statuses = std::move(savedStatuses);
        topology = std::move(savedTopology);
    }
    std::string response;
    std::string error;
    EXPECT_FALSE(service.previewUpgrade("{\"upgradeId\":", 7, topology, statuses, response, error));
    EXPECT_EQ(error.rfind("Request body is not valid JSON: ", 0), 0u) << error;
    EXPECT_FALSE(service.previewUpgrade("[1]", 7, topology, statuses, response, error));
    EXPECT_EQ(error, "Request body must be a JSON object");
    EXPECT_EQ(service.currentSnapshot(), nullptr) << "nothing is frozen by a refused preview";

    // A context no task uses any more is no reason to refuse: the new target list replaces it.
    statuses[0].upgradeState = "UPGRADING";
    EXPECT_EQ(refusal(request), "accepted");
}

TEST_F(UpgradePreview, FreezesTheSnapshot)
{
    std::string response;
    std::string error;
    ASSERT_TRUE(preview(request, response, error)) << error;
    EXPECT_TRUE(error.empty());
    const std::string dspPath = std::filesystem::canonical(dspFile).string();
    const std::string bcuPath = std::filesystem::canonical(bcuFile).string();
    const std::string dspDigest = toLowerHex(CSha256::digestOf(std::string(3000, 'd').data(), 3000));
    const std::string bcuDigest = toLowerHex(CSha256::digestOf("bcu", 3));
    const std::string roomPath =
        "{\"id\":\"site-a\",\"name\":\"Name site-a\",\"typeId\":\"site\",\"typeName\":\"site type\"},"
        "{\"id\":\"room-1\",\"name\":\"Name room-1\",\"typeId\":\"room\",\"typeName\":\"room type\"},";
    const std::string snapshotText =
        "{\"createdAt\":1700000000123,\"fileCount\":2,\"files\":["
        "{\"chunkSize\":1024,\"fileName\":\"dsp1.bin\",\"fileNo\":1,\"filePath\":\"" +
        dspPath +
        "\","
        "\"fileSize\":3000,\"fileSlotKey\":\"pcs:dsp1\",\"sha256\":\"" +
        dspDigest +
        "\",\"targetVersion\":\"D1.1\","
        "\"totalChunks\":3},"
        "{\"chunkSize\":1024,\"fileName\":\"bcu.bin\",\"fileNo\":2,\"filePath\":\"" +
        bcuPath +
        "\","
        "\"fileSize\":3,\"fileSlotKey\":\"bms:bcu\",\"sha256\":\"" +
        bcuDigest +
        "\",\"targetVersion\":\"C2\","
        "\"totalChunks\":1}],"
        "\"sceneGeneration\":7,\"targetCount\":2,\"targets\":["
        "{\"address\":\"127.0.0.1\",\"componentIndex\":1,\"componentTypeId\":\"PCS_DSP1\",\"currentVersion\":"
        "\"D1.0\","
        "\"fileNo\":1,\"fileSlotKey\":\"pcs:dsp1\",\"force\":false,\"nodeId\":\"pcs-1\",\"nodeName\":\"Name "
        "pcs-1\","
        "\"nodePath\":[" +
        roomPath +
        "{\"id\":\"pcs-1\",\"name\":\"Name pcs-1\",\"typeId\":\"pcs\",\"typeName\":\"pcs type\"}],"
        "\"nodeTypeId\":\"pcs\",\"port\":19001,\"protocolNodeType\":\"PCS\",\"targetVersion\":\"D1.1\"},"
        "{\"address\":\"127.0.0.1\",\"componentIndex\":3,\"componentTypeId\":\"BMS_BCU\",\"currentVersion\":"
        "\"C1\","
        "\"fileNo\":2,\"fileSlotKey\":\"bms:bcu\",\"force\":true,\"nodeId\":\"bms-1\",\"nodeName\":\"Name "
        "bms-1\","
        "\"nodePath\":[" +
        roomPath +
        "{\"id\":\"bms-1\",\"name\":\"Name bms-1\",\"typeId\":\"bms\",\"typeName\":\"bms type\"}],"
        "\"nodeTypeId\":\"bms\",\"port\":19002,\"protocolNodeType\":\"BMS\",\"targetVersion\":\"C2\"}],"
        "\"upgradeId\":\"task_01\",\"upgradeNo\":1700000000}";
    EXPECT_EQ(response, "{\"operation\":\"UPGRADE_PREVIEW\",\"ready\":true,\"snapshot\":" + snapshotText +
                            ",\"status\":\"PREVIEW_READY\"}");

    const UpgradeTaskSnapshotPtr current = service.currentSnapshot();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->upgradeNo, 1700000000u);
    EXPECT_EQ(current->createdAt, 1700000000123);
    std::string text;
    ASSERT_TRUE(snapshotToJsonText(*current, text, error)) << error;
    EXPECT_EQ(text, snapshotText) << "the stored form is the response's snapshot member";

    // A refused preview keeps the frozen snapshot; the next good one replaces it.
    json stale = request;
    stale["targets"][0]["currentVersion"] = "D0.9";
    EXPECT_NE(refusal(stale), "accepted");
    EXPECT_EQ(service.currentSnapshot(), current);
    ASSERT_TRUE(preview(request, response, error)) << error;
    EXPECT_NE(service.currentSnapshot(), current);
    EXPECT_EQ(current->upgradeNo, 1700000000u) << "a reader keeps the snapshot it took";
}

TEST_F(UpgradePreview, ThirtyTwoTargetsOnOneNodeAndALongIdentifier)
{
    // A BCU file binds to any BCU index, up to the largest one.
    statuses[1].components = bcus(31);
    statuses[1].components.push_back({"BMS_BCU", 255, "C1"});
    json body = request;
    body["upgradeId"] = std::string(32, 'Z');
    body["targets"] = json::array();
    for (int index = 1; index <= 31; ++index)
    {
        body["targets"].push_back(target("bms-1", "BMS_BCU", index, "C1", "bms:bcu"));
    }
    body["targets"].push_back(target("bms-1", "BMS_BCU", 255, "C1", "bms:bcu"));
    body["files"].erase(0);
    std::string response;
    std::string error;
    ASSERT_TRUE(preview(body, response, error)) << error;
    const UpgradeTaskSnapshotPtr current = service.currentSnapshot();
    ASSERT_EQ(current->targets.size(), 32u);
    EXPECT_EQ(current->upgradeId, std::string(32, 'Z'));
    EXPECT_EQ(current->targets[31].componentIndex, 255u);
    EXPECT_EQ(current->targets[31].fileNo, 1u);
}

TEST_F(UpgradePreview, UpgradeNumbersIncreaseAndWrap)
{
    struct S_Step
    {
        std::int64_t nowSeconds;
        std::uint32_t expected;
        std::uint32_t reserved = 0;  // the highest stored number, reserved before this preview
    };
    const std::vector<S_Step> steps = {
        {1699999990, 1700000000, 1699999999},  // a restart: numbers stored ahead of the clock
        {1700000000, 1700000001, 5},           // a lower reservation changes nothing
        {1700000000, 1700000002},              // same second: consecutive
        {1700000001, 1700000003},                            // the clock has not caught up yet
        {1700000100, 1700000100},                            // the clock again
        {4294967295, 4294967295}, {4294967295, 1},           // wrap after the largest number
        {4294967296, 2},                                     // the time truncated to 0 becomes 1, then +1
        {4294967296 + 50, 50},
    };
    for (const S_Step& step : steps)
    {
        nowMs = step.nowSeconds * 1000 + 999;
        service.reserveUpgradeNumbersThrough(step.reserved);
        std::string response;
        std::string error;
        ASSERT_TRUE(preview(request, response, error)) << error;
        EXPECT_EQ(service.currentSnapshot()->upgradeNo, step.expected) << step.nowSeconds;
        EXPECT_EQ(json::parse(response)["snapshot"]["upgradeNo"], step.expected);
    }
}

TEST_F(UpgradePreview, ConcurrentPreviewsGetDistinctNumbers)
{
    std::set<std::uint32_t> numbers;
    std::mutex numbersMutex;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 2; ++thread)
    {
        threads.emplace_back(
            [&]
            {
                for (int round = 0; round < 5; ++round)
                {
                    std::string response;
                    std::string error;
                    EXPECT_TRUE(
                        service.previewUpgrade(toJsonText(request), 7, topology, statuses, response, error))
                        << error;
                    const UpgradeTaskSnapshotPtr current = service.currentSnapshot();
                    std::lock_guard<std::mutex> lock(numbersMutex);
                    numbers.insert(json::parse(response)["snapshot"]["upgradeNo"].get<std::uint32_t>());
                    EXPECT_NE(current, nullptr);
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(numbers.size(), 10u);
    EXPECT_EQ(service.currentSnapshot()->upgradeNo, *numbers.rbegin());
}

TEST(UpgradeTargetPath, WalksToTheRootAndRefusesBrokenTopologies)
{
    struct S_Case
    {
        std::string name;
        std::vector<S_SceneNode> nodes;
        std::string message;  // empty: the path a > b > c is expected
    };
    const std::vector<S_Case> cases = {
        {"chain", {node("c", "b", "t"), node("b", "a", "t"), node("a", "", "t")}, ""},
        {"cycle",
         {node("c", "b", "t"), node("b", "c", "t")},
         "Topology cycle detected while creating upgrade target path: c"},
        {"own parent",
         {node("c", "c", "t")},
         "Topology cycle detected while creating upgrade target path: c"},
        {"unknown type",
         {node("c", "b", "t"), node("b", "", "gone")},
         "Topology node type is unavailable while creating upgrade target path: gone"},
        {"missing parent",
         {node("c", "b", "t"), node("b", "x", "t")},
         "Topology parent is unavailable while creating upgrade target path: b -> x"},
    };
    for (const S_Case& testCase : cases)
    {
        S_SceneTopology topology;
        topology.sceneProfile.nodeTypes = {{"t", "Type T", E_SceneNodeRole::CONTAINER, {}}};
        topology.nodes = testCase.nodes;
        const auto nodes = scenario::buildSceneNodeIndex(topology);
        const auto types = scenario::buildSceneNodeTypeIndex(topology);
        std::vector<S_UpgradeTargetPathItem> path = {{"old", "", "", ""}};
        std::string error;
        const bool built = buildTargetPath(topology.nodes[0], nodes, types, path, error);
        if (testCase.message.empty())
        {
            ASSERT_TRUE(built) << testCase.name << ": " << error;
            ASSERT_EQ(path.size(), 3u);
            EXPECT_EQ(path[0].id, "a");
            EXPECT_EQ(path[0].name, "Name a");
            EXPECT_EQ(path[0].typeName, "Type T");
            EXPECT_EQ(path[2].id, "c");
        }
        else
        {
            EXPECT_FALSE(built) << testCase.name;
            EXPECT_EQ(error, testCase.message) << testCase.name;
            EXPECT_EQ(path.size(), 1u) << "no partial path";
        }
    }
}

}  // namespace
}  // namespace ota::backend
