// Properties over many random frames: parse and encode are inverse, and stream decoding does
// not depend on how the bytes are cut into reads.

#include "protocol/ota_v1_protocol_adapter.h"
#include "protocol_test_bytes.h"
#include "random_frames.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using test::Bytes;
using test::CRandomFrames;

Bytes encoded(const S_ProtocolFrame& frame)
{
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(encodeFrame(frame, bytes, error)) << error;
    return bytes;
}

// Zeroes the bytes after the first zero inside each text field: the padding a parsed record
// cannot remember.
Bytes withCanonicalPadding(Bytes bytes)
{
    const auto canonicalise = [&](std::size_t offset, std::size_t width) {
        bool terminated = false;
        for (std::size_t i = offset; i < offset + width && i < bytes.size(); ++i)
        {
            if (terminated)
            {
                bytes[i] = 0;
            }
            terminated = terminated || bytes[i] == 0;
        }
    };
    const std::size_t body = 13;
    switch (bytes[5])
    {
    case 2:
        for (std::size_t i = 0; i < bytes[body + 2]; ++i)
        {
            canonicalise(body + 4 + 34 * i + 2, 32);
        }
        break;
    case 4:
        for (std::size_t i = 0; i < bytes[body]; ++i)
        {
            canonicalise(body + 2 + 36 * i + 4, 32);
        }
        break;
    case 7: canonicalise(body + 1, 64); break;
    case 11: canonicalise(body + 5, 64); break;
    default: break;
    }
    return bytes;
}

TEST(ProtocolProperty, RandomValidFramesRoundTrip)
{
    CRandomFrames random(20240601);
    for (int round = 0; round < 300; ++round)
    {
        for (std::uint8_t type = 1; type <= 11; ++type)
        {
            S_ProtocolFrame frame = random.frame(type);
            const Bytes bytes = encoded(frame);
            const S_ProtocolParseResult parsed = parseFrame(bytes);
            ASSERT_TRUE(parsed.ok) << static_cast<int>(type) << ": " << parsed.error;
            frame.bodyLength = static_cast<std::uint16_t>(bytes.size() - 17);
            ASSERT_EQ(parsed.frame, frame);
            ASSERT_EQ(encoded(parsed.frame), bytes);
        }
    }
}

TEST(ProtocolProperty, EveryMutatedFrameThatParsesReencodesToItsBytes)
{
    CRandomFrames random(77);
    int parsedCount = 0;
    for (int round = 0; round < 4000; ++round)
    {
        Bytes bytes = encoded(random.frame(static_cast<std::uint8_t>(random.uniform(1, 11))));
        const int mutations = random.uniform(1, 3);
        for (int m = 0; m < mutations; ++m)
        {
            // Mostly the header and the start of the body, where the rules live.
            const std::size_t limit = std::min<std::size_t>(bytes.size(), 80);
            bytes[static_cast<std::size_t>(random.uniform(0, static_cast<int>(limit) - 1))] =
                random.byte(0, 255);
        }
        const S_ProtocolParseResult parsed = parseFrame(bytes);
        if (!parsed.ok)
        {
            EXPECT_FALSE(parsed.error.empty());
            continue;
        }
        ++parsedCount;
        Bytes again;
        std::string error;
        ASSERT_TRUE(encodeFrame(parsed.frame, again, error)) << error;
        ASSERT_EQ(again, withCanonicalPadding(bytes));
    }
    EXPECT_GT(parsedCount, 100);
}

TEST(ProtocolProperty, DecodeDoesNotDependOnReadBoundaries)
{
    CRandomFrames random(4242);
    const std::uint8_t deviceToTool[] = {2, 5, 6, 9, 10, 11};
    for (int round = 0; round < 40; ++round)
    {
        Bytes stream;
        for (int i = 0; i < 30; ++i)
        {
            S_ProtocolFrame frame = random.frame(deviceToTool[random.uniform(0, 5)]);
            frame.deviceType = 2;
            if (frame.messageType == 2 || frame.messageType == 4 || frame.messageType == 11)
            {
                frame = random.frame(frame.messageType);
                while (frame.deviceType != 2)
                {
                    frame = random.frame(frame.messageType);
                }
            }
            const Bytes bytes = encoded(frame);
            stream.insert(stream.end(), bytes.begin(), bytes.end());
            if (random.uniform(0, 4) == 0)
            {
                // Garbage, sometimes with a false magic, between frames.
                const Bytes garbage = {0x5A, 0x5A, 0x5A, 0x5A, 0x01, random.byte(0, 255), 0x02, 0x00, 0x11};
                stream.insert(stream.end(), garbage.begin(), garbage.begin() + random.uniform(1, 9));
            }
        }

        COtaV1ProtocolAdapter whole("PCS", 2);
        const S_ProtocolDecodeResult expected = whole.decode(stream.data(), stream.size(), true);
        ASSERT_FALSE(expected.events.empty());
        ASSERT_FALSE(expected.connectionRejected);

        COtaV1ProtocolAdapter pieces("PCS", 2);
        S_ProtocolDecodeResult collected;
        std::size_t offset = 0;
        while (offset < stream.size())
        {
            const std::size_t piece =
                std::min<std::size_t>(stream.size() - offset, static_cast<std::size_t>(random.uniform(1, 700)));
            S_ProtocolDecodeResult part = pieces.decode(stream.data() + offset, piece, true);
            collected.events.insert(collected.events.end(), part.events.begin(), part.events.end());
            collected.errors.insert(collected.errors.end(), part.errors.begin(), part.errors.end());
            collected.discardedByteCount += part.discardedByteCount;
            offset += piece;
        }
        ASSERT_EQ(collected.events, expected.events);
        EXPECT_EQ(collected.errors, expected.errors);
        EXPECT_EQ(collected.discardedByteCount, expected.discardedByteCount);
    }
}

}  // namespace
}  // namespace ota::backend
