#include "app/system_capacity.h"

#include "common/json_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace ota::backend
{
namespace
{

constexpr std::uint64_t kGiB = 1024ull * 1024ull * 1024ull;

S_SystemCapacity capacity(std::uint32_t logical, std::uint32_t physical, std::uint64_t total, std::uint64_t available)
{
    S_SystemCapacity value;
    value.logicalProcessorCount = logical;
    value.physicalCoreCount = physical;
    value.totalMemoryBytes = total;
    value.availableMemoryBytes = available;
    return value;
}

TEST(DeviceConcurrencyRecommendation, DocumentedExamples)
{
    EXPECT_EQ(recommendDeviceConcurrency(capacity(8, 4, 16 * kGiB, 6 * kGiB)), 16);
    EXPECT_EQ(recommendDeviceConcurrency(capacity(8, 4, 16 * kGiB, 3 * kGiB / 2)), 4);
    EXPECT_EQ(recommendDeviceConcurrency(capacity(2, 0, 64 * kGiB, 64 * kGiB)), 4);
    EXPECT_EQ(recommendDeviceConcurrency(capacity(64, 32, 256 * kGiB, 128 * kGiB)), 32);
    // Available reported as 0 with 8 GiB total: a quarter of the total, 2 GiB, gives 8.
    EXPECT_EQ(recommendDeviceConcurrency(capacity(64, 32, 8 * kGiB, 0)), 8);
}

TEST(DeviceConcurrencyRecommendation, MemoryBoundSteps)
{
    const std::uint64_t MiB = 1024ull * 1024ull;
    const struct
    {
        std::uint64_t bytes;
        std::uint16_t expected;
    } steps[] = {{512 * MiB - 1, 1}, {512 * MiB, 2}, {kGiB - 1, 2}, {kGiB, 4},      {2 * kGiB - 1, 4},
                 {2 * kGiB, 8},      {4 * kGiB - 1, 8}, {4 * kGiB, 16}, {8 * kGiB - 1, 16}, {8 * kGiB, 32}};
    for (const auto& step : steps)
    {
        EXPECT_EQ(recommendDeviceConcurrency(capacity(64, 32, 0, step.bytes)), step.expected) << step.bytes;
    }
    // Unknown memory: 4.
    EXPECT_EQ(recommendDeviceConcurrency(capacity(64, 32, 0, 0)), 4);
}

TEST(DeviceConcurrencyRecommendation, ProcessorFallbacks)
{
    // Nothing known at all: L = 1, P = 1, CPU bound 2, memory unknown 4.
    EXPECT_EQ(recommendDeviceConcurrency(capacity(0, 0, 0, 0)), 2);
    // Logical unknown: taken from the physical count.
    EXPECT_EQ(recommendDeviceConcurrency(capacity(0, 3, 64 * kGiB, 64 * kGiB)), 6);
    // A physical count above the logical one raises L.
    EXPECT_EQ(recommendDeviceConcurrency(capacity(1, 4, 64 * kGiB, 64 * kGiB)), 8);
    // Odd logical count without physical: P = (L + 1) / 2.
    EXPECT_EQ(recommendDeviceConcurrency(capacity(3, 0, 64 * kGiB, 64 * kGiB)), 6);
    // Saturating arithmetic at the top of the range never wraps to a small number.
    const std::uint32_t top = std::numeric_limits<std::uint32_t>::max();
    EXPECT_EQ(recommendDeviceConcurrency(capacity(top, 0, 64 * kGiB, 64 * kGiB)), 32);
    EXPECT_EQ(recommendDeviceConcurrency(capacity(top, top, 64 * kGiB, 64 * kGiB)), 32);
}

TEST(SystemCapacity, ReadsThisMachine)
{
    const S_SystemCapacity machine = readSystemCapacity();
    EXPECT_GE(machine.logicalProcessorCount, 1u);
    EXPECT_GE(machine.physicalCoreCount, 1u);
    EXPECT_LE(machine.physicalCoreCount, machine.logicalProcessorCount);
    EXPECT_GT(machine.totalMemoryBytes, 0u);
    EXPECT_LE(machine.availableMemoryBytes, machine.totalMemoryBytes);
}

TEST(SystemCapacity, ReportJson)
{
    EXPECT_EQ(buildSystemCapacityJson(capacity(8, 4, 16 * kGiB, 6 * kGiB)),
              "{\"absoluteDeviceConcurrencyLimit\":32,\"availableMemoryBytes\":6442450944,"
              "\"logicalProcessorCount\":8,\"physicalCoreCount\":4,\"recommendedDeviceConcurrency\":16,"
              "\"totalMemoryBytes\":17179869184}");
}

}  // namespace
}  // namespace ota::backend
