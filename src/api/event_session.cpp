#include "api/event_session.h"
#include "api/peer_address.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>
#include <mutex>

namespace ota::backend
{

namespace
{

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;

// The handshake and the closing handshake must finish within this; a client that stays silent
// for the idle time is pinged, and one that does not answer within it is dropped.
constexpr std::chrono::seconds kHandshakeTimeout{10};
constexpr std::chrono::seconds kIdleTimeout{60};
// How often a stream opened with a login session looks whether that session is still open.
constexpr std::chrono::seconds kSessionCheckInterval{1};

// Writes go through a byte-counted queue so that a client that stops reading holds at most its
// pending-byte limit; the stream itself is touched only on the connection's strand.
class CEventSession final : public IEventClient,
                            public ISessionControl,
                            public std::enable_shared_from_this<CEventSession>
{
public:
    CEventSession(beast::tcp_stream&& stream, http::request<http::string_body>&& upgradeRequest,
                  std::shared_ptr<const S_SessionContext> context, std::string session)
        : m_ws(std::move(stream)),
          m_upgradeRequest(std::move(upgradeRequest)),
          m_context(std::move(context)),
          m_address(peerAddressOf(beast::get_lowest_layer(m_ws).socket())),
          m_session(std::move(session)),
          m_sessionCheck(m_ws.get_executor())
    {
    }

    ~CEventSession() override { m_context->registry->remove(static_cast<ISessionControl*>(this)); }

    void start()
    {
        net::dispatch(m_ws.get_executor(), [self = shared_from_this()] { self->accept(); });
    }

    void setMaxPendingBytes(std::size_t maxPendingBytes) override
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_maxPendingBytes = maxPendingBytes;
    }

    int send(const std::shared_ptr<const std::string>& text) override
    {
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_sendsClosed)
            {
                return kSendClosed;
            }
            if (m_pendingBytes + text->size() > m_maxPendingBytes)
            {
                return kSendLimitExceeded;
            }
            m_queue.push_back(text);
            m_pendingBytes += text->size();
            if (m_writing)
            {
                return 0;
            }
            m_writing = true;
        }
        net::post(m_ws.get_executor(), [self = shared_from_this()] { self->writeFront(); });
        return 0;
    }

    void close() override
    {
        net::post(m_ws.get_executor(), [self = shared_from_this()] { self->requestClose(); });
    }

    void shutdown() override { close(); }

    std::string address() const override { return m_address; }

private:
    void accept()
    {
        beast::get_lowest_layer(m_ws).expires_never();
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = kHandshakeTimeout;
        timeout.idle_timeout = kIdleTimeout;
        timeout.keep_alive_pings = true;
        m_ws.set_option(timeout);
        m_ws.read_message_max(S_SessionContext::kMaxClientMessageBytes);
        m_ws.text(true);
        // One frame per event: fragmenting into small frames costs a write per fragment and client.
        m_ws.auto_fragment(false);
        m_ws.async_accept(m_upgradeRequest,
                          beast::bind_front_handler(&CEventSession::onAccept, shared_from_this()));
    }

    void onAccept(beast::error_code error)
    {
        m_upgradeRequest = {};
        if (error)
        {
            endSession();
            return;
        }
        m_accepted = true;
        const std::shared_ptr<CEventHub> hub = m_context->hub.lock();
        if (!hub || m_closeRequested || !hub->join(shared_from_this()))
        {
            requestClose();
            return;
        }
        readNext();
        if (!m_session.empty())
        {
            checkSessionLater();
        }
    }

    // The stream was let in on its session, so it lives no longer than the session: after a logout
    // or once the session has expired no further event reaches it.
    void checkSessionLater()
    {
        m_sessionCheck.expires_after(kSessionCheckInterval);
        m_sessionCheck.async_wait(
            [self = shared_from_this()](beast::error_code error)
            {
                if (error || self->m_closeRequested)
                {
                    return;
                }
                if (!self->m_context->router->isSessionLive(self->m_session))
                {
                    self->closeForEndedSession();
                    return;
                }
                self->checkSessionLater();
            });
    }

    // Unlike a stop, the client is told why (1008), so the console knows to log in again; a write
    // in flight finishes first and starts the closing handshake when it is done.
    void closeForEndedSession()
    {
        m_closeRequested = true;
        m_closeCode = websocket::close_code::policy_error;
        bool writing = false;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_sendsClosed = true;
            writing = m_writing;
        }
        if (const std::shared_ptr<CEventHub> hub = m_context->hub.lock())
        {
            hub->leave(this);
        }
        if (!writing)
        {
            startClosingHandshake();
        }
    }

    // Client messages are read only to keep the protocol going (pings, close) and are dropped.
    void readNext()
    {
        m_ws.async_read(m_readBuffer,
                        [self = shared_from_this()](beast::error_code error, std::size_t)
                        {
                            self->m_readBuffer.clear();
                            if (error)
                            {
                                self->endSession();
                                return;
                            }
                            self->readNext();
                        });
    }

    void writeFront()
    {
        std::shared_ptr<const std::string> front;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (!m_sendsClosed && !m_queue.empty())
            {
                front = m_queue.front();
            }
            m_writing = front != nullptr;
        }
        if (!front)
        {
            // A close for an ended session waited for this write; there is none to wait for now.
            if (m_closeRequested && beast::get_lowest_layer(m_ws).socket().is_open())
            {
                startClosingHandshake();
            }
            return;
        }
        m_ws.async_write(net::buffer(*front),
                         [self = shared_from_this(), front](beast::error_code error, std::size_t)
                         { self->onWrite(error); });
    }

    void onWrite(beast::error_code error)
    {
        bool more = false;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (!m_queue.empty())
            {
                m_pendingBytes -= m_queue.front()->size();
                m_queue.pop_front();
            }
            more = !error && !m_sendsClosed && !m_queue.empty();
            m_writing = more;
        }
        if (error)
        {
            endSession();
            return;
        }
        if (m_closeRequested)
        {
            startClosingHandshake();
            return;
        }
        if (more)
        {
            writeFront();
        }
    }

    // A client with a write in flight may have stopped reading, so it is cut off at once; an
    // idle one gets a closing handshake.
    void requestClose()
    {
        if (m_closeRequested)
        {
            return;
        }
        m_closeRequested = true;
        bool writing = false;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_sendsClosed = true;
            writing = m_writing;
        }
        if (!m_accepted || writing)
        {
            closeSocket();
            return;
        }
        startClosingHandshake();
    }

    void startClosingHandshake()
    {
        if (m_closingHandshake)
        {
            return;
        }
        m_closingHandshake = true;
        m_ws.async_close(m_closeCode,
                         [self = shared_from_this()](beast::error_code) { self->closeSocket(); });
    }

    // The end of the connection, whoever ended it: no more sends, and out of the hub's set.
    void endSession()
    {
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_sendsClosed = true;
            m_queue.clear();
            m_pendingBytes = 0;
        }
        if (m_accepted)
        {
            if (const std::shared_ptr<CEventHub> hub = m_context->hub.lock())
            {
                hub->leave(this);
            }
        }
        closeSocket();
    }

    void closeSocket()
    {
        m_sessionCheck.cancel();
        beast::tcp_stream& stream = beast::get_lowest_layer(m_ws);
        if (stream.socket().is_open())
        {
            beast::error_code ignored;
            stream.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
            stream.close();
        }
    }

    websocket::stream<beast::tcp_stream> m_ws;
    http::request<http::string_body> m_upgradeRequest;
    const std::shared_ptr<const S_SessionContext> m_context;
    const std::string m_address;
    const std::string m_session;  // the login session the stream was let in on; empty: none
    beast::flat_buffer m_readBuffer;

    // Strand only.
    net::steady_timer m_sessionCheck;
    bool m_accepted = false;
    bool m_closeRequested = false;
    bool m_closingHandshake = false;
    websocket::close_code m_closeCode = websocket::close_code::going_away;

    // Shared with publishing threads.
    std::mutex m_queueMutex;
    std::deque<std::shared_ptr<const std::string>> m_queue;
    std::size_t m_pendingBytes = 0;
    std::size_t m_maxPendingBytes = CEventHub::kMaxPendingBytes;
    bool m_writing = false;
    bool m_sendsClosed = false;
};

}  // namespace

void startEventSession(beast::tcp_stream&& stream, http::request<http::string_body>&& upgradeRequest,
                       const std::shared_ptr<const S_SessionContext>& context, std::string loginSession)
{
    std::shared_ptr<CEventSession> session;
    try
    {
        session = std::make_shared<CEventSession>(std::move(stream), std::move(upgradeRequest), context,
                                                  std::move(loginSession));
    }
    catch (...)
    {
        context->registry->releaseEventSlot();
        throw;
    }
    // The upgraded connection leaves its HTTP place and fills the event-stream place its
    // session took before the upgrade.
    if (!context->registry->addEventStream(static_cast<ISessionControl*>(session.get()), session))
    {
        return;
    }
    session->start();
}

}  // namespace ota::backend
