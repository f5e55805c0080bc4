#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "support/wait_until.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace ota::test
{
namespace
{

using ::testing::ElementsAre;

// The callbacks of the held routes wait here until the test opens the gate; it records which of
// them entered and left. Other routes pass straight through.
class CGate
{
public:
    void pass(const std::string& name)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (std::find(m_held.begin(), m_held.end(), name) == m_held.end())
        {
            return;
        }
        m_log.push_back("enter " + name);
        ++m_entered;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
        m_log.push_back("leave " + name);
    }

    bool waitEntered(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_entered >= count; });
    }

    void open()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }

    void close(std::vector<std::string> held)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = std::move(held);
        m_open = false;
        m_entered = 0;
        m_log.clear();
    }

    std::vector<std::string> log() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_held;
    std::vector<std::string> m_log;
    std::size_t m_entered = 0;
    bool m_open = true;
};

// Opens the gate when a test leaves early, so that no callback (and no thread joined after it) hangs.
struct S_OpenOnExit
{
    CGate& gate;
    ~S_OpenOnExit() { gate.open(); }
};

std::string rawRequest(const std::string& method, const std::string& target, const std::string& body = {})
{
    return method + " " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

std::uint64_t sequenceOf(const S_HttpResult& result)
{
    const std::string requestId = result.json["meta"]["requestId"];
    return std::stoull(requestId.substr(requestId.rfind('-') + 1));
}

struct S_LaneCase
{
    const char* method;
    const char* target;
    const char* body;
    const char* route;
    unsigned successStatus;
    bool operation;  // runs on the operation lane
};

const S_LaneCase kLanes[] = {
    {"GET", "/api/v1/health", "", "health", 200, false},
    {"GET", "/api/v1/system/capacity", "", "systemCapacity", 200, false},
    {"GET", "/api/v1/workspace", "", "workspace", 200, false},
    {"POST", "/api/v1/scene/reload", "", "sceneReload", 200, true},
    {"POST", "/api/v1/firmware/inspect", "{}", "firmwareInspect", 200, true},
    {"POST", "/api/v1/upgrades/preview", "{}", "upgradePreview", 200, true},
    {"POST", "/api/v1/upgrades/start", "", "upgradeStart", 202, true},
    {"POST", "/api/v1/upgrades/42/abort", "", "upgradeAbort", 202, true},
    {"GET", "/api/v1/upgrades/current", "", "currentUpgrade", 200, false},
    {"GET", "/api/v1/upgrades/history", "", "upgradeHistory", 200, true},
    {"POST", "/api/v1/upgrades/history/clear", "", "upgradeHistoryClear", 200, true},
    {"GET", "/api/v1/devices/status", "", "deviceStatus", 200, false},
    {"GET", "/api/v1/devices/frames", "", "deviceFrames", 200, false},
    {"POST", "/api/v1/devices/frames/capture", R"({"enabled":true})", "frameCapture", 200, false},
    {"POST", "/api/v1/devices/status-query", "", "deviceStatusQuery", 202, false},
    {"POST", "/api/v1/devices/reconnect", "", "deviceReconnect", 202, false},
};

class CallbackLaneTest : public ApiServerTest
{
protected:
    backend::JsonHandler gated(backend::JsonHandler inner, const std::string& name)
    {
        return [this, inner = std::move(inner), name](std::string& response, std::string& error)
        {
            gate.pass(name);
            return inner(response, error);
        };
    }

    backend::JsonBodyHandler gated(backend::JsonBodyHandler inner, const std::string& name)
    {
        return [this, inner = std::move(inner), name](const std::string& request, std::string& response,
                                                      std::string& error)
        {
            gate.pass(name);
            return inner(request, response, error);
        };
    }

    void TearDown() override
    {
        gate.open();
        ApiServerTest::TearDown();
    }

    CGate gate;
};

// With one callback of a lane held, every route of the other lane is answered at once and every
// route of the same lane waits its turn; released, the waiting ones run in the order they came.
TEST_F(CallbackLaneTest, EachRouteWaitsOnlyBehindCallbacksOfItsOwnLane)
{
    callbacks.sceneReload = gated(callbacks.sceneReload, "sceneReload");
    callbacks.deviceStatus = gated(callbacks.deviceStatus, "deviceStatus");
    startServer();
    for (const char* blockerRoute : {"sceneReload", "deviceStatus"})
    {
        SCOPED_TRACE(blockerRoute);
        const S_LaneCase& blocker =
            *std::find_if(std::begin(kLanes), std::end(kLanes),
                          [&](const S_LaneCase& lane) { return std::string(lane.route) == blockerRoute; });
        gate.close({blockerRoute});
        S_OpenOnExit openOnExit{gate};
        CTestHttpClient blocked(port);
        ASSERT_TRUE(blocked.sendRaw(rawRequest(blocker.method, blocker.target, blocker.body)));
        ASSERT_TRUE(gate.waitEntered(1));

        std::vector<std::pair<const S_LaneCase*, std::unique_ptr<CTestHttpClient>>> waiting;
        for (const S_LaneCase& route : kLanes)
        {
            if (&route == &blocker)
            {
                continue;
            }
            if (route.operation != blocker.operation)
            {
                const S_HttpResult result =
                    CTestHttpClient(port).request(route.method, route.target, route.body);
                EXPECT_EQ(result.status, route.successStatus) << route.target << " " << result.failure;
                EXPECT_EQ(result.json["data"]["route"], route.route) << route.target;
                continue;
            }
            auto client = std::make_unique<CTestHttpClient>(port);
            ASSERT_TRUE(client->sendRaw(rawRequest(route.method, route.target, route.body)));
            waiting.emplace_back(&route, std::move(client));
            EXPECT_TRUE(waitUntil([&] { return server->waitingCallbackCount() == waiting.size(); }))
                << route.target << " did not wait behind " << blocker.target;
        }
        EXPECT_EQ(gate.log(), std::vector<std::string>{"enter " + std::string(blockerRoute)});

        gate.open();
        const S_HttpResult blockerResult = blocked.readResponse();
        EXPECT_EQ(blockerResult.json["data"]["route"], blocker.route);
        std::uint64_t previous = sequenceOf(blockerResult);
        for (const auto& [route, client] : waiting)
        {
            const S_HttpResult result = client->readResponse();
            EXPECT_EQ(result.status, route->successStatus) << route->target << " " << result.failure;
            EXPECT_EQ(result.json["data"]["route"], route->route);
            // Request identifiers are taken as a callback starts: a lane runs its callbacks in order.
            EXPECT_GT(sequenceOf(result), previous) << route->target;
            previous = sequenceOf(result);
        }
    }
}

TEST_F(CallbackLaneTest, HealthAndEventsFlowWhileOneOperationRunsAndAnotherWaitsForIt)
{
    callbacks.sceneReload = gated(callbacks.sceneReload, "sceneReload");
    callbacks.upgradePreview = gated(callbacks.upgradePreview, "upgradePreview");
    gate.close({"sceneReload", "upgradePreview"});
    startServer();
    S_OpenOnExit openOnExit{gate};
    CTestEventClient events(port);
    ASSERT_TRUE(events.connect()) << events.failure();
    ASSERT_TRUE(waitUntil([&] { return server->eventClientCount() == 1; }));

    CTestHttpClient reload(port);
    ASSERT_TRUE(reload.sendRaw(rawRequest("POST", "/api/v1/scene/reload")));
    ASSERT_TRUE(gate.waitEntered(1));
    CTestHttpClient preview(port);
    ASSERT_TRUE(preview.sendRaw(rawRequest("POST", "/api/v1/upgrades/preview", "{}")));
    ASSERT_TRUE(waitUntil([&] { return server->waitingCallbackCount() == 1; }));

    const S_HttpResult health = CTestHttpClient(port).request("GET", "/api/v1/health");
    EXPECT_EQ(health.status, 200u) << health.failure;
    ASSERT_TRUE(server->publishEvent("device.status", R"({"devices":[]})"));
    nlohmann::json event;
    ASSERT_TRUE(events.read(event));
    EXPECT_EQ(event["type"], "device.status");
    // Both answers above came while the reload was still held and the preview still waiting.
    EXPECT_THAT(gate.log(), ElementsAre("enter sceneReload"));
    EXPECT_EQ(server->waitingCallbackCount(), 1u);

    gate.open();
    const S_HttpResult reloaded = reload.readResponse();
    const S_HttpResult previewed = preview.readResponse();
    EXPECT_EQ(reloaded.json["data"]["route"], "sceneReload") << reloaded.failure;
    EXPECT_EQ(previewed.json["data"]["route"], "upgradePreview") << previewed.failure;
    EXPECT_LT(sequenceOf(reloaded), sequenceOf(health));
    EXPECT_LT(sequenceOf(health), sequenceOf(previewed));
    EXPECT_THAT(gate.log(), ElementsAre("enter sceneReload", "leave sceneReload", "enter upgradePreview",
                                        "leave upgradePreview"));
}

TEST_F(CallbackLaneTest, StopWaitsForTheRunningCallbackAndReturnsOnceItIsReleased)
{
    callbacks.sceneReload = gated(callbacks.sceneReload, "sceneReload");
    callbacks.upgradePreview = gated(callbacks.upgradePreview, "upgradePreview");
    gate.close({"sceneReload", "upgradePreview"});
    startServer();
    CTestHttpClient reload(port);
    ASSERT_TRUE(reload.sendRaw(rawRequest("POST", "/api/v1/scene/reload")));
    ASSERT_TRUE(gate.waitEntered(1));
    CTestHttpClient preview(port);
    ASSERT_TRUE(preview.sendRaw(rawRequest("POST", "/api/v1/upgrades/preview", "{}")));
    ASSERT_TRUE(waitUntil([&] { return server->waitingCallbackCount() == 1; }));

    std::atomic<bool> stopReturned{false};
    std::vector<std::string> logWhenStopReturned;
    std::jthread stopper(
        [&]
        {
            server->stop();
            logWhenStopReturned = gate.log();
            stopReturned = true;
        });
    S_OpenOnExit openOnExit{gate};

    // Stop closes the connections first; it is then waiting for the held callback.
    EXPECT_TRUE(reload.waitForServerClose());
    EXPECT_TRUE(preview.waitForServerClose());
    EXPECT_FALSE(stopReturned.load());

    gate.open();
    stopper.join();
    EXPECT_TRUE(stopReturned.load());
    ASSERT_GE(logWhenStopReturned.size(), 2u);
    EXPECT_EQ(logWhenStopReturned[1], "leave sceneReload");
    EXPECT_EQ(server->boundPort(), 0);
}

}  // namespace
}  // namespace ota::test
