#pragma once

#include "protocol/chunk_frame.h"

#include <boost/asio/buffer.hpp>
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
//
// Writing: while no write is in flight, the calling thread hands the frame to the socket itself
// (non-blocking); only what the socket does not take at once is queued, and the loop thread writes
// the queue with scatter/gather. Frames are shared, never copied: a queued frame stays alive until
// the loop has written it. Lock: m_writeMutex guards the queue, the flags and the descriptor; the
// socket is closed only after m_closed was set under it, so a send from another thread never
// meets a closed or reused descriptor. Handlers are called without it.
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

    using FramePointer = std::shared_ptr<const CFrameBuffer>;

    // Any thread. Writes the frame (see above); returns its size, or a negative errno when the
    // channel is not connected or the peer does not drain its pending bytes. A failure of the
    // socket itself closes the channel (the closed handler reports it).
    int write(FramePointer frame);
    int write(const std::vector<std::uint8_t>& bytes);
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

    struct S_QueuedFrame
    {
        FramePointer frame;
        std::size_t offset = 0;  // bytes already written
    };

    std::mutex m_writeMutex;
    std::deque<S_QueuedFrame> m_writeQueue;
    std::size_t m_pendingWriteBytes = 0;
    bool m_writing = false;  // the loop has a write in flight (or posted)
    bool m_connected = false;
    bool m_closed = false;
    int m_descriptor = -1;  // the connected socket's, for writes from other threads
    // The loop's gather list of its write in flight, and how many queued frames it covers.
    std::vector<boost::asio::const_buffer> m_gather;
    std::size_t m_gatheredFrames = 0;
};

}  // namespace ota::backend
