#include "device/device_tcp_manager.h"

#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"
#include "device/device_tcp_timing.h"

#include <boost/asio/post.hpp>

#include <chrono>
#include <exception>
#include <future>

namespace ota::backend
{

namespace
{

constexpr auto CLOSE_BARRIER_TIMEOUT = std::chrono::seconds(5);

// Loop thread: silence every node's channel and close it, so nothing calls back into the nodes.
void runCloseBarrier(S_DeviceTcpRunContext& run)
{
    for (const auto& node : run.nodes)
    {
        node->autoReconnect = false;
        CDeviceTcpChannel::Pointer channel;
        {
            std::lock_guard<std::mutex> lock(node->mutex);
            channel = node->channel;
        }
        if (channel)
        {
            channel->clearHandlers();
            channel->closeOnLoop();
        }
    }
}

void runEventLoop(S_DeviceTcpRunContext& run)
{
    run.loopThreadId = std::this_thread::get_id();
    for (;;)
    {
        try
        {
            run.loop.run();
            break;
        }
        catch (const std::exception& exception)
        {
            logDeviceLine(E_DeviceLogLevel::ERROR,
                          std::string("Device TCP event loop task failed: ") + exception.what());
        }
        catch (...)
        {
            logDeviceLine(E_DeviceLogLevel::ERROR, "Device TCP event loop task failed: unknown exception");
        }
    }
    run.loopRunning = false;
}

}  // namespace

CDeviceTcpManager::CDeviceTcpManager() : m_impl(std::make_shared<S_Impl>()) {}

CDeviceTcpManager::~CDeviceTcpManager()
{
    try
    {
        stop();
    }
    catch (...)
    {
        // A destructor must not throw; stop reports through the log.
    }
}

bool CDeviceTcpManager::start(const scenario::S_SceneTopology& topology, const S_DeviceTcpOptions& options,
                              std::string& error)
{
    error.clear();
    std::lock_guard<std::mutex> lifecycle(m_impl->lifecycleMutex);
    if (isRunning())
    {
        error = "Device TCP manager is already running";
        return false;
    }
    if (topology.nodes.empty())
    {
        error = "Cannot start device TCP manager with an empty topology";
        return false;
    }
    if (!areDeviceTcpOptionsValid(options))
    {
        error = "Device TCP timeout options are invalid";
        return false;
    }
    const std::vector<const scenario::S_SceneNode*> selected = scenario::communicationNodes(topology);
    if (selected.empty())
    {
        error = "Cannot start device TCP manager without communication nodes";
        return false;
    }

    try
    {
        auto run = std::make_shared<S_DeviceTcpRunContext>();
        run->serial = ++m_impl->runSerial;
        run->options = options;
        const scenario::SceneNodeIndex nodeIndex = scenario::buildSceneNodeIndex(topology);
        std::vector<std::string> socketErrors;
        const std::int64_t now = currentUnixMs();
        run->nodes.reserve(selected.size());
        for (std::size_t i = 0; i < selected.size(); ++i)
        {
            const scenario::S_SceneNode& source = *selected[i];
            if (run->nodesById.count(source.id) != 0)
            {
                error = "Duplicate communication node ID: " + source.id;
                return false;
            }
            auto node = std::make_unique<S_CommunicationNodeContext>();
            S_CommunicationNodeStatus& status = node->status;
            status.nodeId = source.id;
            status.nodeName = source.name;
            status.nodeTypeId = source.typeId;
            status.protocolAdapterId = source.protocolAdapterId;
            status.protocolNodeType = source.protocolNodeType;
            status.address = source.address;
            status.port = source.port;
            if (!scenario::buildNodeDisplayPath(source, nodeIndex, status.nodePath, error))
            {
                return false;
            }
            status.reconnectAllowed = true;
            status.lastEventAt = now;
            node->position = i;
            node->reconnectIntervalMs = options.reconnectIntervalMs;
            node->initialStatusQueryDelayMs = options.initialStatusQueryDelayMs;
            node->statusReplyTimeoutMs = options.statusReplyTimeoutMs;
            node->keepAliveIdleSeconds = options.keepAliveIdleSeconds;

            std::string adapterError;
            node->adapter = createProtocolAdapter(source.protocolAdapterId, source.protocolNodeType, adapterError);
            if (!node->adapter)
            {
                error = "Cannot create protocol adapter for communication node " + source.id + ": " + adapterError;
                return false;
            }

            node->client = std::make_unique<CDeviceTcpClient>(options.connectTimeoutMs);
            const int result = node->client->createSocket(source.address, source.port);
            if (result < 0)
            {
                status.lastError = "libhv createsocket failed with result=" + std::to_string(result);
                if (node->client->hasHost() && node->client->port() == source.port)
                {
                    status.connectionState = E_DeviceConnectionState::DISCONNECTED;
                    S_Impl::scheduleReconnectLocked(*node, now);
                }
                else
                {
                    node->autoReconnect = false;
                    status.reconnectAllowed = false;
                    status.connectionState = E_DeviceConnectionState::ERROR;
                    status.lastError += "; endpoint address is invalid";
                }
                socketErrors.push_back("Cannot create TCP socket for communication node " + source.id + " at " +
                                       source.address + ":" + std::to_string(source.port) + ": " +
                                       status.lastError);
            }
            else
            {
                status.connectionState = E_DeviceConnectionState::PENDING;
                status.nextReconnectAt = now + static_cast<std::int64_t>(staggeredStartOffsetMs(source.id, i));
            }
            run->nodesById.emplace(source.id, node.get());
            run->nodes.push_back(std::move(node));
        }
        for (const std::string& line : socketErrors)
        {
            logDeviceLine(E_DeviceLogLevel::ERROR, line);
        }

        {
            std::lock_guard<std::mutex> lock(m_impl->traceMutex);
            if (m_impl->traceRing.size() != 0)
            {
                m_impl->traceRing.clear();
                ++m_impl->traceVersion;
            }
        }

        // Started before publication so that a failure leaves nothing behind.
        run->loopWork.emplace(boost::asio::make_work_guard(run->loop));
        auto loopStarted = std::make_shared<std::promise<void>>();
        std::future<void> loopReady = loopStarted->get_future();
        boost::asio::post(run->loop, [runPointer = run.get(), loopStarted] {
            runPointer->loopRunning = true;
            loopStarted->set_value();
        });
        run->loopThread = std::thread([run] { runEventLoop(*run); });
        loopReady.wait();
        run->running = true;
        {
            std::lock_guard<std::mutex> lock(run->wakeMutex);
            run->wake = true;
        }
        try
        {
            run->supervisorThread = std::thread([impl = m_impl.get(), run] { impl->runSupervisor(run); });
        }
        catch (...)
        {
            run->running = false;
            run->loopWork.reset();
            run->loop.stop();
            run->loopThread.join();
            throw;
        }
        {
            std::unique_lock<std::shared_mutex> runLock(m_impl->runLock);
            m_impl->run = run;
        }
        logDeviceLine(E_DeviceLogLevel::INFO, "Started shared libhv TCP client event loop for " +
                                                  std::to_string(run->nodes.size()) +
                                                  " communication node(s)");
        return true;
    }
    catch (const std::exception& exception)
    {
        error = std::string("Cannot start device TCP manager: ") + exception.what();
        return false;
    }
}

void CDeviceTcpManager::stop()
{
    std::lock_guard<std::mutex> lifecycle(m_impl->lifecycleMutex);
    {
        std::shared_lock<std::shared_mutex> runLock(m_impl->runLock);
        if (!m_impl->run)
        {
            return;
        }
    }
    logDeviceLine(E_DeviceLogLevel::INFO, "Stopping device TCP connections");
    shutdownImplementation();
    logDeviceLine(E_DeviceLogLevel::INFO, "Device TCP connections stopped");
}

void CDeviceTcpManager::shutdownImplementation()
{
    DeviceTcpRunPointer run;
    {
        // Withdrawn first: operations from here on find the manager stopped, and the threads
        // joined below never wait for this lock.
        std::unique_lock<std::shared_mutex> runLock(m_impl->runLock);
        run = std::move(m_impl->run);
    }
    if (!run)
    {
        return;
    }
    run->running = false;
    run->stopRequested = true;
    {
        std::lock_guard<std::mutex> lock(run->wakeMutex);
        run->wake = true;
    }
    run->wakeCondition.notify_all();
    const bool onSupervisor = run->supervisorThread.joinable() &&
                              run->supervisorThread.get_id() == std::this_thread::get_id();
    if (run->supervisorThread.joinable())
    {
        if (onSupervisor)
        {
            run->supervisorThread.detach();
        }
        else
        {
            run->supervisorThread.join();
        }
    }

    const bool onLoop = run->isLoopThread();
    bool barrierCompleted = false;
    if (run->loopRunning)
    {
        if (onLoop)
        {
            runCloseBarrier(*run);
            barrierCompleted = true;
        }
        else
        {
            auto barrier = std::make_shared<std::promise<void>>();
            std::future<void> barrierDone = barrier->get_future();
            boost::asio::post(run->loop,
                              [runPointer = run.get(), barrier]
                              {
                                  runCloseBarrier(*runPointer);
                                  barrier->set_value();
                              });
            barrierCompleted = barrierDone.wait_for(CLOSE_BARRIER_TIMEOUT) == std::future_status::ready;
        }
        if (!barrierCompleted)
        {
            logDeviceLine(E_DeviceLogLevel::WARN,
                          "Device TCP close barrier timed out; stopping event loop with clients retained");
        }
    }

    run->loopWork.reset();
    run->loop.stop();
    if (onLoop || onSupervisor)
    {
        // The calling thread still runs code of this run: it keeps the context alive and ends
        // with it.
        if (onLoop && run->loopThread.joinable())
        {
            run->loopThread.detach();
        }
        return;
    }
    if (run->loopThread.joinable())
    {
        run->loopThread.join();
    }
    // No thread runs code of this run any more: the nodes (and then the loop) can go.
    run->nodesById.clear();
    run->nodes.clear();
}

bool CDeviceTcpManager::isRunning() const
{
    std::shared_lock<std::shared_mutex> runLock(m_impl->runLock);
    return m_impl->run && m_impl->run->running;
}

void CDeviceTcpManager::setProtocolEventCallback(ProtocolEventCallback callback)
{
    // Held by shared pointer: a delivery copies the pointer, not the callable (no allocation).
    auto stored = callback ? std::make_shared<const ProtocolEventCallback>(std::move(callback)) : nullptr;
    std::lock_guard<std::mutex> lock(m_impl->callbackMutex);
    m_impl->protocolEventCallback = std::move(stored);
}

void CDeviceTcpManager::setConnectionStateCallback(ConnectionStateCallback callback)
{
    auto stored = callback ? std::make_shared<const ConnectionStateCallback>(std::move(callback)) : nullptr;
    std::lock_guard<std::mutex> lock(m_impl->callbackMutex);
    m_impl->connectionStateCallback = std::move(stored);
}

void CDeviceTcpManager::S_Impl::deliverProtocolEvent(const std::string& nodeId, const S_ProtocolEvent& event)
{
    std::shared_ptr<const ProtocolEventCallback> callback;
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        callback = protocolEventCallback;
    }
    if (!callback)
    {
        return;
    }
    try
    {
        (*callback)(nodeId, event);
    }
    catch (const std::exception& exception)
    {
        logDeviceLine(E_DeviceLogLevel::ERROR,
                      "Protocol event callback failed for " + nodeId + ": " + exception.what());
    }
    catch (...)
    {
        logDeviceLine(E_DeviceLogLevel::ERROR,
                      "Protocol event callback failed for " + nodeId + ": unknown exception");
    }
}

void CDeviceTcpManager::S_Impl::deliverConnectionState(const std::string& nodeId, E_DeviceConnectionState state)
{
    std::shared_ptr<const ConnectionStateCallback> callback;
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        callback = connectionStateCallback;
    }
    if (!callback)
    {
        return;
    }
    try
    {
        (*callback)(nodeId, state);
    }
    catch (const std::exception& exception)
    {
        logDeviceLine(E_DeviceLogLevel::ERROR,
                      "Connection state callback failed for " + nodeId + ": " + exception.what());
    }
    catch (...)
    {
        logDeviceLine(E_DeviceLogLevel::ERROR,
                      "Connection state callback failed for " + nodeId + ": unknown exception");
    }
}

bool CDeviceTcpManager::serializeDeviceStatusQuerySummary(const S_DeviceStatusQuerySummary& summary,
                                                          std::uint64_t sceneGeneration, std::string& json,
                                                          std::string& error)
{
    return ota::backend::serializeDeviceStatusQuerySummary(summary, sceneGeneration, json, error);
}

}  // namespace ota::backend
