// The per-type slots of a task: a capped type waits for a free slot, an uncapped one never does,
// and a cancel (abort, stop) wakes every waiter without a slot.
#include "upgrade/device_type_slots.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace ota::test
{
namespace
{

using ota::backend::CDeviceTypeSlot;
using ota::backend::CDeviceTypeSlots;

TEST(DeviceTypeSlotsTest, ACappedTypeWaitsForAReleaseAndOthersNeverWait)
{
    CDeviceTypeSlots slots;
    slots.reset({{"PCS", 2}});
    const auto never = [] { return false; };
    ASSERT_TRUE(slots.acquire("PCS", never));
    ASSERT_TRUE(slots.acquire("pcs", never));  // types compare ignoring case
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_TRUE(slots.acquire("EMU", never));
    }

    std::atomic<bool> third{false};
    std::thread waiter([&] { third = slots.acquire("Pcs", never); });
    slots.release("EMU");  // an uncapped type frees nothing of another
    EXPECT_FALSE(third.load());
    slots.release("PCS");
    EXPECT_TRUE(waitUntil([&] { return third.load(); }));
    waiter.join();
}

TEST(DeviceTypeSlotsTest, ACancelWakesEveryWaiterWithoutASlot)
{
    CDeviceTypeSlots slots;
    slots.reset({{"BMS", 1}});
    std::atomic<bool> cancelled{false};
    const auto isCancelled = [&] { return cancelled.load(); };
    ASSERT_TRUE(slots.acquire("BMS", isCancelled));

    std::atomic<int> returned{0};
    std::atomic<int> granted{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
    {
        waiters.emplace_back(
            [&]
            {
                granted += slots.acquire("BMS", isCancelled) ? 1 : 0;
                ++returned;
            });
    }
    cancelled = true;
    slots.wake();
    EXPECT_TRUE(waitUntil([&] { return returned.load() == 3; }));
    for (std::thread& waiter : waiters)
    {
        waiter.join();
    }
    EXPECT_EQ(granted.load(), 0);
    // The holder's slot is still its own until it gives it back.
    cancelled = false;
    slots.release("BMS");
    EXPECT_TRUE(slots.acquire("BMS", isCancelled));
}

TEST(DeviceTypeSlotsTest, ManyWorkersNeverHoldMoreThanTheCap)
{
    CDeviceTypeSlots slots;
    slots.reset({{"PCS", 2}});
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 6; ++i)
    {
        workers.emplace_back(
            [&]
            {
                for (int round = 0; round < 50; ++round)
                {
                    ASSERT_TRUE(slots.acquire("PCS", [] { return false; }));
                    const CDeviceTypeSlot slot(slots, "PCS");
                    const int now = ++inside;
                    int seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now))
                    {
                    }
                    std::this_thread::yield();
                    --inside;
                }
            });
    }
    for (std::thread& worker : workers)
    {
        worker.join();
    }
    EXPECT_LE(most.load(), 2);
    EXPECT_GE(most.load(), 1);
}

}  // namespace
}  // namespace ota::test
