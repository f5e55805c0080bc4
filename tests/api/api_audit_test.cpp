// The audit recording of the server, against a trail that keeps what it is given: one entry for
// every request to a POST route, accepted or refused, begun before the callback and completed with
// the outcome; nothing for other requests; a trail that cannot write refuses the request.
#include "api/access_control.h"
#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "api/audit_recording.h"
#include "api/audit_trail.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace ota::test
{
namespace
{

using backend::S_AuditRecord;
using nlohmann::json;

const std::string kAuditToken = "audit-token-0123456789abcdefghijklmnopqrstuvwxyz";

class CRecordingTrail final : public backend::IApiAuditTrail
{
public:
    struct S_Entry
    {
        S_AuditRecord record;
        bool begun = false;     // written before the callback ran
        bool complete = false;  // has its outcome
        int callbackRunsAtBegin = 0;
    };

    bool begin(const S_AuditRecord& record, std::int64_t& entryId, std::string& error) override
    {
        waitWhileHeld(record);
        std::lock_guard<std::mutex> lock(mutex);
        if (failBegin)
        {
            error = "disk full";
            return false;
        }
        entries.push_back({record, true, false, callbackRuns ? callbackRuns->load() : 0});
        entryId = static_cast<std::int64_t>(entries.size());
        return true;
    }

    void complete(std::int64_t entryId, const S_AuditRecord& outcome) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        S_Entry& entry = entries.at(static_cast<std::size_t>(entryId - 1));
        entry.record = outcome;
        entry.complete = true;
    }

    void record(const S_AuditRecord& record) override
    {
        waitWhileHeld(record);
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back({record, false, true, 0});
    }

    std::vector<S_Entry> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(entries, {});
    }

    // While held, the writes for the login and logout routes wait, as a slow disk would make them.
    void holdSessionWrites(bool hold)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            holdingSessions = hold;
        }
        released.notify_all();
    }
    std::size_t heldWrites()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return waiting;
    }

    void waitWhileHeld(const S_AuditRecord& record)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!record.route.starts_with("/api/v1/session"))
        {
            return;
        }
        ++waiting;
        released.wait(lock, [this] { return !holdingSessions; });
        --waiting;
    }

    std::mutex mutex;
    std::condition_variable released;
    bool holdingSessions = false;
    std::size_t waiting = 0;
    std::vector<S_Entry> entries;
    bool failBegin = false;
    std::atomic<int>* callbackRuns = nullptr;
};

struct S_PostRoute
{
    const char* target;
    const char* pattern;
    const char* body;
    unsigned successStatus;
};

const S_PostRoute kPostRoutes[] = {
    {"/api/v1/scene/reload", "/api/v1/scene/reload", "", 200},
    {"/api/v1/firmware/inspect", "/api/v1/firmware/inspect", "{}", 200},
    {"/api/v1/upgrades/preview", "/api/v1/upgrades/preview", R"({"upgradeId":"site_7","targets":[]})", 200},
    {"/api/v1/upgrades/start", "/api/v1/upgrades/start", "", 202},
    {"/api/v1/upgrades/42/abort", "/api/v1/upgrades/:upgradeNo/abort", "", 202},
    {"/api/v1/upgrades/history/clear", "/api/v1/upgrades/history/clear", "", 200},
    {"/api/v1/devices/frames/capture", "/api/v1/devices/frames/capture", R"({"enabled":true})", 200},
    {"/api/v1/devices/status-query", "/api/v1/devices/status-query", "", 202},
    {"/api/v1/devices/reconnect", "/api/v1/devices/reconnect", "", 202},
    {"/api/v1/session/logout", "/api/v1/session/logout", "", 200},
};

class ApiAuditTest : public ApiServerTest
{
protected:
    void SetUp() override
    {
        trail->callbackRuns = &callbackRuns;
        callbacks.auditTrail = trail;
        callbacks.accessControl = std::make_shared<backend::CApiAccessControl>(kAuditToken);
        const auto counted = [this](backend::JsonHandler inner) -> backend::JsonHandler
        {
            return [this, inner](std::string& response, std::string& error)
            {
                ++callbackRuns;
                return inner(response, error);
            };
        };
        callbacks.upgradeStart = [this](std::string& response, std::string&)
        {
            ++callbackRuns;
            response = R"({"status":"STARTED","upgradeId":"site_7","upgradeNo":1700000001})";
            return true;
        };
        callbacks.deviceReconnect = counted(callbacks.deviceReconnect);
        callbacks.sceneReload = counted(callbacks.sceneReload);
        startServer();
    }

    void TearDown() override
    {
        trail->holdSessionWrites(false);
        ApiServerTest::TearDown();
    }

    std::shared_ptr<CRecordingTrail> trail = std::make_shared<CRecordingTrail>();
    std::atomic<int> callbackRuns{0};
};

TEST_F(ApiAuditTest, EveryPostRouteLeavesOneEntryAcceptedOrRefusedAndOtherRequestsNone)
{
    CTestHttpClient client(port);
    const HeaderList authorized = {{"Authorization", "Bearer " + kAuditToken}};
    for (const S_PostRoute& route : kPostRoutes)
    {
        const S_HttpResult accepted = client.request("POST", route.target, route.body, authorized);
        ASSERT_EQ(accepted.status, route.successStatus) << route.target << ": " << accepted.body;
        const S_HttpResult refused = client.request("POST", route.target, route.body);
        ASSERT_EQ(refused.status, 401u) << route.target;
        const S_HttpResult foreign =
            client.request("POST", route.target, route.body,
                           {{"Authorization", "Bearer " + kAuditToken}, {"Origin", "http://evil.example"}});
        ASSERT_EQ(foreign.status, 403u) << route.target;

        const auto entries = trail->taken();
        ASSERT_EQ(entries.size(), 3u) << route.target;
        const std::vector<std::pair<const S_HttpResult*, std::string>> expected = {
            {&accepted, ""}, {&refused, "UNAUTHORIZED"}, {&foreign, "FORBIDDEN_ORIGIN"}};
        for (std::size_t index = 0; index < entries.size(); ++index)
        {
            const S_AuditRecord& record = entries[index].record;
            const S_HttpResult& answer = *expected[index].first;
            EXPECT_TRUE(entries[index].complete) << route.target << " #" << index;
            EXPECT_EQ(entries[index].begun, index == 0)
                << "only the accepted request was begun before running";
            EXPECT_EQ(record.method, "POST");
            EXPECT_EQ(record.route, route.pattern);
            EXPECT_EQ(record.status, answer.status) << route.target << " #" << index;
            EXPECT_EQ(record.errorCode, expected[index].second) << route.target << " #" << index;
            EXPECT_EQ(record.requestId, answer.json["meta"]["requestId"]) << route.target << " #" << index;
            EXPECT_EQ(record.client.rfind("127.0.0.1:", 0), 0u) << record.client;
            EXPECT_GT(record.at, 0);
        }
    }

    // The identifiers come from the path, the body or the answer.
    client.request("POST", "/api/v1/upgrades/42/abort", "", authorized);
    client.request("POST", "/api/v1/upgrades/preview", R"({"upgradeId":"site_7","targets":[]})", authorized);
    client.request("POST", "/api/v1/upgrades/start", "", authorized);
    client.request("POST", "/api/v1/upgrades/preview", R"({"upgradeId":"bad-id!"})", authorized);
    const auto named = trail->taken();
    ASSERT_EQ(named.size(), 4u);
    EXPECT_EQ(named[0].record.upgradeNo, 42u);
    EXPECT_EQ(named[1].record.upgradeId, "site_7");
    EXPECT_EQ(named[2].record.upgradeNo, 1700000001u);
    EXPECT_EQ(named[2].record.upgradeId, "site_7");
    EXPECT_EQ(named[3].record.upgradeId, "") << "an identifier that is not well formed is not recorded";

    // GET requests, unknown paths and other methods on POST paths leave nothing.
    client.request("GET", "/api/v1/workspace", "", authorized);
    client.request("GET", "/api/v1/health");
    client.request("POST", "/api/v1/nothing", "", authorized);
    client.request("GET", "/api/v1/upgrades/start", "", authorized);
    EXPECT_TRUE(trail->taken().empty());
}

TEST_F(ApiAuditTest, TheEntryIsWrittenBeforeTheCallbackAndLoginsNeverLeaveTheToken)
{
    CTestHttpClient client(port);
    ASSERT_EQ(
        client.request("POST", "/api/v1/devices/reconnect", "", {{"Authorization", "Bearer " + kAuditToken}})
            .status,
        202u);
    auto entries = trail->taken();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].callbackRunsAtBegin, callbackRuns.load() - 1) << "begun before its callback ran";

    ASSERT_EQ(client.request("POST", "/api/v1/session", json{{"token", kAuditToken}}.dump()).status, 200u);
    ASSERT_EQ(client.request("POST", "/api/v1/session", json{{"token", "upgradeId_wrong"}}.dump()).status,
              401u);
    entries = trail->taken();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].record.route, "/api/v1/session");
    EXPECT_EQ(entries[0].record.status, 200u);
    EXPECT_EQ(entries[1].record.status, 401u);
    EXPECT_EQ(entries[1].record.errorCode, "UNAUTHORIZED");
    for (const auto& entry : entries)
    {
        EXPECT_EQ(entry.record.upgradeId, "") << "nothing of a login body is taken";
    }
}

// Anyone may send logins, and each is recorded durably: while those records are slow to write,
// health and the other quick routes still answer at once.
TEST_F(ApiAuditTest, LoginAndLogoutRecordsNeverHoldUpTheQuickRoutes)
{
    const HeaderList authorized = {{"Authorization", "Bearer " + kAuditToken}};
    const std::string wrongLogin = json{{"token", "wrong"}}.dump();
    const std::vector<std::pair<std::string, std::string>> sessionRequests = {{"/api/v1/session", wrongLogin},
                                                                              {"/api/v1/session/logout", ""}};
    for (const auto& [target, body] : sessionRequests)
    {
        trail->holdSessionWrites(true);
        CTestHttpClient held(port);
        ASSERT_TRUE(held.sendRaw("POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                                 kAuditToken + "\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\n\r\n" + body));
        ASSERT_TRUE(waitUntil([&] { return trail->heldWrites() == 1; })) << target;

        EXPECT_EQ(CTestHttpClient(port).request("GET", "/api/v1/health").status, 200u) << target;
        EXPECT_EQ(CTestHttpClient(port).request("GET", "/api/v1/upgrades/current", "", authorized).status,
                  200u)
            << target;
        EXPECT_EQ(CTestHttpClient(port).request("POST", "/api/v1/devices/reconnect", "", authorized).status,
                  202u)
            << target;

        trail->holdSessionWrites(false);
        const S_HttpResult answer = held.readResponse();
        EXPECT_EQ(answer.status, target == "/api/v1/session" ? 401u : 200u) << target << answer.failure;
    }
    const auto entries = trail->taken();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[1].record.route, "/api/v1/session") << "recorded as before, begun and completed";
    EXPECT_TRUE(entries[1].begun && entries[1].complete);
}

TEST_F(ApiAuditTest, ATrailThatCannotWriteRefusesTheRequestAndNothingRuns)
{
    trail->failBegin = true;
    CTestHttpClient client(port);
    const int runs = callbackRuns.load();
    const S_HttpResult result =
        client.request("POST", "/api/v1/scene/reload", "", {{"Authorization", "Bearer " + kAuditToken}});
    EXPECT_EQ(result.status, 503u) << result.body;
    EXPECT_EQ(result.json["error"]["code"], "AUDIT_UNAVAILABLE");
    EXPECT_EQ(result.json["error"]["message"],
              "The audit trail cannot record the request, so it was not run: disk full");
    EXPECT_EQ(callbackRuns.load(), runs);
    // Reads are not recorded and keep working.
    EXPECT_EQ(
        client.request("GET", "/api/v1/workspace", "", {{"Authorization", "Bearer " + kAuditToken}}).status,
        200u);
}

TEST(AuditRecording, IdentifiersComeFromThePathTheBodyOrTheAnswerWhenWellFormed)
{
    S_AuditRecord record;
    backend::noteIdentifiersOfPath("/api/v1/rollouts/:rolloutNo/pause", std::string_view("12"), record);
    EXPECT_EQ(record.rolloutNo, 12u);
    backend::noteIdentifiersOfPath("/api/v1/upgrades/:upgradeNo/abort", std::string_view("0"), record);
    backend::noteIdentifiersOfPath("/api/v1/upgrades/:upgradeNo/abort", std::string_view("4294967296"),
                                   record);
    EXPECT_EQ(record.upgradeNo, 0u);
    backend::noteIdentifiersOfBody(R"({"upgradeNo":-3,"upgradeId":"ok_1","rolloutNo":99})", record);
    EXPECT_EQ(record.upgradeNo, 0u);
    EXPECT_EQ(record.upgradeId, "ok_1");
    EXPECT_EQ(record.rolloutNo, 12u) << "the path named it first";
    backend::noteIdentifiersOfBody("not json", record);
    backend::S_HttpReply reply;
    reply.status = 200;
    reply.body = R"({"data":{"rollout":{"rolloutNo":5},"snapshot":{"upgradeNo":77,"upgradeId":"other"}},)"
                 R"("error":null,"meta":{"requestId":"ota-1-2"},"success":true})";
    backend::noteOutcome(reply, record);
    EXPECT_EQ(record.status, 200u);
    EXPECT_EQ(record.requestId, "ota-1-2");
    EXPECT_EQ(record.upgradeNo, 77u) << "from an object inside the answer's data";
    EXPECT_EQ(record.upgradeId, "ok_1");
    EXPECT_EQ(record.errorCode, "");
}

}  // namespace
}  // namespace ota::test
