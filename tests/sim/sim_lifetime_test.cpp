// Nothing a device or one of its parts started may run after it: the timers and the guarded
// handlers of the loop, and a whole device destroyed while its loop goes on.
#include "sim/sim_lifetime.h"
#include "sim/sim_device.h"
#include "sim/sim_test_support.h"
#include "sim/sim_timer.h"
#include "support/wait_until.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace ota::test
{
namespace
{

using namespace ota::backend;

const auto kPast = std::chrono::steady_clock::now() - std::chrono::seconds(1);

TEST(SimTimerTest, ACallbackWhoseWaitHasAlreadyCompletedStaysUnrunWhenCancelled)
{
    // Both waits complete in the same pass of the loop; whichever callback runs first cancels the
    // other, whose completion is already queued by then.
    boost::asio::io_context io;
    CSimTimer first(io);
    CSimTimer second(io);
    int ran = 0;
    first.armAt(kPast,
                [&]
                {
                    ++ran;
                    second.cancel();
                });
    second.armAt(kPast,
                 [&]
                 {
                     ++ran;
                     first.cancel();
                 });
    io.run();
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(first.armed());
    EXPECT_FALSE(second.armed());
}

TEST(SimTimerTest, ArmingAgainReplacesAndTheOwnersEndStopsEverything)
{
    boost::asio::io_context io;
    CSimTimer timer(io);
    std::vector<int> ran;
    timer.armAt(kPast, [&] { ran.push_back(1); });
    timer.armAt(kPast,
                [&]
                {
                    ran.push_back(2);
                    timer.armAt(kPast, [&] { ran.push_back(3); });  // a callback may arm its own timer again
                });
    io.run();
    EXPECT_EQ(ran, (std::vector<int>{2, 3}));

    // The owner goes while its wait is pending and the loop runs on: the aborted wait completes
    // later and must neither run the callback nor touch the freed timer.
    io.restart();
    bool lateRan = false;
    auto owned = std::make_unique<CSimTimer>(io);
    owned->armAfter(std::chrono::hours(1), [&] { lateRan = true; });
    owned.reset();
    CSimLifetime lifetime;
    bool guardedRan = false;
    auto ownedLifetime = std::make_unique<CSimLifetime>();
    boost::asio::post(io, ownedLifetime->guard([&] { lateRan = true; }));
    boost::asio::post(io, lifetime.guard([&] { guardedRan = true; }));
    ownedLifetime.reset();
    io.run();
    EXPECT_FALSE(lateRan);
    EXPECT_TRUE(guardedRan);
}

// Runs one device on a loop thread, the way the simulator does, but lets the test destroy the
// device on that thread while the loop goes on.
class SimDeviceLifetimeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        S_SimDeviceSpec spec = quickDevice("dev-1", E_ProtocolDeviceType::PCS);
        spec.timings.replyLatencyMs = 100;    // answers wait in the outbox
        spec.timings.preparationMs = 600000;  // preparation ticks on for the whole test
        spec.timings.progressIntervalMs = 5;
        device = std::make_unique<CSimDevice>(io, hasher, spec, log);
        std::string error;
        ASSERT_TRUE(device->listen(error)) << error;
        device->startAccepting();
        port = device->snapshot().port;
        loop = std::thread([this] { io.run(); });
    }

    void TearDown() override
    {
        if (!loop.joinable())
        {
            device.reset();
            return;
        }
        runOnLoop([this] { device.reset(); });
        guard.reset();
        loop.join();
        hasher.stop();
    }

    template <typename Function>
    void runOnLoop(Function&& function)
    {
        std::packaged_task<void()> task(std::forward<Function>(function));
        std::future<void> done = task.get_future();
        boost::asio::post(io, [&task] { task(); });
        done.get();
    }

    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{io.get_executor()};
    CSimHashWorker hasher{io, true};
    CSimLog log{E_SimLogLevel::QUIET};
    std::unique_ptr<CSimDevice> device;
    std::uint16_t port = 0;
    std::thread loop;
};

TEST_F(SimDeviceLifetimeTest, ADeviceDestroyedWhileItsTimersRunLeavesNothingBehind)
{
    CSimTestClient client("PCS");
    ASSERT_TRUE(client.connect(port));
    ASSERT_TRUE(client.nextEvent()) << "the greeting status";
    CUpgradeSteps steps(client, 5);
    ASSERT_TRUE(isAck(steps.targets(allTargets(toProtocolByte(E_ProtocolDeviceType::PCS), "2.0.0")),
                      E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isAck(steps.command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(waitUntil(
        [&]
        {
            client.nextNonProgress(std::chrono::milliseconds(20));  // nothing else is due for minutes
            return client.progressCount() > 0;
        }));
    // Now the work timer ticks, the outbox holds progress reports for their delay, the accept
    // loop waits and a read is pending on the connection.
    ASSERT_TRUE(client.sendBytes({0x00}));  // a byte that arrives around the destruction
    runOnLoop([this] { device.reset(); });
    // Whatever the destruction cancelled completes before this marker; under the address
    // sanitizer a handler touching the freed device fails the test here.
    runOnLoop([] {});
    EXPECT_TRUE(client.waitClosed());
    CSimTestClient late("PCS");
    EXPECT_FALSE(late.connect(port)) << "the listening socket went with the device";
}

}  // namespace
}  // namespace ota::test
