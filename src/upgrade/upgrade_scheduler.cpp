#include "upgrade/upgrade_scheduler.h"

namespace ota::backend
{

namespace
{

// Condition waits are re-armed in slices of one day, so a far deadline never overflows a wait.
constexpr auto kMaxWaitSlice = std::chrono::milliseconds(86'400'000);

}  // namespace

void CDeviceScheduler::reset(const std::vector<std::unique_ptr<CDeviceSession>>& sessions,
                             std::chrono::milliseconds connectTimeout)
{
    const TimePoint deadline = SteadyClock::now() + connectTimeout;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions = &sessions;
        m_connectTimeout = connectTimeout;
        m_claimed.assign(sessions.size(), false);
        m_connectDeadlines.assign(sessions.size(), deadline);
    }
    for (const std::unique_ptr<CDeviceSession>& session : sessions)
    {
        std::lock_guard<std::mutex> lock(session->mutex());
        session->deviceLocked().connectDeadline = deadline;
        session->markReadyIfConnectedLocked();
    }
}

std::optional<std::size_t> CDeviceScheduler::claim(const std::atomic<bool>& stopping,
                                                   const std::atomic<bool>& abortRequested)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::vector<std::unique_ptr<CDeviceSession>>& sessions = *m_sessions;
    while (true)
    {
        const TimePoint now = SteadyClock::now();
        const auto pending = [&](std::size_t i) { return !m_claimed[i] && !sessions[i]->completed(); };
        bool anyPending = false;
        TimePoint earliestDeadline = TimePoint::max();
        std::optional<std::size_t> choice;
        bool fresh = false;
        // Pass 1: connected devices first.
        for (std::size_t i = 0; i < sessions.size(); ++i)
        {
            if (!pending(i))
            {
                continue;
            }
            anyPending = true;
            earliestDeadline = std::min(earliestDeadline, m_connectDeadlines[i]);
            if (sessions[i]->connection() == E_DeviceConnectionState::CONNECTED)
            {
                choice = i;
                fresh = true;
                break;
            }
        }
        if (!anyPending)
        {
            return std::nullopt;
        }
        // Pass 2: devices that were connected at some time during the task.
        for (std::size_t i = 0; !choice && i < sessions.size(); ++i)
        {
            if (pending(i) && sessions[i]->ready())
            {
                choice = i;
                fresh = true;
            }
        }
        // Pass 3: devices whose connection wait has run out (they fail at once). Once the task is
        // being aborted or stopped every device may be taken: it ends at once without a frame, so
        // nothing is gained by holding the task open until its deadline.
        const bool ending = stopping.load() || abortRequested.load();
        for (std::size_t i = 0; !choice && i < sessions.size(); ++i)
        {
            if (pending(i) && !sessions[i]->ready() && (ending || m_connectDeadlines[i] <= now))
            {
                choice = i;
            }
        }
        if (choice)
        {
            m_claimed[*choice] = true;
            if (fresh)
            {
                m_connectDeadlines[*choice] = now + m_connectTimeout;
                const TimePoint deadline = m_connectDeadlines[*choice];
                lock.unlock();
                CDeviceSession& session = *sessions[*choice];
                std::lock_guard<std::mutex> sessionLock(session.mutex());
                session.deviceLocked().connectDeadline = deadline;
            }
            return choice;
        }
        const TimePoint wakeAt = std::min(earliestDeadline, now + kMaxWaitSlice);
        // Rounded up to whole milliseconds so the rescan never comes a moment too early.
        m_changed.wait_for(lock, std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now));
    }
}

void CDeviceScheduler::wake()
{
    {
        // Taken so that a claim between its look and its wait cannot miss this.
        std::lock_guard<std::mutex> lock(m_mutex);
    }
    m_changed.notify_all();
}

}  // namespace ota::backend
