#include "api/session_registry.h"

#include <vector>

namespace ota::backend
{

bool CSessionRegistry::add(ISessionControl* session, std::weak_ptr<ISessionControl> control,
                           bool enforceLimit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || (enforceLimit && m_sessions.size() >= m_maxSessions))
    {
        return false;
    }
    m_sessions.emplace(session, std::move(control));
    return true;
}

void CSessionRegistry::remove(ISessionControl* session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(session);
}

std::size_t CSessionRegistry::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

void CSessionRegistry::shutdownAll()
{
    std::vector<std::shared_ptr<ISessionControl>> live;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        for (const auto& entry : m_sessions)
        {
            if (std::shared_ptr<ISessionControl> session = entry.second.lock())
            {
                live.push_back(std::move(session));
            }
        }
    }
    for (const std::shared_ptr<ISessionControl>& session : live)
    {
        session->shutdown();
    }
}

}  // namespace ota::backend
