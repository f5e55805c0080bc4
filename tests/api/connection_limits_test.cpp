// Connections that cannot lock the operator out: held-open connections and event streams up to
// every limit, then health, the operator's token and session still get through; the event stream's
// own limit; silent and trickling connections are closed once their header is late.
#include "api/access_control.h"
#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ota::test
{
namespace
{

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kLimitsToken = "limits-token-0123456789abcdefghijklmnopqrstuvwxyz";

// A header that announces a body: the request line, the headers given and a Content-Length.
std::string headerWithBody(const std::string& requestLine, const std::string& headers, std::size_t length)
{
    return requestLine + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
           "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

const std::string kUpgradeHeaders =
    "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// A plain socket that sends what it is told, when it is told.
class CRawSocket
{
public:
    explicit CRawSocket(std::uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected =
            m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~CRawSocket()
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
        }
    }
    CRawSocket(const CRawSocket&) = delete;
    CRawSocket& operator=(const CRawSocket&) = delete;

    bool connected() const { return m_connected; }
    bool send(const std::string& bytes)
    {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // True when the peer ends the connection within the bound (what it sends first is skipped).
    bool waitForClose(std::chrono::milliseconds bound)
    {
        const auto deadline = Clock::now() + bound;
        char scratch[4096];
        while (Clock::now() < deadline)
        {
            pollfd entry{m_fd, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 1))) > 0)
            {
                const ssize_t count = ::recv(m_fd, scratch, sizeof(scratch), 0);
                if (count <= 0)
                {
                    return true;
                }
            }
        }
        return false;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

class ConnectionLimitsTest : public ApiServerTest
{
protected:
    void startWithAccess(backend::S_HttpApiServerOptions options)
    {
        callbacks.accessControl = std::make_shared<backend::CApiAccessControl>(kLimitsToken);
        startServer(options);
    }

    std::string login()
    {
        CTestHttpClient client(port);
        const S_HttpResult result =
            client.request("POST", "/api/v1/session", json{{"token", kLimitsToken}}.dump());
        EXPECT_EQ(result.status, 200u);
        const std::string cookie = result.header("Set-Cookie");
        return cookie.substr(0, cookie.find(';'));
    }
};

TEST_F(ConnectionLimitsTest, HealthAndTheOperatorGetThroughEveryHeldOpenConnection)
{
    backend::S_HttpApiServerOptions options = ephemeralPortOptions();
    // The crowd must outlast the test: only eviction may close a silent reserve connection here.
    options.headerTimeout = std::chrono::minutes(5);
    options.reserveHeaderTimeout = std::chrono::minutes(5);
    startWithAccess(options);
    const std::string cookie = login();

    // Every ordinary place taken by a silent connection, every event-stream place by a stream.
    std::vector<std::unique_ptr<CRawSocket>> crowd;
    for (std::size_t index = 0; index < options.maxConnections; ++index)
    {
        crowd.push_back(std::make_unique<CRawSocket>(port));
        ASSERT_TRUE(crowd.back()->connected()) << index;
    }
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == options.maxConnections; }))
        << server->connectionCount();
    std::vector<std::unique_ptr<CTestEventClient>> streams;
    for (std::size_t index = 0; index < options.maxEventStreams; ++index)
    {
        streams.push_back(std::make_unique<CTestEventClient>(port));
        ASSERT_TRUE(streams.back()->connect("/api/v1/events", {{"Cookie", cookie}}))
            << index << streams.back()->failure();
    }
    ASSERT_TRUE(waitUntil([&] { return server->eventClientCount() == options.maxEventStreams; }));

    // One stream more is refused before the upgrade, with the API's envelope.
    CTestHttpClient extraStream(port);
    ASSERT_TRUE(
        extraStream.sendRaw("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\n"
                            "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nAuthorization: Bearer " +
                            kLimitsToken + "\r\n\r\n"));
    const S_HttpResult refusedStream = extraStream.readResponse();
    EXPECT_EQ(refusedStream.status, 503u) << refusedStream.body;
    EXPECT_EQ(refusedStream.json["error"]["code"], "EVENT_STREAM_LIMIT");

    // Health, the token and the session are served; an anonymous request is turned away.
    EXPECT_EQ(CTestHttpClient(port).request("GET", "/api/v1/health").status, 200u);
    EXPECT_EQ(CTestHttpClient(port)
                  .request("GET", "/api/v1/workspace", "", {{"Authorization", "Bearer " + kLimitsToken}})
                  .status,
              200u);
    EXPECT_EQ(
        CTestHttpClient(port).request("POST", "/api/v1/devices/reconnect", "", {{"Cookie", cookie}}).status,
        202u);
    const S_HttpResult anonymous = CTestHttpClient(port).request("GET", "/api/v1/workspace");
    EXPECT_EQ(anonymous.status, 503u) << anonymous.body;
    EXPECT_EQ(anonymous.json["error"]["code"], "SERVICE_BUSY");
    EXPECT_EQ(CTestHttpClient(port)
                  .request("GET", "/api/v1/workspace", "", {{"Authorization", "Bearer wrong"}})
                  .status,
              503u)
        << "a wrong token is no operator";

    // Silent newcomers fill the reserve too; each pushes out the one that waited longest, so the
    // operator still gets a place.
    std::vector<std::unique_ptr<CRawSocket>> silent;
    for (std::size_t index = 0; index < options.reserveConnections + 4; ++index)
    {
        silent.push_back(std::make_unique<CRawSocket>(port));
    }
    EXPECT_TRUE(silent.front()->waitForClose(std::chrono::seconds(20))) << "the oldest silent one made room";
    EXPECT_EQ(CTestHttpClient(port).request("GET", "/api/v1/health").status, 200u);
    EXPECT_EQ(CTestHttpClient(port).request("GET", "/api/v1/workspace", "", {{"Cookie", cookie}}).status,
              200u);

    // Once an ordinary place is free, anyone is served again.
    silent.clear();
    crowd.pop_back();
    EXPECT_TRUE(waitUntil([&] { return server->connectionCount() < options.maxConnections; }))
        << server->connectionCount();
    EXPECT_TRUE(
        waitUntil([&] { return CTestHttpClient(port).request("GET", "/api/v1/workspace").status == 401u; }))
        << "an anonymous request reaches the access check again";
}

TEST_F(ConnectionLimitsTest, WithoutAccessControlTheReserveServesHealthOnly)
{
    backend::S_HttpApiServerOptions options = ephemeralPortOptions();
    options.maxConnections = 4;
    startServer(options);
    std::vector<std::unique_ptr<CRawSocket>> crowd;
    for (std::size_t index = 0; index < options.maxConnections; ++index)
    {
        crowd.push_back(std::make_unique<CRawSocket>(port));
    }
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == options.maxConnections; }));
    EXPECT_EQ(CTestHttpClient(port).request("GET", "/api/v1/health").status, 200u);
    const S_HttpResult other = CTestHttpClient(port).request("POST", "/api/v1/devices/reconnect");
    EXPECT_EQ(other.status, 503u) << other.body;
    EXPECT_EQ(other.json["error"]["code"], "SERVICE_BUSY");
    // Without access control anyone is the operator; a body on a reserve place is still capped.
    CTestHttpClient large(port);
    ASSERT_TRUE(large.sendRaw(headerWithBody("GET /api/v1/health", "", 2000000)));
    const S_HttpResult tooLarge = large.readResponse();
    EXPECT_EQ(tooLarge.status, 413u) << tooLarge.failure << tooLarge.body;
    EXPECT_EQ(tooLarge.json["error"]["message"], "Request body exceeds 1048576 bytes");
    // Event streams have places of their own.
    CTestEventClient stream(port);
    EXPECT_TRUE(stream.connect()) << stream.failure();
}

// On a reserve place a request that sends a body must carry the operator's credentials, keep its
// body within 1 MiB and be whole within the reserve deadline; anything else is refused (or cut off)
// and its place given back, while the operator's small requests are served.
TEST_F(ConnectionLimitsTest, AReservePlaceHoldsABodyOnlyForTheOperatorAndOnlyBriefly)
{
    backend::S_HttpApiServerOptions options = ephemeralPortOptions();
    options.maxConnections = 2;
    // Only the reserve deadline may end a trickled body here.
    options.requestTimeout = std::chrono::minutes(5);
    options.headerTimeout = std::chrono::minutes(5);
    options.reserveHeaderTimeout = std::chrono::minutes(5);
    options.reserveRequestTimeout = std::chrono::milliseconds(1500);
    startWithAccess(options);
    std::vector<std::unique_ptr<CRawSocket>> crowd;
    for (std::size_t index = 0; index < options.maxConnections; ++index)
    {
        crowd.push_back(std::make_unique<CRawSocket>(port));
    }
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == options.maxConnections; }));

    const std::string token = "Authorization: Bearer " + kLimitsToken + "\r\n";
    struct S_Case
    {
        const char* name;
        std::string header;
        std::string body;
        unsigned status;  // 0: closed without an answer (the deadline passed)
        const char* code;
    };
    const S_Case cases[] = {
        {"anonymous health with a 16 MB body", headerWithBody("GET /api/v1/health", "", 16000000), "x", 413,
         "REQUEST_TOO_LARGE"},
        {"anonymous health with a small body", headerWithBody("GET /api/v1/health", "", 1000), "x", 503,
         "SERVICE_BUSY"},
        {"anonymous stream upgrade with a body", headerWithBody("GET /api/v1/events", kUpgradeHeaders, 1000),
         "x", 503, "SERVICE_BUSY"},
        {"the operator with a body over 1 MiB",
         headerWithBody("POST /api/v1/devices/reconnect", token, 2000000), "x", 413, "REQUEST_TOO_LARGE"},
        {"the operator trickling a body", headerWithBody("POST /api/v1/devices/reconnect", token, 1000), "x",
         0, ""},
        {"the operator with a whole body", headerWithBody("POST /api/v1/devices/reconnect", token, 2), "{}",
         202, ""},
    };
    for (const S_Case& item : cases)
    {
        CTestHttpClient client(port);
        if (item.status == 0)
        {
            // A byte now and then, never the whole body: the place is taken back at the deadline.
            CRawSocket trickle(port);
            ASSERT_TRUE(trickle.send(item.header + item.body)) << item.name;
            const auto started = Clock::now();
            bool closed = false;
            while (!closed && Clock::now() - started < std::chrono::seconds(20))
            {
                // The wait for the close is also the pace of the trickle.
                closed = !trickle.send("x") || trickle.waitForClose(std::chrono::milliseconds(100));
            }
            EXPECT_TRUE(closed) << item.name;
        }
        else
        {
            ASSERT_TRUE(client.sendRaw(item.header + item.body)) << item.name;
            const S_HttpResult result = client.readResponse();
            EXPECT_EQ(result.status, item.status) << item.name << ": " << result.failure << result.body;
            if (*item.code != '\0')
            {
                EXPECT_EQ(result.json["error"]["code"], item.code) << item.name;
            }
        }
        // The place is free again while the client still holds its end of the connection.
        EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == options.maxConnections; }))
            << item.name << ": " << server->connectionCount();
    }
}

// A request header trickled in byte by byte is cut off once the header timeout has passed; a
// header that arrives in time is served however slowly it came.
TEST_F(ConnectionLimitsTest, AHeaderThatIsNotCompleteInTimeEndsTheConnection)
{
    backend::S_HttpApiServerOptions options = ephemeralPortOptions();
    options.headerTimeout = std::chrono::milliseconds(1500);
    startServer(options);

    const std::string request =
        "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(200, 'z') + "\r\n\r\n";
    // Taken before the connect: the server's header timer starts when it accepts, which may come
    // before the connect call returns here.
    const auto started = Clock::now();
    CRawSocket trickle(port);
    ASSERT_TRUE(trickle.connected());
    bool closed = false;
    for (std::size_t index = 0; index < request.size() && !closed; ++index)
    {
        // The wait for the close is also the pace of the trickle.
        closed =
            !trickle.send(request.substr(index, 1)) || trickle.waitForClose(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(closed) << "the whole header was trickled in without the server closing";
    EXPECT_GE(Clock::now() - started, options.headerTimeout);

    CRawSocket idle(port);
    ASSERT_TRUE(idle.connected());
    EXPECT_TRUE(idle.waitForClose(std::chrono::seconds(20)));

    CTestHttpClient slowButInTime(port);
    ASSERT_TRUE(slowButInTime.sendRaw("GET /api/v1/health HTTP/1.1\r\n"));
    ASSERT_TRUE(slowButInTime.sendRaw("Host: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(slowButInTime.readResponse().status, 200u);
}

}  // namespace
}  // namespace ota::test
