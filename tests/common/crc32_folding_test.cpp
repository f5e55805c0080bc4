// The folded CRC-32 against zlib's crc32, the reference, bit for bit.
#include "common/crc32_folding.h"
#include "common/digest.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace ota::backend
{
namespace
{

std::uint32_t zlibCrc(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
}

std::vector<std::uint8_t> randomBytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& byte : bytes)
    {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Every width this processor runs; the widest is what crc32Update uses.
class Crc32Folding : public ::testing::TestWithParam<E_Crc32FoldingWidth>
{
protected:
    void SetUp() override
    {
        if (static_cast<int>(GetParam()) > static_cast<int>(crc32FoldingWidth()))
        {
            GTEST_SKIP() << "this processor cannot fold that wide";
        }
    }

    std::uint32_t folded(std::uint32_t crc, const std::uint8_t* data, std::size_t size) const
    {
        return crc32UpdateFolded(GetParam(), crc, data, size);
    }
};

TEST_P(Crc32Folding, EveryLengthUpTo1000AtEveryAlignment)
{
    const std::vector<std::uint8_t> bytes = randomBytes(1000 + 16, 1);
    std::mt19937 random(2);
    for (std::size_t offset = 0; offset < 16; ++offset)
    {
        for (std::size_t size = 0; size <= 1000; ++size)
        {
            const std::uint8_t* data = bytes.data() + offset;
            ASSERT_EQ(folded(0, data, size), zlibCrc(0, data, size))
                << "size " << size << " offset " << offset;
            const std::uint32_t running = static_cast<std::uint32_t>(random());
            ASSERT_EQ(folded(running, data, size), zlibCrc(running, data, size))
                << "size " << size << " offset " << offset << " running value " << running;
        }
    }
    EXPECT_EQ(folded(0x12345678u, nullptr, 0), 0x12345678u);
}

TEST_P(Crc32Folding, LargeAndOddSizes)
{
    const std::vector<std::uint8_t> bytes = randomBytes((1u << 22) + 64, 3);
    for (const std::size_t size :
         {std::size_t{32768}, std::size_t{32767}, std::size_t{32769}, std::size_t{65536 + 13},
          std::size_t{1u << 20}, std::size_t{(1u << 22) + 63}})
    {
        for (const std::size_t offset : {0, 1, 7, 8, 15})
        {
            const std::uint8_t* data = bytes.data() + offset;
            EXPECT_EQ(folded(0, data, size), zlibCrc(0, data, size))
                << "size " << size << " offset " << offset;
        }
    }
}

TEST_P(Crc32Folding, UniformBytes)
{
    for (const std::uint8_t value :
         {std::uint8_t{0x00}, std::uint8_t{0xFF}, std::uint8_t{0x80}, std::uint8_t{0x01}})
    {
        const std::vector<std::uint8_t> bytes(4099, value);
        for (const std::size_t size :
             {std::size_t{64}, std::size_t{128}, std::size_t{4096}, std::size_t{4099}})
        {
            for (const std::uint32_t running : {0u, 0xFFFFFFFFu, 0x80000000u, 1u})
            {
                EXPECT_EQ(folded(running, bytes.data(), size), zlibCrc(running, bytes.data(), size))
                    << "value " << int{value} << " size " << size << " running value " << running;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, Crc32Folding,
                         ::testing::Values(E_Crc32FoldingWidth::BITS_128, E_Crc32FoldingWidth::BITS_256),
                         [](const auto& info)
                         { return info.param == E_Crc32FoldingWidth::BITS_128 ? "Bits128" : "Bits256"; });

TEST(Crc32Update, SplitsContinueTheRunningValue)
{
    const std::vector<std::uint8_t> bytes = randomBytes(200000, 4);
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round)
    {
        const std::size_t size = random() % bytes.size();
        const std::size_t offset = random() % (bytes.size() - size + 1);
        const std::uint8_t* data = bytes.data() + offset;
        const std::uint32_t expected = zlibCrc(0, data, size);
        // Splits at random points, including empty pieces and pieces shorter than a block.
        std::uint32_t crc = 0;
        std::size_t done = 0;
        while (done < size)
        {
            const std::size_t limit = random() % 3 == 0 ? 20 : 5000;
            const std::size_t piece = std::min<std::size_t>(random() % limit, size - done);
            crc = crc32Update(crc, data + done, piece);
            done += piece;
        }
        ASSERT_EQ(crc, expected) << "size " << size << " offset " << offset;
        ASSERT_EQ(crc32Of(data, size), expected);
        ASSERT_EQ(crc32UpdateZlib(0, data, size), expected);
    }
}

TEST(Crc32Update, EveryLengthUpTo1000)
{
    const std::vector<std::uint8_t> bytes = randomBytes(1003, 6);
    for (std::size_t size = 0; size <= 1000; ++size)
    {
        ASSERT_EQ(crc32Of(bytes.data() + 3, size), zlibCrc(0, bytes.data() + 3, size)) << "size " << size;
    }
    EXPECT_EQ(crc32Update(0x12345678u, nullptr, 0), 0x12345678u);
}

}  // namespace
}  // namespace ota::backend
