// The one route that takes its body streamed: the connection hands the body to the callback a
// piece at a time, checks the limit as the bytes come, and after the answer goes on with the next
// request or closes when the body was not read to its end.
#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "support/wait_until.h"

#include <atomic>
#include <memory>
#include <vector>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

constexpr std::uint64_t kLimit = 4u << 20;

class StreamedUploadTest : public ApiServerTest
{
protected:
    void SetUp() override
    {
        callbacks.firmwareStoreUploadLimit = kLimit;
        callbacks.firmwareStoreUpload =
            [broken = broken](const S_FirmwareUploadQuery& query, const RequestBodySource& body,
                              std::string& response, std::string& error, E_RouteRefusal& refusal)
        {
            if (query.name == "refused")
            {
                refusal = E_RouteRefusal::INVALID_QUERY;
                error = "refused before the body";
                return false;
            }
            const std::uint8_t* data = nullptr;
            std::uint64_t total = 0;
            std::ptrdiff_t count = 0;
            while ((count = body(data)) > 0)
            {
                total += static_cast<std::uint64_t>(count);
            }
            if (count < 0)
            {
                ++*broken;
                error = "the body broke off";
                return false;
            }
            response = json{{"name", query.name}, {"size", total}}.dump();
            return true;
        };
        startServer();
    }

    std::shared_ptr<std::atomic<int>> broken = std::make_shared<std::atomic<int>>(0);
};

std::string chunked(std::size_t size)
{
    std::string text;
    for (std::size_t sent = 0; sent < size; sent += 1 << 20)
    {
        const std::size_t piece = std::min<std::size_t>(1 << 20, size - sent);
        char length[32];
        std::snprintf(length, sizeof length, "%zx\r\n", piece);
        text += length + std::string(piece, 'c') + "\r\n";
    }
    return text + "0\r\n\r\n";
}

TEST_F(StreamedUploadTest, BodiesAreStreamedWithinTheLimitAndTheConnectionGoesOnOrCloses)
{
    const std::string head = "POST /api/v1/firmware/store?name=f.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    struct S_Case
    {
        std::string name;
        std::string request;
        unsigned status;
        bool keepAlive;
    };
    const std::vector<S_Case> cases = {
        {"whole body, declared", head + "Content-Length: 4194304\r\n\r\n" + std::string(kLimit, 'b'), 200,
         true},
        {"whole body, chunked", head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(3u << 20), 200, true},
        {"after 100-continue", head + "Expect: 100-continue\r\nContent-Length: 5\r\n\r\nbytes", 200, true},
        {"declared past the limit", head + "Content-Length: 4194305\r\n\r\n", 413, false},
        {"chunked past the limit", head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(kLimit + 1), 413,
         false},
        {"refused before the body",
         "POST /api/v1/firmware/store?name=refused HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
         "3\r\n\r\nabc",
         400, false},
    };
    for (const S_Case& row : cases)
    {
        CTestHttpClient client(port);
        ASSERT_TRUE(client.sendRaw(row.request)) << row.name;
        S_HttpResult answer = client.readResponse();
        if (answer.status == 100)
        {
            answer = client.readResponse();
        }
        EXPECT_EQ(answer.status, row.status) << row.name << answer.body;
        EXPECT_EQ(answer.keepAlive, row.keepAlive) << row.name;
        if (row.keepAlive)
        {
            // The body was read to its end: the next request on the connection is framed right.
            EXPECT_EQ(client.request("GET", "/api/v1/health").status, 200u) << row.name;
        }
        else
        {
            EXPECT_TRUE(client.waitForServerClose()) << row.name;
        }
    }

    // A client gone mid-body: the callback's read fails instead of waiting for ever.
    {
        CTestHttpClient client(port);
        ASSERT_TRUE(client.sendRaw(head + "Content-Length: 4194304\r\n\r\n" + std::string(1 << 20, 'x')));
    }
    EXPECT_TRUE(waitUntil([this] { return *broken >= 2; }));  // the chunked body past the limit, and this
}

}  // namespace
}  // namespace ota::test
