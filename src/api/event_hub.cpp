#include "api/event_hub.h"

#include "common/console_log.h"

#include <algorithm>

namespace ota::backend
{

bool CEventHub::join(const std::shared_ptr<IEventClient>& client)
{
    if (!client)
    {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_clientsMutex);
        if (!m_running.load())
        {
            return false;
        }
        client->setMaxPendingBytes(kMaxPendingBytes);
        m_clients.insert(client);
        // Logged under the lock so the lines appear in the order of the counts they carry and
        // before anyone can observe the new count.
        consoleOut("[WebSocket] Client connected to /api/v1/events, clients=" +
                   std::to_string(m_clients.size()));
    }
    return true;
}

void CEventHub::leave(const IEventClient* client)
{
    if (client == nullptr)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_clientsMutex);
        const auto found = std::find_if(m_clients.begin(), m_clients.end(),
                                        [client](const std::shared_ptr<IEventClient>& entry)
                                        { return entry.get() == client; });
        if (found == m_clients.end())
        {
            return;
        }
        m_clients.erase(found);
        consoleOut("[WebSocket] Client disconnected, clients=" + std::to_string(m_clients.size()));
    }
}

std::size_t CEventHub::clientCount() const
{
    std::lock_guard<std::mutex> lock(m_clientsMutex);
    return m_clients.size();
}

void CEventHub::broadcast(const std::shared_ptr<const std::string>& text, const std::string& eventType)
{
    std::vector<std::shared_ptr<IEventClient>> targets;
    std::size_t nullCount = 0;
    {
        std::lock_guard<std::mutex> lock(m_clientsMutex);
        targets.reserve(m_clients.size());
        for (auto entry = m_clients.begin(); entry != m_clients.end();)
        {
            if (*entry)
            {
                targets.push_back(*entry);
                ++entry;
            }
            else
            {
                entry = m_clients.erase(entry);
                ++nullCount;
            }
        }
    }
    if (nullCount > 0)
    {
        consoleErr("[WARN] WebSocket broadcast removed null clients, count=" + std::to_string(nullCount));
    }

    std::vector<std::shared_ptr<IEventClient>> failed;
    for (const std::shared_ptr<IEventClient>& client : targets)
    {
        const int result = client->send(text);
        if (result < 0)
        {
            failed.push_back(client);
            consoleErr("[WARN] WebSocket broadcast send failed, client=" + client->address() +
                       ", result=" + std::to_string(result) +
                       ", maxPendingBytes=" + std::to_string(kMaxPendingBytes) + ", eventType=" + eventType);
        }
    }
    if (failed.empty())
    {
        return;
    }
    std::size_t erased = 0;
    std::size_t remaining = 0;
    {
        std::lock_guard<std::mutex> lock(m_clientsMutex);
        for (const std::shared_ptr<IEventClient>& client : failed)
        {
            erased += m_clients.erase(client);
        }
        remaining = m_clients.size();
    }
    for (const std::shared_ptr<IEventClient>& client : failed)
    {
        client->close();
    }
    consoleErr("[WARN] WebSocket broadcast removed failed clients, count=" + std::to_string(erased) +
               ", clients=" + std::to_string(remaining));
}

std::vector<std::shared_ptr<IEventClient>> CEventHub::takeAll()
{
    std::lock_guard<std::mutex> broadcastLock(m_broadcastMutex);
    std::lock_guard<std::mutex> clientsLock(m_clientsMutex);
    std::vector<std::shared_ptr<IEventClient>> clients(m_clients.begin(), m_clients.end());
    m_clients.clear();
    return clients;
}

}  // namespace ota::backend
