#include "sim/sim_device_link.h"

#include "protocol/protocol_enums.h"

#include <boost/asio/socket_base.hpp>

#include <algorithm>

namespace ota::backend
{
namespace
{

constexpr std::chrono::milliseconds LISTEN_RETRY_INTERVAL{200};
constexpr std::chrono::milliseconds ACCEPT_RETRY_INTERVAL{50};
// Chunk data a device lets wait for the hash worker before it stops reading: four 32 KiB chunks.
constexpr std::size_t MAX_HASH_BACKLOG_BYTES = 128u * 1024u;

std::string endpointText(const boost::asio::ip::tcp::endpoint& endpoint)
{
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}

}  // namespace

CSimDeviceLink::CSimDeviceLink(boost::asio::io_context& io, CSimHashWorker& hasher,
                               std::shared_ptr<CSimHashLane> hashLane, const S_SimDeviceSpec& spec,
                               const CSimLog& log, S_SimDeviceCounters& counters, S_Handlers handlers)
    : m_io(io),
      m_hasher(hasher),
      m_hashLane(std::move(hashLane)),
      m_spec(spec),
      m_log(log),
      m_counters(counters),
      m_handlers(std::move(handlers)),
      m_acceptor(io),
      m_retryTimer(io)
{
    boost::system::error_code ignored;
    m_endpoint =
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(m_spec.address, ignored), m_spec.port);
}

CSimDeviceLink::~CSimDeviceLink()
{
    shutdown();
}

bool CSimDeviceLink::listen(std::string& error)
{
    error.clear();
    boost::system::error_code code;
    boost::asio::ip::tcp::acceptor acceptor(m_io);
    const char* step = "open";
    acceptor.open(m_endpoint.protocol(), code);
    if (!code)
    {
        // A rebooting device must get its old port back even while old connections linger.
        step = "set SO_REUSEADDR on";
        acceptor.set_option(boost::asio::socket_base::reuse_address(true), code);
    }
    if (!code)
    {
        step = "bind";
        acceptor.bind(m_endpoint, code);
    }
    if (!code)
    {
        step = "listen on";
        acceptor.listen(boost::asio::socket_base::max_listen_connections, code);
    }
    if (code)
    {
        error = std::string("Cannot ") + step + " " + endpointText(m_endpoint) + " for simulated device " +
                m_spec.nodeId + ": " + code.message();
        return false;
    }
    m_endpoint = acceptor.local_endpoint(code);
    m_acceptor = std::move(acceptor);
    m_listening = true;
    ++m_listenGeneration;
    return true;
}

void CSimDeviceLink::startAccepting()
{
    m_log.event(m_spec.nodeId, std::string("listening on ") + endpointText(m_endpoint) + " as " +
                                   protocolDeviceTypeName(m_spec.deviceType));
    acceptNext();
}

void CSimDeviceLink::acceptNext()
{
    if (m_stopped || !m_listening)
    {
        return;
    }
    const std::uint64_t listenGeneration = m_listenGeneration;
    m_acceptor.async_accept(m_lifetime.guard(
        [this, listenGeneration](const boost::system::error_code& code, boost::asio::ip::tcp::socket socket)
        {
            if (m_stopped || !m_listening || listenGeneration != m_listenGeneration)
            {
                return;
            }
            if (code)
            {
                // Typically out of file descriptors: try again shortly instead of spinning.
                m_log.warn(m_spec.nodeId, "accept failed: " + code.message());
                m_retryTimer.armAfter(ACCEPT_RETRY_INTERVAL, [this] { acceptNext(); });
                return;
            }
            onAccepted(std::move(socket));
            acceptNext();
        }));
}

void CSimDeviceLink::onAccepted(boost::asio::ip::tcp::socket socket)
{
    if (m_connection)
    {
        drop(false, "replaced by a new connection");
    }
    const std::uint64_t generation = ++m_generation;
    m_connection = std::make_shared<CSimConnection>(
        std::move(socket), generation,
        [this](std::uint64_t connectionGeneration, std::size_t byteCount, S_DeviceSideDecodeResult& decoded)
        { onDecoded(connectionGeneration, byteCount, decoded); },
        [this](std::uint64_t connectionGeneration) { onConnectionClosed(connectionGeneration); });
    ++m_counters.connectionsAccepted;
    m_log.event(m_spec.nodeId, "accepted connection from " + m_connection->peerText());
    m_connection->start();
    m_handlers.accepted();
}

bool CSimDeviceLink::connectionIs(std::uint64_t generation) const
{
    return m_connection && m_connection->generation() == generation && m_connection->isOpen();
}

void CSimDeviceLink::onDecoded(std::uint64_t generation, std::size_t byteCount,
                               S_DeviceSideDecodeResult& decoded)
{
    if (!connectionIs(generation))
    {
        return;
    }
    m_counters.bytesReceived += byteCount;
    m_counters.discardedBytes += decoded.discardedByteCount;
    m_counters.invalidFramesReceived += decoded.errors.size();
    for (const std::string& error : decoded.errors)
    {
        m_log.warn(m_spec.nodeId, "received invalid stream data: " + error);
    }
    for (S_ProtocolFrame& frame : decoded.frames)
    {
        if (!connectionIs(generation))
        {
            break;  // a fault closed the link: the rest of this read is lost with it
        }
        if (frame.messageType < m_counters.framesReceived.size())
        {
            ++m_counters.framesReceived[frame.messageType];
        }
        if (!m_heldRequests.empty() || holdForHashing(frame))
        {
            // Requests are handled in order: everything behind a held request waits with it.
            m_heldRequests.push_back(std::move(frame));
            m_connection->pauseReading();
            continue;
        }
        m_handlers.request(frame);
    }
}

// A FINISH_TRANSFER reads the digests, so it waits until every queued chunk is hashed; a chunk
// waits while the backlog is full, which bounds the memory of a device whose peer sends faster
// than the worker hashes.
bool CSimDeviceLink::holdForHashing(const S_ProtocolFrame& frame)
{
    std::size_t allowedBacklog = 0;
    if (const auto* chunk = std::get_if<S_ProtocolFileChunk>(&frame.body))
    {
        allowedBacklog = MAX_HASH_BACKLOG_BYTES - std::min(chunk->data.size(), MAX_HASH_BACKLOG_BYTES);
    }
    else if (const auto* command = std::get_if<S_ProtocolCommand>(&frame.body);
             command == nullptr ||
             command->commandType != toProtocolByte(E_ProtocolCommandType::FINISH_TRANSFER))
    {
        return false;
    }
    const std::uint64_t holdToken = ++m_holdToken;
    return !m_hasher.backlogAtMost(*m_hashLane, allowedBacklog,
                                   m_lifetime.guard([this, holdToken] { resumeHeldRequests(holdToken); }));
}

void CSimDeviceLink::resumeHeldRequests(std::uint64_t holdToken)
{
    if (m_stopped || holdToken != m_holdToken || !m_connection)
    {
        return;  // the connection that held these requests is gone
    }
    const std::uint64_t generation = m_connection->generation();
    // The front request waited for exactly this; the ones behind it may have to wait again.
    bool waited = true;
    while (!m_heldRequests.empty())
    {
        if (!waited && holdForHashing(m_heldRequests.front()))
        {
            return;
        }
        waited = false;
        S_ProtocolFrame frame = std::move(m_heldRequests.front());
        m_heldRequests.pop_front();
        m_handlers.request(frame);
        if (!connectionIs(generation))
        {
            return;
        }
    }
    m_connection->resumeReading();
}

void CSimDeviceLink::onConnectionClosed(std::uint64_t generation)
{
    if (!m_connection || m_connection->generation() != generation)
    {
        return;
    }
    ++m_counters.disconnects;
    m_log.event(m_spec.nodeId, "connection closed by peer " + m_connection->peerText());
    detachConnection();
}

void CSimDeviceLink::drop(bool flushFirst, const std::string& why)
{
    if (!m_connection)
    {
        return;
    }
    ++m_counters.disconnects;
    m_log.event(m_spec.nodeId, "closing connection to " + m_connection->peerText() + ": " + why);
    if (flushFirst)
    {
        m_connection->closeAfterFlush();
    }
    else
    {
        m_connection->closeNow();
    }
    detachConnection();
}

void CSimDeviceLink::detachConnection()
{
    m_connection.reset();
    // Held requests belonged to the lost link; a wake-up for them is stale from now on.
    m_heldRequests.clear();
    ++m_holdToken;
    m_handlers.lost();
}

void CSimDeviceLink::write(std::vector<std::uint8_t> bytes, std::uint8_t messageType)
{
    if (!m_connection || !m_connection->isOpen())
    {
        if (m_log.framesEnabled())
        {
            m_log.frame(m_spec.nodeId, "dropped output: no connection");
        }
        return;
    }
    m_counters.bytesSent += bytes.size();
    if (messageType != 0 && messageType < m_counters.framesSent.size())
    {
        ++m_counters.framesSent[messageType];
    }
    if (m_log.framesEnabled())
    {
        m_log.frame(m_spec.nodeId, std::string("TX ") +
                                       (messageType != 0 ? protocolMessageTypeName(messageType) : "RAW") +
                                       " bytes=" + std::to_string(bytes.size()));
    }
    m_connection->send(std::move(bytes));
}

void CSimDeviceLink::stopListening()
{
    m_listening = false;
    ++m_listenGeneration;
    m_retryTimer.cancel();  // a retry of the closed acceptor's accept
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
}

void CSimDeviceLink::goOffline(const std::string& why, bool flushFirst)
{
    stopListening();
    drop(flushFirst, why);
}

void CSimDeviceLink::goOnline(std::function<void()> listening)
{
    if (m_stopped)
    {
        return;
    }
    std::string error;
    if (listen(error))
    {
        acceptNext();
        if (listening)
        {
            listening();
        }
        return;
    }
    m_log.warn(m_spec.nodeId, error + "; retrying");
    m_retryTimer.armAfter(LISTEN_RETRY_INTERVAL, [this, listening = std::move(listening)]() mutable
                          { goOnline(std::move(listening)); });
}

void CSimDeviceLink::leaveNetwork(const std::string& why)
{
    stopListening();
    drop(false, why);
    m_stopped = true;
    m_log.event(m_spec.nodeId, "stops listening until the simulator stops");
}

void CSimDeviceLink::shutdown()
{
    m_stopped = true;
    stopListening();
    if (m_connection)
    {
        m_connection->closeNow();
        m_connection.reset();
    }
    m_heldRequests.clear();
    ++m_holdToken;
}

}  // namespace ota::backend
