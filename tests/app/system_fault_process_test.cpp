// Whole-system faults met by the real ota-backend and the real ota-device-sim, both as processes:
// a device that loses power in the middle of a transfer, one that never comes back from its
// restart, a network partition (the device stops answering without closing its connection) and a
// stop signal to the backend during a transfer. Each task ends in its terminal state within the
// timeouts of the configuration, and its history row is final.
#include "app/fault_process_support.h"
#include "app/upgrade_process_site.h"
#include "support/free_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>

namespace ota::test
{
namespace
{

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

enum class E_SystemFault
{
    POWER_LOSS_MID_TRANSFER,
    NEVER_BACK_AFTER_RESTART,
    PARTITION_MID_TRANSFER,
    BACKEND_STOP_MID_TRANSFER,
};

struct S_SystemFaultRow
{
    const char* name;
    E_SystemFault fault;
    const char* taskStatus;
    const char* detail;
    unsigned reasonCode;
    const char* reasonName;
    // The configured timeout that must end the task, counted from the fault.
    unsigned S_BackendSettings::*timeout;
    // How many of those timeouts the wait may take at most (progress and reconnects extend some
    // waits up to four times their timeout).
    unsigned timeoutFactor;
};

void PrintTo(const S_SystemFaultRow& row, std::ostream* out)
{
    *out << row.name;
}

// The link drops (or freezes) while a chunk is on its way: either the chunk's report never comes,
// or the next chunk cannot be sent because the backend has already seen the link go.
constexpr const char* kSendFailurePrefix = "固件分片发送失败: ";

const S_SystemFaultRow kSystemFaultRows[] = {
    {"PowerLossMidTransfer", E_SystemFault::POWER_LOSS_MID_TRANSFER, "FAILED",
     "等待文件分片确认连续无响应超时", 17, "TIMEOUT", &S_BackendSettings::stageTimeoutMs, 1},
    {"NeverBackAfterRestart", E_SystemFault::NEVER_BACK_AFTER_RESTART, "FAILED", "等待装置重启后重新连接超时",
     17, "TIMEOUT", &S_BackendSettings::restartTimeoutMs, 4},
    {"PartitionMidTransfer", E_SystemFault::PARTITION_MID_TRANSFER, "FAILED",
     "等待文件分片确认连续无响应超时", 17, "TIMEOUT", &S_BackendSettings::stageTimeoutMs, 1},
    {"BackendStopMidTransfer", E_SystemFault::BACKEND_STOP_MID_TRANSFER, "STOPPED",
     "等待文件分片确认时执行服务停止", 0, "INTERNAL_ERROR", &S_BackendSettings::stageTimeoutMs, 1},
};

// Scheduling on a loaded machine under a sanitizer, beyond the configured timeout.
constexpr std::chrono::milliseconds kSlack{6000};

S_BackendSettings shortTimeouts()
{
    S_BackendSettings settings;
    settings.connectTimeoutMs = 2000;
    settings.ackTimeoutMs = 2000;
    settings.stageTimeoutMs = 2000;
    settings.flashTimeoutMs = 4000;
    settings.restartTimeoutMs = 2500;
    settings.chunkSize = 256;
    return settings;
}

bool isTransferring(const json& device)
{
    return device["state"] == "发送文件分片" && device["currentChunkNo"] >= 2;
}

class SystemFaultProcessTest : public ::testing::TestWithParam<S_SystemFaultRow>
{
};

TEST_P(SystemFaultProcessTest, EndsInItsTerminalStateWithinItsTimeouts)
{
    const S_SystemFaultRow& row = GetParam();
    const S_BackendSettings settings = shortTimeouts();
    CUpgradeBackend backend({S_TestNode{"emu-1", "EMU", findFreeLoopbackPort()}}, settings);
    // Every answer 10 ms late: 120 chunks take a few seconds, time enough to strike mid-transfer.
    json deviceSettings = {{"replyLatencyMs", 10}};
    if (row.fault == E_SystemFault::NEVER_BACK_AFTER_RESTART)
    {
        deviceSettings["rebootMs"] = 3600000;
    }
    CSimulatorProcess simulator(backend.directory() / "site.json", deviceSettings);
    ASSERT_TRUE(simulator.start()) << simulator.output();
    ASSERT_TRUE(backend.launch()) << backend.output();
    std::uint32_t upgradeNo = 0;
    Clock::time_point struck;
    {
        CUpgradeApi api(backend.port());
        const json status = api.waitReady({"emu-1"});
        ASSERT_TRUE(status.is_object()) << backend.output() << simulator.output();
        const json targets = json::array(
            {upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")});
        const json files =
            json::array({firmwareEntry("emu:emu", backend.writeFirmware("emu.bin", 256 * 120), "2.0.0")});
        const S_HttpResult preview =
            api.preview(previewBody(std::string("fault_") + row.name, targets, files));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
        ASSERT_EQ(api.start().status, 202u);

        if (row.fault == E_SystemFault::NEVER_BACK_AFTER_RESTART)
        {
            ASSERT_TRUE(api.waitDevice([](const json& device) { return device["state"] == "等待重启验证"; })
                            .is_object())
                << backend.output();
            struck = Clock::now();
        }
        else
        {
            ASSERT_TRUE(api.waitDevice(isTransferring).is_object()) << backend.output();
            struck = Clock::now();
            if (row.fault == E_SystemFault::POWER_LOSS_MID_TRANSFER)
            {
                simulator.powerOff();
                ASSERT_TRUE(simulator.start()) << simulator.output();
            }
            else if (row.fault == E_SystemFault::PARTITION_MID_TRANSFER)
            {
                simulator.freeze();
            }
        }
    }
    const auto bound = std::chrono::milliseconds(settings.*row.timeout) * row.timeoutFactor + kSlack;

    json final;
    if (row.fault == E_SystemFault::BACKEND_STOP_MID_TRANSFER)
    {
        ASSERT_EQ(backend.stop(), 0) << backend.output();
        EXPECT_LT(Clock::now() - struck, kSlack);
        EXPECT_NE(backend.child().standardOutput().find("[HISTORY] Final report persisted: upgradeNo=" +
                                                        std::to_string(upgradeNo) + ", status=STOPPED"),
                  std::string::npos)
            << backend.output();
        ASSERT_TRUE(backend.launch()) << backend.output();
    }
    CUpgradeApi api(backend.port());
    if (row.fault != E_SystemFault::BACKEND_STOP_MID_TRANSFER)
    {
        final = api.waitEnded(upgradeNo, bound + kSlack);
        const auto took = Clock::now() - struck;
        ASSERT_TRUE(final.is_object()) << backend.output() << simulator.output();
        std::cout << "[ INFO     ] " << row.name << " ended "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                  << " ms after the fault (bound " << bound.count() << " ms)\n";
        EXPECT_LE(took, bound);
        EXPECT_EQ(final["status"], row.taskStatus) << final.dump();
    }
    simulator.thaw();

    const json record = api.waitFinalized(upgradeNo);
    ASSERT_TRUE(record.is_object()) << findRecord(api.history(), upgradeNo).dump() << backend.output();
    EXPECT_EQ(record["status"], row.taskStatus);
    EXPECT_EQ(record["report"]["status"], row.taskStatus);
    EXPECT_EQ(record["report"]["active"], false);
    if (final.is_object())
    {
        // The report is the task's last state; only its completion time may be later.
        EXPECT_EQ(withoutKeys(record["report"], {"finishedAt"}), withoutKeys(final, {"finishedAt"}));
    }
    const json& device = record["report"]["devices"][0];
    const std::string detail = device["error"];
    const bool sendFailed = row.fault != E_SystemFault::BACKEND_STOP_MID_TRANSFER &&
                            row.timeout == &S_BackendSettings::stageTimeoutMs &&
                            detail.rfind(kSendFailurePrefix, 0) == 0;
    EXPECT_EQ(device["result"], "FAILED");
    EXPECT_EQ(device["state"], "执行失败");
    EXPECT_EQ(device["completed"], true);
    EXPECT_EQ(detail, sendFailed ? detail : row.detail);
    EXPECT_EQ(device["reasonCode"], sendFailed ? 0u : row.reasonCode);
    EXPECT_EQ(device["reasonName"], sendFailed ? "INTERNAL_ERROR" : row.reasonName);
    EXPECT_EQ(device["targets"][0]["state"], "执行失败");
    EXPECT_EQ(device["targets"][0]["detailText"], detail);
    // Nothing of the task runs any more (after a restart, nothing was left to run at all).
    const json current = api.current();
    EXPECT_TRUE(current["status"] == "IDLE" || current["active"] == false) << current.dump();

    if (row.fault == E_SystemFault::POWER_LOSS_MID_TRANSFER)
    {
        // The device came back with nothing of the task: it is ready for the next one.
        EXPECT_TRUE(api.waitReady({"emu-1"}).is_object()) << backend.output();
    }
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

INSTANTIATE_TEST_SUITE_P(Faults, SystemFaultProcessTest, ::testing::ValuesIn(kSystemFaultRows),
                         [](const ::testing::TestParamInfo<S_SystemFaultRow>& info)
                         { return info.param.name; });

}  // namespace
}  // namespace ota::test
