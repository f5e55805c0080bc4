// Simulated device faults met by the real ota-backend through HTTP: each task ends in its terminal
// state with the texts the operator sees, in the current state and in the history.
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"
#include "support/free_port.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

// Builds a simulator fault field by field.
class CFault
{
public:
    explicit CFault(E_SimFaultKind kind) { m_fault.kind = kind; }
    CFault& on(E_SimRequest request)
    {
        m_fault.request = request;
        return *this;
    }
    CFault& atStage(E_ProtocolStage stage)
    {
        m_fault.stage = toProtocolByte(stage);
        return *this;
    }
    CFault& atChunk(std::uint8_t fileNo, std::uint16_t chunkNo)
    {
        m_fault.fileNo = fileNo;
        m_fault.chunkNo = chunkNo;
        return *this;
    }
    CFault& atFile(std::uint8_t fileNo)
    {
        m_fault.fileNo = fileNo;
        return *this;
    }
    CFault& once()
    {
        m_fault.times = 1;
        return *this;
    }
    operator S_SimFault() const { return m_fault; }

private:
    S_SimFault m_fault;
};

// One task against a device with one fault armed. The expected detail text may name the
// versions of the task as {target} and {current}.
struct S_FaultRow
{
    const char* name;
    S_SimFault fault;
    const char* taskStatus;
    const char* detail;
    unsigned reasonCode;
    const char* reasonName;
    // Another ending the same fault may have when the device races the backend: a send that the
    // dropped link made fail (INTERNAL_ERROR, reason code 0).
    const char* sendFailureDetail = nullptr;
};

std::string expand(std::string text, const std::string& target, const std::string& current)
{
    for (const auto& [mark, value] :
         {std::pair<std::string, std::string>{"{target}", target}, {"{current}", current}})
    {
        const std::size_t at = text.find(mark);
        if (at != std::string::npos)
        {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

const std::vector<S_FaultRow>& faultRows()
{
    // Rows that end in SUCCESS come first: they leave the device without an open upgrade context.
    // The one that drops the link mid-transfer comes last, because the device then keeps the
    // context of the failed task and reports UPGRADING to every status query after reconnecting.
    static const std::vector<S_FaultRow> rows = {
        {"RESTART_WITHOUT_ACK", CFault(E_SimFaultKind::RESTART_WITHOUT_ACK).once(), "SUCCESS", "", 0, "OK"},
        {"DUPLICATE_ACK", CFault(E_SimFaultKind::DUPLICATE_ACK).on(E_SimRequest::PREPARE_UPGRADE).once(),
         "SUCCESS", "", 0, "OK"},
        {"REFUSE_TARGET_LIST", CFault(E_SimFaultKind::REFUSE_TARGET_LIST), "FAILED",
         "装置拒绝升级目标清单: UNSUPPORTED_COMPONENT", 14, "UNSUPPORTED_COMPONENT"},
        {"REFUSE_COMMAND", CFault(E_SimFaultKind::REFUSE_COMMAND).on(E_SimRequest::START_FLASH), "FAILED",
         "装置拒绝命令: INTERNAL_ERROR", 18, "INTERNAL_ERROR"},
        {"MISSING_ACK", CFault(E_SimFaultKind::MISSING_ACK).on(E_SimRequest::PREPARE_UPGRADE), "FAILED",
         "等待命令确认超时: 升级准备", 17, "TIMEOUT"},
        {"WRONG_CHUNK_CRC", CFault(E_SimFaultKind::WRONG_CHUNK_CRC).atChunk(1, 1), "FAILED",
         "文件分片校验失败: fileNo=1, chunkNo=1", 0, "OK"},
        {"CHUNK_REPORT_FAILURE", CFault(E_SimFaultKind::CHUNK_REPORT_FAILURE).atChunk(1, 2), "FAILED",
         "文件分片校验失败: fileNo=1, chunkNo=2", 5, "CHUNK_CRC32_MISMATCH"},
        {"WRONG_FILE_DIGEST", CFault(E_SimFaultKind::WRONG_FILE_DIGEST).atFile(1), "FAILED",
         "整文件SHA256校验失败: fileNo=1", 0, "OK"},
        {"WRONG_FILE_SIZE", CFault(E_SimFaultKind::WRONG_FILE_SIZE).atFile(1), "FAILED",
         "整文件SHA256校验失败: fileNo=1", 0, "OK"},
        {"STAGE_FAILURE", CFault(E_SimFaultKind::STAGE_FAILURE).atStage(E_ProtocolStage::FLASHING), "FAILED",
         "装置阶段执行失败: INTERNAL_ERROR", 18, "INTERNAL_ERROR"},
        {"OLD_VERSION_AFTER_RESTART", CFault(E_SimFaultKind::OLD_VERSION_AFTER_RESTART), "FAILED",
         "重启后版本不匹配: EMU#1, expected={target}, actual={current}", 8, "VERSION_VERIFY_FAILED"},
        {"DISCONNECT", CFault(E_SimFaultKind::DISCONNECT).on(E_SimRequest::FILE_CHUNK).atChunk(1, 1).once(),
         "FAILED", "等待文件分片确认连续无响应超时", 17, "TIMEOUT",
         // The device closes the link the moment the chunk arrives, which can be before the
         // backend has finished submitting it.
         "固件分片发送失败: Communication node connection changed during frame submission: emu-1"},
    };
    return rows;
}

class UpgradeFaultProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        startSimulator(simulator, {quickDevice("emu-1", E_ProtocolDeviceType::EMU)});
        // emu-gone is in the topology, but nothing listens on its port.
        std::vector<S_TestNode> nodes = {S_TestNode{"emu-1", "EMU", simulator.boundPort("emu-1")},
                                         S_TestNode{"emu-gone", "EMU", findFreeLoopbackPort()}};
        S_BackendSettings settings;
        settings.ackTimeoutMs = 2000;
        settings.stageTimeoutMs = 2000;
        settings.flashTimeoutMs = 5000;
        settings.restartTimeoutMs = 4000;
        backend = std::make_unique<CUpgradeBackend>(nodes, settings);
        ASSERT_TRUE(backend->launch()) << backend->output();
        api = std::make_unique<CUpgradeApi>(backend->port());
        // Three chunks of 1024 bytes.
        firmware = backend->writeFirmware("emu.bin", 2900);
    }

    void TearDown() override
    {
        if (backend)
        {
            EXPECT_EQ(backend->stop(), 0) << backend->output();
        }
        simulator.stop();
    }

    std::uint64_t fired(E_SimFaultKind kind)
    {
        S_SimDeviceSnapshot snapshot;
        std::string error;
        EXPECT_TRUE(simulator.snapshot("emu-1", snapshot, error)) << error;
        return snapshot.counters.faultsFired[static_cast<std::size_t>(kind)];
    }

    std::size_t historySize() { return api->history()["records"].size(); }

    // One task with the row's fault armed, from the preview to the finalised history row. Every
    // task gets a new target version, so a version mismatch names both versions.
    void runFaultRow(const S_FaultRow& row, const std::string& target)
    {
        SCOPED_TRACE(row.name);
        const json status = api->waitReady({"emu-1"});
        ASSERT_TRUE(status.is_object()) << backend->output();
        const std::string current = reportedVersion(status, "emu-1", "EMU", 1);
        std::string error;
        ASSERT_TRUE(simulator.addFault("emu-1", row.fault, error)) << error;
        const std::uint64_t firedBefore = fired(row.fault.kind);

        const S_HttpResult preview =
            api->preview(previewBody(std::string("fault_") + row.name,
                                     json::array({upgradeTarget("emu-1", "EMU", 1, current, "emu:emu")}),
                                     json::array({firmwareEntry("emu:emu", firmware, target)})));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
        const S_HttpResult start = api->start();
        ASSERT_EQ(start.status, 202u) << start.body;
        const json final = api->waitEnded(upgradeNo);
        ASSERT_TRUE(final.is_object()) << backend->output();
        EXPECT_GT(fired(row.fault.kind), firedBefore);
        ASSERT_TRUE(simulator.clearFaults("emu-1", error)) << error;

        EXPECT_EQ(final["status"], row.taskStatus) << final.dump();
        EXPECT_EQ(final["error"], "");
        const json device = final["devices"][0];
        const bool sendFailed = row.sendFailureDetail != nullptr && device["error"] == row.sendFailureDetail;
        const std::string detail = sendFailed ? row.sendFailureDetail : expand(row.detail, target, current);
        const unsigned reasonCode = sendFailed ? 0 : row.reasonCode;
        const std::string reasonName = sendFailed ? "INTERNAL_ERROR" : row.reasonName;
        const bool succeeded = std::string(row.taskStatus) == "SUCCESS";
        EXPECT_EQ(device["result"], row.taskStatus);
        EXPECT_EQ(device["state"], succeeded ? "升级成功" : "执行失败");
        EXPECT_EQ(device["completed"], true);
        EXPECT_EQ(device["abortAllowed"], false);
        EXPECT_EQ(device["error"], detail);
        EXPECT_EQ(device["reasonCode"], reasonCode);
        EXPECT_EQ(device["reasonName"], reasonName);
        const json& component = device["targets"][0];
        EXPECT_EQ(component["state"], succeeded ? "重启验证完成" : "执行失败");
        EXPECT_EQ(component["currentVersion"], succeeded ? target : current);
        if (!succeeded)
        {
            EXPECT_EQ(component["detailText"], detail);
            EXPECT_EQ(component["reasonCode"], reasonCode);
            EXPECT_EQ(component["reasonName"], reasonName);
        }
        if (row.fault.kind == E_SimFaultKind::DUPLICATE_ACK)
        {
            // The copy is a duplicate while the worker has not yet taken the first ACK, and an
            // ACK without a question once it has: the two are one frame apart on the wire.
            EXPECT_EQ(
                device["duplicateAckCount"].get<unsigned>() + device["unexpectedAckCount"].get<unsigned>(),
                1u);
            EXPECT_EQ(device["mismatchedAckCount"], 0);
            const std::string warning = device["duplicateAckCount"] == 1
                                            ? "[UPGRADE-WARN] 收到同一待回复请求的重复ACK并丢弃: "
                                              "nodeId=emu-1, stage=升级准备, request=升级准备"
                                            : "[UPGRADE-WARN] 收到无待回复请求的ACK，按迟到或重复ACK丢弃: "
                                              "nodeId=emu-1, stage=升级准备";
            EXPECT_NE(backend->child().standardOutput().find(warning), std::string::npos) << warning;
        }
        else
        {
            EXPECT_EQ(device["duplicateAckCount"], 0);
        }

        const json record = api->waitFinalized(upgradeNo);
        ASSERT_TRUE(record.is_object()) << "final state " << final.dump() << "\nrecorded "
                                        << findRecord(api->history(), upgradeNo).dump();
        EXPECT_EQ(record["status"], row.taskStatus) << record.dump();
        EXPECT_EQ(record["report"]["devices"][0]["error"], detail);
        EXPECT_EQ(record["report"]["devices"][0]["reasonName"], reasonName);
    }

    CDeviceSimulator simulator;
    std::unique_ptr<CUpgradeBackend> backend;
    std::unique_ptr<CUpgradeApi> api;
    std::filesystem::path firmware;
};

TEST_F(UpgradeFaultProcessTest, EveryWorkflowFaultEndsTheTaskWithItsTexts)
{
    unsigned rowNo = 0;
    for (const S_FaultRow& row : faultRows())
    {
        runFaultRow(row, "8." + std::to_string(++rowNo) + ".0");
        if (HasFatalFailure())
        {
            return;
        }
    }
    EXPECT_NE(backend->child().standardOutput().find(
                  "[UPGRADE-INFO] 装置在重启确认ACK前断线，按已开始重启继续验证: nodeId=emu-1"),
              std::string::npos);
}

// The device fails while flashing, at 50 %, within 100 ms of the flashing step, so the last
// recorded state may still show its component at 100 % of the preparation; the final state
// (component "执行失败" at 50 %) must still be recorded and the row finalised.
TEST_F(UpgradeFaultProcessTest, FlashFailureRightAfterAFullPreparationIsFinalised)
{
    runFaultRow({"FLASH_FAILURE", CFault(E_SimFaultKind::FLASH_FAILURE), "FAILED",
                 "装置阶段执行失败: FLASH_FAILED", 7, "FLASH_FAILED"},
                "8.0.1");
}

TEST_F(UpgradeFaultProcessTest, BusyOrAbsentDevicesAreRefusedAtPreview)
{
    json status = api->waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend->output();
    const json files = json::array({firmwareEntry("emu:emu", firmware, "9.0.0")});
    const json emuTarget =
        upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu");

    const S_HttpResult absent = api->preview(
        previewBody("absent", json::array({upgradeTarget("emu-gone", "EMU", 1, "1.0.0", "emu:emu")}), files));
    EXPECT_EQ(absent.status, 422u) << absent.body;
    EXPECT_EQ(absent.json["error"]["code"], "UPGRADE_PREVIEW_REJECTED");
    EXPECT_EQ(absent.json["error"]["message"], "Device is not connected: emu-gone");

    // The device says it is busy once it is asked again.
    std::string error;
    ASSERT_TRUE(simulator.addFault("emu-1", CFault(E_SimFaultKind::BUSY_STATE), error)) << error;
    ASSERT_EQ(api->post("/api/v1/devices/status-query", {}).status, 202u);
    ASSERT_TRUE(waitUntil([&] { return findNode(api->deviceStatus(), "emu-1")["upgradeState"] == "BUSY"; }));
    const S_HttpResult busy = api->preview(previewBody("busy", json::array({emuTarget}), files));
    EXPECT_EQ(busy.status, 422u) << busy.body;
    EXPECT_EQ(busy.json["error"]["message"],
              "Device is not ready for upgrade: emu-1, state=BUSY, reason=DEVICE_BUSY");
    EXPECT_EQ(historySize(), 0u);

    // Ready again, the same device is accepted.
    ASSERT_TRUE(simulator.clearFaults("emu-1", error)) << error;
    ASSERT_EQ(api->post("/api/v1/devices/status-query", {}).status, 202u);
    status = api->waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend->output();
    const S_HttpResult ready = api->preview(previewBody("ready_again", json::array({emuTarget}), files));
    EXPECT_EQ(ready.status, 200u) << ready.body;
    EXPECT_EQ(historySize(), 1u);
}

}  // namespace
}  // namespace ota::test
