#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace ota::backend
{

// One connected event-stream client as the hub sees it. Implementations queue without blocking.
class IEventClient
{
public:
    static constexpr int kSendClosed = -1;         // the client is closed or closing
    static constexpr int kSendLimitExceeded = -2;  // the message would pass the pending-byte limit

    virtual ~IEventClient() = default;
    virtual void setMaxPendingBytes(std::size_t maxPendingBytes) = 0;
    // Queues one text frame; 0 on success, a negative result on failure.
    virtual int send(const std::shared_ptr<const std::string>& text) = 0;
    virtual void close() = 0;
    virtual std::string address() const = 0;
};

// The set of event-stream clients and the broadcast of one serialised event to all of them.
class CEventHub
{
public:
    static constexpr std::size_t kMaxPendingBytes = 4194304;

    bool isRunning() const { return m_running.load(); }
    void setRunning(bool running) { m_running.store(running); }

    // Admits a client while running (it gets the pending-byte limit); false: the caller closes it.
    bool join(const std::shared_ptr<IEventClient>& client);
    // Removes a client that closed by itself; silent when a broadcast or stop already removed it.
    void leave(const IEventClient* client);
    std::size_t clientCount() const;

    // Held by the publisher around building and broadcasting one event, so events go out in order.
    std::mutex& broadcastMutex() { return m_broadcastMutex; }
    // Sends to every client; the caller holds broadcastMutex. Failed clients are removed and closed.
    void broadcast(const std::shared_ptr<const std::string>& text, const std::string& eventType);

    // Stop: takes the whole set out under both mutexes; the caller closes the clients.
    std::vector<std::shared_ptr<IEventClient>> takeAll();

private:
    std::atomic<bool> m_running{false};
    std::mutex m_broadcastMutex;
    mutable std::mutex m_clientsMutex;
    std::unordered_set<std::shared_ptr<IEventClient>> m_clients;
};

}  // namespace ota::backend
