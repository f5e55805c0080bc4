#include "common/json_text.h"
#include "device/device_connection_state.h"
#include "upgrade/upgrade_execution_impl.h"

#include <chrono>
#include <exception>

namespace ota::backend
{

namespace
{

using json = nlohmann::json;

json componentJson(const S_ComponentRuntime& component)
{
    return {
        {"componentTypeId", component.componentTypeId},
        {"componentIndex", component.componentIndex},
        {"currentVersion", component.currentVersion},
        {"targetVersion", component.targetVersion},
        {"componentStageProgress", component.componentStageProgress},
        {"state", component.state},
        {"reasonCode", component.reasonCode},
        {"reasonName", component.reasonName},
        {"detailText", component.detailText},
    };
}

json deviceJson(const S_DeviceRuntime& device)
{
    json targets = json::array();
    for (const S_ComponentRuntime& component : device.components)
    {
        targets.push_back(componentJson(component));
    }
    return {
        {"nodeId", device.nodeId},
        {"nodeName", device.nodeName},
        {"nodeTypeId", device.nodeTypeId},
        {"address", device.address},
        {"port", device.port},
        {"connectionState", std::string(deviceConnectionStateName(device.connectionState))},
        {"stage", stageName(device.stage)},
        {"state", device.state},
        {"result", device.result},
        {"workflowProgress", device.workflowProgress},
        {"currentFileNo", device.currentFileNo},
        {"currentChunkNo", device.currentChunkNo},
        {"abortAllowed", device.abortAllowed},
        {"completed", device.completed},
        {"eventStreamFailed", device.eventStreamFailed},
        {"protocolEventDropCount", device.protocolEventDropCount},
        {"connectionEventDropCount", device.connectionEventDropCount},
        {"unexpectedAckCount", device.unexpectedAckCount},
        {"duplicateAckCount", device.duplicateAckCount},
        {"mismatchedAckCount", device.mismatchedAckCount},
        {"startedAt", device.startedAt},
        {"finishedAt", device.finishedAt},
        {"reasonCode", device.reasonCode},
        {"reasonName", device.reasonName},
        {"error", device.detailText},
        {"targets", std::move(targets)},
    };
}

// Renders a view; throws the JSON library's type_error on text that is not valid UTF-8.
std::string buildStateJson(const S_ExecutionStateView& view)
{
    std::uint64_t ready = 0;
    std::uint64_t running = 0;
    std::uint64_t delayed = 0;
    std::uint64_t completed = 0;
    std::uint64_t success = 0;
    std::uint64_t failed = 0;
    std::uint64_t aborted = 0;
    json devices = json::array();
    for (const S_DeviceRuntime& device : view.devices)
    {
        if (device.completed)
        {
            ++completed;
        }
        else if (device.startedAt != 0)
        {
            ++running;
        }
        else if (device.connectionState == E_DeviceConnectionState::CONNECTED)
        {
            ++ready;
        }
        else
        {
            ++delayed;
        }
        success += device.result == "SUCCESS" ? 1 : 0;
        failed += device.result == "FAILED" ? 1 : 0;
        aborted += device.result == "ABORTED" ? 1 : 0;
        devices.push_back(deviceJson(device));
    }
    const json state = {
        {"status", view.status},
        {"active", view.active},
        {"upgradeNo", view.upgradeNo},
        {"upgradeId", view.upgradeId},
        {"sceneGeneration", view.sceneGeneration},
        {"configuredDeviceConcurrency", view.configuredDeviceConcurrency},
        {"recommendedDeviceConcurrency", view.recommendedDeviceConcurrency},
        {"deviceConcurrency", view.workerCount},
        {"effectiveWorkerCount", view.workerCount},
        {"readyDeviceCount", ready},
        {"runningDeviceCount", running},
        {"delayedDeviceCount", delayed},
        {"deviceCount", view.devices.size()},
        {"completedCount", completed},
        {"successCount", success},
        {"failedCount", failed},
        {"abortedCount", aborted},
        {"startedAt", view.startedAt},
        {"finishedAt", view.finishedAt},
        {"error", view.error},
        {"devices", std::move(devices)},
    };
    return toJsonText(state);
}

}  // namespace

void CUpgradeExecutionService::S_Impl::markStateChanged()
{
    if (notifierStopping)
    {
        return;
    }
    ++stateVersion;
    fullChangeVersion = stateVersion;
    progressChangeVersion = 0;
    fullChangePending = true;
    progressChangePending = false;
}

bool CUpgradeExecutionService::S_Impl::markProgressChanged()
{
    if (notifierStopping)
    {
        return false;
    }
    ++stateVersion;
    if (fullChangePending)
    {
        fullChangeVersion = stateVersion;
        return false;
    }
    // A progress change already pending has the notifier waiting for its publication time.
    const bool wake = !progressChangePending;
    progressChangeVersion = stateVersion;
    progressChangePending = true;
    return wake;
}

void CUpgradeExecutionService::S_Impl::buildStateView(S_ExecutionStateView& view) const
{
    view.status = status;
    view.active = taskActive;
    view.upgradeNo = upgradeNo;
    view.upgradeId = upgradeId;
    view.sceneGeneration = sceneGeneration;
    view.configuredDeviceConcurrency = options.configuredDeviceConcurrency;
    view.recommendedDeviceConcurrency = options.recommendedDeviceConcurrency;
    view.workerCount = workerCount;
    view.startedAt = startedAt;
    view.finishedAt = finishedAt;
    view.error = taskError;
    view.devices = devices;
}

void CUpgradeExecutionService::S_Impl::runStateNotifier()
{
    std::unique_lock<std::mutex> lock(stateMutex);
    notifierThreadId = std::this_thread::get_id();
    const auto interval = std::chrono::milliseconds(options.progressPublishIntervalMs);
    while (true)
    {
        std::uint64_t version = 0;
        if (fullChangePending)
        {
            version = fullChangeVersion;
            fullChangePending = false;
            progressChangePending = false;
            progressChangeVersion = 0;
            lastPublishedAt = SteadyClock::now();
            published = true;
        }
        else if (progressChangePending && !notifierStopping)
        {
            const TimePoint now = SteadyClock::now();
            if (!published || now - lastPublishedAt >= interval)
            {
                version = progressChangeVersion;
                progressChangePending = false;
                lastPublishedAt = now;
                published = true;
            }
            else
            {
                notifyCondition.wait_until(lock, lastPublishedAt + interval);
                continue;
            }
        }
        else
        {
            if (notifierStopping)
            {
                notifierThreadId = {};
                observerIdleCondition.notify_all();
                return;
            }
            notifyCondition.wait(lock);
            continue;
        }

        if (version == 0 || version <= deliveredVersion)
        {
            continue;
        }
        deliveredVersion = version;
        if (!observer || snapshot == nullptr || upgradeNo == 0)
        {
            continue;
        }
        S_ExecutionStateView view;
        buildStateView(view);
        const UpgradeStateObserver current = observer;
        ++observerCallsRunning;
        lock.unlock();
        try
        {
            current(buildStateJson(view));
        }
        catch (const std::exception& exception)
        {
            log(E_LogLevel::ERROR, std::string("当前状态观察回调异常: ") + exception.what());
        }
        catch (...)
        {
            log(E_LogLevel::ERROR, "当前状态观察回调发生未知异常");
        }
        lock.lock();
        --observerCallsRunning;
        observerIdleCondition.notify_all();
    }
}

bool CUpgradeExecutionService::getCurrentState(std::string& stateJson, std::string& error) const
{
    stateJson.clear();
    error.clear();
    S_ExecutionStateView view;
    {
        std::lock_guard<std::mutex> lock(m_impl->stateMutex);
        if (m_impl->snapshot == nullptr || m_impl->upgradeNo == 0)
        {
            error = "No upgrade execution state is available";
            return false;
        }
        m_impl->buildStateView(view);
    }
    try
    {
        stateJson = buildStateJson(view);
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
    std::lock_guard<std::mutex> lock(m_impl->stateMutex);
    m_impl->observer = std::move(observer);
}

void CUpgradeExecutionService::clearStateObserver()
{
    S_Impl& impl = *m_impl;
    std::unique_lock<std::mutex> lock(impl.stateMutex);
    impl.observer = nullptr;
    if (impl.notifierThreadId == std::this_thread::get_id())
    {
        return;
    }
    impl.observerIdleCondition.wait(lock, [&] { return impl.observerCallsRunning == 0; });
}

}  // namespace ota::backend
