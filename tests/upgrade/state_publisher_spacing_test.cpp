// The spacing of publications by their cost, on a clock the test moves: a cheap publication keeps
// structural changes prompt, a costly one holds the next back, a change of the task never waits.
#include "support/wait_until.h"
#include "upgrade/upgrade_state_publisher.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A publisher whose observer costs `cost` on a clock only the test moves.
class CSpacedPublisher
{
public:
    explicit CSpacedPublisher(Clock::duration cost) : m_cost(cost)
    {
        m_publisher.setClock(
            [this]
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_clockReads;
                return m_now;
            });
        m_publisher.setObserver(
            [this](const ExecutionStatePtr&)
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_deliveredAt.push_back(m_now);
                m_now += m_cost;
            });
        m_publisher.start(
            100ms,
            [this]
            {
                auto state = std::make_shared<S_ExecutionState>();
                std::lock_guard<std::mutex> lock(m_mutex);
                state->task = m_identity;
                state->startedAt = ++m_builds;  // every state differs
                return ExecutionStatePtr(state);
            },
            [](E_LogLevel, const std::string&) {});
    }
    ~CSpacedPublisher()
    {
        m_publisher.clearObserver();
        m_publisher.stop();
    }

    CStatePublisher& publisher() { return m_publisher; }
    void startAnotherTask()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_identity = std::make_shared<S_ExecutionTaskIdentity>();
    }
    std::size_t delivered()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deliveredAt.size();
    }
    Clock::time_point lastDeliveredAt()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deliveredAt.back();
    }
    bool waitForDeliveries(std::size_t count)
    {
        return test::waitUntil([&] { return delivered() >= count; });
    }
    // Moves the clock and waits until the notification thread has looked at it at least once.
    void moveClockTo(Clock::time_point at)
    {
        std::uint64_t reads = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_now = at;
            reads = m_clockReads;
        }
        m_publisher.clockMoved();
        ASSERT_TRUE(test::waitUntil(
            [&]
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                return m_clockReads > reads;
            }));
    }

private:
    const Clock::duration m_cost;
    std::shared_ptr<const S_ExecutionTaskIdentity> m_identity = std::make_shared<S_ExecutionTaskIdentity>();
    std::mutex m_mutex;
    Clock::time_point m_now = Clock::time_point{} + 1h;
    std::uint64_t m_clockReads = 0;
    std::uint64_t m_builds = 0;
    std::vector<Clock::time_point> m_deliveredAt;
    CStatePublisher m_publisher;
};

TEST(StatePublisherSpacing, CheapPublicationsStayPromptACostlyOneHoldsTheNextBackButNotTheTasksEnd)
{
    struct S_Case
    {
        const char* name;
        Clock::duration cost;
        Clock::duration heldFor;  // 0: the next structural change goes out without the clock moving
    };
    const S_Case cases[] = {
        {"cheap", 1ms, 0ms},
        {"just under the threshold", 4ms, 0ms},
        {"at the threshold: the 100 ms floor", 5ms, 100ms},
        {"costly: 20 x its cost", 50ms, 1000ms},
    };
    for (const S_Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CSpacedPublisher spaced(c.cost);
        CStatePublisher& publisher = spaced.publisher();
        publisher.taskChanged();
        ASSERT_TRUE(spaced.waitForDeliveries(1));
        const Clock::time_point firstEnded = spaced.lastDeliveredAt() + c.cost;

        // Two structural changes and a progress one: coalesced into one while held.
        publisher.stateChanged();
        publisher.progressChanged();
        publisher.stateChanged();
        if (c.heldFor > 0ms)
        {
            spaced.moveClockTo(firstEnded + c.heldFor - 1ms);
            EXPECT_EQ(spaced.delivered(), 1u);
            spaced.moveClockTo(firstEnded + c.heldFor);
        }
        ASSERT_TRUE(spaced.waitForDeliveries(2));
        EXPECT_GE(spaced.lastDeliveredAt(), firstEnded + c.heldFor);

        // The task's end goes out at once whatever the last publication cost.
        const std::size_t before = spaced.delivered();
        publisher.stateChanged();
        publisher.taskChanged();
        EXPECT_TRUE(spaced.waitForDeliveries(before + 1));
    }
}

// Publications cheaper than the threshold but so frequent that they spend the budget: the rest of
// that task is spaced as a costly one would be; the next task starts with a full budget.
TEST(StatePublisherSpacing, FrequentCheapPublicationsSpendTheBudgetAndSpaceTheRestOfTheirTask)
{
    const Clock::duration cost = 2ms;
    CSpacedPublisher spaced(cost);
    CStatePublisher& publisher = spaced.publisher();
    // The clock moves only by the publications' cost, so each refills 1/20 of its own cost:
    // 100 ms of budget last 52 publications at 1.9 ms net after the first at 2 ms.
    const std::size_t prompt = 53;
    for (std::size_t i = 1; i <= prompt; ++i)
    {
        publisher.stateChanged();
        ASSERT_TRUE(spaced.waitForDeliveries(i)) << i;
    }
    const Clock::time_point lastEnded = spaced.lastDeliveredAt() + cost;
    publisher.stateChanged();
    spaced.moveClockTo(lastEnded + 99ms);
    EXPECT_EQ(spaced.delivered(), prompt);
    spaced.moveClockTo(lastEnded + 100ms);
    ASSERT_TRUE(spaced.waitForDeliveries(prompt + 1));

    // Still spent: the next one is held too, however long the wait refilled the budget.
    publisher.stateChanged();
    spaced.moveClockTo(spaced.lastDeliveredAt() + cost + 99ms);
    EXPECT_EQ(spaced.delivered(), prompt + 1);

    spaced.startAnotherTask();
    publisher.taskChanged();
    ASSERT_TRUE(spaced.waitForDeliveries(prompt + 2));
    publisher.stateChanged();
    EXPECT_TRUE(spaced.waitForDeliveries(prompt + 3));
}

// Stop delivers a structural change that a costly publication held back.
TEST(StatePublisherSpacing, StopDeliversAHeldStructuralChange)
{
    CSpacedPublisher spaced(50ms);
    spaced.publisher().stateChanged();
    ASSERT_TRUE(spaced.waitForDeliveries(1));
    spaced.publisher().stateChanged();
    spaced.publisher().stop();
    EXPECT_EQ(spaced.delivered(), 2u);
}

}  // namespace
}  // namespace ota::backend
