#include "api/session_registry.h"

#include <vector>

namespace ota::backend
{

namespace
{

std::size_t indexOf(E_SessionKind kind)
{
    return static_cast<std::size_t>(kind);
}

}  // namespace

std::optional<E_SessionKind> CSessionRegistry::admit(ISessionControl* session,
                                                     std::weak_ptr<ISessionControl> control)
{
    std::shared_ptr<ISessionControl> evicted;
    E_SessionKind kind = E_SessionKind::HTTP;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
        {
            return std::nullopt;
        }
        if (m_counts[indexOf(E_SessionKind::HTTP)] >= m_limits.http)
        {
            kind = E_SessionKind::RESERVE;
            if (m_counts[indexOf(E_SessionKind::RESERVE)] >= m_limits.reserve)
            {
                // The reserve connection waiting longest for its header makes room.
                auto oldest = m_sessions.end();
                for (auto entry = m_sessions.begin(); entry != m_sessions.end(); ++entry)
                {
                    if (entry->second.kind == E_SessionKind::RESERVE && !entry->second.headerReceived &&
                        (oldest == m_sessions.end() || entry->second.admittedAt < oldest->second.admittedAt))
                    {
                        oldest = entry;
                    }
                }
                if (oldest == m_sessions.end())
                {
                    return std::nullopt;
                }
                evicted = oldest->second.control.lock();
                m_sessions.erase(oldest);
                --m_counts[indexOf(E_SessionKind::RESERVE)];
            }
        }
        m_sessions[session] = S_Entry{std::move(control), kind, ++m_admissions, false};
        ++m_counts[indexOf(kind)];
    }
    if (evicted)
    {
        evicted->shutdown();
    }
    return kind;
}

void CSessionRegistry::markHeaderReceived(ISessionControl* session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sessions.find(session);
    if (found != m_sessions.end())
    {
        found->second.headerReceived = true;
    }
}

bool CSessionRegistry::reserveEventSlot()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || m_counts[indexOf(E_SessionKind::EVENTS)] + m_reservedEventSlots >= m_limits.events)
    {
        return false;
    }
    ++m_reservedEventSlots;
    return true;
}

void CSessionRegistry::releaseEventSlot()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reservedEventSlots > 0)
    {
        --m_reservedEventSlots;
    }
}

bool CSessionRegistry::addEventStream(ISessionControl* session, std::weak_ptr<ISessionControl> control)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reservedEventSlots > 0)
    {
        --m_reservedEventSlots;
    }
    if (m_closed)
    {
        return false;
    }
    m_sessions[session] = S_Entry{std::move(control), E_SessionKind::EVENTS, ++m_admissions, true};
    ++m_counts[indexOf(E_SessionKind::EVENTS)];
    return true;
}

void CSessionRegistry::remove(ISessionControl* session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sessions.find(session);
    if (found != m_sessions.end())
    {
        --m_counts[indexOf(found->second.kind)];
        m_sessions.erase(found);
    }
}

std::size_t CSessionRegistry::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

std::size_t CSessionRegistry::count(E_SessionKind kind) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts[indexOf(kind)];
}

void CSessionRegistry::shutdownAll()
{
    std::vector<std::shared_ptr<ISessionControl>> live;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        for (const auto& entry : m_sessions)
        {
            if (std::shared_ptr<ISessionControl> session = entry.second.control.lock())
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
