// The users commands of the real executable on the history database of a running service: the
// commands change the accounts beside it without starting anything, and the token they print is
// one the store accepts.
#include "accounts/account_store.h"
#include "api/api_test_client.h"
#include "support/child_process.h"
#include "support/free_port.h"
#include "support/temp_directory.h"
#include "support/wait_until.h"

#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <signal.h>

namespace ota::test
{
namespace
{

const std::filesystem::path kUsersBackend = OTA_BACKEND_EXE;

TEST(UsersProcess, CommandsChangeTheAccountsOfARunningService)
{
    CTempDirectory directory;
    const std::uint16_t port = findFreeLoopbackPort();
    const auto config = directory.writeFile(
        "ota-backend.json", "{\"httpHost\":\"127.0.0.1\",\"httpPort\":" + std::to_string(port) +
                                ",\"deviceConcurrency\":4,\"connectTimeoutMs\":1000,\"ackTimeoutMs\":1000,"
                                "\"stageTimeoutMs\":1000,\"flashTimeoutMs\":1000,\"restartTimeoutMs\":1000,"
                                "\"chunkSize\":1024}");
    CChildProcess service(kUsersBackend, {"--config", config.string()});
    ASSERT_TRUE(service.waitForOutput("[INFO] WebSocket events: ws://")) << service.standardError();

    auto users = [&](std::vector<std::string> words, const std::string& input = "")
    {
        words.insert(words.begin(), {"--config", config.string(), "users"});
        return runProcessWithInput(kUsersBackend, words, input);
    };
    struct S_Step
    {
        std::vector<std::string> words;
        std::string input;
        int exitCode;
        std::string shown;  // in standard output when it succeeds, in standard error when it fails
    };
    const S_Step steps[] = {
        {{"add", "alice", "--role", "admin"}, "correct horse battery\n", 0, "alice"},
        {{"add", "bob", "--role", "viewer"}, "too short\n", 1, "at least 12 characters"},
        {{"add", "bob", "--role", "viewer"}, "", 1, "No password"},
        {{"add", "ALICE", "--role", "viewer"}, "another password\n", 1, "An account named alice exists"},
        {{"role", "alice", "operator"}, "", 0, "operator"},
        {{"passwd", "alice"}, "a second password\n", 0, "alice"},
        {{"passwd", "carol"}, "a second password\n", 1, "No account named carol"},
        {{"disable", "carol"}, "", 1, "No account named carol"},
        {{"revoke-token", "nothing"}, "", 1, "nothing"},
        {{"list"}, "", 0, "operator  enabled"},
    };
    for (const S_Step& step : steps)
    {
        const S_ProcessResult result = users(step.words, step.input);
        EXPECT_EQ(result.exitCode, step.exitCode) << step.words[0] << ": " << result.standardError;
        const std::string& shown = step.exitCode == 0 ? result.standardOutput : result.standardError;
        EXPECT_NE(shown.find(step.shown), std::string::npos) << step.words[0] << ": " << shown;
    }

    const S_ProcessResult issued = users({"token", "alice", "--label", "ci"});
    ASSERT_EQ(issued.exitCode, 0) << issued.standardError;
    ASSERT_FALSE(issued.standardOutput.empty());
    EXPECT_EQ(issued.standardOutput.find('\n'), issued.standardOutput.size() - 1) << "the token alone";
    const std::string token = issued.standardOutput.substr(0, issued.standardOutput.size() - 1);
    std::string error;
    const auto store = backend::CAccountStore::open(directory / "upgrade-history.db", false, error);
    ASSERT_TRUE(store) << error;
    const std::optional<backend::S_VerifiedToken> verified = store->verifyToken(token);
    ASSERT_TRUE(verified);
    EXPECT_EQ(verified->account.name, "alice");
    EXPECT_EQ(verified->account.role, backend::E_Role::OPERATOR);
    EXPECT_TRUE(store->verifyPassword("alice", "a second password"));
    EXPECT_NE(users({"list"}).standardOutput.find("ci         alice"), std::string::npos);

    EXPECT_EQ(users({"revoke-token", "ci"}).exitCode, 0);
    EXPECT_FALSE(store->verifyToken(token));
    EXPECT_EQ(users({"disable", "alice"}).exitCode, 0);
    EXPECT_FALSE(store->find("alice")->enabled);
    EXPECT_NE(users({"list"}).standardOutput.find("disabled"), std::string::npos);

    service.sendSignal(SIGTERM);
    EXPECT_EQ(service.waitForExit(), 0) << service.standardError();
}

// The running service with a token file: an account made beside it logs in by password and by its
// API token, acts under its role, and loses its session and token within the watch's poll once the
// commands change its role or revoke the token.
TEST(UsersProcess, ARunningServiceFollowsTheAccountsTheCommandsChange)
{
    CTempDirectory directory;
    const std::uint16_t port = findFreeLoopbackPort();
    const auto tokenFile = directory.writeFile("api-token", std::string(40, 'k') + "\n");
    ASSERT_EQ(::chmod(tokenFile.c_str(), 0600), 0);
    const auto config = directory.writeFile(
        "ota-backend.json", "{\"httpHost\":\"127.0.0.1\",\"httpPort\":" + std::to_string(port) +
                                ",\"deviceConcurrency\":4,\"connectTimeoutMs\":1000,\"ackTimeoutMs\":1000,"
                                "\"stageTimeoutMs\":1000,\"flashTimeoutMs\":1000,\"restartTimeoutMs\":1000,"
                                "\"chunkSize\":1024,\"apiAccess\":{\"tokenFile\":\"api-token\"}}");
    auto users = [&](std::vector<std::string> words, const std::string& input = "")
    {
        words.insert(words.begin(), {"--config", config.string(), "users"});
        return runProcessWithInput(kUsersBackend, words, input);
    };
    CChildProcess service(kUsersBackend, {"--config", config.string()});
    ASSERT_TRUE(service.waitForOutput("[INFO] WebSocket events: ws://")) << service.standardError();
    // The tables do not exist when the service starts: the first account creates them.
    ASSERT_EQ(users({"add", "olga", "--role", "operator"}, "olga's long password\n").exitCode, 0);
    const S_ProcessResult issued = users({"token", "olga", "--label", "ci"});
    ASSERT_EQ(issued.exitCode, 0) << issued.standardError;
    const std::string token = issued.standardOutput.substr(0, issued.standardOutput.find('\n'));

    CTestHttpClient client(port);
    const S_HttpResult login =
        client.request("POST", "/api/v1/session", R"({"user":"olga","password":"olga's long password"})");
    ASSERT_EQ(login.status, 200u) << login.body;
    const std::string cookie = login.header("Set-Cookie").substr(0, login.header("Set-Cookie").find(';'));
    const HeaderList bySession = {{"Cookie", cookie}};
    const HeaderList byToken = {{"Authorization", "Bearer " + token}};
    struct S_Who
    {
        const HeaderList* headers;
        const char* authenticatedBy;
    };
    for (const S_Who& who : {S_Who{&bySession, "password"}, S_Who{&byToken, "api-token:ci"}})
    {
        const S_HttpResult session = client.request("GET", "/api/v1/session", {}, *who.headers);
        ASSERT_EQ(session.status, 200u) << session.body;
        const nlohmann::json data = nlohmann::json::parse(session.body)["data"];
        EXPECT_EQ(data["user"], "olga");
        EXPECT_EQ(data["role"], "operator");
        EXPECT_EQ(data["authenticatedBy"], who.authenticatedBy);
        const S_HttpResult clear = client.request("POST", "/api/v1/upgrades/history/clear", {}, *who.headers);
        EXPECT_EQ(clear.status, 403u);
        EXPECT_NE(clear.body.find("INSUFFICIENT_ROLE"), std::string::npos) << clear.body;
    }

    ASSERT_EQ(users({"role", "olga", "viewer"}).exitCode, 0);
    ASSERT_EQ(users({"revoke-token", "ci"}).exitCode, 0);
    EXPECT_TRUE(waitUntil([&]
                          { return client.request("GET", "/api/v1/session", {}, bySession).status == 401u; },
                          std::chrono::seconds(20)))
        << "the session of an account whose role changed stays open";
    EXPECT_TRUE(waitUntil([&]
                          { return client.request("GET", "/api/v1/session", {}, byToken).status == 401u; },
                          std::chrono::seconds(20)))
        << "a revoked token still opens the API";
    const S_HttpResult again =
        client.request("POST", "/api/v1/session", R"({"user":"olga","password":"olga's long password"})");
    ASSERT_EQ(again.status, 200u) << again.body;
    const std::string viewerCookie =
        again.header("Set-Cookie").substr(0, again.header("Set-Cookie").find(';'));
    EXPECT_EQ(client.request("POST", "/api/v1/devices/status-query", {}, {{"Cookie", viewerCookie}}).status,
              403u);

    service.sendSignal(SIGTERM);
    EXPECT_EQ(service.waitForExit(), 0) << service.standardError();
}

TEST(UsersProcess, UsageErrorsExitTwoAndTouchNothing)
{
    CTempDirectory directory;
    const auto config =
        directory.writeFile("ota-backend.json",
                            "{\"httpHost\":\"127.0.0.1\",\"httpPort\":1,\"deviceConcurrency\":4,"
                            "\"connectTimeoutMs\":1000,\"ackTimeoutMs\":1000,\"stageTimeoutMs\":1000,"
                            "\"flashTimeoutMs\":1000,\"restartTimeoutMs\":1000,\"chunkSize\":1024}");
    const std::vector<std::vector<std::string>> mistakes = {
        {},
        {"frobnicate"},
        {"add", "alice"},
        {"add", "alice", "--role", "king"},
        {"role", "alice"},
        {"list", "extra"},
        {"token", "alice", "--label", "a", "--label", "b"},
        {"disable", "alice", "--force"},
    };
    for (std::vector<std::string> words : mistakes)
    {
        words.insert(words.begin(), {"--config", config.string(), "users"});
        const S_ProcessResult result = runProcess(kUsersBackend, words);
        EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(words) << result.standardError;
        EXPECT_NE(result.standardError.find("[ERROR] "), std::string::npos);
        EXPECT_NE(result.standardOutput.find("users add <name> --role <role>"), std::string::npos);
    }
    EXPECT_EQ(runProcess(kUsersBackend, {"--config", config.string(), "users", "list"}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(directory / "upgrade-history.db"));
    EXPECT_EQ(runProcess(kUsersBackend, {"--config", config.string(), "users", "--help"}).exitCode, 0);
    EXPECT_EQ(runProcess(kUsersBackend, {"--verify-audit", "x.db", "users", "list"}).exitCode, 1);
}

}  // namespace
}  // namespace ota::test
