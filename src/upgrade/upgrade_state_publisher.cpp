#include "upgrade/upgrade_state_publisher.h"

#include <algorithm>
#include <exception>

namespace ota::backend
{

CStatePublisher::~CStatePublisher()
{
    stop();
}

void CStatePublisher::start(std::chrono::milliseconds progressInterval, Builder builder, Log log)
{
    m_interval = progressInterval;
    m_builder = std::move(builder);
    m_log = std::move(log);
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
}

void CStatePublisher::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_progressPending = false;
    }
    m_changed.notify_all();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
    {
        m_thread.join();
    }
}

void CStatePublisher::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = false;
    m_fullPending = false;
    m_taskChangePending = false;
    m_heldUntil = {};
    m_progressPending = false;
    m_published = false;
    m_version = 0;
    m_deliveredVersion = 0;
    m_observerCallsRunning = 0;
    m_lastDelivered.reset();
    m_budgetTask = nullptr;
    m_budgetSpent = false;
}

void CStatePublisher::stateChanged()
{
    if (m_stopping.load())
    {
        return;
    }
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_version;
        known = m_fullPending;
        m_fullPending = true;
        m_progressPending = false;  // the structural publication shows the progress too
    }
    // The notification thread already knows of a pending change (it is publishing, or waiting
    // out a hold): a large task's many changes meanwhile would only wake it to wait again.
    if (!known)
    {
        m_changed.notify_all();
    }
}

void CStatePublisher::taskChanged()
{
    if (m_stopping.load())
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_version;
        m_fullPending = true;
        m_taskChangePending = true;
        m_progressPending = false;
    }
    m_changed.notify_all();
}

void CStatePublisher::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

void CStatePublisher::clockMoved()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
    }
    m_changed.notify_all();
}

void CStatePublisher::waitUntil(std::unique_lock<std::mutex>& lock,
                                std::chrono::steady_clock::time_point deadline)
{
    // Waited as a duration: the clock may be a test's, which only clockMoved advances.
    const auto left = deadline - now();
    if (left > std::chrono::steady_clock::duration::zero())
    {
        m_changed.wait_for(lock, left);
    }
}

std::chrono::steady_clock::time_point CStatePublisher::spacingAfter(
    const S_ExecutionState& state, std::chrono::steady_clock::duration cost,
    std::chrono::steady_clock::time_point ended)
{
    if (state.task.get() != m_budgetTask)
    {
        m_budgetTask = state.task.get();
        m_budget = kCostBudget;
        m_budgetSpent = false;
    }
    else
    {
        m_budget = std::min<std::chrono::steady_clock::duration>(
            kCostBudget, m_budget + (ended - m_budgetAt) / kCostlySpacingFactor);
    }
    m_budgetAt = ended;
    m_budget -= cost;
    m_budgetSpent = m_budgetSpent || m_budget < std::chrono::steady_clock::duration::zero();
    if (cost < kCostlyPublication && !m_budgetSpent)
    {
        return {};
    }
    return ended +
           std::max<std::chrono::steady_clock::duration>(kMinCostlySpacing, cost * kCostlySpacingFactor);
}

void CStatePublisher::progressChanged()
{
    if (m_stopping.load(std::memory_order_relaxed))
    {
        return;
    }
    ++m_version;
    if (m_progressPending.exchange(true))
    {
        return;  // the notification thread already knows of a progress change
    }
    {
        // Taken so that the notification thread, between its look and its wait, cannot miss this.
        std::lock_guard<std::mutex> lock(m_mutex);
    }
    m_changed.notify_all();
}

void CStatePublisher::setObserver(Observer observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

void CStatePublisher::clearObserver()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_observer = nullptr;
    if (onNotificationThread())
    {
        return;
    }
    m_observerIdle.wait(lock, [&] { return m_observerCallsRunning == 0; });
}

bool CStatePublisher::onNotificationThread() const
{
    return m_threadId.load() == std::this_thread::get_id();
}

void CStatePublisher::run()
{
    m_threadId = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true)
    {
        const auto moment = now();
        const bool held = moment < m_heldUntil;
        if (m_fullPending && (!held || m_taskChangePending || m_stopping.load()))
        {
            m_fullPending = false;
            m_taskChangePending = false;
            m_progressPending = false;
            m_lastPublishedAt = moment;
            m_published = true;
        }
        else if (m_progressPending.load() && !m_stopping.load() && !m_fullPending)
        {
            if (held || (m_published && moment - m_lastPublishedAt < m_interval))
            {
                waitUntil(lock, std::max(m_heldUntil, m_lastPublishedAt + m_interval));
                continue;
            }
            m_progressPending = false;
            m_lastPublishedAt = moment;
            m_published = true;
        }
        else if (m_fullPending)
        {
            waitUntil(lock, m_heldUntil);
            continue;
        }
        else
        {
            if (m_stopping.load())
            {
                m_threadId = std::thread::id();
                m_observerIdle.notify_all();
                return;
            }
            m_changed.wait(lock);
            continue;
        }

        // Everything recorded up to here is in the state built below.
        const std::uint64_t version = m_version.load();
        if (version == 0 || version <= m_deliveredVersion)
        {
            continue;
        }
        m_deliveredVersion = version;
        if (!m_observer)
        {
            continue;
        }
        const Observer observer = m_observer;
        ++m_observerCallsRunning;
        std::chrono::steady_clock::time_point spacedUntil = m_heldUntil;
        lock.unlock();
        try
        {
            // A publication's cost is all of it: building the snapshot and comparing it with the
            // last one grow with the site as rendering, recording and broadcasting do.
            const auto began = now();
            const ExecutionStatePtr state = m_builder();
            if (state && !(m_lastDelivered && *state == *m_lastDelivered))
            {
                m_lastDelivered = state;
                observer(state);
                const auto ended = now();
                spacedUntil = spacingAfter(*state, ended - began, ended);
            }
        }
        catch (const std::exception& exception)
        {
            m_log(E_LogLevel::ERROR, std::string("当前状态观察回调异常: ") + exception.what());
        }
        catch (...)
        {
            m_log(E_LogLevel::ERROR, "当前状态观察回调发生未知异常");
        }
        lock.lock();
        m_heldUntil = spacedUntil;
        --m_observerCallsRunning;
        m_observerIdle.notify_all();
    }
}

}  // namespace ota::backend
