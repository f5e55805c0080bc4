#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ota::backend
{

// A live connection that stop can tell to close; shutdown only schedules the close on the
// connection's own executor.
class ISessionControl
{
public:
    virtual ~ISessionControl() = default;
    virtual void shutdown() = 0;
};

// Every open connection of the API server, so that stop reaches them all and the number of
// simultaneous connections (each may hold a request body in memory) stays bounded.
class CSessionRegistry
{
public:
    explicit CSessionRegistry(std::size_t maxSessions) : m_maxSessions(maxSessions) {}

    // False when closed or, with enforceLimit, when full.
    bool add(ISessionControl* session, std::weak_ptr<ISessionControl> control, bool enforceLimit);
    void remove(ISessionControl* session);
    std::size_t size() const;

    // Refuses new sessions from now on and asks every live one to close.
    void shutdownAll();

private:
    const std::size_t m_maxSessions;
    mutable std::mutex m_mutex;
    bool m_closed = false;
    std::unordered_map<ISessionControl*, std::weak_ptr<ISessionControl>> m_sessions;
};

}  // namespace ota::backend
