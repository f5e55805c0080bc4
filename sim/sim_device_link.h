#pragma once

#include "protocol/protocol_frame.h"
#include "sim/sim_connection.h"
#include "sim/sim_counters.h"
#include "sim/sim_device_spec.h"
#include "sim/sim_hash_worker.h"
#include "sim/sim_lifetime.h"
#include "sim/sim_log.h"
#include "sim/sim_timer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ota::backend
{

// The network side of one simulated device: its listening socket and accept loop, its one live
// connection (a new connection replaces the old one), and the requests that connection brings,
// handed on one at a time in arrival order. A request that needs the hash worker to catch up (a
// chunk beyond the device's hashing backlog, a FINISH_TRANSFER before its chunks are hashed) is
// held with everything behind it, and reading pauses meanwhile. A restart takes the device off
// the network and brings it back. Counts what it receives and sends in the device's counters.
//
// Lifetimes: owned by its device. The acceptor, the retry timer and the held requests are
// members. The live connection is shared with its own pending reads and writes; the link closes
// it (closeNow, after which it calls nothing back) whenever it lets go of it, at the latest in
// its destructor. Accept completions and the hash worker's wake-ups are guarded: once the link
// is gone they do nothing. Used on the simulator's event loop only (listen() before it runs).
class CSimDeviceLink
{
public:
    struct S_Handlers
    {
        std::function<void()> accepted;                       // a new connection is live
        std::function<void(S_ProtocolFrame& frame)> request;  // the next request to answer
        std::function<void()> lost;                           // the live connection is gone
    };

    CSimDeviceLink(boost::asio::io_context& io, CSimHashWorker& hasher,
                   std::shared_ptr<CSimHashLane> hashLane, const S_SimDeviceSpec& spec, const CSimLog& log,
                   S_SimDeviceCounters& counters, S_Handlers handlers);
    ~CSimDeviceLink();
    CSimDeviceLink(const CSimDeviceLink&) = delete;
    CSimDeviceLink& operator=(const CSimDeviceLink&) = delete;

    // Opens, binds and listens on the device's endpoint (port 0: an ephemeral one).
    bool listen(std::string& error);
    void startAccepting();
    // Closes everything; nothing is accepted or handed on afterwards.
    void shutdown();

    // Writes on the live connection (dropped, and logged at frame level, without one).
    void write(std::vector<std::uint8_t> bytes, std::uint8_t messageType);
    // Closes the live connection: after its queued bytes (a device saying goodbye) or at once (a
    // lost link). No effect without one.
    void drop(bool flushFirst, const std::string& why);
    // A restart: the listening socket closes first, so that a peer reconnecting as soon as it
    // sees the close finds the port refusing, then the connection once its answers are written
    // (or at once, without flushFirst).
    void goOffline(const std::string& why, bool flushFirst = true);
    // Back from a restart: listens again (retrying while the port is taken) and accepts;
    // `listening` runs once the port is bound again.
    void goOnline(std::function<void()> listening = {});
    // Gone until the simulator stops: the listening socket closes first (connects are refused
    // from then on), then the connection at once; no restart brings the device back.
    void leaveNetwork(const std::string& why);

    bool connected() const { return m_connection != nullptr; }
    bool listening() const { return m_listening; }
    std::uint16_t port() const { return m_endpoint.port(); }

private:
    void acceptNext();
    void onAccepted(boost::asio::ip::tcp::socket socket);
    void onDecoded(std::uint64_t generation, std::size_t byteCount, S_DeviceSideDecodeResult& decoded);
    void onConnectionClosed(std::uint64_t generation);
    void detachConnection();
    bool connectionIs(std::uint64_t generation) const;
    bool holdForHashing(const S_ProtocolFrame& frame);
    void resumeHeldRequests(std::uint64_t holdToken);
    void stopListening();

    boost::asio::io_context& m_io;
    CSimHashWorker& m_hasher;
    std::shared_ptr<CSimHashLane> m_hashLane;
    const S_SimDeviceSpec& m_spec;
    const CSimLog& m_log;
    S_SimDeviceCounters& m_counters;
    S_Handlers m_handlers;

    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::ip::tcp::endpoint m_endpoint;
    bool m_listening = false;
    bool m_stopped = false;
    // Tells the accept completion of a closed acceptor from the current one.
    std::uint64_t m_listenGeneration = 0;
    CSimTimer m_retryTimer;  // a failed accept, or a port still taken after a restart

    std::shared_ptr<CSimConnection> m_connection;
    std::uint64_t m_generation = 0;
    // Requests of the live connection waiting, in arrival order, for the hash worker; a token
    // tells a stale wake-up from the current one.
    std::deque<S_ProtocolFrame> m_heldRequests;
    std::uint64_t m_holdToken = 0;

    CSimLifetime m_lifetime;
};

}  // namespace ota::backend
