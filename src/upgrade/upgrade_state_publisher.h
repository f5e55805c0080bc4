#pragma once

// The publication of a task's execution state: every change is recorded (a version number that
// only grows), and one notification thread hands the observer a snapshot of the whole state —
// promptly and in order for structural changes, at most once per interval for changes of progress
// alone, never more than one call at a time, and never while an engine lock is held. A slow
// observer never holds up the engine; intermediate versions are then skipped. A state equal to
// the one delivered last is not delivered again: a change recorded while a snapshot is being built
// may already be in it, and the next round would otherwise hand the observer the same state twice
// (the final state of a task among them).
//
// Spacing by cost: a publication of a large task (thousands of devices) is rendered, recorded
// and broadcast whole, so publishing every structural change at once makes the work grow with
// the square of the task's size. When the last observer call took kCostlyPublication or more,
// the next publication (structural or not) waits max(kMinCostlySpacing, kCostlySpacingFactor x
// that cost); changes meanwhile are coalesced. Publications that are each cheaper but come so
// often that together they take more than 1 / kCostlySpacingFactor of the time (a budget of
// kCostBudget, refilled at that share of the time passing, runs out) space the rest of their task
// the same way: a 1,000-device task costs about 2 ms a publication and would otherwise publish
// dozens of times a second. A small task never comes near the budget and keeps the rule above. A
// change of the task as a whole (its start, status, error and end: taskChanged) is never held back.
//
// Lock: `m_mutex` is a leaf. Changes are recorded from any thread, with a device session's lock
// held; a change of progress alone costs two atomic operations and takes the lock only when it is
// the first since the last publication. The snapshot builder runs on the notification thread with
// no lock of this class held (it takes the engine's own).

#include "upgrade/device_session.h"
#include "upgrade/execution_state.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace ota::backend
{

class CStatePublisher final : public IStateChangeSink
{
public:
    // The current state, or null when there is no task to show.
    using Builder = std::function<ExecutionStatePtr()>;
    using Observer = std::function<void(const ExecutionStatePtr& state)>;
    using Log = std::function<void(E_LogLevel level, const std::string& text)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::milliseconds kCostlyPublication{5};
    static constexpr std::chrono::milliseconds kMinCostlySpacing{100};
    static constexpr int kCostlySpacingFactor = 20;
    static constexpr std::chrono::milliseconds kCostBudget{100};

    CStatePublisher() = default;
    ~CStatePublisher();
    CStatePublisher(const CStatePublisher&) = delete;
    CStatePublisher& operator=(const CStatePublisher&) = delete;

    // Starts the notification thread; throws std::system_error when it cannot be created.
    void start(std::chrono::milliseconds progressInterval, Builder builder, Log log);
    // Changes recorded from now on are ignored; a structural change still pending is delivered,
    // a pending progress-only one is dropped; then the thread ends. Joins it.
    void stop();
    // After stop: no change pending, versions back to 0.
    void reset();

    void stateChanged() override;
    void progressChanged() override;
    // A structural change of the task itself, delivered at once whatever the last one cost.
    void taskChanged();

    // Tests: the clock that times the spacing (the steady clock unless replaced; before start),
    // and a nudge after moving it, so the notification thread looks at the time again.
    void setClock(Clock clock);
    void clockMoved();

    void setObserver(Observer observer);
    // Removes the observer and, unless called on the notification thread, waits until no observer
    // call is running.
    void clearObserver();
    bool onNotificationThread() const;

private:
    void run();
    std::chrono::steady_clock::time_point now() const
    {
        return m_clock ? m_clock() : std::chrono::steady_clock::now();
    }
    // Waits until the deadline on the publisher's clock, a change or stop (whichever first).
    void waitUntil(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline);
    // After a publication of `state` that cost `cost` and ended at `ended`: the moment before which
    // no other one follows (except a change of the task), or the epoch when none is held back.
    std::chrono::steady_clock::time_point spacingAfter(const S_ExecutionState& state,
                                                       std::chrono::steady_clock::duration cost,
                                                       std::chrono::steady_clock::time_point ended);

    std::chrono::milliseconds m_interval{100};
    Builder m_builder;
    Log m_log;
    Clock m_clock;
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};

    std::atomic<std::uint64_t> m_version{0};
    std::atomic<bool> m_progressPending{false};
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::condition_variable m_observerIdle;
    bool m_fullPending = false;
    bool m_taskChangePending = false;
    // After a costly publication: no other one before this moment (except a change of the task).
    std::chrono::steady_clock::time_point m_heldUntil{};
    bool m_published = false;
    std::chrono::steady_clock::time_point m_lastPublishedAt{};
    std::uint64_t m_deliveredVersion = 0;
    Observer m_observer;
    std::uint64_t m_observerCallsRunning = 0;
    // The notification thread's own; reset() clears them once the thread has ended.
    ExecutionStatePtr m_lastDelivered;
    // The cost budget of the task last published (its identity; compared, never dereferenced).
    const void* m_budgetTask = nullptr;
    std::chrono::steady_clock::duration m_budget{};
    std::chrono::steady_clock::time_point m_budgetAt{};
    bool m_budgetSpent = false;
};

}  // namespace ota::backend
