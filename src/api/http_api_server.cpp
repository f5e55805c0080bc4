#include "api/http_api_server.h"

#include "api/api_router.h"
#include "api/api_transport.h"
#include "api/event_envelope.h"
#include "api/event_hub.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_canonical.h"
#include "common/json_text.h"

#include <cassert>
#include <condition_variable>

namespace ota::backend
{

struct CHttpApiServer::S_Impl
{
    // The transport is declared first so that it is destroyed last: the hub's clients are
    // connections of its io_context and must go before it.
    std::unique_ptr<CApiTransport> transport;
    std::shared_ptr<CEventHub> hub = std::make_shared<CEventHub>();  // its running flag is the server's
    std::shared_ptr<CApiRequestCounter> requestCounter;
    std::string host;
    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::mutex stopMutex;
    std::condition_variable stopCondition;
    bool stopped = false;
};

CHttpApiServer::CHttpApiServer(S_HttpApiServerOptions options) : m_options(options) {}

CHttpApiServer::~CHttpApiServer()
{
    stop();
}

bool CHttpApiServer::start(const std::string& host, std::uint16_t port, JsonHandler health,
                           JsonHandler systemCapacity, JsonHandler workspace, JsonHandler sceneReload,
                           JsonBodyHandler firmwareInspect, JsonBodyHandler upgradePreview,
                           JsonHandler upgradeStart, UpgradeAbortHandler upgradeAbort,
                           JsonHandler currentUpgrade, JsonHandler upgradeHistory,
                           JsonHandler upgradeHistoryClear, JsonHandler deviceStatus,
                           JsonHandler deviceFrames, FrameCaptureHandler frameCapture,
                           JsonHandler deviceStatusQuery, JsonHandler deviceReconnect, std::string& error)
{
    S_ApiCallbacks callbacks{
        std::move(health),         std::move(systemCapacity),      std::move(workspace),
        std::move(sceneReload),    std::move(firmwareInspect),     std::move(upgradePreview),
        std::move(upgradeStart),   std::move(upgradeAbort),        std::move(currentUpgrade),
        std::move(upgradeHistory), std::move(upgradeHistoryClear), std::move(deviceStatus),
        std::move(deviceFrames),   std::move(frameCapture),        std::move(deviceStatusQuery),
        std::move(deviceReconnect)};
    return start(host, port, std::move(callbacks), error);
}

bool CHttpApiServer::start(const std::string& host, std::uint16_t port, S_ApiCallbacks callbacks,
                           std::string& error)
{
    error.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_impl)
    {
        error = "HTTP API server is already running";
        return false;
    }
    if (host.empty() || (port == 0 && !m_options.allowEphemeralPort))
    {
        error = "HTTP API server host and port are required";
        return false;
    }
    if (host != "127.0.0.1" && host != "::1")
    {
        error = "HTTP API server must listen on a loopback address";
        return false;
    }
    if (!areApiCallbacksComplete(callbacks))
    {
        error = "HTTP API server callbacks are incomplete";
        return false;
    }

    const std::string endpoint = "http://" + host + ":" + std::to_string(port);
    try
    {
        auto impl = std::make_shared<S_Impl>();
        impl->host = host;
        impl->port = port;
        auto router = std::make_shared<const CApiRouter>(std::move(callbacks));
        impl->requestCounter = std::make_shared<CApiRequestCounter>(router->routePatterns());
        S_TransportOptions transportOptions{
            m_options.requestTimeout,     m_options.maxConnections,       m_options.headerTimeout,
            m_options.reserveConnections, m_options.reserveHeaderTimeout, m_options.maxEventStreams,
            impl->requestCounter};
        transportOptions.reserveRequestTimeout = m_options.reserveRequestTimeout;
        impl->transport = std::make_unique<CApiTransport>(router, impl->hub, std::move(transportOptions));

        consoleOut("[HTTP/WebSocket] Starting local API server at " + endpoint + " and ws://" + host + ":" +
                   std::to_string(port) + "/api/v1/events with " +
                   std::to_string(CApiTransport::kWorkerThreads) + " worker threads");
        impl->hub->setRunning(true);
        int result = 0;
        std::string reason;
        if (!impl->transport->start(host, port, result, reason))
        {
            impl->hub->setRunning(false);
            error = "Boost.Asio failed to start HTTP/WebSocket API server, result=" + std::to_string(result) +
                    ", endpoint=" + endpoint + " (" + reason + ")";
            return false;
        }
        m_impl = std::move(impl);
    }
    catch (const std::exception& exception)
    {
        error = std::string("HTTP API server start failed: ") + exception.what();
        return false;
    }
    consoleOut("[HTTP/WebSocket] Local API server started successfully");
    return true;
}

void CHttpApiServer::stop() noexcept
{
    try
    {
        std::shared_ptr<S_Impl> impl;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            impl = m_impl;
            if (!impl)
            {
                return;
            }
            if (impl->stopping.exchange(true))
            {
                lock.unlock();
                std::unique_lock<std::mutex> stopLock(impl->stopMutex);
                impl->stopCondition.wait(stopLock, [&impl] { return impl->stopped; });
                return;
            }
            impl->hub->setRunning(false);
        }
        consoleOut("[HTTP/WebSocket] Stopping local API server");

        for (const std::shared_ptr<IEventClient>& client : impl->hub->takeAll())
        {
            if (client)
            {
                client->close();
            }
        }
        impl->transport->stop();

        {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::lock_guard<std::mutex> stopLock(impl->stopMutex);
            if (m_impl == impl)
            {
                m_impl.reset();
            }
            impl->stopped = true;
        }
        impl->stopCondition.notify_all();
        consoleOut("[HTTP/WebSocket] Local API server stopped");
    }
    catch (...)
    {
        // stop is called from destructors and shutdown paths; a console failure must not escape.
    }
}

bool CHttpApiServer::publishEvent(const std::string& eventType, const std::string& dataJson)
{
    return publish(eventType, dataJson, false);
}

bool CHttpApiServer::publishCanonicalEvent(const std::string& eventType, const std::string& dataJson)
{
    return publish(eventType, dataJson, true);
}

bool CHttpApiServer::publish(const std::string& eventType, const std::string& dataJson, bool knownCanonical)
{
    if (eventType.empty() || dataJson.empty())
    {
        return false;
    }
    std::shared_ptr<S_Impl> impl;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        impl = m_impl;
    }
    if (!impl || !impl->hub->isRunning())
    {
        return false;
    }
    // Data already in canonical form (the device documents, megabytes on a large site) is embedded
    // as it is; anything else is parsed and written again.
    const bool canonical = knownCanonical || isCanonicalJsonText(dataJson);
    assert(!knownCanonical || isCanonicalJsonText(dataJson));
    nlohmann::json data;
    std::string parseError;
    if (!canonical && !parseJsonText(dataJson, data, parseError))
    {
        consoleErr("[WARN] WebSocket event data is invalid JSON: " + parseError);
        return false;
    }

    std::lock_guard<std::mutex> broadcastLock(impl->hub->broadcastMutex());
    if (!impl->hub->isRunning())
    {
        return false;
    }
    const std::uint64_t sequence = m_eventSequence.fetch_add(1) + 1;
    std::shared_ptr<const std::string> envelope;
    try
    {
        envelope = std::make_shared<const std::string>(
            canonical ? buildEventEnvelopeAroundText(eventType, dataJson, sequence, currentUnixMs())
                      : buildEventEnvelope(eventType, std::move(data), sequence, currentUnixMs()));
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] WebSocket event envelope serialization failed: ") + exception.what());
        return false;
    }
    impl->hub->broadcast(envelope, eventType);
    return true;
}

std::uint16_t CHttpApiServer::boundPort() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_impl ? m_impl->transport->boundPort() : 0;
}

std::size_t CHttpApiServer::eventClientCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_impl ? m_impl->hub->clientCount() : 0;
}

std::size_t CHttpApiServer::connectionCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_impl ? m_impl->transport->connectionCount() : 0;
}

std::size_t CHttpApiServer::waitingCallbackCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_impl ? m_impl->transport->waitingCallbackCount() : 0;
}

std::vector<CApiRequestCounter::S_Count> CHttpApiServer::requestCounts() const
{
    std::shared_ptr<CApiRequestCounter> counter;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        counter = m_impl ? m_impl->requestCounter : nullptr;
    }
    return counter ? counter->counts() : std::vector<CApiRequestCounter::S_Count>();
}

}  // namespace ota::backend
