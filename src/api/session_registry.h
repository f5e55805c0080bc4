#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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

// How a connection was admitted.
enum class E_SessionKind
{
    HTTP,     // an ordinary API connection
    RESERVE,  // admitted beyond the HTTP limit: serves health and authenticated requests only
    EVENTS,   // an event-stream client
};

struct S_SessionLimits
{
    std::size_t http = 256;
    std::size_t reserve = 16;
    std::size_t events = 64;
};

// Every open connection of the API server, so that stop reaches them all and the number of
// simultaneous connections (each may hold a request body in memory) stays bounded.
//
// Connections that cannot lock the operator out: event-stream clients have their own, smaller
// limit and never take an HTTP place, and beyond the HTTP limit a small reserve still admits
// connections so that health checks and authenticated operators get through while anonymous
// clients hold every ordinary place. A reserve connection that has not sent its request header
// yet is the first to go when the reserve is full, so a flood of silent connections cannot hold
// the reserve either.
class CSessionRegistry
{
public:
    explicit CSessionRegistry(S_SessionLimits limits) : m_limits(limits) {}

    // Admits a new connection as HTTP, else RESERVE; none when closed or there is no room.
    std::optional<E_SessionKind> admit(ISessionControl* session, std::weak_ptr<ISessionControl> control);
    // A reserve connection whose header has arrived is no longer evicted for a newcomer.
    void markHeaderReceived(ISessionControl* session);

    // Takes an event-stream place ahead of the upgrade; false at the limit. The place is then
    // either filled by addEventStream or given back with releaseEventSlot.
    bool reserveEventSlot();
    void releaseEventSlot();
    // Registers an event-stream connection in a place reserveEventSlot took; false when closed
    // (the place is given back).
    bool addEventStream(ISessionControl* session, std::weak_ptr<ISessionControl> control);

    void remove(ISessionControl* session);
    std::size_t size() const;
    std::size_t count(E_SessionKind kind) const;

    // Refuses new sessions from now on and asks every live one to close.
    void shutdownAll();

private:
    struct S_Entry
    {
        std::weak_ptr<ISessionControl> control;
        E_SessionKind kind = E_SessionKind::HTTP;
        std::uint64_t admittedAt = 0;  // admission order
        bool headerReceived = false;
    };

    const S_SessionLimits m_limits;
    mutable std::mutex m_mutex;
    bool m_closed = false;
    std::uint64_t m_admissions = 0;
    std::size_t m_counts[3] = {0, 0, 0};
    std::size_t m_reservedEventSlots = 0;
    std::unordered_map<ISessionControl*, S_Entry> m_sessions;
};

}  // namespace ota::backend
