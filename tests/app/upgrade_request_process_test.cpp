// Requests the real ota-backend must refuse: bad preview bodies, starts that would run a snapshot
// twice or without a preview, operations that would disturb a running task, and firmware files
// that changed between preview and start.
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

struct S_BadPreview
{
    const char* name;
    std::string body;
    unsigned httpStatus;
    std::string code;
    std::string message;  // a prefix when it ends in ": "
};

class UpgradeRequestProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // pcs-1 answers late, so a task of a few dozen chunks on it lasts long enough to be
        // asked things while it runs.
        S_SimDeviceSpec slowPcs = quickDevice("pcs-1", E_ProtocolDeviceType::PCS);
        slowPcs.timings.replyLatencyMs = 15;
        const std::vector<S_SimDeviceSpec> devices = {quickDevice("emu-1", E_ProtocolDeviceType::EMU),
                                                      slowPcs};
        startSimulator(simulator, devices);
        S_BackendSettings settings;
        settings.chunkSize = 512;
        backend = std::make_unique<CUpgradeBackend>(nodesOf(simulator, devices), settings);
        ASSERT_TRUE(backend->launch()) << backend->output();
        api = std::make_unique<CUpgradeApi>(backend->port());
        status = api->waitReady({"emu-1", "pcs-1"});
        ASSERT_TRUE(status.is_object()) << backend->output();
    }

    void TearDown() override
    {
        if (backend)
        {
            EXPECT_EQ(backend->stop(), 0) << backend->output();
        }
        simulator.stop();
    }

    json emuTarget() const
    {
        return upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu");
    }

    json recordNumbers()
    {
        json numbers = json::array();
        const json history = api->history();
        for (const json& record : history["records"])
        {
            numbers.push_back({record["upgradeNo"], record["status"], record["finalized"]});
        }
        return numbers;
    }

    S_SimDeviceSnapshot simulated(const std::string& nodeId)
    {
        S_SimDeviceSnapshot result;
        std::string error;
        EXPECT_TRUE(simulator.snapshot(nodeId, result, error)) << error;
        return result;
    }

    CDeviceSimulator simulator;
    std::unique_ptr<CUpgradeBackend> backend;
    std::unique_ptr<CUpgradeApi> api;
    json status;
};

TEST_F(UpgradeRequestProcessTest, RefusedRequestsLeaveTheTaskSnapshotAndHistoryAlone)
{
    const S_HttpResult early = api->start();
    EXPECT_EQ(early.status, 409u) << early.body;
    EXPECT_EQ(early.json["error"]["code"], "UPGRADE_START_REJECTED");
    EXPECT_EQ(early.json["error"]["message"],
              "No immutable upgrade task snapshot is available; preview the upgrade first");
    EXPECT_EQ(api->history()["recordCount"], 0);

    // The prepared task every refused request below must leave in place: all four PCS components,
    // 40 chunks answered 15 ms late each.
    json pcsFiles = json::array();
    json pcsTargets = json::array();
    unsigned seed = 1;
    for (const auto& [slot, typeId] : {std::pair<const char*, const char*>{"pcs:dsp1", "PCS_DSP1"},
                                       {"pcs:dsp2", "PCS_DSP2"},
                                       {"pcs:fpga", "PCS_FPGA"},
                                       {"pcs:arm", "PCS_ARM"}})
    {
        const auto path = backend->writeFirmware(std::string(typeId) + ".bin", 512 * 10 - 3 * seed, seed);
        pcsFiles.push_back(firmwareEntry(slot, path, "1.5." + std::to_string(seed++)));
        pcsTargets.push_back(
            upgradeTarget("pcs-1", typeId, 1, reportedVersion(status, "pcs-1", typeId, 1), slot));
    }
    const S_HttpResult prepared = api->preview(previewBody("prepared", pcsTargets, pcsFiles));
    ASSERT_EQ(prepared.status, 200u) << prepared.body;
    const json snapshot = prepared.json["data"]["snapshot"];
    const std::uint32_t upgradeNo = snapshot["upgradeNo"];
    const json preparedHistory = recordNumbers();
    ASSERT_EQ(preparedHistory, (json{{upgradeNo, "PREVIEW_READY", false}}));
    const S_HttpResult clearPrepared = api->post("/api/v1/upgrades/history/clear", {});
    EXPECT_EQ(clearPrepared.status, 409u) << clearPrepared.body;
    EXPECT_EQ(clearPrepared.json["error"]["code"], "UPGRADE_HISTORY_CLEAR_REJECTED");
    EXPECT_EQ(clearPrepared.json["error"]["message"],
              "A prepared or unfinished upgrade exists; history cannot be cleared");

    const auto emuFile = backend->writeFirmware("emu.bin", 1500);
    const json emuFiles = json::array({firmwareEntry("emu:emu", emuFile, "2.0.0")});
    const auto body = [&](const json& upgradeId, const json& targets, const json& files) {
        return json{{"upgradeId", upgradeId}, {"targets", targets}, {"files", files}}.dump();
    };
    const auto withTarget = [&](const char* key, const json& value)
    {
        json target = emuTarget();
        target[key] = value;
        return body("bad", json::array({target}), emuFiles);
    };
    json extraMember = json::parse(body("bad", json::array({emuTarget()}), emuFiles));
    extraMember["note"] = "x";
    json misnamed = json::parse(body("bad", json::array({emuTarget()}), emuFiles));
    misnamed.erase("files");
    misnamed["file"] = emuFiles;
    json extraTargetMember = emuTarget();
    extraTargetMember["sha256"] = "";
    const std::string reported = reportedVersion(status, "emu-1", "EMU", 1);
    const std::string rejected = "UPGRADE_PREVIEW_REJECTED";
    const std::vector<S_BadPreview> rows = {
        {"empty body", "", 400, "INVALID_REQUEST_BODY", "Request body must not be empty"},
        {"not JSON", "{\"upgradeId\":", 400, "INVALID_REQUEST_JSON", "Request body is not valid JSON: "},
        {"not an object", "[1]", 422, rejected, "Request body must be a JSON object"},
        {"unknown member", extraMember.dump(), 422, rejected,
         "request contains missing or unsupported fields"},
        {"misnamed member", misnamed.dump(), 422, rejected, "request must contain field 'files'"},
        {"upgradeId a number", body(7, json::array({emuTarget()}), emuFiles), 422, rejected,
         "request.upgradeId must be a string"},
        {"upgradeId of 33 bytes", body(std::string(33, 'a'), json::array({emuTarget()}), emuFiles), 422,
         rejected, "request.upgradeId length must be between 1 and 32 bytes"},
        {"upgradeId with a space", body("two words", json::array({emuTarget()}), emuFiles), 422, rejected,
         "request.upgradeId must contain only ASCII letters, digits and underscore"},
        {"targets an object", body("bad", json::object(), emuFiles), 422, rejected,
         "targets must be a non-empty JSON array"},
        {"targets empty", body("bad", json::array(), emuFiles), 422, rejected,
         "targets must be a non-empty JSON array"},
        {"files a string", body("bad", json::array({emuTarget()}), "emu.bin"), 422, rejected,
         "files must be a non-empty JSON array"},
        {"target with an unknown member", body("bad", json::array({extraTargetMember}), emuFiles), 422,
         rejected, "targets[0] contains missing or unsupported fields"},
        {"index a string", withTarget("componentIndex", "1"), 422, rejected,
         "targets[0].componentIndex must be an unsigned integer"},
        {"index negative", withTarget("componentIndex", -1), 422, rejected,
         "targets[0].componentIndex must be an unsigned integer"},
        {"index with a fraction", withTarget("componentIndex", 1.5), 422, rejected,
         "targets[0].componentIndex must be an unsigned integer"},
        {"index zero", withTarget("componentIndex", 0), 422, rejected,
         "targets[0].componentIndex must be between 1 and 255"},
        {"force a string", withTarget("force", "no"), 422, rejected, "targets[0].force must be a boolean"},
        {"unknown node", withTarget("nodeId", "emu-9"), 422, rejected,
         "targets[0].nodeId does not exist in the loaded topology: emu-9"},
        {"container node", withTarget("nodeId", "site-1"), 422, rejected,
         "targets[0].nodeId is not an upgradeable communication node: site-1"},
        {"unreported index", withTarget("componentIndex", 2), 422, rejected,
         "Target component was not reported by device: emu-1/EMU#2"},
        {"component of another device type", withTarget("componentTypeId", "PCS_DSP1"), 422, rejected,
         "Target component was not reported by device: emu-1/PCS_DSP1#1"},
        {"slot of another component",
         body("bad",
              json::array({upgradeTarget("pcs-1", "PCS_DSP1", 1,
                                         reportedVersion(status, "pcs-1", "PCS_DSP1", 1), "pcs:dsp2")}),
              json::array({firmwareEntry("pcs:dsp2", emuFile, "2.0.0")})),
         422, rejected, "Target component identity is incompatible with fileSlotKey at targets[0]"},
        {"stale version", withTarget("currentVersion", "0.0.9"), 422, rejected,
         "Target currentVersion is stale for emu-1/EMU#1: expected " + reported + ", received 0.0.9"},
        {"file of no target",
         body("bad", json::array({emuTarget()}),
              json::array({emuFiles[0], firmwareEntry("pcs:arm", emuFile, "2.0.0")})),
         422, rejected, "Firmware file is not referenced by any upgrade target: pcs:arm"},
        {"target without its file", withTarget("fileSlotKey", "bms:bau"), 422, rejected,
         "No firmware file is bound to target fileSlotKey: bms:bau"},
        {"missing firmware file",
         body("bad", json::array({emuTarget()}),
              json::array({firmwareEntry("emu:emu", backend->directory() / "none.bin", "2.0.0")})),
         422, rejected, "Firmware file does not exist: " + (backend->directory() / "none.bin").string()},
        {"reused upgradeId", body("prepared", json::array({emuTarget()}), emuFiles), 422, rejected,
         "UPGRADE_ID_ALREADY_EXISTS: 升级任务标识已存在，请修改后再执行"},
    };
    for (const S_BadPreview& row : rows)
    {
        SCOPED_TRACE(row.name);
        const S_HttpResult answer = api->post("/api/v1/upgrades/preview", row.body);
        EXPECT_EQ(answer.status, row.httpStatus) << answer.body;
        EXPECT_EQ(answer.json["success"], false);
        EXPECT_EQ(answer.json["error"]["code"], row.code);
        const std::string message = answer.json["error"].value("message", "");
        if (row.message.ends_with(": ") && row.code == "INVALID_REQUEST_JSON")
        {
            EXPECT_TRUE(message.starts_with(row.message)) << message;
        }
        else
        {
            EXPECT_EQ(message, row.message);
        }
        EXPECT_EQ(recordNumbers(), preparedHistory);
        EXPECT_EQ(api->current()["currentTask"], snapshot);
    }

    // The prepared task runs; while it does, nothing may replace, clear or start it again.
    const S_HttpResult start = api->start();
    ASSERT_EQ(start.status, 202u) << start.body;
    EXPECT_EQ(start.json["data"]["upgradeNo"], upgradeNo);
    const S_HttpResult busyPreview =
        api->preview(previewBody("while_running", json::array({emuTarget()}), emuFiles));
    EXPECT_EQ(busyPreview.status, 422u) << busyPreview.body;
    EXPECT_EQ(busyPreview.json["error"]["message"],
              "An upgrade is active; a new preview cannot replace its task snapshot");
    const S_HttpResult busyClear = api->post("/api/v1/upgrades/history/clear", {});
    EXPECT_EQ(busyClear.status, 409u) << busyClear.body;
    EXPECT_EQ(busyClear.json["error"]["code"], "UPGRADE_HISTORY_CLEAR_REJECTED");
    EXPECT_EQ(busyClear.json["error"]["message"], "An upgrade is active; history cannot be cleared");
    const S_HttpResult busyStart = api->start();
    EXPECT_EQ(api->current()["active"], true) << "the task ended before the refusals could be checked";
    EXPECT_EQ(busyStart.status, 409u) << busyStart.body;
    EXPECT_EQ(busyStart.json["error"]["code"], "UPGRADE_START_REJECTED");
    EXPECT_EQ(busyStart.json["error"]["message"], "Another upgrade task is active");

    // Asked again and again, the start is refused while the task runs and, the moment it has
    // ended, because that snapshot has already run.
    std::string refusal;
    std::size_t attempts = 0;
    ASSERT_TRUE(waitUntil(
        [&]
        {
            ++attempts;
            const S_HttpResult again = api->start();
            refusal = again.status == 409u ? again.json["error"]["message"].get<std::string>() : again.body;
            return refusal != "Another upgrade task is active";
        },
        std::chrono::seconds(60)));
    EXPECT_EQ(refusal, "Upgrade history snapshot does not match the current task") << "after " << attempts;
    const json final = api->waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend->output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();
    const S_HttpResult later = api->start();
    EXPECT_EQ(later.status, 409u) << later.body;
    EXPECT_EQ(later.json["error"]["message"], "Upgrade history snapshot does not match the current task");
    ASSERT_TRUE(api->waitFinalized(upgradeNo).is_object()) << backend->output();
    EXPECT_EQ(recordNumbers(), (json{{upgradeNo, "SUCCESS", true}}));
    EXPECT_EQ(simulated("pcs-1").counters.upgradesStarted, 1u);

    // A new preview is a new task.
    status = api->waitReady({"emu-1", "pcs-1"});
    ASSERT_TRUE(status.is_object()) << backend->output();
    const S_HttpResult next = api->preview(previewBody("next_task", json::array({emuTarget()}), emuFiles));
    ASSERT_EQ(next.status, 200u) << next.body;
    ASSERT_EQ(api->start().status, 202u);
    const json nextFinal = api->waitEnded(next.json["data"]["snapshot"]["upgradeNo"]);
    ASSERT_TRUE(nextFinal.is_object()) << backend->output();
    EXPECT_EQ(nextFinal["status"], "SUCCESS") << nextFinal.dump();
}

TEST_F(UpgradeRequestProcessTest, FirmwareChangedAfterPreviewFailsEveryDeviceWithoutAFrame)
{
    struct S_Change
    {
        const char* name;
        void (*apply)(CUpgradeBackend& backend, const std::filesystem::path& path);
        std::string detail;  // followed by the file's path
    };
    const std::vector<S_Change> changes = {
        {"removed",
         [](CUpgradeBackend&, const std::filesystem::path& path) { std::filesystem::remove(path); },
         "无法打开固件文件: "},
        {"grown",
         [](CUpgradeBackend&, const std::filesystem::path& path)
         { std::filesystem::resize_file(path, std::filesystem::file_size(path) + 1); },
         "固件文件大小已变化: "},
        {"rewritten with the same size",
         [](CUpgradeBackend& backend, const std::filesystem::path& path)
         {
             std::filesystem::copy_file(
                 backend.writeFirmware("other.bin", std::filesystem::file_size(path), 99), path,
                 std::filesystem::copy_options::overwrite_existing);
         },
         "固件SHA256与任务快照不一致: "},
    };
    const std::uint8_t targetList = toProtocolByte(E_ProtocolMessageType::MSG_EMS_TARGET_LIST);
    std::size_t historyRows = 0;
    for (const S_Change& change : changes)
    {
        SCOPED_TRACE(change.name);
        status = api->waitReady({"emu-1", "pcs-1"});
        ASSERT_TRUE(status.is_object()) << backend->output();
        const auto emuFile = backend->writeFirmware("changing.bin", 2000);
        const auto armFile = backend->writeFirmware("arm.bin", 1000, 7);
        const S_HttpResult preview = api->preview(previewBody(
            std::string("changed_") + std::to_string(historyRows),
            {emuTarget(),
             upgradeTarget("pcs-1", "PCS_ARM", 1, reportedVersion(status, "pcs-1", "PCS_ARM", 1), "pcs:arm")},
            {firmwareEntry("emu:emu", emuFile, "3.0.0"), firmwareEntry("pcs:arm", armFile, "3.0.0")}));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        const json snapshot = preview.json["data"]["snapshot"];
        const std::uint32_t upgradeNo = snapshot["upgradeNo"];
        const std::string detail = change.detail + snapshot["files"][0]["filePath"].get<std::string>();
        const std::uint64_t listsBefore = simulated("emu-1").counters.framesReceived[targetList] +
                                          simulated("pcs-1").counters.framesReceived[targetList];

        change.apply(*backend, emuFile);
        const S_HttpResult start = api->start();
        ASSERT_EQ(start.status, 202u) << start.body;
        const json final = api->waitEnded(upgradeNo);
        ASSERT_TRUE(final.is_object()) << backend->output();
        EXPECT_EQ(final["status"], "FAILED");
        EXPECT_EQ(final["error"], detail);
        EXPECT_EQ(final["failedCount"], 2);
        for (const json& device : final["devices"])
        {
            EXPECT_EQ(device["result"], "FAILED") << device.dump();
            EXPECT_EQ(device["error"], detail);
            EXPECT_EQ(device["reasonCode"], 0);
            EXPECT_EQ(device["reasonName"], "INTERNAL_ERROR");
            EXPECT_EQ(device["workflowProgress"], 0);
        }
        const json record = api->waitFinalized(upgradeNo);
        ASSERT_TRUE(record.is_object()) << backend->output();
        EXPECT_EQ(record["status"], "FAILED") << record.dump();
        EXPECT_EQ(record["finalized"], true);
        EXPECT_EQ(record["report"]["error"], detail);
        EXPECT_EQ(api->history()["recordCount"], ++historyRows);
        EXPECT_EQ(simulated("emu-1").counters.framesReceived[targetList] +
                      simulated("pcs-1").counters.framesReceived[targetList],
                  listsBefore);
    }

    // Firmware that stays as previewed goes through.
    status = api->waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend->output();
    const S_HttpResult preview = api->preview(previewBody(
        "unchanged", json::array({emuTarget()}),
        json::array({firmwareEntry("emu:emu", backend->writeFirmware("steady.bin", 2000), "3.1.0")})));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    ASSERT_EQ(api->start().status, 202u);
    const json final = api->waitEnded(preview.json["data"]["snapshot"]["upgradeNo"]);
    ASSERT_TRUE(final.is_object()) << backend->output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();
}

}  // namespace
}  // namespace ota::test
