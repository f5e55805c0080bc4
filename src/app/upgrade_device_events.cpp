#include "app/upgrade_device_events.h"

#include "common/json_writer.h"

#include <exception>
#include <utility>

namespace ota::backend
{

CUpgradeDeviceEvents::CUpgradeDeviceEvents(Send send, Log log)
    : m_send(std::move(send)), m_log(std::move(log))
{
    m_thread = std::thread([this] { run(); });
}

CUpgradeDeviceEvents::~CUpgradeDeviceEvents()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

std::string CUpgradeDeviceEvents::renderChanges(const S_ExecutionState* previous,
                                                const S_ExecutionState& state, std::uint64_t sequence)
{
    const bool whole = previous == nullptr || previous->task != state.task;
    std::string devices = "[";
    for (std::size_t i = 0; i < state.devices.size(); ++i)
    {
        if (whole || executionDeviceChanged(*previous, state, i))
        {
            if (devices.size() > 1)
            {
                devices += ',';
            }
            renderExecutionDevice(state, i, devices);
        }
    }
    devices += ']';
    if (!whole && devices.size() == 2 && previous->status == state.status)
    {
        return {};
    }
    const S_ExecutionCounts counts = countExecutionState(state);
    std::string out;
    out.reserve(devices.size() + 320);
    CJsonObjectWriter writer(out);
    writer.number("abortedCount", counts.aborted)
        .number("completedCount", counts.completed)
        .number("delayedDeviceCount", counts.delayed)
        .number("deviceCount", static_cast<std::uint64_t>(state.devices.size()));
    writer.member("devices") += devices;
    writer.number("failedCount", counts.failed)
        .number("readyDeviceCount", counts.ready)
        .number("runningDeviceCount", counts.running)
        .number("sequence", sequence)
        .text("status", upgradeTaskStatusName(state.status))
        .number("successCount", counts.success)
        .number("upgradeNo", state.task->upgradeNo);
    writer.close();
    return out;
}

void CUpgradeDeviceEvents::offer(const ExecutionStatePtr& state)
{
    bool atOnce = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_latest = state;
        atOnce = isFinalTaskStatus(state->status) || m_sentTask != state->task.get();
    }
    if (atOnce)
    {
        flush();
    }
    else
    {
        m_changed.notify_all();
    }
}

void CUpgradeDeviceEvents::flush()
{
    std::lock_guard<std::mutex> sendLock(m_sendMutex);
    ExecutionStatePtr state;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        state = std::exchange(m_latest, nullptr);
        if (!state)
        {
            return;
        }
        m_sentTask = state->task.get();
        m_lastSentAt = std::chrono::steady_clock::now();
    }
    const bool sameTask = m_sent && m_sent->task == state->task;
    try
    {
        const std::string text =
            renderChanges(sameTask ? m_sent.get() : nullptr, *state, sameTask ? m_sequence + 1 : 1);
        m_sent = state;
        if (text.empty())
        {
            return;
        }
        m_sequence = sameTask ? m_sequence + 1 : 1;
        m_send(text);
    }
    catch (const std::exception& exception)
    {
        m_log(std::string("[WARN] Upgrade device event failed: ") + exception.what());
    }
}

void CUpgradeDeviceEvents::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping)
    {
        if (!m_latest)
        {
            m_changed.wait(lock);
            continue;
        }
        const auto due = m_lastSentAt + kInterval;
        if (std::chrono::steady_clock::now() < due)
        {
            m_changed.wait_until(lock, due);
            continue;
        }
        lock.unlock();
        flush();
        lock.lock();
    }
}

}  // namespace ota::backend
