#include "api/api_transport.h"

#include "api/http_session.h"
#include "api/session_context.h"
#include "common/console_log.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace ota::backend
{

namespace
{

namespace net = boost::asio;
using tcp = net::ip::tcp;

// After a failed accept (out of descriptors, say) the listener pauses instead of spinning.
constexpr std::chrono::milliseconds kAcceptRetryDelay{50};

// Graceful WebSocket closes get this long to finish at stop before the loop is stopped outright.
constexpr std::chrono::milliseconds kStopGrace{500};

class CListener : public std::enable_shared_from_this<CListener>
{
public:
    CListener(net::io_context& context, std::shared_ptr<const S_SessionContext> sessionContext)
        : m_context(context),
          m_acceptor(net::make_strand(context)),
          m_retryTimer(m_acceptor.get_executor()),
          m_sessionContext(std::move(sessionContext))
    {
    }

    boost::system::error_code listen(const tcp::endpoint& endpoint)
    {
        boost::system::error_code error;
        m_acceptor.open(endpoint.protocol(), error);
        if (!error)
        {
            m_acceptor.set_option(net::socket_base::reuse_address(true), error);
        }
        if (!error)
        {
            m_acceptor.bind(endpoint, error);
        }
        if (!error)
        {
            m_acceptor.listen(net::socket_base::max_listen_connections, error);
        }
        if (!error)
        {
            m_boundPort = m_acceptor.local_endpoint(error).port();
        }
        return error;
    }

    std::uint16_t boundPort() const { return m_boundPort; }

    void start()
    {
        net::post(m_acceptor.get_executor(), [self = shared_from_this()] { self->acceptNext(); });
    }

    void close()
    {
        net::post(m_acceptor.get_executor(),
                  [self = shared_from_this()]
                  {
                      self->m_closed = true;
                      boost::system::error_code ignored;
                      self->m_acceptor.close(ignored);
                      self->m_retryTimer.cancel();
                  });
    }

private:
    void acceptNext()
    {
        if (m_closed)
        {
            return;
        }
        m_acceptor.async_accept(
            net::make_strand(m_context),
            [self = shared_from_this()](boost::system::error_code error, tcp::socket socket)
            { self->onAccept(error, std::move(socket)); });
    }

    void onAccept(boost::system::error_code error, tcp::socket socket)
    {
        if (m_closed)
        {
            return;
        }
        if (error)
        {
            m_retryTimer.expires_after(kAcceptRetryDelay);
            m_retryTimer.async_wait([self = shared_from_this()](boost::system::error_code)
                                    { self->acceptNext(); });
            return;
        }
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        startHttpSession(std::move(socket), m_sessionContext);
        acceptNext();
    }

    net::io_context& m_context;
    tcp::acceptor m_acceptor;
    net::steady_timer m_retryTimer;
    std::shared_ptr<const S_SessionContext> m_sessionContext;
    std::uint16_t m_boundPort = 0;
    bool m_closed = false;
};

}  // namespace

struct CApiTransport::S_State
{
    net::io_context context{static_cast<int>(kWorkerThreads)};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    std::shared_ptr<S_SessionContext> sessionContext = std::make_shared<S_SessionContext>();
    std::shared_ptr<CCallbackLanes> lanes = std::make_shared<CCallbackLanes>();
    std::shared_ptr<CListener> listener;
    std::vector<std::thread> workers;
    std::mutex exitMutex;
    std::condition_variable exited;
    unsigned runningWorkers = 0;
    bool started = false;
    bool stopped = false;

    void runWorker()
    {
        for (;;)
        {
            try
            {
                context.run();
                break;
            }
            catch (const std::exception& exception)
            {
                consoleErr(std::string("[ERROR] HTTP/WebSocket worker error: ") + exception.what());
            }
            catch (...)
            {
                consoleErr("[ERROR] HTTP/WebSocket worker error: unknown exception");
            }
        }
        std::lock_guard<std::mutex> lock(exitMutex);
        --runningWorkers;
        exited.notify_all();
    }
};

CApiTransport::CApiTransport(std::shared_ptr<const CApiRouter> router, std::weak_ptr<CEventHub> hub,
                             S_TransportOptions options)
    : m_state(std::make_unique<S_State>())
{
    m_state->sessionContext->router = std::move(router);
    m_state->sessionContext->lanes = m_state->lanes;
    m_state->sessionContext->hub = std::move(hub);
    m_state->sessionContext->registry = std::make_shared<CSessionRegistry>(
        S_SessionLimits{options.maxConnections, options.reserveConnections, options.maxEventStreams});
    m_state->sessionContext->requestTimeout = options.requestTimeout;
    m_state->sessionContext->headerTimeout = options.headerTimeout;
    m_state->sessionContext->reserveHeaderTimeout = options.reserveHeaderTimeout;
    m_state->sessionContext->reserveRequestTimeout = options.reserveRequestTimeout;
    m_state->sessionContext->maxEventStreams = options.maxEventStreams;
    m_state->sessionContext->requestCounter = std::move(options.requestCounter);
}

CApiTransport::~CApiTransport()
{
    stop();
}

bool CApiTransport::start(const std::string& host, std::uint16_t port, int& result, std::string& reason)
{
    result = 0;
    reason.clear();
    S_State& state = *m_state;
    if (state.started)
    {
        result = -1;
        reason = "already started";
        return false;
    }
    boost::system::error_code error;
    const net::ip::address address = net::ip::make_address(host, error);
    if (!error)
    {
        state.listener = std::make_shared<CListener>(state.context, state.sessionContext);
        error = state.listener->listen(tcp::endpoint(address, port));
    }
    if (error)
    {
        state.listener.reset();
        result = error.value();
        reason = error.message();
        return false;
    }

    state.started = true;
    state.work.emplace(state.context.get_executor());
    state.listener->start();
    try
    {
        state.lanes->start();
        for (unsigned index = 0; index < kWorkerThreads; ++index)
        {
            {
                std::lock_guard<std::mutex> lock(state.exitMutex);
                ++state.runningWorkers;
            }
            try
            {
                state.workers.emplace_back([&state] { state.runWorker(); });
            }
            catch (...)
            {
                std::lock_guard<std::mutex> lock(state.exitMutex);
                --state.runningWorkers;
                throw;
            }
        }
    }
    catch (const std::system_error& exception)
    {
        result = exception.code().value();
        reason = exception.what();
        stop();
        return false;
    }
    return true;
}

std::uint16_t CApiTransport::boundPort() const
{
    return m_state->listener ? m_state->listener->boundPort() : 0;
}

std::size_t CApiTransport::connectionCount() const
{
    const CSessionRegistry& registry = *m_state->sessionContext->registry;
    return registry.count(E_SessionKind::HTTP) + registry.count(E_SessionKind::RESERVE);
}

std::size_t CApiTransport::waitingCallbackCount() const
{
    return m_state->lanes->waitingCount();
}

void CApiTransport::stop() noexcept
{
    S_State& state = *m_state;
    if (!state.started || state.stopped)
    {
        return;
    }
    state.stopped = true;
    try
    {
        state.listener->close();
        state.sessionContext->registry->shutdownAll();
        // A callback that is still running posts its answer to a connection that is closing; the
        // I/O threads are still there to take it.
        state.lanes->stop();
        state.work.reset();
        {
            std::unique_lock<std::mutex> lock(state.exitMutex);
            state.exited.wait_for(lock, kStopGrace, [&state] { return state.runningWorkers == 0; });
        }
        state.context.stop();
    }
    catch (...)
    {
        state.lanes->stop();
        state.context.stop();
    }
    for (std::thread& worker : state.workers)
    {
        if (worker.joinable())
        {
            worker.join();
        }
    }
}

}  // namespace ota::backend
