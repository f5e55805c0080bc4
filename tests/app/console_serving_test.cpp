// The operator console as the API server serves it: the compiled-in files byte for byte with
// their headers, the same Host/Origin checks and 404/405 answers as the API, and answers that do
// not wait behind a busy callback lane.

#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "app/console_assets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

namespace ota::test
{
namespace
{

using namespace std::chrono_literals;

std::string readSourceFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

const std::filesystem::path kConsoleDir = std::filesystem::path(OTA_SOURCE_DIR) / "console";

class ConsoleServingTest : public ApiServerTest
{
protected:
    void SetUp() override
    {
        callbacks.staticAssets = backend::findConsoleAsset;
        startServer();
    }
};

TEST_F(ConsoleServingTest, EveryConsoleFileIsServedAsItIsWithItsHeaders)
{
    CTestHttpClient client(port);
    const std::string host = "127.0.0.1:" + std::to_string(port);
    struct S_Case
    {
        std::string target;
        std::string file;
        std::string contentType;
    };
    std::vector<S_Case> cases = {
        {"/", "index.html", "text/html; charset=utf-8"},
        {"/?from=bookmark", "index.html", "text/html; charset=utf-8"},
    };
    for (const auto& entry : std::filesystem::directory_iterator(kConsoleDir))
    {
        const std::string name = entry.path().filename().string();
        const std::string type = name.ends_with(".js")     ? "text/javascript; charset=utf-8"
                                 : name.ends_with(".css")  ? "text/css; charset=utf-8"
                                 : name.ends_with(".html") ? "text/html; charset=utf-8"
                                 : name.ends_with(".svg")  ? "image/svg+xml; charset=utf-8"
                                                           : "";
        ASSERT_FALSE(type.empty()) << "a console file of a type the test does not know: " << name;
        cases.push_back({"/console/" + name, name, type});
    }
    ASSERT_GE(cases.size(), 6u);

    for (const S_Case& check : cases)
    {
        SCOPED_TRACE(check.target);
        const S_HttpResult answer = client.request("GET", check.target, {}, {{"Host", host}});
        ASSERT_TRUE(answer.received) << answer.failure;
        EXPECT_EQ(answer.status, 200u);
        EXPECT_EQ(answer.contentType, check.contentType);
        EXPECT_EQ(answer.body, readSourceFile(kConsoleDir / check.file));
        EXPECT_EQ(answer.header("Cache-Control"), "no-cache");
        EXPECT_EQ(answer.header("X-Content-Type-Options"), "nosniff");
        const std::string policy = answer.header("Content-Security-Policy");
        EXPECT_EQ(policy,
                  "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                  "connect-src 'self' ws://" +
                      host + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
        EXPECT_EQ(policy.find("unsafe"), std::string::npos);
        EXPECT_TRUE(answer.keepAlive);
    }
}

TEST_F(ConsoleServingTest, RefusalsAreTheApiOnes)
{
    CTestHttpClient client(port);
    struct S_Case
    {
        std::string method;
        std::string target;
        HeaderList headers;
        unsigned status;
        std::string code;
        std::string message;
        std::string allow;
    };
    const std::vector<S_Case> cases = {
        {"GET",
         "/console/missing.js",
         {},
         404,
         "NOT_FOUND",
         "No API route matches path /console/missing.js",
         ""},
        {"GET", "/console/", {}, 404, "NOT_FOUND", "No API route matches path /console/", ""},
        {"GET", "/index.html", {}, 404, "NOT_FOUND", "No API route matches path /index.html", ""},
        {"GET",
         "/console/../console/main.js",
         {},
         404,
         "NOT_FOUND",
         "No API route matches path /console/../console/main.js",
         ""},
        {"GET",
         "/",
         {{"Host", "ota.example.com"}},
         403,
         "FORBIDDEN_HOST",
         "Host header must name a loopback host (127.0.0.1, [::1] or localhost)",
         ""},
        {"GET",
         "/console/main.js",
         {{"Origin", "http://ota.example.com"}},
         403,
         "FORBIDDEN_ORIGIN",
         "Origin must be a loopback origin (127.0.0.1, [::1] or localhost)",
         ""},
        {"HEAD", "/", {}, 405, "METHOD_NOT_ALLOWED", "Method HEAD is not allowed for /", "GET"},
        {"POST",
         "/console/main.js",
         {},
         405,
         "METHOD_NOT_ALLOWED",
         "Method POST is not allowed for /console/main.js",
         "GET"},
    };
    for (const S_Case& check : cases)
    {
        SCOPED_TRACE(check.method + " " + check.target);
        S_HttpResult answer;
        if (check.method == "HEAD")
        {
            ASSERT_TRUE(client.sendRaw("HEAD " + check.target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
            answer = client.readResponse(true);
        }
        else
        {
            answer = client.request(check.method, check.target, {}, check.headers);
        }
        ASSERT_TRUE(answer.received) << answer.failure;
        EXPECT_EQ(answer.status, check.status);
        EXPECT_EQ(answer.contentType, "application/json; charset=utf-8");
        EXPECT_EQ(answer.allow, check.allow);
        if (check.method != "HEAD")
        {
            EXPECT_EQ(answer.json["error"]["code"], check.code);
            EXPECT_EQ(answer.json["error"]["message"], check.message);
        }
        EXPECT_TRUE(answer.header("Content-Security-Policy").empty());
    }

    // The API itself is untouched beside the console.
    const S_HttpResult health = client.request("GET", "/api/v1/health");
    ASSERT_TRUE(health.received) << health.failure;
    EXPECT_EQ(health.status, 200u);
    EXPECT_EQ(health.json["data"]["route"], "health");
}

// Files are answered by the I/O threads: a callback stuck on its lane holds up its own route only.
TEST_F(ConsoleServingTest, FilesDoNotWaitBehindABusyCallback)
{
    server->stop();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> enteredPromise;
    std::future<void> entered = enteredPromise.get_future();
    callbacks.health = [released, &enteredPromise](std::string& response, std::string&)
    {
        enteredPromise.set_value();
        released.wait_for(60s);
        response = "{}";
        return true;
    };
    startServer();

    CTestHttpClient busy(port);
    ASSERT_TRUE(busy.sendRaw("GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_EQ(entered.wait_for(20s), std::future_status::ready);

    CTestHttpClient browser(port);
    const S_HttpResult page = browser.request("GET", "/");
    release.set_value();
    ASSERT_TRUE(page.received) << page.failure;
    EXPECT_EQ(page.status, 200u);
    EXPECT_EQ(busy.readResponse().status, 200u);
}

TEST(ConsoleServingWithoutAssets, EveryOtherPathStaysNotFound)
{
    backend::CHttpApiServer server(ephemeralPortOptions());
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, echoCallbacks(), error)) << error;
    CTestHttpClient client(server.boundPort());
    for (const std::string target : {"/", "/console/main.js"})
    {
        const S_HttpResult answer = client.request("GET", target);
        ASSERT_TRUE(answer.received) << answer.failure;
        EXPECT_EQ(answer.status, 404u);
        EXPECT_EQ(answer.json["error"]["code"], "NOT_FOUND");
    }
    server.stop();
}

}  // namespace
}  // namespace ota::test
