#include "sim/sim_timed_work.h"

#include <algorithm>

namespace ota::backend
{

CSimTimedWork::CSimTimedWork(boost::asio::io_context& io, std::uint32_t stepMs)
    : m_stepMs(stepMs), m_timer(io)
{
}

void CSimTimedWork::start(S_Job job)
{
    cancel();
    m_job = std::move(job);
    m_elapsedMs = 0;
    scheduleStep();
}

void CSimTimedWork::cancel()
{
    m_job.reset();
    m_timer.cancel();
}

void CSimTimedWork::scheduleStep()
{
    const std::uint32_t remaining = m_job->durationMs > m_elapsedMs ? m_job->durationMs - m_elapsedMs : 0;
    m_currentStepMs = std::min(remaining, m_stepMs);
    if (m_currentStepMs == 0)
    {
        step();
        return;
    }
    m_timer.armAfter(std::chrono::milliseconds(m_currentStepMs), [this] { step(); });
}

void CSimTimedWork::step()
{
    m_elapsedMs += m_currentStepMs;
    const std::uint32_t durationMs = m_job->durationMs;
    const std::uint8_t percentage = durationMs == 0
                                        ? 100
                                        : static_cast<std::uint8_t>(std::min<std::uint64_t>(
                                              100, std::uint64_t{m_elapsedMs} * 100 / durationMs));
    if (m_job->failAtPercentage && percentage >= *m_job->failAtPercentage)
    {
        const std::uint8_t failedAt = *m_job->failAtPercentage;
        m_job->progress(failedAt);
        if (m_job)
        {
            finish(false, failedAt);
        }
        return;
    }
    m_job->progress(percentage);
    if (!m_job)
    {
        return;  // the progress report cancelled the work
    }
    if (m_elapsedMs >= durationMs)
    {
        finish(true, 100);
        return;
    }
    scheduleStep();
}

void CSimTimedWork::finish(bool succeeded, std::uint8_t percentage)
{
    S_Job job = std::move(*m_job);
    m_job.reset();
    job.finished(succeeded, percentage);
}

}  // namespace ota::backend
