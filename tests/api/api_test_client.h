#pragma once

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ota::test
{

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct S_HttpResult
{
    bool received = false;  // false: connection failed, closed or timed out before an answer
    std::string failure;
    unsigned status = 0;
    std::string contentType;
    std::string allow;
    HeaderList headers;  // every header as received
    bool keepAlive = false;
    std::string body;
    nlohmann::json json;  // the body parsed; null when it is not JSON

    // The first header of that name (any letter case), or empty.
    std::string header(const std::string& name) const
    {
        for (const auto& [key, value] : headers)
        {
            if (key.size() == name.size() &&
                std::equal(key.begin(), key.end(), name.begin(),
                           [](char a, char b) {
                               return std::tolower(static_cast<unsigned char>(a)) ==
                                      std::tolower(static_cast<unsigned char>(b));
                           }))
            {
                return value;
            }
        }
        return {};
    }
};

// A blocking HTTP/1.1 client over one keep-alive connection to 127.0.0.1; every wait is bounded.
class CTestHttpClient
{
public:
    explicit CTestHttpClient(std::uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(20));
    ~CTestHttpClient();
    CTestHttpClient(const CTestHttpClient&) = delete;
    CTestHttpClient& operator=(const CTestHttpClient&) = delete;

    // Connects on first use and again after the server closed the connection. A Host header of
    // "127.0.0.1:<port>" is added unless headers name one.
    S_HttpResult request(const std::string& method, const std::string& target, const std::string& body = {},
                         const HeaderList& headers = {});

    bool connect();
    bool sendRaw(const std::string& bytes);
    // headOnly: the answer to a HEAD request, which has no body whatever its Content-Length says.
    S_HttpResult readResponse(bool headOnly = false);
    // True when the server closes the connection within the bound (bytes it still sends are skipped).
    bool waitForServerClose();

private:
    struct S_State;
    std::unique_ptr<S_State> m_state;
};

// A blocking WebSocket client of the event stream.
class CTestEventClient
{
public:
    explicit CTestEventClient(std::uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(20));
    ~CTestEventClient();
    CTestEventClient(const CTestEventClient&) = delete;
    CTestEventClient& operator=(const CTestEventClient&) = delete;

    // Shrinks the socket's receive buffer before connecting, so a client that stops reading
    // backs up the server sooner.
    void useSmallReceiveBuffer() { m_smallReceiveBuffer = true; }

    // Handshake; on false failure() says why and handshakeStatus() holds the HTTP status, if any.
    bool connect(const std::string& target = "/api/v1/events", const HeaderList& headers = {});
    unsigned handshakeStatus() const { return m_handshakeStatus; }
    const std::string& failure() const { return m_failure; }

    // One text message within the bound; false on timeout or close.
    bool read(std::string& message);
    bool read(nlohmann::json& message);
    bool sendText(const std::string& text);
    // True when the server ends the stream within the bound.
    bool waitForServerClose();
    // The code of the close frame the server ended the stream with; 0 when none came.
    unsigned closeCode() const;

private:
    struct S_State;
    std::unique_ptr<S_State> m_state;
    std::uint16_t m_port;
    std::chrono::milliseconds m_bound;
    bool m_smallReceiveBuffer = false;
    unsigned m_handshakeStatus = 0;
    std::string m_failure;
};

}  // namespace ota::test
