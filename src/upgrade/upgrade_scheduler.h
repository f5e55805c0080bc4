#pragma once

// The worker pool's claiming of devices: a free worker takes the first device, in table order,
// that is connected; else one that was connected at some time during the task; else one whose
// connection wait has run out (it fails at once) — or any, once the task is being aborted or
// stopped (it ends at once without a frame). Slow or absent devices so never hold a worker while
// others are ready.
//
// Lock: `m_mutex` guards the claims and connect deadlines; the devices' connection, `ready` and
// `completed` are read from their sessions' atomics, so no session lock is taken under it. It
// comes before a session's mutex in the engine's lock order (upgrade_execution_impl.h).

#include "upgrade/device_session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ota::backend
{

class CDeviceScheduler
{
public:
    // A new task: every device unclaimed, with the connect deadline now + connectTimeout, which
    // is also given to its session.
    void reset(const std::vector<std::unique_ptr<CDeviceSession>>& sessions,
               std::chrono::milliseconds connectTimeout);
    // Blocks until a device can be claimed (its index, its session given a fresh connect deadline
    // when it was or had been connected) or none is left (nullopt).
    std::optional<std::size_t> claim(const std::atomic<bool>& stopping,
                                     const std::atomic<bool>& abortRequested);
    // A connection changed, or an abort or stop was raised: waiting claims look again.
    void wake();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const std::vector<std::unique_ptr<CDeviceSession>>* m_sessions = nullptr;
    std::chrono::milliseconds m_connectTimeout{0};
    std::vector<bool> m_claimed;
    std::vector<TimePoint> m_connectDeadlines;
};

}  // namespace ota::backend
