#include "baseline/inventory_schedule.h"

namespace ota::backend
{

bool CInventorySchedule::due(std::int64_t nowMs, bool taskRunning)
{
    if (m_intervalMs <= 0)
    {
        return false;
    }
    if (m_nextAt < 0)
    {
        m_nextAt = nowMs + m_intervalMs;
        return false;
    }
    if (taskRunning || nowMs < m_nextAt)
    {
        return false;
    }
    m_nextAt = nowMs + m_intervalMs;
    return true;
}

}  // namespace ota::backend
