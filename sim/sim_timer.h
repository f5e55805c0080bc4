#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace ota::backend
{

// A one-shot timer on the simulator's event loop whose callback runs only while the timer is
// still armed for it. Cancelling, arming again and destroying the timer each stop a callback that
// has not run yet, including one whose wait has already completed and only sits in the loop's
// queue (a plain steady_timer runs that one with success, and a destroyed one still runs its
// handler, with operation_aborted, after its owner is gone).
//
// Lifetime: a member of the object whose callback it runs, so it cannot outlive that owner, and
// the callback (kept in the timer, not in the loop's handler) cannot run after the timer is gone.
// Used on the loop thread only.
class CSimTimer
{
public:
    explicit CSimTimer(boost::asio::io_context& io);
    ~CSimTimer();
    CSimTimer(const CSimTimer&) = delete;
    CSimTimer& operator=(const CSimTimer&) = delete;

    // Replaces whatever was armed before.
    void armAt(std::chrono::steady_clock::time_point due, std::function<void()> callback);
    void armAfter(std::chrono::milliseconds delay, std::function<void()> callback);
    void cancel();
    bool armed() const { return static_cast<bool>(m_callback); }

private:
    boost::asio::steady_timer m_timer;
    // The arming the loop's handler belongs to; the handler holds it weakly, so it also tells
    // whether the timer still exists.
    std::shared_ptr<std::uint64_t> m_arming = std::make_shared<std::uint64_t>(0);
    std::function<void()> m_callback;
};

}  // namespace ota::backend
