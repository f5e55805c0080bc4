#include "sim/sim_timer.h"

namespace ota::backend
{

CSimTimer::CSimTimer(boost::asio::io_context& io) : m_timer(io) {}

CSimTimer::~CSimTimer()
{
    cancel();
}

void CSimTimer::armAt(std::chrono::steady_clock::time_point due, std::function<void()> callback)
{
    cancel();
    m_callback = std::move(callback);
    const std::uint64_t arming = *m_arming;
    m_timer.expires_at(due);
    m_timer.async_wait(
        [this, current = std::weak_ptr<std::uint64_t>(m_arming), arming](const boost::system::error_code&)
        {
            const std::shared_ptr<std::uint64_t> live = current.lock();
            if (!live || *live != arming)
            {
                return;  // the timer is gone, or was cancelled or armed again after this wait began
            }
            ++*live;
            std::function<void()> callback = std::move(m_callback);
            m_callback = nullptr;
            callback();  // may arm the timer again
        });
}

void CSimTimer::armAfter(std::chrono::milliseconds delay, std::function<void()> callback)
{
    armAt(std::chrono::steady_clock::now() + delay, std::move(callback));
}

void CSimTimer::cancel()
{
    ++*m_arming;
    m_callback = nullptr;
    m_timer.cancel();
}

}  // namespace ota::backend
