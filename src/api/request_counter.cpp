#include "api/request_counter.h"

#include <algorithm>

namespace ota::backend
{

CApiRequestCounter::CApiRequestCounter(const std::vector<std::string_view>& routes)
{
    for (const std::string_view route : routes)
    {
        if (m_routes.size() + 1 < kMaxRoutes &&
            std::find(m_routes.begin(), m_routes.end(), route) == m_routes.end())
        {
            m_routes.push_back(route);
        }
    }
    m_routes.push_back(kOtherRoute);
}

void CApiRequestCounter::count(std::string_view route, unsigned status)
{
    const auto found = std::find(m_routes.begin(), m_routes.end(), route);
    const std::size_t routeSlot =
        found == m_routes.end() ? m_routes.size() - 1 : static_cast<std::size_t>(found - m_routes.begin());
    const auto code = std::find(kStatuses.begin(), kStatuses.end(), status);
    const auto statusSlot = static_cast<std::size_t>(code - kStatuses.begin());  // kStatuses.size(): other
    m_counts[routeSlot][statusSlot].fetch_add(1, std::memory_order_relaxed);
}

std::vector<CApiRequestCounter::S_Count> CApiRequestCounter::counts() const
{
    std::vector<S_Count> result;
    for (std::size_t routeSlot = 0; routeSlot < m_routes.size(); ++routeSlot)
    {
        const std::size_t before = result.size();
        for (std::size_t statusSlot = 0; statusSlot < kStatusSlots; ++statusSlot)
        {
            const std::uint64_t count = m_counts[routeSlot][statusSlot].load(std::memory_order_relaxed);
            if (count != 0)
            {
                result.push_back(
                    {m_routes[routeSlot], statusSlot < kStatuses.size() ? kStatuses[statusSlot] : 0u, count});
            }
        }
        if (result.size() == before)
        {
            // A route that has not answered yet still shows, so that its series exists from the start.
            result.push_back({m_routes[routeSlot], 200, 0});
        }
    }
    return result;
}

}  // namespace ota::backend
