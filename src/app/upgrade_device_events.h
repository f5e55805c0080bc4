#pragma once

#include "upgrade/execution_state.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ota::backend
{

// The "upgrade.devices" event of the task's published states: the devices that changed since the
// previous event, with the task's status and counts and a sequence that grows by one per event of
// a task (from 1, whose event carries every device). A client that sees a gap in the sequence
// reads the whole state again. The diff is one pass comparing the typed device states of the last
// sent state with the newest: only changed devices are rendered.
//
// Events go out at most every kInterval: a state offered sooner waits on the class's own thread
// and is replaced by any newer one. The first state of a task and a final one are sent at once,
// on the offering thread. Lock order: m_sendMutex -> m_mutex.
class CUpgradeDeviceEvents
{
public:
    using Send = std::function<void(const std::string& dataJson)>;
    using Log = std::function<void(const std::string& text)>;
    static constexpr std::chrono::milliseconds kInterval{100};

    // Starts the thread; throws std::system_error when it cannot be created.
    CUpgradeDeviceEvents(Send send, Log log);
    ~CUpgradeDeviceEvents();
    CUpgradeDeviceEvents(const CUpgradeDeviceEvents&) = delete;
    CUpgradeDeviceEvents& operator=(const CUpgradeDeviceEvents&) = delete;

    void offer(const ExecutionStatePtr& state);

    // The event text of `state` after `previous` (null, or another task's: every device), or empty
    // when neither a device nor the status changed.
    static std::string renderChanges(const S_ExecutionState* previous, const S_ExecutionState& state,
                                     std::uint64_t sequence);

private:
    void run();
    void flush();

    const Send m_send;
    const Log m_log;

    std::mutex m_sendMutex;
    ExecutionStatePtr m_sent;  // under m_sendMutex
    std::uint64_t m_sequence = 0;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    ExecutionStatePtr m_latest;  // offered, not yet sent
    const S_ExecutionTaskIdentity* m_sentTask = nullptr;
    std::chrono::steady_clock::time_point m_lastSentAt{};
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace ota::backend
