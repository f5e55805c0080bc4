#include "common/latency_histogram.h"

#include <algorithm>

namespace ota::backend
{

void CLatencyHistogram::observe(std::chrono::nanoseconds duration)
{
    const std::int64_t nanoseconds = std::max<std::int64_t>(duration.count(), 0);
    const double seconds = static_cast<double>(nanoseconds) / 1e9;
    const auto bucket =
        static_cast<std::size_t>(std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin());
    m_buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    m_sumNanoseconds.fetch_add(static_cast<std::uint64_t>(nanoseconds), std::memory_order_relaxed);
}

CLatencyHistogram::S_Snapshot CLatencyHistogram::snapshot() const
{
    S_Snapshot snapshot;
    std::uint64_t running = 0;
    for (std::size_t index = 0; index < kBounds.size(); ++index)
    {
        running += m_buckets[index].load(std::memory_order_relaxed);
        snapshot.cumulativeCounts[index] = running;
    }
    snapshot.count = running + m_buckets[kBounds.size()].load(std::memory_order_relaxed);
    snapshot.sumSeconds = static_cast<double>(m_sumNanoseconds.load(std::memory_order_relaxed)) / 1e9;
    return snapshot;
}

}  // namespace ota::backend
