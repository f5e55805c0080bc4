#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ota::backend
{

// One TCP connection to a device, bound to the shared event loop. Handlers run on the loop
// thread only; write and close may be called from any thread. The closed handler runs exactly
// once for a channel whose connect was started, whatever ended it (connect failure or timeout,
// peer close, read or write error, close()).
class CDeviceTcpChannel : public std::enable_shared_from_this<CDeviceTcpChannel>
{
public:
    using Pointer = std::shared_ptr<CDeviceTcpChannel>;

    struct S_Handlers
    {
        std::function<void(const Pointer&)> connected;
        std::function<void(const Pointer&, const std::uint8_t*, std::size_t)> received;
        std::function<void(const Pointer&)> closed;
    };

    // A stalled peer may hold at most this many unsent bytes before writes fail.
    static constexpr std::size_t MAX_PENDING_WRITE_BYTES = 4u * 1024u * 1024u;
    static constexpr std::size_t READ_BUFFER_SIZE = 16384;

    CDeviceTcpChannel(boost::asio::io_context& loop, std::uint64_t id);
    CDeviceTcpChannel(const CDeviceTcpChannel&) = delete;
    CDeviceTcpChannel& operator=(const CDeviceTcpChannel&) = delete;
    ~CDeviceTcpChannel();

    std::uint64_t id() const { return m_id; }

    // Loop thread only.
    void setHandlers(S_Handlers handlers);
    void clearHandlers();
    // 0 when the attempt started, else a negative errno; the outcome arrives through the handlers.
    int startConnect(const boost::asio::ip::tcp::endpoint& endpoint, std::int32_t timeoutMs);
    // 0 or a negative errno.
    int enableKeepAlive(int idleSeconds);

    // Any thread. Queues the bytes for the loop; returns their count, or a negative errno when
    // the channel is not connected or the peer does not drain its pending bytes.
    int write(std::vector<std::uint8_t> bytes);
    // Any thread; the close itself runs on the loop.
    void close();
    // Loop thread only: closes at once (the closed handler runs if one is installed).
    void closeOnLoop();

private:
    void startRead();
    void flushWrites();

    boost::asio::io_context& m_loop;
    const std::uint64_t m_id;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_connectTimer;
    S_Handlers m_handlers;
    bool m_connectStarted = false;
    std::unique_ptr<std::array<std::uint8_t, READ_BUFFER_SIZE>> m_readBuffer;

    // Guards the write queue and the two flags, which writers on other threads read.
    std::mutex m_writeMutex;
    std::deque<std::vector<std::uint8_t>> m_writeQueue;
    std::size_t m_pendingWriteBytes = 0;
    bool m_writing = false;
    bool m_connected = false;
    bool m_closed = false;
};

}  // namespace ota::backend
