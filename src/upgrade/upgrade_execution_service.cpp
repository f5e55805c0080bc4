#include "upgrade/upgrade_execution_service.h"

#include "common/console_log.h"
#include "common/json_text.h"
#include "upgrade/upgrade_execution_impl.h"

// The service's lifecycle (start, startTask, stop), its log and the state it publishes. Locks as
// in upgrade_execution_impl.h: lifecycleMutex, then taskMutex, never held across a transport call,
// a thread join or an observer call.

#include <algorithm>
#include <exception>
#include <iostream>
#include <limits>

namespace ota::backend
{

namespace
{

bool validOptions(const S_UpgradeExecutionOptions& options)
{
    return options.configuredDeviceConcurrency >= 1 && options.configuredDeviceConcurrency <= 1000 &&
           options.recommendedDeviceConcurrency >= 1 &&
           options.recommendedDeviceConcurrency <= kMaxTaskDeviceConcurrency &&
           options.deviceConcurrency >= 1 &&
           options.deviceConcurrency <= options.configuredDeviceConcurrency &&
           options.deviceConcurrency <= options.recommendedDeviceConcurrency &&
           options.deviceConcurrency <= kMaxTaskDeviceConcurrency && options.progressPublishIntervalMs > 0 &&
           options.connectTimeoutMs > 0 && options.ackTimeoutMs > 0 && options.stageTimeoutMs > 0 &&
           options.flashTimeoutMs > 0 && options.restartTimeoutMs > 0;
}

// Withdraws the callbacks: afterwards no callback is running and none will start.
void retireToken(IUpgradeDeviceTransport& transport,
                 const std::shared_ptr<S_TransportCallbackLifetime>& token,
                 CUpgradeExecutionService::S_Impl& impl)
{
    {
        std::lock_guard<std::mutex> lock(token->mutex);
        token->alive = false;
    }
    try
    {
        transport.setProtocolEventCallback({});
        transport.setConnectionStateCallback({});
    }
    catch (const std::exception& exception)
    {
        impl.log(E_LogLevel::ERROR, std::string("清除传输层回调时发生异常: ") + exception.what());
    }
    catch (...)
    {
        impl.log(E_LogLevel::ERROR, "清除传输层回调时发生未知异常");
    }
    std::unique_lock<std::mutex> lock(token->mutex);
    token->idle.wait(lock, [&] { return token->inProgress == 0; });
}

// Runs a callback body only while the token is alive, counting it as in progress meanwhile.
template <typename Body>
void withLiveToken(const std::shared_ptr<S_TransportCallbackLifetime>& token, Body&& body)
{
    {
        std::lock_guard<std::mutex> lock(token->mutex);
        if (!token->alive)
        {
            return;
        }
        ++token->inProgress;
    }
    struct S_Leave
    {
        S_TransportCallbackLifetime& token;
        ~S_Leave()
        {
            std::lock_guard<std::mutex> lock(token.mutex);
            if (--token.inProgress == 0)
            {
                token.idle.notify_all();
            }
        }
    } leave{*token};
    try
    {
        body();
    }
    catch (...)
    {
        // Nothing may cross into the transport; the intake itself does not throw on valid input.
    }
}

}  // namespace

void CUpgradeExecutionService::S_Impl::log(E_LogLevel level, const std::string& text)
{
    const char* tag = level == E_LogLevel::ERROR  ? "[UPGRADE-ERROR] "
                      : level == E_LogLevel::WARN ? "[UPGRADE-WARN] "
                                                  : "[UPGRADE-INFO] ";
    std::lock_guard<std::mutex> lock(logMutex);
    if (level == E_LogLevel::ERROR)
    {
        consoleErr(tag + text);
    }
    else
    {
        consoleOut(tag + text);
    }
}

void CUpgradeExecutionService::S_Impl::log(const std::vector<S_LogLine>& lines)
{
    for (const S_LogLine& line : lines)
    {
        log(line.level, line.text);
    }
}

void CUpgradeExecutionService::S_Impl::wakeAll(S_TaskRun* run)
{
    scheduler.wake();
    if (run != nullptr)
    {
        run->typeSlots.wake();
        for (const std::unique_ptr<CDeviceSession>& session : run->sessions)
        {
            session->wake();
        }
    }
}

std::int64_t computeWorkBudgetMs(std::int64_t baseMs, std::uint64_t bytes, std::uint64_t items,
                                 std::uint64_t bytesPerSecond, std::uint64_t perItemMs)
{
    static constexpr std::uint64_t kMax =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const auto add = [](std::uint64_t a, std::uint64_t b)
    { return a > kMax - std::min(b, kMax) ? kMax : a + b; };
    const auto multiply = [](std::uint64_t a, std::uint64_t b)
    {
        if (a == 0 || b == 0)
        {
            return std::uint64_t{0};
        }
        return a > kMax / b ? kMax : a * b;
    };
    const std::uint64_t base = baseMs < 0 ? 0 : static_cast<std::uint64_t>(baseMs);
    const std::uint64_t rate = std::max<std::uint64_t>(bytesPerSecond, 1);
    // ceil(bytes * 1000 / rate) without overflowing the product.
    const std::uint64_t remainder = bytes % rate;
    const std::uint64_t remainderMs =
        (remainder * 1000 + rate - 1) / rate;  // remainder < rate <= 2^64/1000 in use
    const std::uint64_t transfer = add(multiply(bytes / rate, 1000), remainderMs);
    const std::uint64_t budget = add(add(base, transfer), multiply(items, perItemMs));
    return static_cast<std::int64_t>(std::max(budget, multiply(base, 4)));
}

CUpgradeExecutionService::CUpgradeExecutionService() : m_impl(std::make_unique<S_Impl>()) {}

CUpgradeExecutionService::~CUpgradeExecutionService()
{
    stop();
}

bool CUpgradeExecutionService::start(IUpgradeDeviceTransport& transport,
                                     const S_UpgradeExecutionOptions& options, std::string& error)
{
    error.clear();
    S_Impl& impl = *m_impl;
    if (!validOptions(options))
    {
        error = "Upgrade execution options must be greater than zero";
        return false;
    }
    std::lock_guard<std::mutex> lifecycle(impl.lifecycleMutex);
    auto token = std::make_shared<S_TransportCallbackLifetime>();
    {
        std::lock_guard<std::mutex> lock(impl.taskMutex);
        if (impl.started)
        {
            error = "Upgrade execution service is already started";
            return false;
        }
        impl.transport = &transport;
        impl.token = token;
        impl.options = options;
        impl.started = true;
        impl.stopping = false;
        impl.abortRequested = false;
    }
    impl.publisher.reset();
    try
    {
        impl.publisher.start(
            std::chrono::milliseconds(options.progressPublishIntervalMs),
            [&impl] { return impl.buildState(); },
            [&impl](E_LogLevel level, const std::string& text) { impl.log(level, text); });
    }
    catch (const std::exception& exception)
    {
        std::lock_guard<std::mutex> lock(impl.taskMutex);
        impl.started = false;
        impl.transport = nullptr;
        impl.token.reset();
        error = std::string("Cannot create state notification thread: ") + exception.what();
        return false;
    }
    try
    {
        transport.setProtocolEventCallback(
            [&impl, token](const std::string& nodeId, const S_ProtocolEvent& event)
            { withLiveToken(token, [&] { impl.onProtocolEvent(nodeId, event); }); });
        transport.setConnectionStateCallback(
            [&impl, token](const std::string& nodeId, E_DeviceConnectionState state)
            { withLiveToken(token, [&] { impl.onConnectionStateChanged(nodeId, state); }); });
    }
    catch (...)
    {
        const std::exception_ptr failure = std::current_exception();
        retireToken(transport, token, impl);
        {
            std::lock_guard<std::mutex> lock(impl.taskMutex);
            impl.started = false;
            impl.transport = nullptr;
            impl.token.reset();
        }
        impl.publisher.stop();
        try
        {
            std::rethrow_exception(failure);
        }
        catch (const std::exception& exception)
        {
            error = std::string("Cannot register transport callbacks: ") + exception.what();
        }
        catch (...)
        {
            error = "Cannot register transport callbacks";
        }
        return false;
    }
    impl.log(E_LogLevel::INFO,
             "升级执行服务已启动，用户配置并发上限=" + std::to_string(options.configuredDeviceConcurrency) +
                 "，硬件推荐并发=" + std::to_string(options.recommendedDeviceConcurrency) +
                 "，任务并发上限=" + std::to_string(options.deviceConcurrency) +
                 "，后端保护上限=" + std::to_string(kMaxTaskDeviceConcurrency));
    return true;
}

bool CUpgradeExecutionService::isStarted() const
{
    std::lock_guard<std::mutex> lock(m_impl->taskMutex);
    return m_impl->started;
}

bool CUpgradeExecutionService::isTaskActive() const
{
    std::lock_guard<std::mutex> lock(m_impl->taskMutex);
    return m_impl->taskActive;
}

void CUpgradeExecutionService::setTestHooks(S_UpgradeExecutionTestHooks hooks)
{
    std::lock_guard<std::mutex> lock(m_impl->taskMutex);
    m_impl->hooks = std::move(hooks);
}

void CUpgradeExecutionService::setFirmwareStaging(std::shared_ptr<IFirmwareStaging> staging)
{
    std::lock_guard<std::mutex> lock(m_impl->taskMutex);
    m_impl->firmwareStaging = std::move(staging);
}

// The task of a snapshot: one session per device (the first target of a node gives its identity,
// every target of the node one component), the task's identity for its published states, and the
// device links. Built before any lock of the engine is taken.
TaskRunPointer CUpgradeExecutionService::S_Impl::installTask(const UpgradeTaskSnapshotPtr& snapshot,
                                                             const S_UpgradeTaskOptions& taskOptions)
{
    auto run = std::make_shared<S_TaskRun>();
    run->typeSlots.reset(taskOptions.maxConcurrentPerType);
    run->snapshot = snapshot;
    run->upgradeNo = snapshot->upgradeNo;
    run->options = options;
    auto identity = std::make_shared<S_ExecutionTaskIdentity>();
    identity->upgradeNo = snapshot->upgradeNo;
    identity->upgradeId = snapshot->upgradeId;
    identity->sceneGeneration = snapshot->sceneGeneration;
    identity->configuredDeviceConcurrency = options.configuredDeviceConcurrency;
    identity->recommendedDeviceConcurrency = options.recommendedDeviceConcurrency;

    std::vector<S_DeviceRuntime> devices;
    std::vector<std::vector<S_ComponentIdentity>> componentsOf;
    for (const S_UpgradeTarget& target : snapshot->targets)
    {
        auto [found, inserted] = run->deviceIndex.try_emplace(target.nodeId, devices.size());
        if (inserted)
        {
            S_DeviceRuntime device;
            device.nodeId = target.nodeId;
            device.nodeName = target.nodeName;
            devices.push_back(std::move(device));
            identity->devices.push_back(
                {target.nodeId, target.nodeName, target.nodeTypeId, target.address, target.port, 0, 0});
            componentsOf.emplace_back();
        }
        S_DeviceRuntime& device = devices[found->second];
        device.targets.push_back(&target);
        if (std::find(device.fileNos.begin(), device.fileNos.end(), target.fileNo) == device.fileNos.end())
        {
            device.fileNos.push_back(target.fileNo);
        }
        S_ComponentRuntime component;
        componentTypeFromIdentifier(target.componentTypeId, component.componentType);
        component.componentIndex = target.componentIndex;
        device.components.push_back(component);
        componentsOf[found->second].push_back({target.componentTypeId, component.componentType,
                                               target.componentIndex, target.currentVersion,
                                               target.targetVersion});
    }
    for (std::size_t i = 0; i < devices.size(); ++i)
    {
        S_DeviceIdentity& device = identity->devices[i];
        device.firstComponent = identity->components.size();
        device.componentCount = componentsOf[i].size();
        identity->components.insert(identity->components.end(), componentsOf[i].begin(),
                                    componentsOf[i].end());
        // Files go out in ascending number: the history's monotonic contract forbids currentFileNo
        // from going back, so a device whose targets list file 2 before file 1 must still send 1 first.
        std::sort(devices[i].fileNos.begin(), devices[i].fileNos.end());
    }
    identity->workerCount = std::min<std::size_t>(
        {devices.size(), options.deviceConcurrency, static_cast<std::size_t>(kMaxTaskDeviceConcurrency)});
    run->identity = std::move(identity);
    run->workerWakes = hooks.workerWakes;
    for (S_DeviceRuntime& device : devices)
    {
        run->links.push_back(transport->resolveDevice(device.nodeId));
        run->sessions.push_back(std::make_unique<CDeviceSession>(
            std::move(device), publisher, S_TaskSignals{stopping, abortRequested, run->workerWakes.get()}));
    }
    return run;
}

bool CUpgradeExecutionService::startTask(UpgradeTaskSnapshotPtr snapshot,
                                         std::uint64_t currentSceneGeneration, std::string& responseJson,
                                         std::string& error, E_TaskStartRefusal* refusal,
                                         const S_UpgradeTaskOptions& taskOptions)
{
    responseJson.clear();
    error.clear();
    E_TaskStartRefusal unused = E_TaskStartRefusal::NONE;
    E_TaskStartRefusal& why = refusal != nullptr ? *refusal : unused;
    why = E_TaskStartRefusal::OTHER;
    S_Impl& impl = *m_impl;
    if (!snapshot || snapshot->upgradeNo == 0 || snapshot->targets.empty() || snapshot->files.empty())
    {
        error = "Upgrade task snapshot is incomplete";
        return false;
    }
    if (snapshot->sceneGeneration != currentSceneGeneration)
    {
        error = "Upgrade task snapshot no longer matches the current topology";
        return false;
    }

    std::lock_guard<std::mutex> lifecycle(impl.lifecycleMutex);
    std::thread previousTask;
    {
        std::lock_guard<std::mutex> lock(impl.taskMutex);
        if (!impl.started || impl.transport == nullptr)
        {
            error = "Upgrade execution service is not started";
            return false;
        }
        if (impl.taskActive)
        {
            error = "Another upgrade task is active";
            return false;
        }
        if (impl.lastInstalledUpgradeNo == snapshot->upgradeNo)
        {
            error = "Upgrade task snapshot has already run";
            why = E_TaskStartRefusal::SNAPSHOT_ALREADY_RAN;
            return false;
        }
        previousTask = std::move(impl.taskThread);
    }
    if (previousTask.joinable())
    {
        previousTask.join();
    }

    // Built outside the lock; the transport only creates its links (lifecycleMutex keeps stop away).
    const TaskRunPointer run = impl.installTask(snapshot, taskOptions);
    std::unique_lock<std::mutex> lock(impl.taskMutex);
    if (!impl.started || impl.taskActive || impl.stopping)
    {
        error = "Upgrade execution service state changed before task start";
        return false;
    }
    impl.task = run;
    impl.currentTask.store(run);
    impl.lastInstalledUpgradeNo = snapshot->upgradeNo;
    impl.status = E_UpgradeTaskStatus::RUNNING;
    impl.startedAt = currentUnixMs();
    impl.finishedAt = 0;
    impl.taskError.clear();
    impl.abortRequested = false;
    impl.taskActive = true;
    IUpgradeDeviceTransport& transport = *impl.transport;
    const std::function<void()> initializationHook = impl.hooks.duringTaskInitialization;
    lock.unlock();

    std::vector<S_CommunicationNodeStatus> connections;
    try
    {
        connections = transport.getCommunicationNodeStatuses();
    }
    catch (...)
    {
        connections.clear();
    }
    if (initializationHook)
    {
        initializationHook();
    }

    lock.lock();
    if (!impl.started || !impl.taskActive || impl.stopping || impl.task != run)
    {
        error = "Upgrade execution service state changed during task initialization";
        impl.abandonInstalledTask(lock, error);
        return false;
    }
    for (const S_CommunicationNodeStatus& node : connections)
    {
        const auto found = run->deviceIndex.find(node.nodeId);
        if (found != run->deviceIndex.end())
        {
            run->sessions[found->second]->takeInitialConnectionState(node.connectionState);
        }
    }
    const std::size_t deviceCount = run->sessions.size();
    const std::uint64_t workers = run->identity->workerCount;
    std::uint64_t readyCount = 0;
    for (const std::unique_ptr<CDeviceSession>& session : run->sessions)
    {
        readyCount += session->connection() == E_DeviceConnectionState::CONNECTED ? 1 : 0;
    }
    try
    {
        if (impl.hooks.failTaskThreadCreation)
        {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "injected thread creation failure");
        }
        impl.taskThread = std::thread([&impl, run] { impl.runTask(run); });
    }
    catch (const std::exception& exception)
    {
        error = std::string("Cannot create upgrade task thread: ") + exception.what();
        impl.abandonInstalledTask(lock, error);
        return false;
    }
    impl.publisher.taskChanged();
    why = E_TaskStartRefusal::NONE;
    const S_UpgradeExecutionOptions options = impl.options;
    lock.unlock();

    nlohmann::json response = {
        {"status", "STARTED"},
        {"upgradeNo", snapshot->upgradeNo},
        {"upgradeId", snapshot->upgradeId},
        {"deviceCount", deviceCount},
        {"deviceConcurrency", workers},
        {"configuredDeviceConcurrency", options.configuredDeviceConcurrency},
        {"recommendedDeviceConcurrency", options.recommendedDeviceConcurrency},
        {"effectiveWorkerCount", workers},
        {"readyDeviceCount", readyCount},
        {"runningDeviceCount", 0},
        {"delayedDeviceCount", deviceCount - readyCount},
    };
    std::string serializeError;
    if (!tryToJsonText(response, responseJson, serializeError))
    {
        // The task runs; only the answer could not be written (an identifier is plain ASCII, so
        // this does not happen in practice).
        responseJson = "{\"status\":\"STARTED\"}";
    }
    return true;
}

// A task that was installed but will never run ends at once, as a stopped service would end it,
// so that the next startTask is not refused as "another task is active".
void CUpgradeExecutionService::S_Impl::abandonInstalledTask(std::unique_lock<std::mutex>& lock,
                                                            const std::string& error)
{
    taskError = error;
    const TaskRunPointer run = task;
    publisher.taskChanged();
    lock.unlock();
    std::vector<S_LogLine> lines;
    for (const std::unique_ptr<CDeviceSession>& session : run->sessions)
    {
        session->fail(error, 0, "INTERNAL_ERROR", lines);
    }
    log(lines);
    finishTask(*run);
    lock.lock();
}

void CUpgradeExecutionService::stop() noexcept
{
    S_Impl& impl = *m_impl;
    try
    {
        if (impl.publisher.onNotificationThread())
        {
            // From inside an observer call: the notification thread cannot join itself.
            std::lock_guard<std::mutex> lock(impl.taskMutex);
            impl.stopping = true;
            impl.abortRequested = true;
            impl.wakeAll(impl.task.get());
            return;
        }
        std::lock_guard<std::mutex> lifecycle(impl.lifecycleMutex);
        std::shared_ptr<S_TransportCallbackLifetime> token;
        IUpgradeDeviceTransport* transport = nullptr;
        bool running = false;
        {
            std::lock_guard<std::mutex> lock(impl.taskMutex);
            running = impl.started || impl.taskThread.joinable();
            impl.stopping = true;
            impl.abortRequested = true;
            token = impl.token;
            transport = impl.transport;
            impl.wakeAll(impl.task.get());
        }
        if (!running)
        {
            impl.publisher.stop();
            std::lock_guard<std::mutex> lock(impl.taskMutex);
            impl.stopping = false;
            impl.abortRequested = false;
            return;
        }
        if (token && transport != nullptr)
        {
            retireToken(*transport, token, impl);
        }
        if (impl.taskThread.joinable())
        {
            impl.taskThread.join();
        }
        // Delivers a pending structural change (the STOPPED state) before the thread ends.
        impl.publisher.stop();
        std::lock_guard<std::mutex> lock(impl.taskMutex);
        impl.started = false;
        impl.taskActive = false;
        impl.transport = nullptr;
        impl.token.reset();
        impl.task.reset();
        impl.currentTask.store(nullptr);
        impl.status = E_UpgradeTaskStatus::IDLE;
        impl.startedAt = 0;
        impl.finishedAt = 0;
        impl.taskError.clear();
        impl.stopping = false;
        impl.abortRequested = false;
        impl.publisher.reset();
    }
    catch (...)
    {
        // stop never throws; a failure to lock a mutex here leaves nothing better to do.
    }
}

ExecutionStatePtr CUpgradeExecutionService::S_Impl::buildState() const
{
    auto state = std::make_shared<S_ExecutionState>();
    TaskRunPointer run;
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        if (!task || task->upgradeNo == 0)
        {
            return nullptr;
        }
        run = task;
        state->status = status;
        state->active = taskActive;
        state->startedAt = startedAt;
        state->finishedAt = finishedAt;
        state->error = taskError;
    }
    state->task = run->identity;
    state->devices.resize(run->sessions.size());
    state->components.resize(run->identity->components.size());
    for (std::size_t i = 0; i < run->sessions.size(); ++i)
    {
        run->sessions[i]->copyShown(state->devices[i],
                                    state->components.data() + run->identity->devices[i].firstComponent);
    }
    return state;
}

ExecutionStatePtr CUpgradeExecutionService::getCurrentStateSnapshot() const
{
    return m_impl->buildState();
}

std::shared_ptr<const S_ExecutionTaskIdentity> CUpgradeExecutionService::activeTaskIdentity() const
{
    std::lock_guard<std::mutex> lock(m_impl->taskMutex);
    if (!m_impl->task || m_impl->task->upgradeNo == 0 || !m_impl->taskActive)
    {
        return nullptr;
    }
    return m_impl->task->identity;
}

S_UpgradeEngineMetrics CUpgradeExecutionService::getMetrics() const
{
    S_UpgradeEngineMetrics metrics;
    for (std::size_t status = 0; status < metrics.finishedTasks.size(); ++status)
    {
        metrics.finishedTasks[status] = m_impl->finishedTasks[status].load(std::memory_order_relaxed);
    }
    metrics.chunkRoundTrips = m_impl->chunkRoundTrips.snapshot();
    return metrics;
}

bool CUpgradeExecutionService::getCurrentState(std::string& stateJson, std::string& error) const
{
    stateJson.clear();
    error.clear();
    const ExecutionStatePtr state = m_impl->buildState();
    if (!state)
    {
        error = "No upgrade execution state is available";
        return false;
    }
    try
    {
        std::lock_guard<std::mutex> lock(m_impl->readRenderMutex);
        m_impl->readRenderer.render(state, stateJson);
        return true;
    }
    catch (const std::exception& exception)
    {
        stateJson.clear();
        error = std::string("Cannot render upgrade execution state: ") + exception.what();
        return false;
    }
}

void CUpgradeExecutionService::setStateObserver(UpgradeStateObserver observer)
{
    if (!observer)
    {
        m_impl->publisher.setObserver(nullptr);
        return;
    }
    // The document is rendered on the notification thread; a text that cannot be rendered is
    // reported there like any other observer failure.
    m_impl->publisher.setObserver([observer = std::move(observer)](const ExecutionStatePtr& state)
                                  { observer(renderExecutionState(*state)); });
}

void CUpgradeExecutionService::setStateSnapshotObserver(UpgradeStateSnapshotObserver observer)
{
    m_impl->publisher.setObserver(std::move(observer));
}

void CUpgradeExecutionService::clearStateObserver()
{
    m_impl->publisher.clearObserver();
}

}  // namespace ota::backend
