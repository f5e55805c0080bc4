#include "sim/sim_hash_worker.h"

#include <boost/asio/post.hpp>

namespace ota::backend
{
namespace
{

// Up to this size a chunk is hashed at once on the loop when nothing of its device is queued.
// Waking the worker costs the loop an inter-processor wake-up (about 7 us on the 2-core
// reference machine), as much as hashing some 10 KiB; larger chunks are worth handing over.
constexpr std::size_t INLINE_HASH_MAX_BYTES = 16u * 1024u;
// A device counts as alone once no other device has fed the worker for this long.
constexpr std::chrono::milliseconds SHARED_WINDOW{250};

}  // namespace

CSimHashWorker::CSimHashWorker(boost::asio::io_context& io, bool hashAloneOnCaller)
    : m_io(io), m_hashAloneOnCaller(hashAloneOnCaller)
{
    m_thread = std::thread([this] { run(); });
}

CSimHashWorker::~CSimHashWorker()
{
    stop();
}

std::shared_ptr<CSimHashLane> CSimHashWorker::createLane()
{
    return std::make_shared<CSimHashLane>();
}

void CSimHashWorker::hash(const std::shared_ptr<CSimHashLane>& lane,
                          const std::shared_ptr<S_SimRunningDigest>& digest, std::vector<std::uint8_t> data)
{
    if (data.empty())
    {
        return;
    }
    {
        std::unique_lock lock(m_mutex);
        bool alone = false;
        if (m_hashAloneOnCaller)
        {
            const auto now = std::chrono::steady_clock::now();
            if (m_lastLane != lane.get())
            {
                if (m_lastLane != nullptr)
                {
                    m_sharedUntil = now + SHARED_WINDOW;
                }
                m_lastLane = lane.get();
            }
            alone = now >= m_sharedUntil;
        }
        if (m_stopping || (data.size() > INLINE_HASH_MAX_BYTES && !alone) || lane->m_pendingBytes != 0)
        {
            if (!m_stopping)
            {
                lane->m_pendingBytes += data.size();
                m_jobs.push_back({lane, digest, std::move(data)});
                lock.unlock();
                m_wake.notify_one();
            }
            return;
        }
    }
    // Nothing of this lane is queued or running, and only the caller queues for it.
    if (!digest->abandoned.load(std::memory_order_relaxed))
    {
        digest->sha.update(data.data(), data.size());
    }
}

bool CSimHashWorker::backlogAtMost(CSimHashLane& lane, std::size_t maxBytes, std::function<void()> onShrunk)
{
    std::lock_guard lock(m_mutex);
    if (lane.m_pendingBytes <= maxBytes)
    {
        lane.m_onShrunk = nullptr;
        return true;
    }
    lane.m_wakeAtOrBelow = maxBytes;
    lane.m_onShrunk = std::move(onShrunk);
    return false;
}

bool CSimHashWorker::idle(CSimHashLane& lane)
{
    std::lock_guard lock(m_mutex);
    return lane.m_pendingBytes == 0;
}

void CSimHashWorker::stop()
{
    std::deque<S_Job> dropped;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping && !m_thread.joinable())
        {
            return;
        }
        m_stopping = true;
        dropped.swap(m_jobs);
    }
    m_wake.notify_one();
    if (m_thread.joinable())
    {
        m_thread.join();
    }
}

void CSimHashWorker::run()
{
    std::unique_lock lock(m_mutex);
    for (;;)
    {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping)
        {
            return;
        }
        S_Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        if (!job.digest->abandoned.load(std::memory_order_relaxed))
        {
            job.digest->sha.update(job.data.data(), job.data.size());
        }
        const std::size_t size = job.data.size();
        const std::shared_ptr<CSimHashLane> lane = std::move(job.lane);
        job = {};
        std::function<void()> onShrunk;
        lock.lock();
        lane->m_pendingBytes -= size;
        if (lane->m_onShrunk && lane->m_pendingBytes <= lane->m_wakeAtOrBelow)
        {
            onShrunk = std::move(lane->m_onShrunk);
            lane->m_onShrunk = nullptr;
        }
        if (onShrunk && !m_stopping)
        {
            // Posting outside the lock keeps the worker's lock and the loop's apart.
            lock.unlock();
            boost::asio::post(m_io, std::move(onShrunk));
            lock.lock();
        }
    }
}

}  // namespace ota::backend
