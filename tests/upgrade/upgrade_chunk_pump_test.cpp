// The transfer's chunk pump: reports of the chunks are answered on the transport's thread, the
// worker wakes only for the transfer's decisions, and abort and the per-chunk timeout still end a
// device in the middle of a transfer.
#include "upgrade/upgrade_test_fixture.h"

#include <atomic>
#include <memory>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;
using nlohmann::json;
using test::CSnapshotBuilder;
using test::E_SendKind;
using test::firmwareBytes;
using test::S_DeviceReply;
using test::S_RecordedSend;

using UpgradeChunkPump = test::CUpgradeExecutionFixture;

constexpr std::uint16_t kChunks = 100;
constexpr std::uint16_t kChunkSize = 64;

bool isChunk(const S_RecordedSend& send, std::uint16_t chunkNo)
{
    return send.kind == E_SendKind::FILE_CHUNK && send.fileChunk.chunkNo == chunkNo;
}

TEST_F(UpgradeChunkPump, WorkerWakesPerStageNotPerChunk)
{
    auto wakes = std::make_shared<std::atomic<std::uint64_t>>(0);
    m_service.setTestHooks({false, -1, {}, wakes});
    startService(options());
    auto& device = m_site.addDevice("emu-1", test::emuComponents());
    CSnapshotBuilder builder(m_directory, 41);
    const std::string bytes = firmwareBytes(kChunks * kChunkSize - 10, 41);
    builder.addFile(1, "emu.bin", bytes, kChunkSize, "V2");
    builder.addTarget("emu-1", "EMU", 1, "V1", 1);
    startTask(builder.build());
    const json final = waitForEnd(41);
    EXPECT_EQ(final.at("status"), "SUCCESS");
    EXPECT_EQ(device.receivedFile(1), bytes);
    auto trace = sendTrace("emu-1");
    const auto expected = test::workflowSends(1, {{1, kChunks}});
    ASSERT_GE(trace.size(), expected.size());
    trace.resize(expected.size());
    EXPECT_EQ(trace, expected);
    // About one wake per question outside the transfer and two for it (first and last chunk);
    // a worker woken by every report would count at least kChunks.
    EXPECT_LT(wakes->load(), kChunks / 2);
}

// A device in the middle of its transfer (chunks answered on the transport's thread): abort
// resets its context, a device that stops answering times out, each as it did at any chunk.
TEST_F(UpgradeChunkPump, AbortAndSilenceEndTheDeviceMidTransfer)
{
    S_UpgradeExecutionOptions options = this->options();
    options.stageTimeoutMs = 400;
    startService(options);
    struct S_Case
    {
        std::string nodeId;
        bool abort;
        std::string result;
        std::uint16_t reasonCode;
        std::string reasonName;
        std::string error;
        std::vector<std::string> lastSends;
    };
    const std::vector<S_Case> cases = {
        {"emu-aborted",
         true,
         "ABORTED",
         9,
         "UPGRADE_CONTEXT_RESET",
         "装置升级上下文已复位: UPGRADE_CONTEXT_RESET",
         {"K1.50", "C6/3/0"}},
        {"emu-silent", false, "FAILED", 17, "TIMEOUT", "等待文件分片确认连续无响应超时", {"K1.49", "K1.50"}},
    };
    std::uint32_t upgradeNo = 50;
    for (const S_Case& testCase : cases)
    {
        SCOPED_TRACE(testCase.nodeId);
        ++upgradeNo;
        auto& device = m_site.addDevice(testCase.nodeId, test::emuComponents());
        const auto chunk50 = [](const S_RecordedSend& send) { return isChunk(send, 50); };
        if (testCase.abort)
        {
            m_transport.holdSends(chunk50);
        }
        else
        {
            device.setHook(
                [chunk50](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
                {
                    if (chunk50(send))
                    {
                        replies.clear();
                    }
                });
        }
        CSnapshotBuilder builder(m_directory, upgradeNo);
        builder.addFile(1, "emu.bin", firmwareBytes(kChunks * kChunkSize, upgradeNo), kChunkSize, "V2");
        builder.addTarget(testCase.nodeId, "EMU", 1, "V1", 1);
        startTask(builder.build());
        if (testCase.abort)
        {
            ASSERT_TRUE(m_transport.waitForHeldSends(1, 30s));
            std::string response;
            std::string error;
            EXPECT_TRUE(m_service.requestAbort(upgradeNo, response, error)) << error;
            m_transport.releaseHeldSends();
        }
        const json final = waitForEnd(upgradeNo);
        const char* stateText = testCase.abort ? "已终止" : "执行失败";
        expectDeviceOutcome(final, testCase.nodeId, testCase.result, stateText, testCase.reasonCode,
                            testCase.reasonName, testCase.error);
        const auto trace = sendTrace(testCase.nodeId);
        ASSERT_GE(trace.size(), testCase.lastSends.size());
        EXPECT_EQ(std::vector<std::string>(
                      trace.end() - static_cast<std::ptrdiff_t>(testCase.lastSends.size()), trace.end()),
                  testCase.lastSends);
    }
}

}  // namespace
}  // namespace ota::backend
