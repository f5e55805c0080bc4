#include "api/callback_lanes.h"

#include "common/console_log.h"

#include <string>

namespace ota::backend
{

CCallbackLanes::~CCallbackLanes()
{
    stop();
}

void CCallbackLanes::start()
{
    for (S_Lane& lane : m_lanes)
    {
        if (!lane.thread.joinable())
        {
            lane.thread = std::thread([&lane] { run(lane); });
        }
    }
}

CCallbackLanes::S_Lane& CCallbackLanes::laneOf(E_CallbackLane lane)
{
    return m_lanes[static_cast<std::size_t>(lane)];
}

bool CCallbackLanes::submit(E_CallbackLane lane, Job job)
{
    S_Lane& target = laneOf(lane);
    {
        std::lock_guard<std::mutex> lock(target.mutex);
        if (target.stopping)
        {
            return false;
        }
        target.jobs.push_back(std::move(job));
    }
    target.wake.notify_one();
    return true;
}

std::size_t CCallbackLanes::waitingCount() const
{
    std::size_t waiting = 0;
    for (const S_Lane& lane : m_lanes)
    {
        std::lock_guard<std::mutex> lock(lane.mutex);
        waiting += lane.jobs.size();
    }
    return waiting;
}

void CCallbackLanes::run(S_Lane& lane)
{
    for (;;)
    {
        Job job;
        {
            std::unique_lock<std::mutex> lock(lane.mutex);
            lane.wake.wait(lock, [&lane] { return lane.stopping || !lane.jobs.empty(); });
            if (lane.stopping)
            {
                return;
            }
            job = std::move(lane.jobs.front());
            lane.jobs.pop_front();
        }
        // The job (and the connection it holds) is released outside the lock at the end of the pass.
        try
        {
            job();
        }
        catch (const std::exception& exception)
        {
            consoleErr(std::string("[ERROR] HTTP callback lane error: ") + exception.what());
        }
        catch (...)
        {
            consoleErr("[ERROR] HTTP callback lane error: unknown exception");
        }
    }
}

void CCallbackLanes::stop() noexcept
{
    for (S_Lane& lane : m_lanes)
    {
        std::deque<Job> dropped;
        {
            std::lock_guard<std::mutex> lock(lane.mutex);
            lane.stopping = true;
            dropped.swap(lane.jobs);
        }
        lane.wake.notify_all();
        // Dropped jobs release their connections here, outside the lock.
    }
    for (S_Lane& lane : m_lanes)
    {
        if (lane.thread.joinable())
        {
            lane.thread.join();
        }
    }
}

}  // namespace ota::backend
