#include "upgrade/upgrade_execution_service.h"

#include "common/console_log.h"
#include "common/json_text.h"
#include "upgrade/upgrade_execution_impl.h"

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

void CUpgradeExecutionService::S_Impl::wakeAllLocked()
{
    workerCondition.notify_all();
    for (const std::shared_ptr<std::condition_variable>& condition : deviceConditions)
    {
        condition->notify_all();
    }
}

bool CUpgradeExecutionService::S_Impl::isStopping() const
{
    return stopping;
}

const char* stageName(std::uint8_t stage)
{
    return protocolStageDisplayName(stage);
}

void stageProgressBand(std::uint8_t stage, std::uint8_t& begin, std::uint8_t& end)
{
    static constexpr std::uint8_t kBands[7][2] = {{0, 5},   {5, 10},  {10, 20}, {20, 55},
                                                  {55, 65}, {65, 90}, {90, 100}};
    if (stage > 6)
    {
        begin = end = 0;
        return;
    }
    begin = kBands[stage][0];
    end = kBands[stage][1];
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
        std::lock_guard<std::mutex> lock(impl.stateMutex);
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
        impl.notifierStopping = false;
        impl.notifierThreadId = {};
        impl.observerCallsRunning = 0;
        impl.fullChangePending = false;
        impl.progressChangePending = false;
        impl.stateVersion = 0;
        impl.fullChangeVersion = 0;
        impl.progressChangeVersion = 0;
        impl.deliveredVersion = 0;
        impl.published = false;
    }
    try
    {
        impl.notifierThread = std::thread([&impl] { impl.runStateNotifier(); });
    }
    catch (const std::exception& exception)
    {
        std::lock_guard<std::mutex> lock(impl.stateMutex);
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
            std::lock_guard<std::mutex> lock(impl.stateMutex);
            impl.started = false;
            impl.transport = nullptr;
            impl.token.reset();
            impl.notifierStopping = true;
        }
        impl.notifyCondition.notify_all();
        impl.notifierThread.join();
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
    std::lock_guard<std::mutex> lock(m_impl->stateMutex);
    return m_impl->started;
}

bool CUpgradeExecutionService::isTaskActive() const
{
    std::lock_guard<std::mutex> lock(m_impl->stateMutex);
    return m_impl->taskActive;
}

void CUpgradeExecutionService::setTestHooks(S_UpgradeExecutionTestHooks hooks)
{
    std::lock_guard<std::mutex> lock(m_impl->stateMutex);
    m_impl->hooks = std::move(hooks);
}

bool CUpgradeExecutionService::startTask(UpgradeTaskSnapshotPtr snapshot,
                                         std::uint64_t currentSceneGeneration, std::string& responseJson,
                                         std::string& error, E_TaskStartRefusal* refusal)
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
        std::lock_guard<std::mutex> lock(impl.stateMutex);
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

    std::unique_lock<std::mutex> lock(impl.stateMutex);
    if (!impl.started || impl.taskActive || impl.stopping)
    {
        error = "Upgrade execution service state changed before task start";
        return false;
    }
    impl.snapshot = snapshot;
    impl.lastInstalledUpgradeNo = snapshot->upgradeNo;
    impl.upgradeNo = snapshot->upgradeNo;
    impl.upgradeId = snapshot->upgradeId;
    impl.sceneGeneration = snapshot->sceneGeneration;
    impl.status = "RUNNING";
    impl.startedAt = currentUnixMs();
    impl.finishedAt = 0;
    impl.taskError.clear();
    impl.abortRequested = false;
    impl.devices.clear();
    impl.queues.clear();
    impl.deviceIndex.clear();
    impl.firmware.clear();
    for (const S_UpgradeTarget& target : snapshot->targets)
    {
        auto [found, inserted] = impl.deviceIndex.try_emplace(target.nodeId, impl.devices.size());
        if (inserted)
        {
            S_DeviceRuntime device;
            device.nodeId = target.nodeId;
            device.nodeName = target.nodeName;
            device.nodeTypeId = target.nodeTypeId;
            device.address = target.address;
            device.port = target.port;
            impl.devices.push_back(std::move(device));
        }
        S_DeviceRuntime& device = impl.devices[found->second];
        device.targets.push_back(&target);
        if (std::find(device.fileNos.begin(), device.fileNos.end(), target.fileNo) == device.fileNos.end())
        {
            device.fileNos.push_back(target.fileNo);
        }
        S_ComponentRuntime component;
        component.componentTypeId = target.componentTypeId;
        component.componentIndex = target.componentIndex;
        component.currentVersion = target.currentVersion;
        component.targetVersion = target.targetVersion;
        device.components.push_back(std::move(component));
    }
    // Files go out in ascending number: the history's monotonic contract forbids currentFileNo
    // from going back, so a device whose targets list file 2 before file 1 must still send 1 first.
    for (S_DeviceRuntime& device : impl.devices)
    {
        std::sort(device.fileNos.begin(), device.fileNos.end());
    }
    impl.queues.resize(impl.devices.size());
    impl.deviceConditions.clear();
    for (std::size_t i = 0; i < impl.devices.size(); ++i)
    {
        impl.deviceConditions.push_back(std::make_shared<std::condition_variable>());
    }
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
    if (!impl.started || !impl.taskActive || impl.stopping || impl.snapshot != snapshot)
    {
        error = "Upgrade execution service state changed during task initialization";
        impl.abandonInstalledTask(lock, error);
        return false;
    }
    for (const S_CommunicationNodeStatus& node : connections)
    {
        const auto found = impl.deviceIndex.find(node.nodeId);
        if (found != impl.deviceIndex.end() && impl.devices[found->second].connectionChangeCount == 0)
        {
            impl.devices[found->second].connectionState = node.connectionState;
        }
    }
    const std::size_t deviceCount = impl.devices.size();
    const std::size_t workers = std::min<std::size_t>(
        {deviceCount, impl.options.deviceConcurrency, static_cast<std::size_t>(kMaxTaskDeviceConcurrency)});
    impl.workerCount = workers;
    std::uint64_t readyCount = 0;
    for (const S_DeviceRuntime& device : impl.devices)
    {
        readyCount += device.connectionState == E_DeviceConnectionState::CONNECTED ? 1 : 0;
    }
    try
    {
        if (impl.hooks.failTaskThreadCreation)
        {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "injected thread creation failure");
        }
        impl.taskThread = std::thread([&impl] { impl.runTask(); });
    }
    catch (const std::exception& exception)
    {
        error = std::string("Cannot create upgrade task thread: ") + exception.what();
        impl.abandonInstalledTask(lock, error);
        return false;
    }
    impl.markStateChanged();
    why = E_TaskStartRefusal::NONE;
    const S_UpgradeExecutionOptions options = impl.options;
    const std::string upgradeId = impl.upgradeId;
    const std::uint32_t upgradeNo = impl.upgradeNo;
    lock.unlock();
    impl.notifyCondition.notify_all();

    nlohmann::json response = {
        {"status", "STARTED"},
        {"upgradeNo", upgradeNo},
        {"upgradeId", upgradeId},
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
    std::vector<S_LogLine> lines;
    for (S_DeviceRuntime& device : devices)
    {
        failDeviceLocked(device, error, 0, "INTERNAL_ERROR", lines);
    }
    markStateChanged();
    lock.unlock();
    log(lines);
    notifyCondition.notify_all();
    finishTask();
    lock.lock();
}

void CUpgradeExecutionService::stop() noexcept
{
    S_Impl& impl = *m_impl;
    try
    {
        {
            std::unique_lock<std::mutex> lock(impl.stateMutex);
            if (impl.notifierThreadId == std::this_thread::get_id())
            {
                impl.stopping = true;
                impl.abortRequested = true;
                impl.wakeAllLocked();
                return;
            }
        }
        std::lock_guard<std::mutex> lifecycle(impl.lifecycleMutex);
        std::shared_ptr<S_TransportCallbackLifetime> token;
        IUpgradeDeviceTransport* transport = nullptr;
        {
            std::lock_guard<std::mutex> lock(impl.stateMutex);
            if (!impl.started && !impl.taskThread.joinable() && !impl.notifierThread.joinable())
            {
                return;
            }
            impl.stopping = true;
            impl.abortRequested = true;
            token = impl.token;
            transport = impl.transport;
            impl.wakeAllLocked();
        }
        if (token && transport != nullptr)
        {
            retireToken(*transport, token, impl);
        }
        if (impl.taskThread.joinable())
        {
            impl.taskThread.join();
        }
        {
            std::lock_guard<std::mutex> lock(impl.stateMutex);
            impl.notifierStopping = true;
            impl.progressChangePending = false;
        }
        impl.notifyCondition.notify_all();
        if (impl.notifierThread.joinable())
        {
            impl.notifierThread.join();
        }
        std::lock_guard<std::mutex> lock(impl.stateMutex);
        impl.started = false;
        impl.taskActive = false;
        impl.transport = nullptr;
        impl.token.reset();
        impl.snapshot.reset();
        impl.devices.clear();
        impl.queues.clear();
        impl.deviceConditions.clear();
        impl.deviceIndex.clear();
        impl.firmware.clear();
        impl.status = "IDLE";
        impl.upgradeNo = 0;
        impl.upgradeId.clear();
        impl.sceneGeneration = 0;
        impl.startedAt = 0;
        impl.finishedAt = 0;
        impl.taskError.clear();
        impl.workerCount = 0;
        impl.stopping = false;
        impl.abortRequested = false;
        impl.notifierStopping = false;
        impl.fullChangePending = false;
        impl.progressChangePending = false;
        impl.stateVersion = 0;
        impl.fullChangeVersion = 0;
        impl.progressChangeVersion = 0;
        impl.deliveredVersion = 0;
        impl.published = false;
    }
    catch (...)
    {
        // stop never throws; a failure to lock a mutex here leaves nothing better to do.
    }
}

}  // namespace ota::backend
