#include "api/http_session.h"

#include "api/event_session.h"
#include "api/http_request_view.h"
#include "api/peer_address.h"
#include "api/streamed_body.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ota::backend
{

namespace
{

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;

// After an answer that ends the connection the peer may still be sending (a body over the
// limit); reading on for a moment keeps the kernel from resetting the connection before the
// peer has read the answer.
constexpr std::chrono::milliseconds kLingerBound{2000};

// A streamed body is read in pieces of this size, at most this many waiting for the callback:
// the memory a request of any size holds stays this small.
constexpr std::size_t kStreamPieceBytes = 256 * 1024;
constexpr std::size_t kStreamQueuedPieces = 2;
constexpr std::size_t kStreamReadBytes = 64 * 1024;

class CHttpSession final : public ISessionControl, public std::enable_shared_from_this<CHttpSession>
{
public:
    CHttpSession(net::ip::tcp::socket&& socket, std::shared_ptr<const S_SessionContext> context)
        : m_stream(std::move(socket)),
          m_context(std::move(context)),
          m_client(peerAddressOf(m_stream.socket()))
    {
    }

    void setKind(E_SessionKind kind) { m_kind = kind; }

    ~CHttpSession() override
    {
        if (m_streamedBody)
        {
            m_streamedBody->fail(E_StreamedBodyFault::BROKEN);
        }
        m_context->registry->remove(this);
    }

    void start()
    {
        net::dispatch(m_stream.get_executor(), [self = shared_from_this()] { self->readRequest(); });
    }

    void shutdown() override
    {
        net::post(m_stream.get_executor(),
                  [self = shared_from_this()]
                  {
                      self->m_closing = true;
                      self->closeSocket();
                  });
    }

private:
    void readRequest()
    {
        if (m_closing)
        {
            return;
        }
        m_parser.emplace();
        if (m_streamParser)
        {
            m_streamParser.reset();
            m_streamedBody.reset();
            m_directRemaining.reset();
        }
        if (m_bufferGrown)
        {
            m_bufferGrown = false;
            m_buffer.shrink_to_fit();  // an idle connection keeps only what a header needs
        }
        m_limitInForce = bodyLimit();
        // Which limit applies is known once the target is: the header is read without one, and a
        // declared length is checked against it right after.
        m_parser->body_limit(m_kind == E_SessionKind::RESERVE ? boost::optional<std::uint64_t>(bodyLimit())
                                                              : boost::optional<std::uint64_t>());
        m_parser->header_limit(S_SessionContext::kMaxHeaderBytes);
        m_requestStartedAt = std::chrono::steady_clock::now();
        // A connection that has not sent a whole request header in time is closed, whether it
        // idles or trickles; a reserve place is held even more briefly.
        const std::chrono::milliseconds headerTimeout =
            m_kind == E_SessionKind::RESERVE ? m_context->reserveHeaderTimeout : m_context->headerTimeout;
        m_stream.expires_after(std::min(headerTimeout, m_context->requestTimeout));
        http::async_read_header(m_stream, m_buffer, *m_parser,
                                beast::bind_front_handler(&CHttpSession::onHeader, shared_from_this()));
    }

    // A client that announced its body with "Expect: 100-continue" waits for the interim answer
    // before sending it; a body too large for the limit has been refused by the parser already.
    void onHeader(beast::error_code error, std::size_t bytes)
    {
        if (!error && m_kind == E_SessionKind::RESERVE && !admitUnderLoad())
        {
            return;
        }
        if (!error && m_kind != E_SessionKind::RESERVE)
        {
            const S_HttpRequestView view = requestViewOf(m_parser->get(), m_client, false);
            if (const std::optional<std::uint64_t> limit = m_context->router->streamedBodyLimit(view))
            {
                startStreamedRequest(*limit);
                return;
            }
            if (m_parser->content_length().value_or(0) > bodyLimit())
            {
                rejectUnreadable(http::error::body_limit);
                return;
            }
            m_parser->body_limit(bodyLimit());
            if (m_parser->content_length().value_or(0) > kStreamReadBytes)
            {
                growReadBuffer();
            }
        }
        if (error || m_parser->is_done())
        {
            onRead(error, bytes);
            return;
        }
        if (m_kind == E_SessionKind::RESERVE)
        {
            // The operator's request on a reserve place is small: its body must be in within the
            // reserve deadline, counted from the start of the request so a slow header uses it up too.
            m_stream.expires_at(m_requestStartedAt +
                                std::min(m_context->reserveRequestTimeout, m_context->requestTimeout));
        }
        else
        {
            m_stream.expires_after(m_context->requestTimeout);
        }
        if (beast::iequals(m_parser->get()[http::field::expect], "100-continue"))
        {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(m_stream, net::buffer(kContinue),
                             [self = shared_from_this()](beast::error_code writeError, std::size_t)
                             {
                                 if (writeError || self->m_closing)
                                 {
                                     self->closeSocket();
                                     return;
                                 }
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    // A connection beyond the connection limit serves one request of an operator with a valid
    // token or session, or a health check; anything else is refused with 503 and the connection
    // closed, its place given back at once.
    bool admitUnderLoad()
    {
        m_context->registry->markHeaderReceived(this);
        S_HttpRequestView view = requestViewOf(m_parser->get(), m_client, false);
        // The parser is done after the header exactly when no body follows.
        if (m_context->router->servesUnderLoad(view, beast::websocket::is_upgrade(m_parser->get()),
                                               !m_parser->is_done()))
        {
            return true;
        }
        const unsigned version = m_parser->get().version();
        S_HttpReply reply = rejectRequest(
            view.method, CApiRouter::pathOf(view.target), 503, "SERVICE_BUSY",
            "Connection limit reached: only health checks and authenticated operators are served now");
        reply.closeConnection = true;
        handleDispatch(m_context->router->refuse(view, std::move(reply)), version, false, false);
        return false;
    }

    // The one route that takes its body streamed: the same checks as any request (access, caller,
    // the audit entry before the callback) run on the header alone, before a byte of the body is
    // read; then the callback runs on its lane while the body is read here, a piece at a time.
    void startStreamedRequest(std::uint64_t limit)
    {
        m_limitInForce = limit;
        m_streamParser.emplace(std::move(*m_parser));
        m_streamParser->body_limit(limit);
        http::request<http::buffer_body>& request = m_streamParser->get();
        const unsigned version = request.version();
        CApiRouter::Dispatch dispatch = m_context->router->dispatch(requestHeaderViewOf(request, m_client));
        CApiRouter::S_RouteCall* call = std::get_if<CApiRouter::S_RouteCall>(&dispatch);
        if (call == nullptr || call->refusal)
        {
            handleDispatch(std::move(dispatch), version, false, false);
            return;
        }
        if (m_streamParser->content_length().value_or(0) > limit)
        {
            rejectUnreadable(http::error::body_limit);
            return;
        }
        if (!m_streamParser->chunked() && !m_streamParser->is_done())
        {
            m_directRemaining = m_streamParser->content_length().value_or(0);
        }
        m_stream.expires_after(m_context->requestTimeout);
        growReadBuffer();
        const std::weak_ptr<CHttpSession> weak = weak_from_this();
        m_streamedBody = std::make_shared<CStreamedBody>(
            kStreamQueuedPieces,
            [weak, executor = m_stream.get_executor()]
            {
                net::post(executor,
                          [weak]
                          {
                              if (const std::shared_ptr<CHttpSession> self = weak.lock())
                              {
                                  self->readPiece();
                              }
                          });
            });
        call->request.stream = m_streamedBody.get();
        const bool keepAlive = request.keep_alive();
        auto begin = [self = shared_from_this(), call = std::move(*call), version, keepAlive]
        {
            self->runOnLane(call, version, keepAlive, false);
            self->readPiece();
        };
        if (!beast::iequals(request[http::field::expect], "100-continue"))
        {
            begin();
            return;
        }
        static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        net::async_write(
            m_stream, net::buffer(kContinue),
            [self = shared_from_this(), begin = std::move(begin)](beast::error_code writeError, std::size_t)
            {
                if (writeError || self->m_closing)
                {
                    self->closeSocket();
                    return;
                }
                begin();
            });
    }

    void readPiece()
    {
        if (!m_streamedBody || m_pieceReading)
        {
            return;
        }
        if (m_closing)
        {
            m_streamedBody->fail(E_StreamedBodyFault::BROKEN);
            return;
        }
        if (m_directRemaining)
        {
            readDirectPiece();
            return;
        }
        if (m_streamParser->is_done())
        {
            m_streamedBody->end();
            return;
        }
        m_piece = m_streamedBody->spare();
        m_piece.resize(kStreamPieceBytes);
        http::buffer_body::value_type& body = m_streamParser->get().body();
        body.data = m_piece.data();
        body.size = m_piece.size();
        body.more = true;
        m_pieceReading = true;
        // A client that stops sending is dropped; one the disk slows down is not read from, so it
        // is not timed out meanwhile.
        m_stream.expires_after(m_context->requestTimeout);
        http::async_read(m_stream, m_buffer, *m_streamParser,
                         beast::bind_front_handler(&CHttpSession::onPiece, shared_from_this()));
    }

    void onPiece(beast::error_code error, std::size_t)
    {
        m_pieceReading = false;
        if (m_drainAfterPiece)
        {
            // The answer went out while this piece was read: the rest of the body is not wanted.
            m_drainAfterPiece = false;
            drain();
            return;
        }
        if (error == http::error::need_buffer)
        {
            error = {};
        }
        if (error)
        {
            m_streamedBody->fail(error == http::error::body_limit ? E_StreamedBodyFault::TOO_LARGE
                                                                  : E_StreamedBodyFault::BROKEN);
            return;
        }
        m_piece.resize(m_piece.size() - m_streamParser->get().body().size);
        const bool readOn = m_streamedBody->supply(std::move(m_piece));
        if (m_streamParser->is_done())
        {
            m_streamedBody->end();
            return;
        }
        if (readOn)
        {
            readPiece();
        }
    }

    // A body of a declared length goes straight from the socket into the pieces: the parser
    // would copy every byte once more, and framing a declared length needs no parser.
    void readDirectPiece()
    {
        if (*m_directRemaining == 0)
        {
            m_streamedBody->end();
            return;
        }
        m_pieceWant =
            static_cast<std::size_t>(std::min<std::uint64_t>(kStreamPieceBytes, *m_directRemaining));
        m_piece = m_streamedBody->spare();
        if (m_piece.size() < m_pieceWant)
        {
            m_piece.resize(kStreamPieceBytes);
        }
        // What the header's read took in already comes first.
        const std::size_t buffered = std::min(m_buffer.size(), m_pieceWant);
        net::buffer_copy(net::buffer(m_piece.data(), buffered), m_buffer.data());
        m_buffer.consume(buffered);
        m_pieceReading = true;
        m_stream.expires_after(m_context->requestTimeout);
        net::async_read(m_stream, net::buffer(m_piece.data() + buffered, m_pieceWant - buffered),
                        beast::bind_front_handler(&CHttpSession::onDirectPiece, shared_from_this()));
    }

    void onDirectPiece(beast::error_code error, std::size_t)
    {
        m_pieceReading = false;
        if (m_drainAfterPiece)
        {
            m_drainAfterPiece = false;
            drain();
            return;
        }
        if (error)
        {
            m_streamedBody->fail(E_StreamedBodyFault::BROKEN);
            return;
        }
        *m_directRemaining -= m_pieceWant;
        m_piece.resize(m_pieceWant);
        const bool readOn = m_streamedBody->supply(std::move(m_piece));
        if (*m_directRemaining == 0)
        {
            m_streamedBody->end();
            return;
        }
        if (readOn)
        {
            readDirectPiece();
        }
    }

    void readBody()
    {
        http::async_read(m_stream, m_buffer, *m_parser,
                         beast::bind_front_handler(&CHttpSession::onRead, shared_from_this()));
    }

    void onRead(beast::error_code error, std::size_t)
    {
        if (m_closing || error == http::error::end_of_stream || error == net::error::operation_aborted)
        {
            closeSocket();
            return;
        }
        if (error)
        {
            rejectUnreadable(error);
            return;
        }
        http::request<http::string_body>& request = m_parser->get();
        const S_HttpRequestView view = requestViewOf(request, m_client, true);

        if (beast::websocket::is_upgrade(request))
        {
            std::string session;
            if (std::optional<S_HttpReply> refusal =
                    m_context->router->checkEventStreamUpgrade(view, session))
            {
                writeReply(std::move(*refusal), request.version(), false);
                return;
            }
            // The event stream has places of its own, so held-open streams never take the
            // places of API requests.
            if (!m_context->registry->reserveEventSlot())
            {
                S_HttpReply reply =
                    rejectRequest(view.method, CApiRouter::pathOf(view.target), 503, "EVENT_STREAM_LIMIT",
                                  "Event stream client limit reached (" +
                                      std::to_string(m_context->maxEventStreams) + " clients)");
                reply.closeConnection = true;
                writeReply(std::move(reply), request.version(), false);
                return;
            }
            countAnswer(101);
            m_stream.expires_never();
            startEventSession(std::move(m_stream), m_parser->release(), m_context, std::move(session));
            return;
        }
        // A reserve place is given back after one answer.
        const bool keepAlive = request.keep_alive() && m_kind != E_SessionKind::RESERVE;
        handleDispatch(m_context->router->dispatch(view), request.version(), keepAlive,
                       request.method() == http::verb::head);
    }

    void handleDispatch(CApiRouter::Dispatch dispatch, unsigned version, bool keepAlive, bool headOnly)
    {
        if (S_HttpReply* reply = std::get_if<S_HttpReply>(&dispatch))
        {
            writeReply(std::move(*reply), version, keepAlive, headOnly);
            return;
        }
        runOnLane(std::get<CApiRouter::S_RouteCall>(dispatch), version, keepAlive, headOnly);
    }

    // The callback runs on its lane, never on this I/O thread; the answer comes back to the
    // connection's strand. Until then nothing reads on, so the request the call points into stays.
    void runOnLane(const CApiRouter::S_RouteCall& call, unsigned version, bool keepAlive, bool headOnly)
    {
        auto job = [self = shared_from_this(), executor = m_stream.get_executor(), call, version, keepAlive,
                    headOnly]() mutable
        {
            std::optional<S_HttpReply> reply;
            try
            {
                reply = self->m_context->router->invoke(call);
            }
            catch (...)
            {
                // The adapters turn every callback fault into an answer; what is left (memory
                // exhausted) ends the connection instead.
            }
            net::post(executor, [self = std::move(self), reply = std::move(reply), version, keepAlive,
                                 headOnly]() mutable
                      { self->onCallbackDone(std::move(reply), version, keepAlive, headOnly); });
        };
        if (!m_context->lanes->submit(call.lane, std::move(job)))
        {
            closeSocket();  // the server is stopping
        }
    }

    void onCallbackDone(std::optional<S_HttpReply> reply, unsigned version, bool keepAlive, bool headOnly)
    {
        if (m_streamedBody && !m_streamedBody->isComplete())
        {
            // Answered before the whole body was read (refused, or it broke off): the rest of it
            // is not read as a next request.
            m_streamedBody->abandon();
            keepAlive = false;
        }
        if (m_closing || !reply)
        {
            if (m_streamedBody)
            {
                m_streamedBody->fail(E_StreamedBodyFault::BROKEN);
            }
            closeSocket();
            return;
        }
        writeReply(std::move(*reply), version, keepAlive, headOnly);
    }

    // A request that could not be read whole: size limits, malformed HTTP, timeout, broken socket.
    void rejectUnreadable(beast::error_code error)
    {
        const http::request_header<>* header = requestHeader();
        const bool headerDone = header != nullptr;
        const std::string method = headerDone ? std::string(header->method_string()) : "-";
        const std::string path = headerDone ? std::string(CApiRouter::pathOf(header->target())) : "-";
        const unsigned version = headerDone ? header->version() : 11;
        // A refusal of a request to a POST route is recorded like any other.
        const auto reject = [&](unsigned status, std::string_view code, const std::string& message)
        {
            S_HttpReply reply = rejectRequest(method, path, status, code, message);
            if (!headerDone)
            {
                writeReply(std::move(reply), version, false);
                return;
            }
            handleDispatch(
                m_context->router->refuse(requestHeaderViewOf(*header, m_client), std::move(reply)), version,
                false, false);
        };

        if (error == http::error::body_limit)
        {
            reject(413, "REQUEST_TOO_LARGE",
                   "Request body exceeds " + std::to_string(m_limitInForce) + " bytes");
            return;
        }
        if (error == http::error::header_limit)
        {
            reject(431, "REQUEST_HEADER_TOO_LARGE",
                   "Request header exceeds " + std::to_string(S_SessionContext::kMaxHeaderBytes) + " bytes");
            return;
        }
        if (error.category() == http::make_error_code(http::error::bad_method).category() &&
            error != http::error::partial_message)
        {
            reject(400, "INVALID_HTTP_REQUEST", "Malformed HTTP request: " + error.message());
            return;
        }
        // A timeout (tcp_stream has closed the socket already: the client idled or was too slow)
        // or a broken connection just ends the session.
        closeSocket();
    }

    // Counts an answer under the route its request was for (its header is read, or "other").
    void countAnswer(unsigned status)
    {
        if (!m_context->requestCounter)
        {
            return;
        }
        const http::request_header<>* header = requestHeader();
        const std::string_view route = header != nullptr
                                           ? m_context->router->routeOf(CApiRouter::pathOf(header->target()))
                                           : std::string_view();
        m_context->requestCounter->count(route, status);
    }

    void writeReply(S_HttpReply reply, unsigned version, bool keepAlive, bool headOnly = false)
    {
        countAnswer(reply.status);
        m_response.emplace();
        m_response->version(version);
        m_response->result(reply.status);
        m_response->set(http::field::content_type, reply.contentType.empty()
                                                       ? std::string_view("application/json; charset=utf-8")
                                                       : reply.contentType);
        if (!reply.allow.empty())
        {
            m_response->set(http::field::allow, reply.allow);
        }
        for (const auto& [name, value] : reply.headers)
        {
            m_response->set(name, value);
        }
        m_response->keep_alive(keepAlive && !reply.closeConnection);
        m_response->body() = std::move(reply.body);
        m_response->prepare_payload();
        if (headOnly)
        {
            m_response->body().clear();  // the answer to HEAD keeps its Content-Length but carries no body
        }
        m_stream.expires_after(m_context->requestTimeout);
        http::async_write(m_stream, *m_response,
                          beast::bind_front_handler(&CHttpSession::onWrite, shared_from_this()));
    }

    void onWrite(beast::error_code error, std::size_t)
    {
        const bool keepAlive = m_response->keep_alive();
        m_response.reset();
        if (error || m_closing)
        {
            closeSocket();
            return;
        }
        if (!keepAlive)
        {
            lingerClose();
            return;
        }
        readRequest();
    }

    void lingerClose()
    {
        // A reserve place serves one request; whatever the peer still sends must not hold it.
        if (m_kind == E_SessionKind::RESERVE)
        {
            m_context->registry->remove(this);
        }
        beast::error_code ignored;
        m_stream.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
        m_stream.expires_after(kLingerBound);
        if (m_pieceReading)
        {
            m_drainAfterPiece = true;  // one read at a time: the piece's completion drains on
            return;
        }
        drain();
    }

    void drain()
    {
        m_stream.async_read_some(net::buffer(m_scratch),
                                 [self = shared_from_this()](beast::error_code error, std::size_t)
                                 {
                                     if (error || self->m_closing)
                                     {
                                         self->closeSocket();
                                         return;
                                     }
                                     self->drain();
                                 });
    }

    void closeSocket()
    {
        beast::error_code ignored;
        m_stream.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
        m_stream.close();
    }

    // The read buffer grows only as far as a request has needed so far, and each read asks for
    // what it has room for: room for large reads keeps the system calls of a large body few.
    void growReadBuffer()
    {
        m_buffer.reserve(kStreamReadBytes);
        m_bufferGrown = true;
    }

    // The header of the request being served, once it has been read.
    const http::request_header<>* requestHeader() const
    {
        if (m_streamParser)
        {
            return &m_streamParser->get();
        }
        return m_parser && m_parser->is_header_done() ? &m_parser->get() : nullptr;
    }

    std::size_t bodyLimit() const
    {
        return m_kind == E_SessionKind::RESERVE ? S_SessionContext::kMaxReserveBodyBytes
                                                : S_SessionContext::kMaxBodyBytes;
    }

    beast::tcp_stream m_stream;
    std::shared_ptr<const S_SessionContext> m_context;
    const std::string m_client;
    E_SessionKind m_kind = E_SessionKind::HTTP;
    std::chrono::steady_clock::time_point m_requestStartedAt;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::uint64_t m_limitInForce = 0;
    // The streamed route's request: its parser holds the header the route call points into, and
    // the body goes to the callback through m_streamedBody, one piece (m_piece) read at a time.
    std::optional<http::request_parser<http::buffer_body>> m_streamParser;
    std::shared_ptr<CStreamedBody> m_streamedBody;
    std::vector<std::uint8_t> m_piece;
    bool m_pieceReading = false;
    bool m_bufferGrown = false;
    std::optional<std::uint64_t> m_directRemaining;  // the declared body's bytes still to come
    std::size_t m_pieceWant = 0;
    bool m_drainAfterPiece = false;
    std::optional<http::response<http::string_body>> m_response;
    std::array<char, 4096> m_scratch{};
    bool m_closing = false;
};

}  // namespace

void startHttpSession(net::ip::tcp::socket&& socket, const std::shared_ptr<const S_SessionContext>& context)
{
    auto session = std::make_shared<CHttpSession>(std::move(socket), context);
    const std::optional<E_SessionKind> kind = context->registry->admit(session.get(), session);
    if (!kind)
    {
        return;  // no room even in the reserve, or stopping: the socket closes with the session
    }
    session->setKind(*kind);
    session->start();
}

}  // namespace ota::backend
