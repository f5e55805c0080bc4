#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "common/clock.h"
#include "support/wait_until.h"

#include <gmock/gmock.h>

#include <thread>

namespace ota::test
{
namespace
{

using backend::currentUnixMs;
using ::testing::HasSubstr;

class EventStreamTest : public ApiServerTest
{
protected:
    // A client counted by the server, so that events published from now on reach it.
    std::unique_ptr<CTestEventClient> connectClient(bool smallReceiveBuffer = false)
    {
        const std::size_t before = server->eventClientCount();
        auto client = std::make_unique<CTestEventClient>(port);
        if (smallReceiveBuffer)
        {
            client->useSmallReceiveBuffer();
        }
        EXPECT_TRUE(client->connect()) << client->failure();
        EXPECT_TRUE(waitUntil([&] { return server->eventClientCount() == before + 1; }));
        return client;
    }

    std::uint64_t publishAndReadSequence(CTestEventClient& client)
    {
        EXPECT_TRUE(server->publishEvent("device.status", "{}"));
        nlohmann::json event;
        EXPECT_TRUE(client.read(event)) << client.failure();
        return event["sequence"].get<std::uint64_t>();
    }
};

TEST_F(EventStreamTest, EventsCarryTheEnvelopeInKeyOrderWithGrowingSequence)
{
    startServer();
    auto client = connectClient();
    const std::int64_t before = currentUnixMs();
    ASSERT_TRUE(server->publishEvent("upgrade.current", "{ \"state\" : \"\xE8\xA3\x85\", \"b\":[1,2] }"));
    std::string text;
    ASSERT_TRUE(client->read(text)) << client->failure();
    const nlohmann::json event = nlohmann::json::parse(text);
    const std::uint64_t sequence = event["sequence"];
    const std::int64_t timestamp = event["timestamp"];
    EXPECT_EQ(text, "{\"data\":{\"b\":[1,2],\"state\":\"\xE8\xA3\x85\"},\"schemaVersion\":1,\"sequence\":" +
                        std::to_string(sequence) + ",\"timestamp\":" + std::to_string(timestamp) +
                        ",\"type\":\"upgrade.current\"}");
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, currentUnixMs());
    EXPECT_EQ(publishAndReadSequence(*client), sequence + 1);
}

TEST_F(EventStreamTest, PublishRefusesEmptyInvalidOrUnservedEventsAndCountsOnlyBuiltOnes)
{
    EXPECT_FALSE(backend::CHttpApiServer().publishEvent("device.status", "{}"));
    startServer();
    auto client = connectClient();
    const std::uint64_t first = publishAndReadSequence(*client);

    EXPECT_FALSE(server->publishEvent("", "{}"));
    EXPECT_FALSE(server->publishEvent("device.status", ""));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(server->publishEvent("device.status", "{not json"));
    EXPECT_EQ(publishAndReadSequence(*client), first + 1);  // invalid data uses no number

    EXPECT_FALSE(
        server->publishEvent("bad\xFFtype", "{}"));  // the envelope cannot be built: its number is used up
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(errors, HasSubstr("[WARN] WebSocket event data is invalid JSON: "));
    EXPECT_THAT(errors, HasSubstr("[WARN] WebSocket event envelope serialization failed: "));
    EXPECT_EQ(publishAndReadSequence(*client), first + 3);

    client.reset();
    ASSERT_TRUE(waitUntil([&] { return server->eventClientCount() == 0; }));
    EXPECT_TRUE(server->publishEvent("device.status", "{}"));  // no clients: still built and numbered
    client = connectClient();
    EXPECT_EQ(publishAndReadSequence(*client), first + 5);
}

TEST_F(EventStreamTest, SequenceContinuesAcrossStopAndStart)
{
    startServer();
    auto client = connectClient();
    const std::uint64_t beforeStop = publishAndReadSequence(*client);
    server->stop();
    EXPECT_FALSE(server->publishEvent("device.status", "{}"));
    EXPECT_TRUE(client->waitForServerClose());

    std::string error;
    ASSERT_TRUE(server->start("127.0.0.1", 0, echoCallbacks(), error)) << error;
    port = server->boundPort();
    auto again = connectClient();
    EXPECT_EQ(publishAndReadSequence(*again), beforeStop + 1);
}

TEST_F(EventStreamTest, OnlyTheEventsPathFromALoopbackOriginIsAccepted)
{
    startServer();
    CTestEventClient other(port);
    EXPECT_FALSE(other.connect("/api/v1/other"));
    EXPECT_EQ(other.handshakeStatus(), 404u);
    CTestEventClient foreignOrigin(port);
    EXPECT_FALSE(foreignOrigin.connect("/api/v1/events", {{"Origin", "http://evil.example"}}));
    EXPECT_EQ(foreignOrigin.handshakeStatus(), 403u);
    CTestEventClient foreignHost(port);
    EXPECT_FALSE(foreignHost.connect("/api/v1/events", {{"Host", "rebound.evil.example:8080"}}));
    EXPECT_EQ(foreignHost.handshakeStatus(), 403u);
    EXPECT_EQ(server->eventClientCount(), 0u);

    CTestEventClient withQuery(port);
    EXPECT_TRUE(withQuery.connect("/api/v1/events?since=5", {{"Origin", "http://localhost:5173"}}))
        << withQuery.failure();
    EXPECT_TRUE(waitUntil([&] { return server->eventClientCount() == 1; }));
}

TEST_F(EventStreamTest, ClientMessagesAreIgnoredAndDisconnectsLeaveTheSet)
{
    startServer();
    ::testing::internal::CaptureStdout();
    auto client = connectClient();
    auto listener = connectClient();
    ASSERT_TRUE(client->sendText("{\"subscribe\":\"everything\"}"));
    ASSERT_TRUE(client->sendText("hello"));
    const std::uint64_t sequence = publishAndReadSequence(*client);
    nlohmann::json event;
    ASSERT_TRUE(listener->read(event));
    EXPECT_EQ(event["sequence"], sequence);
    EXPECT_EQ(server->eventClientCount(), 2u);

    client.reset();
    ASSERT_TRUE(waitUntil([&] { return server->eventClientCount() == 1; }));
    listener.reset();
    ASSERT_TRUE(waitUntil([&] { return server->eventClientCount() == 0; }));
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(output, HasSubstr("[WebSocket] Client connected to /api/v1/events, clients=1\n"));
    EXPECT_THAT(output, HasSubstr("[WebSocket] Client connected to /api/v1/events, clients=2\n"));
    EXPECT_THAT(output, HasSubstr("[WebSocket] Client disconnected, clients=1\n"));
    EXPECT_THAT(output, HasSubstr("[WebSocket] Client disconnected, clients=0\n"));
}

TEST_F(EventStreamTest, EventsFromTwoThreadsArriveInSequenceOrderWithoutGaps)
{
    constexpr int kPerThread = 300;
    startServer();
    auto first = connectClient();
    auto second = connectClient();
    const auto publishMany = [this]
    {
        for (int index = 0; index < kPerThread; ++index)
        {
            EXPECT_TRUE(server->publishEvent("device.status", "{\"index\":" + std::to_string(index) + "}"));
        }
    };
    std::thread one(publishMany);
    std::thread two(publishMany);
    for (CTestEventClient* client : {first.get(), second.get()})
    {
        std::uint64_t previous = 0;
        for (int count = 0; count < 2 * kPerThread; ++count)
        {
            nlohmann::json event;
            ASSERT_TRUE(client->read(event)) << client->failure();
            const std::uint64_t sequence = event["sequence"];
            if (previous != 0)
            {
                ASSERT_EQ(sequence, previous + 1);
            }
            previous = sequence;
        }
    }
    one.join();
    two.join();
}

TEST_F(EventStreamTest, AClientThatStopsReadingIsDroppedAtTheLimitWhileOthersGoOn)
{
    startServer();
    auto stalled = connectClient(true);
    auto reader = connectClient();
    const std::string data = "{\"blob\":\"" + std::string(128 * 1024, 'x') + "\"}";

    ::testing::internal::CaptureStderr();
    int published = 0;
    // Kernel buffers take a few MiB before the server's own queue grows; 50 MiB is far beyond both.
    while (server->eventClientCount() == 2 && published < 400)
    {
        ASSERT_TRUE(server->publishEvent("communication.snapshot", data));
        ++published;
        nlohmann::json event;
        ASSERT_TRUE(reader->read(event)) << reader->failure();
    }
    const std::string errors = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(server->eventClientCount(), 1u) << "published " << published;
    EXPECT_GT(published, 4194304 / static_cast<int>(data.size()));
    EXPECT_THAT(errors,
                ::testing::MatchesRegex(
                    "\\[WARN\\] WebSocket broadcast send failed, client=127\\.0\\.0\\.1:[0-9]+, result=-2, "
                    "maxPendingBytes=4194304, eventType=communication\\.snapshot\n"
                    "\\[WARN\\] WebSocket broadcast removed failed clients, count=1, clients=1\n"));

    const std::uint64_t sequence = publishAndReadSequence(*reader);
    EXPECT_GT(sequence, 0u);
    EXPECT_TRUE(stalled->waitForServerClose());
}

TEST_F(EventStreamTest, StopClosesEveryClient)
{
    startServer();
    auto first = connectClient();
    auto second = connectClient();
    server->stop();
    EXPECT_EQ(server->eventClientCount(), 0u);
    EXPECT_TRUE(first->waitForServerClose());
    EXPECT_TRUE(second->waitForServerClose());
    CTestEventClient late(port, std::chrono::seconds(5));
    EXPECT_FALSE(late.connect());
}

}  // namespace
}  // namespace ota::test
