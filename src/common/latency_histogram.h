#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ota::backend
{

// A histogram of durations with fixed bucket bounds, for the metrics endpoint. Observing is a few
// relaxed atomic additions (no lock), so it may sit on a hot path and be read from any thread; a
// reader may see an observation in the count before it shows in the sum, which scrapes tolerate.
class CLatencyHistogram
{
public:
    // Upper bounds in seconds, ascending; the last bucket (+Inf) is implied.
    static constexpr std::array<double, 14> kBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,    0.25,  0.5,    1.0,   2.5,  5.0,   10.0};

    struct S_Snapshot
    {
        std::array<std::uint64_t, kBounds.size()> cumulativeCounts{};  // observations <= kBounds[i]
        std::uint64_t count = 0;                                       // all observations (+Inf)
        double sumSeconds = 0;
    };

    void observe(std::chrono::nanoseconds duration);
    S_Snapshot snapshot() const;

private:
    std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> m_buckets{};  // not cumulative
    std::atomic<std::uint64_t> m_sumNanoseconds{0};
};

}  // namespace ota::backend
