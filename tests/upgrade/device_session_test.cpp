// A device's session on its own: a reply that races its wait's deadline is still taken, a reply to
// a question already given up is counted and dropped, and an abort ends a wait at once while the
// reply already on its way is kept for the step that asks next.
#include "upgrade/device_session.h"
#include "support/wait_until.h"
#include "upgrade/device_event_builders.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;

constexpr std::uint32_t kUpgradeNo = 12;
constexpr std::uint8_t kPreparation = toProtocolByte(E_ProtocolStage::PREPARATION);

class CCountingSink final : public IStateChangeSink
{
public:
    void stateChanged() override { ++structural; }
    void progressChanged() override { ++progress; }
    std::atomic<int> structural{0};
    std::atomic<int> progress{0};
};

class DeviceSessionTest : public ::testing::Test
{
protected:
    DeviceSessionTest() : session(device(), sink, S_TaskSignals{stopping, abortRequested}) {}

    static S_DeviceRuntime device()
    {
        S_DeviceRuntime runtime;
        runtime.nodeId = "pcs-1";
        runtime.nodeName = "PCS 1";
        runtime.fileNos = {1};
        runtime.components.push_back({toProtocolByte(E_ProtocolComponentType::PCS_DSP1), 1, {}, false, 0});
        return runtime;
    }

    // The device at the step that sent its target list and waits for the ACK.
    void askForTheTargetListAck()
    {
        std::vector<S_LogLine> lines;
        session.setStage(E_ProtocolStage::PREPARATION, "下发升级目标并等待确认", 10, lines);
        std::string error;
        ASSERT_TRUE(session.registerPendingRequest(kPreparation, "升级目标清单确认", error)) << error;
    }

    static S_EventWait ackWait(std::uint32_t timeoutMs, bool abortable)
    {
        return {S_EventMatch::ack(kPreparation), timeoutMs, abortable, false, kPreparation, std::nullopt};
    }

    S_DeviceExecutionState shown() const
    {
        S_DeviceExecutionState state;
        S_ComponentExecutionState component;
        session.copyShown(state, &component);
        return state;
    }

    std::atomic<bool> stopping{false};
    std::atomic<bool> abortRequested{false};
    CCountingSink sink;
    CDeviceSession session;
};

// The callback stamped the reply before the deadline and the worker met the deadline before the
// reply was in the queue: the reply still counts, with its entry time as its receive time.
TEST_F(DeviceSessionTest, AReplyRacingTheDeadlineIsTakenWithItsEntryTime)
{
    askForTheTargetListAck();
    std::unique_lock<std::mutex> gate(session.mutex());
    // The callback gets in (and is stamped) but cannot put its event in place yet.
    std::thread callback(
        [&]
        {
            std::vector<S_LogLine> lines;
            session.takeProtocolEvent(test::ack(kUpgradeNo, E_ProtocolStage::PREPARATION, 1), lines);
        });
    ASSERT_TRUE(test::waitUntil([&] { return session.protocolCallbackRunning(SteadyClock::now()); }));
    const TimePoint stampedBy = SteadyClock::now();
    // The worker's deadline is 1 ms after a start that is later than the callback's entry.
    auto waited = std::async(std::launch::async,
                             [&]
                             {
                                 S_ProtocolEvent event;
                                 TimePoint receivedAt;
                                 const E_WaitResult result =
                                     session.waitForEvent(ackWait(1, true), event, &receivedAt);
                                 return std::make_tuple(result, event, receivedAt);
                             });
    gate.unlock();
    const auto [result, event, receivedAt] = waited.get();
    callback.join();
    EXPECT_EQ(result, E_WaitResult::WAIT_MATCHED);
    ASSERT_NE(event.ack(), nullptr);
    EXPECT_TRUE(event.ack()->accepted());
    EXPECT_LE(receivedAt, stampedBy);
    EXPECT_FALSE(session.protocolCallbackRunning(SteadyClock::now()));
}

// The wait gave up and the question was withdrawn: its late answer is counted as unexpected,
// logged and dropped, and never taken for a later question of the same stage.
TEST_F(DeviceSessionTest, AReplyForAQuestionAlreadyGivenUpIsCountedAndDropped)
{
    askForTheTargetListAck();
    S_ProtocolEvent event;
    EXPECT_EQ(session.waitForEvent(ackWait(5, true), event), E_WaitResult::WAIT_TIMEOUT);
    session.clearPendingRequest();

    const int changesBefore = sink.structural.load();
    std::vector<S_LogLine> lines;
    session.takeProtocolEvent(test::ack(kUpgradeNo, E_ProtocolStage::PREPARATION, 1), lines);
    EXPECT_EQ(shown().unexpectedAckCount, 1u);
    EXPECT_EQ(sink.structural.load(), changesBefore + 1) << "the counter is shown";
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, E_LogLevel::WARN);
    EXPECT_EQ(lines[0].text, "收到无待回复请求的ACK，按迟到或重复ACK丢弃: nodeId=pcs-1, stage=升级准备");

    std::string error;
    ASSERT_TRUE(session.registerPendingRequest(kPreparation, "升级准备", error)) << error;
    EXPECT_EQ(session.waitForEvent(ackWait(5, true), event), E_WaitResult::WAIT_TIMEOUT);
    // A second answer to one question is a duplicate, not a new answer.
    lines.clear();
    session.takeProtocolEvent(test::ack(kUpgradeNo, E_ProtocolStage::PREPARATION, 1), lines);
    session.takeProtocolEvent(test::ack(kUpgradeNo, E_ProtocolStage::PREPARATION, 1), lines);
    EXPECT_EQ(shown().duplicateAckCount, 1u);
    EXPECT_EQ(session.waitForEvent(ackWait(5, false), event), E_WaitResult::WAIT_MATCHED);
    EXPECT_EQ(session.waitForEvent(ackWait(5, false), event), E_WaitResult::WAIT_TIMEOUT);
}

// An abort ends an abortable wait at once; the answer that was on its way stays queued for the
// step that asks next (the context reset waits without abort), and a failure report of the
// current stage ends the device whichever wait meets it.
TEST_F(DeviceSessionTest, AnAbortWhileAReplyIsInFlightEndsTheWaitAndKeepsTheReply)
{
    askForTheTargetListAck();
    auto waited = std::async(std::launch::async,
                             [&]
                             {
                                 S_ProtocolEvent event;
                                 return session.waitForEvent(ackWait(60'000, true), event);
                             });
    abortRequested = true;
    session.wake();
    ASSERT_EQ(waited.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waited.get(), E_WaitResult::WAIT_ABORT_REQUESTED);

    std::vector<S_LogLine> lines;
    session.takeProtocolEvent(test::ack(kUpgradeNo, E_ProtocolStage::PREPARATION, 1), lines);
    S_ProtocolEvent event;
    EXPECT_EQ(session.waitForEvent(ackWait(60'000, true), event), E_WaitResult::WAIT_ABORT_REQUESTED)
        << "an abortable wait sees the abort before any reply";
    EXPECT_EQ(session.waitForEvent(ackWait(60'000, false), event), E_WaitResult::WAIT_MATCHED);
    ASSERT_NE(event.ack(), nullptr);

    session.takeProtocolEvent(test::stageReport(kUpgradeNo, E_ProtocolStage::PREPARATION, 3, 40,
                                                toProtocolByte(E_ProtocolReasonCode::UPGRADE_CONTEXT_RESET)),
                              lines);
    EXPECT_EQ(session.waitForEvent(
                  {S_EventMatch::nothing(), 60'000, false, false, kPreparation, std::nullopt}, event),
              E_WaitResult::WAIT_STOPPED);
    const S_DeviceExecutionState ended = shown();
    EXPECT_TRUE(ended.completed);
    EXPECT_EQ(ended.result, E_DeviceResult::ABORTED);
    EXPECT_STREQ(ended.state, "已终止");
    EXPECT_EQ(ended.detailText, "装置升级上下文已复位: UPGRADE_CONTEXT_RESET");
    EXPECT_EQ(ended.workflowProgress, 14);
    EXPECT_TRUE(session.completed());
    // A device that has ended takes nothing more.
    lines.clear();
    session.takeProtocolEvent(test::ack(kUpgradeNo, E_ProtocolStage::PREPARATION, 1), lines);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(shown().unexpectedAckCount, 0u);
}

}  // namespace
}  // namespace ota::backend
