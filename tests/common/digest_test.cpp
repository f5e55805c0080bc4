#include "common/digest.h"

#include <gtest/gtest.h>

#include <random>

namespace ota::backend
{
namespace
{

TEST(Digest, CheckValues)
{
    const std::string check = "123456789";
    EXPECT_EQ(crc32Of(check.data(), check.size()), 0xCBF43926u);
    EXPECT_EQ(crc32Of(nullptr, 0), 0u);
    EXPECT_EQ(fnv1a32(""), 0x811C9DC5u);
    EXPECT_EQ(fnv1a32("a"), 0xE40C292Cu);
    EXPECT_EQ(toLowerHex(CSha256::digestOf("abc", 3)),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(toLowerHex(CSha256::digestOf(nullptr, 0)),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const unsigned char bytes[] = {0x00, 0xAB, 0x5A};
    EXPECT_EQ(toUpperHex(bytes, 3), "00AB5A");
    EXPECT_EQ(toLowerHex(bytes, 3), "00ab5a");
}

TEST(Digest, StreamingEqualsOneShot)
{
    std::mt19937 random(7);
    std::string data(300000, '\0');
    for (char& byte : data)
    {
        byte = static_cast<char>(random());
    }
    CSha256 sha;
    std::uint32_t crc = 0;
    for (std::size_t offset = 0; offset < data.size();)
    {
        const std::size_t piece = std::min<std::size_t>(random() % 70000, data.size() - offset);
        sha.update(data.data() + offset, piece);
        crc = crc32Update(crc, data.data() + offset, piece);
        offset += piece;
    }
    EXPECT_EQ(sha.finish(), CSha256::digestOf(data.data(), data.size()));
    EXPECT_EQ(crc, crc32Of(data.data(), data.size()));
    // finish leaves the object ready for the next message.
    sha.update("abc");
    EXPECT_EQ(sha.finish(), CSha256::digestOf("abc", 3));
}

}  // namespace
}  // namespace ota::backend
