#pragma once

#include <cstdint>

namespace ota::backend
{

inline constexpr std::uint32_t kMinInventoryIntervalSeconds = 60;
inline constexpr std::uint32_t kMaxInventoryIntervalSeconds = 86400;

// When the periodic inventory queries every device's status: once per interval, never while a
// task runs (the task queries its devices itself, and a query of ours would only add traffic). A
// round that falls due during a task is made as soon as the task has ended. The devices report
// on connecting, so the first round is one interval after the start.
//
// Threads: none; its one owner (the main loop) calls it.
class CInventorySchedule
{
public:
    // intervalMs 0: the inventory is off and never due.
    explicit CInventorySchedule(std::int64_t intervalMs) : m_intervalMs(intervalMs) {}

    // Whether a round is due at nowMs (a steady clock); a due round counts as made.
    bool due(std::int64_t nowMs, bool taskRunning);

private:
    std::int64_t m_intervalMs = 0;
    std::int64_t m_nextAt = -1;  // -1: not yet started
};

}  // namespace ota::backend
