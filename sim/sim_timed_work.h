#pragma once

#include "sim/sim_timer.h"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <optional>

namespace ota::backend
{

// Work that takes its time and reports progress as it goes (preparation, flashing): a step every
// progress interval until the duration has passed, the last step shorter. At most one piece of
// work runs; starting another or cancelling drops the running one without its end.
//
// Lifetime: owned by the conversation that starts the work; the timer is a member, so no step
// runs after the owner is gone. Used on the simulator's event loop only.
class CSimTimedWork
{
public:
    struct S_Job
    {
        std::uint32_t durationMs = 0;
        std::optional<std::uint8_t> failAtPercentage;  // the work fails on reaching this
        std::function<void(std::uint8_t percentage)> progress;
        // Called once the job is over (no longer running): percentage 100 on success, the failing
        // percentage otherwise.
        std::function<void(bool succeeded, std::uint8_t percentage)> finished;
    };

    CSimTimedWork(boost::asio::io_context& io, std::uint32_t stepMs);

    // Work of no duration ends within this call.
    void start(S_Job job);
    void cancel();
    bool running() const { return m_job.has_value(); }

private:
    void scheduleStep();
    void step();
    void finish(bool succeeded, std::uint8_t percentage);

    const std::uint32_t m_stepMs;
    std::optional<S_Job> m_job;
    std::uint32_t m_elapsedMs = 0;
    std::uint32_t m_currentStepMs = 0;
    CSimTimer m_timer;
};

}  // namespace ota::backend
