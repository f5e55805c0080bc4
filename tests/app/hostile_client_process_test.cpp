// A hostile local client against the real ota-backend while an upgrade runs: hundreds of idle
// connections, a request trickled in byte by byte, a thousand event-stream connections opened and
// dropped, and random bytes posted to every POST route. The upgrade completes, well-formed
// requests are answered throughout, and nothing is reported as an internal error.
#include "app/fault_process_support.h"
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include <sys/stat.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// The server takes 256 HTTP connections at a time (beyond them a small reserve serves health and
// authenticated operators only); a connection that has not sent a whole request header within
// 10 s is closed, whether it idles or trickles. The idle crowd stays a few below the limit so that
// the well-formed clients of the test (its API client, the random-body client, the trickling one
// and one event-stream client at a time) get in.
constexpr std::size_t kConnectionLimit = 256;
constexpr std::size_t kIdleConnections = kConnectionLimit - 16;
constexpr std::chrono::seconds kHeaderTimeout{10};
constexpr std::size_t kReserveConnections = 16;
constexpr unsigned kEventStreamDrops = 1000;
constexpr unsigned kBodiesPerRoute = 6;

std::string randomBytes(std::mt19937& random, std::size_t size)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& value : bytes)
    {
        value = static_cast<char>(byte(random));
    }
    return bytes;
}

class HostileClientProcessTest : public ::testing::Test
{
protected:
    void TearDown() override { simulator.stop(); }

    CDeviceSimulator simulator;
};

TEST_F(HostileClientProcessTest, TheUpgradeAndWellFormedRequestsGetThroughAHostileClient)
{
    // 600 chunks answered 20 ms late: the transfer lasts well beyond the storm.
    S_SimDeviceSpec device = quickDevice("emu-1", E_ProtocolDeviceType::EMU);
    device.timings.replyLatencyMs = 20;
    startSimulator(simulator, {device});
    S_BackendSettings settings;
    settings.chunkSize = 64;
    CUpgradeBackend backend(nodesOf(simulator, {device}), settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    const json files =
        json::array({firmwareEntry("emu:emu", backend.writeFirmware("emu.bin", 64 * 600), "2.0.0")});
    const S_HttpResult preview = api.preview(previewBody(
        "hostile_client",
        json::array(
            {upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")}),
        files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    ASSERT_TRUE(api.waitDevice([](const json& state) { return state["currentChunkNo"] >= 2; }).is_object())
        << backend.output();

    // Well-formed requests in the middle of it all: health and the running task.
    const auto answered = [&]
    {
        const S_HttpResult health = api.get("/api/v1/health");
        EXPECT_EQ(health.status, 200u) << health.failure << health.body;
        const json current = api.current();
        EXPECT_EQ(current["upgradeNo"], upgradeNo) << current.dump();
        return current["active"] == true;
    };

    const auto idleSince = Clock::now();
    std::vector<std::unique_ptr<CRawConnection>> idle;
    for (std::size_t index = 0; index < kIdleConnections; ++index)
    {
        idle.push_back(std::make_unique<CRawConnection>());
        ASSERT_TRUE(idle.back()->connect(backend.port())) << index;
    }
    EXPECT_TRUE(answered());

    // One byte of a request at a time, far apart: the server must not wait for it forever.
    std::atomic<bool> trickleClosed{false};
    std::atomic<std::int64_t> trickleTookMs{0};
    std::jthread trickle(
        [&]
        {
            CRawConnection connection;
            if (!connection.connect(backend.port()))
            {
                return;
            }
            const std::string request =
                "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(4096, 'z') +
                "\r\n\r\n";
            const auto started = Clock::now();
            for (std::size_t index = 0; index < request.size() && Clock::now() - started < 2 * kHeaderTimeout;
                 ++index)
            {
                // The wait for the close is also the pace of the trickle.
                if (!connection.send(request.substr(index, 1)) ||
                    connection.waitForClose(std::chrono::milliseconds(250)))
                {
                    trickleClosed = true;
                    break;
                }
            }
            trickleTookMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        });

    // Event-stream clients that connect and go away: half after the handshake, half in the middle of it.
    for (unsigned index = 0; index < kEventStreamDrops; ++index)
    {
        if (index % 2 == 0)
        {
            CTestEventClient events(backend.port());
            ASSERT_TRUE(events.connect()) << index << ": " << events.failure();
        }
        else
        {
            CRawConnection connection;
            ASSERT_TRUE(connection.connect(backend.port())) << index;
            connection.send("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n");
        }
        if (index == kEventStreamDrops / 2)
        {
            EXPECT_TRUE(answered());
        }
    }
    EXPECT_TRUE(answered());

    // Random bytes on every POST route. The abort names another task so the running one goes on.
    const std::vector<std::string> postRoutes = {
        "/api/v1/scene/reload",
        "/api/v1/firmware/inspect",
        "/api/v1/upgrades/preview",
        "/api/v1/upgrades/start",
        "/api/v1/upgrades/" + std::to_string(upgradeNo + 1) + "/abort",
        "/api/v1/upgrades/history/clear",
        "/api/v1/devices/frames/capture",
        "/api/v1/devices/status-query",
        "/api/v1/devices/reconnect"};
    std::mt19937 random(20240611u);
    CTestHttpClient hostile(backend.port());
    for (const std::string& route : postRoutes)
    {
        for (unsigned round = 0; round < kBodiesPerRoute; ++round)
        {
            const std::string body = randomBytes(random, 1u + (random() % 4096u));
            const S_HttpResult result =
                hostile.request("POST", route, body, {{"Content-Type", "application/json"}});
            ASSERT_TRUE(result.received) << route << ": " << result.failure;
            EXPECT_TRUE(result.json.is_object()) << route << ": " << result.body;
            const std::string code =
                result.json["error"].is_object() ? result.json["error"].value("code", "") : "";
            EXPECT_EQ(code.find("INTERNAL"), std::string::npos) << route << ": " << result.body;
        }
    }
    EXPECT_TRUE(answered()) << "the storm outlasted the task; make the transfer longer";

    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();
    const json record = api.waitFinalized(upgradeNo);
    ASSERT_TRUE(record.is_object()) << backend.output();
    EXPECT_EQ(record["status"], "SUCCESS");

    // The idle crowd and the trickle are closed by the header timeout, not served forever.
    const auto closeBound = kHeaderTimeout + std::chrono::seconds(20);
    for (std::size_t index = 0; index < idle.size(); ++index)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(idleSince + closeBound - Clock::now());
        ASSERT_TRUE(idle[index]->waitForClose(std::max(left, std::chrono::milliseconds(1)))) << index;
    }
    trickle.join();
    EXPECT_TRUE(trickleClosed);
    EXPECT_GE(trickleTookMs.load(),
              std::chrono::duration_cast<std::chrono::milliseconds>(kHeaderTimeout).count() / 2);
    answered();

    const std::string output = backend.child().standardOutput() + backend.child().standardError();
    EXPECT_EQ(countOccurrences(output, "INTERNAL_"), 0u) << backend.output();
    EXPECT_EQ(countOccurrences(output, "HTTP/WebSocket worker error"), 0u) << backend.output();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

// The two ways a local client held off the operator: a body trickled into every place, ordinary
// and reserve, and a flood of wrong-token logins, each recorded durably. Through both, the
// operator's health checks and start requests are answered while the hostile client goes on.
TEST_F(HostileClientProcessTest, TheOperatorGetsThroughTrickledBodiesAndALoginFlood)
{
    constexpr std::size_t kTricklers = 300;
    constexpr unsigned kFloodConnections = 4;
    constexpr unsigned kLoginsPerConnection = 250;
    const std::string token = "hostile-token_0123456789abcdefghijklmnopqrstuvwxyz";
    CUpgradeBackend backend({});
    backend.setConfigValue("apiAccess", {{"tokenFile", "secret/api-token"}});
    ASSERT_EQ(::chmod(backend.directory().writeFile("secret/api-token", token + "\n").c_str(), 0600), 0);
    ASSERT_TRUE(backend.launch()) << backend.output();
    const std::uint16_t port = backend.port();
    const HeaderList authorized = {{"Authorization", "Bearer " + token}};
    // Each on a new connection, as a console's would be; one turned away at the door tries again.
    const auto answered = [&](const std::string& method, const std::string& target)
    {
        unsigned status = 0;
        waitUntil(
            [&]
            {
                status = CTestHttpClient(port, std::chrono::seconds(5))
                             .request(method, target, "", authorized)
                             .status;
                return status != 0;
            });
        return status;
    };
    const auto operatorServed = [&]
    {
        EXPECT_EQ(answered("GET", "/api/v1/health"), 200u);
        const unsigned started = answered("POST", "/api/v1/upgrades/start");
        EXPECT_TRUE(started == 409u || started == 202u) << started;
    };

    // Health checks and event-stream upgrades that announce 16 MB and send a byte now and then.
    std::vector<std::unique_ptr<CRawConnection>> tricklers;
    for (std::size_t index = 0; index < kTricklers; ++index)
    {
        tricklers.push_back(std::make_unique<CRawConnection>());
        ASSERT_TRUE(tricklers.back()->connect(port)) << index;
        const std::string upgrade = index % 2 == 0 ? ""
                                                   : "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                                                     "Sec-WebSocket-Version: 13\r\n"
                                                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        tricklers.back()->send(std::string(index % 2 == 0 ? "GET /api/v1/health" : "GET /api/v1/events") +
                               " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + upgrade +
                               "Content-Length: 16000000\r\n\r\n");
    }
    std::atomic<bool> trickling{true};
    std::atomic<std::size_t> held{kTricklers};
    std::atomic<unsigned> passes{0};
    std::jthread trickle(
        [&]
        {
            while (trickling)
            {
                std::size_t open = 0;
                for (const auto& connection : tricklers)
                {
                    // The wait for an answer or a close is also the pace of the trickle.
                    if (connection->isOpen() && connection->send("x") &&
                        !connection->waitForClose(std::chrono::milliseconds(2)))
                    {
                        ++open;
                    }
                }
                held = open;
                ++passes;
            }
        });
    ASSERT_TRUE(waitUntil([&] { return passes >= 2 && held <= kConnectionLimit + kReserveConnections; }))
        << held;
    operatorServed();
    EXPECT_GE(held.load(), kConnectionLimit) << "the operator was served while every ordinary place was held";
    trickling = false;
    trickle.join();
    tricklers.clear();
    ASSERT_TRUE(
        waitUntil([&] { return CTestHttpClient(port).request("GET", "/api/v1/workspace").status == 401u; }))
        << "the ordinary places are free again";

    // Wrong-token logins pipelined on a few connections.
    std::atomic<unsigned> floodAnswers{0};
    std::atomic<bool> flooding{true};
    std::vector<std::jthread> flood;
    for (unsigned connection = 0; connection < kFloodConnections; ++connection)
    {
        flood.emplace_back(
            [&, connection]
            {
                std::string requests;
                for (unsigned index = 0; index < kLoginsPerConnection; ++index)
                {
                    const std::string body =
                        json{{"token", "wrong-" + std::to_string(connection) + "-" + std::to_string(index)}}
                            .dump();
                    requests +=
                        "POST /api/v1/session HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                        "application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body;
                }
                CTestHttpClient client(port);
                ASSERT_TRUE(client.sendRaw(requests));
                for (unsigned index = 0; index < kLoginsPerConnection && flooding; ++index)
                {
                    const S_HttpResult result = client.readResponse();
                    ASSERT_TRUE(result.status == 401u || result.status == 429u)
                        << result.failure << result.body;
                    ++floodAnswers;
                }
            });
    }
    ASSERT_TRUE(waitUntil([&] { return floodAnswers > 0; }));
    operatorServed();
    EXPECT_EQ(answered("GET", "/metrics"), 200u);
    EXPECT_LT(floodAnswers.load(), kFloodConnections * kLoginsPerConnection)
        << "the operator was served before the flood ended";
    flooding = false;
    flood.clear();

    const std::string output = backend.child().standardOutput() + backend.child().standardError();
    EXPECT_EQ(countOccurrences(output, "INTERNAL_"), 0u) << backend.output();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
