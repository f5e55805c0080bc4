#include "api/api_test_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <array>

namespace ota::test
{

namespace
{

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// Runs the started operation until it completes or the bound passes; on timeout the socket is
// closed so the operation ends, and false is returned.
bool runBounded(net::io_context& io, const bool& done, tcp::socket& socket, std::chrono::milliseconds bound)
{
    io.restart();
    io.run_for(bound);
    if (!done)
    {
        beast::error_code ignored;
        socket.close(ignored);
        io.restart();
        io.run();
    }
    return done;
}

tcp::endpoint loopback(std::uint16_t port)
{
    return tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port);
}

bool connectBounded(net::io_context& io, tcp::socket& socket, std::uint16_t port,
                    std::chrono::milliseconds bound, std::string& failure)
{
    bool done = false;
    beast::error_code result;
    socket.async_connect(loopback(port),
                         [&](beast::error_code error)
                         {
                             result = error;
                             done = true;
                         });
    if (!runBounded(io, done, socket, bound) || result)
    {
        failure = done ? "connect: " + result.message() : "connect timed out";
        return false;
    }
    return true;
}

// Reads and discards until the peer ends the connection; false when the bound passes first.
bool readUntilClosed(net::io_context& io, tcp::socket& socket, std::chrono::milliseconds bound)
{
    std::array<char, 65536> scratch{};
    bool closed = false;
    bool done = false;
    std::function<void()> readMore = [&]
    {
        socket.async_read_some(net::buffer(scratch),
                               [&](beast::error_code error, std::size_t)
                               {
                                   if (error)
                                   {
                                       closed = true;
                                       done = true;
                                       return;
                                   }
                                   readMore();
                               });
    };
    readMore();
    runBounded(io, done, socket, bound);
    return closed;
}

}  // namespace

struct CTestHttpClient::S_State
{
    net::io_context io;
    tcp::socket socket{io};
    beast::flat_buffer buffer;
    std::uint16_t port = 0;
    std::chrono::milliseconds bound{};
    bool connected = false;
};

CTestHttpClient::CTestHttpClient(std::uint16_t port, std::chrono::milliseconds bound)
    : m_state(std::make_unique<S_State>())
{
    m_state->port = port;
    m_state->bound = bound;
}

CTestHttpClient::~CTestHttpClient() = default;

bool CTestHttpClient::connect()
{
    beast::error_code ignored;
    m_state->socket.close(ignored);
    m_state->buffer.clear();
    std::string failure;
    m_state->connected = connectBounded(m_state->io, m_state->socket, m_state->port, m_state->bound, failure);
    return m_state->connected;
}

bool CTestHttpClient::sendRaw(const std::string& bytes)
{
    if (!m_state->connected && !connect())
    {
        return false;
    }
    bool done = false;
    beast::error_code result;
    net::async_write(m_state->socket, net::buffer(bytes),
                     [&](beast::error_code error, std::size_t)
                     {
                         result = error;
                         done = true;
                     });
    return runBounded(m_state->io, done, m_state->socket, m_state->bound) && !result;
}

S_HttpResult CTestHttpClient::request(const std::string& method, const std::string& target,
                                      const std::string& body, const HeaderList& headers)
{
    http::request<http::string_body> request;
    request.method_string(method);
    request.target(target);
    request.version(11);
    request.keep_alive(true);
    bool hostGiven = false;
    for (const auto& [name, value] : headers)
    {
        request.insert(name, value);
        hostGiven = hostGiven || beast::iequals(name, "Host");
    }
    if (!hostGiven)
    {
        request.set(http::field::host, "127.0.0.1:" + std::to_string(m_state->port));
    }
    request.body() = body;
    request.prepare_payload();
    if (!m_state->connected && !connect())
    {
        S_HttpResult failed;
        failed.failure = "connect failed";
        return failed;
    }
    bool done = false;
    beast::error_code result;
    http::async_write(m_state->socket, request,
                      [&](beast::error_code error, std::size_t)
                      {
                          result = error;
                          done = true;
                      });
    if (!runBounded(m_state->io, done, m_state->socket, m_state->bound) || result)
    {
        m_state->connected = false;
        S_HttpResult failed;
        failed.failure = "write failed: " + result.message();
        return failed;
    }
    return readResponse(method == "HEAD");
}

S_HttpResult CTestHttpClient::readResponse(bool headOnly)
{
    http::response_parser<http::string_body> parser;
    parser.skip(headOnly);
    parser.body_limit(64u * 1024u * 1024u);
    bool done = false;
    beast::error_code result;
    http::async_read(m_state->socket, m_state->buffer, parser,
                     [&](beast::error_code error, std::size_t)
                     {
                         result = error;
                         done = true;
                     });
    S_HttpResult answer;
    if (!runBounded(m_state->io, done, m_state->socket, m_state->bound) || result)
    {
        m_state->connected = false;
        answer.failure = done ? "read failed: " + result.message() : "read timed out";
        return answer;
    }
    const http::response<http::string_body>& response = parser.get();
    answer.received = true;
    answer.status = response.result_int();
    answer.contentType = std::string(response[http::field::content_type]);
    answer.allow = std::string(response[http::field::allow]);
    for (const auto& field : response)
    {
        answer.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    answer.keepAlive = response.keep_alive();
    answer.body = response.body();
    answer.json = nlohmann::json::parse(answer.body, nullptr, false);
    if (answer.json.is_discarded())
    {
        answer.json = nullptr;
    }
    if (!answer.keepAlive)
    {
        m_state->connected = false;
    }
    return answer;
}

bool CTestHttpClient::waitForServerClose()
{
    m_state->connected = false;
    return readUntilClosed(m_state->io, m_state->socket, m_state->bound);
}

struct CTestEventClient::S_State
{
    net::io_context io;
    websocket::stream<tcp::socket> ws{io};
    beast::flat_buffer buffer;
};

CTestEventClient::CTestEventClient(std::uint16_t port, std::chrono::milliseconds bound)
    : m_state(std::make_unique<S_State>()), m_port(port), m_bound(bound)
{
}

CTestEventClient::~CTestEventClient() = default;

bool CTestEventClient::connect(const std::string& target, const HeaderList& headers)
{
    tcp::socket& socket = m_state->ws.next_layer();
    beast::error_code error;
    socket.open(tcp::v4(), error);
    if (!error && m_smallReceiveBuffer)
    {
        socket.set_option(net::socket_base::receive_buffer_size(16384), error);
    }
    if (error)
    {
        m_failure = "socket: " + error.message();
        return false;
    }
    if (!connectBounded(m_state->io, socket, m_port, m_bound, m_failure))
    {
        return false;
    }
    m_state->ws.set_option(websocket::stream_base::decorator(
        [headers](websocket::request_type& request)
        {
            for (const auto& [name, value] : headers)
            {
                request.set(name, value);
            }
        }));
    m_state->ws.read_message_max(64u * 1024u * 1024u);
    websocket::response_type response;
    bool done = false;
    beast::error_code result;
    m_state->ws.async_handshake(response, "127.0.0.1:" + std::to_string(m_port), target,
                                [&](beast::error_code code)
                                {
                                    result = code;
                                    done = true;
                                });
    const bool finished = runBounded(m_state->io, done, socket, m_bound);
    m_handshakeStatus = response.result_int();
    if (!finished || result)
    {
        m_failure = finished ? "handshake: " + result.message() : "handshake timed out";
        return false;
    }
    return true;
}

bool CTestEventClient::read(std::string& message)
{
    bool done = false;
    beast::error_code result;
    m_state->ws.async_read(m_state->buffer,
                           [&](beast::error_code error, std::size_t)
                           {
                               result = error;
                               done = true;
                           });
    if (!runBounded(m_state->io, done, m_state->ws.next_layer(), m_bound) || result)
    {
        m_failure = done ? "read: " + result.message() : "read timed out";
        return false;
    }
    message = beast::buffers_to_string(m_state->buffer.data());
    m_state->buffer.consume(m_state->buffer.size());
    return true;
}

bool CTestEventClient::read(nlohmann::json& message)
{
    std::string text;
    if (!read(text))
    {
        return false;
    }
    message = nlohmann::json::parse(text, nullptr, false);
    return !message.is_discarded();
}

bool CTestEventClient::sendText(const std::string& text)
{
    bool done = false;
    beast::error_code result;
    m_state->ws.text(true);
    m_state->ws.async_write(net::buffer(text),
                            [&](beast::error_code error, std::size_t)
                            {
                                result = error;
                                done = true;
                            });
    return runBounded(m_state->io, done, m_state->ws.next_layer(), m_bound) && !result;
}

bool CTestEventClient::waitForServerClose()
{
    for (;;)
    {
        bool done = false;
        beast::error_code result;
        m_state->ws.async_read(m_state->buffer,
                               [&](beast::error_code error, std::size_t)
                               {
                                   result = error;
                                   done = true;
                               });
        if (!runBounded(m_state->io, done, m_state->ws.next_layer(), m_bound))
        {
            return false;
        }
        m_state->buffer.consume(m_state->buffer.size());
        if (result)
        {
            return true;
        }
    }
}

unsigned CTestEventClient::closeCode() const
{
    return m_state->ws.reason().code;
}

}  // namespace ota::test
