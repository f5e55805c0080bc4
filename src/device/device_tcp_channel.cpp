#include "device/device_tcp_channel.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace ota::backend
{

namespace asio = boost::asio;

CDeviceTcpChannel::CDeviceTcpChannel(asio::io_context& loop, std::uint64_t id)
    : m_loop(loop), m_id(id), m_socket(loop), m_connectTimer(loop)
{
}

CDeviceTcpChannel::~CDeviceTcpChannel()
{
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void CDeviceTcpChannel::setHandlers(S_Handlers handlers) { m_handlers = std::move(handlers); }

void CDeviceTcpChannel::clearHandlers() { m_handlers = S_Handlers{}; }

int CDeviceTcpChannel::startConnect(const asio::ip::tcp::endpoint& endpoint, std::int32_t timeoutMs)
{
    boost::system::error_code error;
    m_socket.open(endpoint.protocol(), error);
    if (error)
    {
        return error.value() > 0 ? -error.value() : -EIO;
    }
    m_connectStarted = true;
    m_readBuffer = std::make_unique<std::array<std::uint8_t, READ_BUFFER_SIZE>>();
    auto self = shared_from_this();
    m_connectTimer.expires_after(std::chrono::milliseconds(timeoutMs));
    m_connectTimer.async_wait([self](const boost::system::error_code& timerError) {
        if (!timerError)
        {
            self->closeOnLoop();  // connect timed out
        }
    });
    m_socket.async_connect(endpoint, [self](const boost::system::error_code& connectError) {
        {
            std::lock_guard<std::mutex> lock(self->m_writeMutex);
            if (self->m_closed)
            {
                return;
            }
        }
        self->m_connectTimer.cancel();
        if (connectError)
        {
            self->closeOnLoop();
            return;
        }
        // Each frame is written whole; the device answers it before the next one comes, so
        // nothing is gained by holding a small frame back for more.
        boost::system::error_code ignored;
        self->m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        {
            std::lock_guard<std::mutex> lock(self->m_writeMutex);
            self->m_connected = true;
            self->m_descriptor = self->m_socket.native_handle();
        }
        if (auto handler = self->m_handlers.connected)
        {
            handler(self);
        }
        self->startRead();
    });
    return 0;
}

int CDeviceTcpChannel::enableKeepAlive(int idleSeconds)
{
    const int handle = m_socket.native_handle();
    const int on = 1;
    if (::setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0)
    {
        return -errno;
    }
    if (::setsockopt(handle, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof(idleSeconds)) != 0)
    {
        return -errno;
    }
    return 0;
}

int CDeviceTcpChannel::write(const std::vector<std::uint8_t>& bytes)
{
    return write(FramePointer(CFrameBuffer::copyOf(bytes)));
}

int CDeviceTcpChannel::write(FramePointer frame)
{
    const std::size_t size = frame->size();
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        if (m_closed || !m_connected)
        {
            return -ENOTCONN;
        }
        if (size > MAX_PENDING_WRITE_BYTES - m_pendingWriteBytes)
        {
            return -ENOBUFS;
        }
        std::size_t written = 0;
        if (!m_writing && m_writeQueue.empty())
        {
            // Nothing ahead of this frame: the socket takes it from this thread, usually whole.
            ssize_t count = 0;
            do
            {
                count = ::send(m_descriptor, frame->data(), size, MSG_DONTWAIT | MSG_NOSIGNAL);
            } while (count < 0 && errno == EINTR);
            if (count >= 0 && static_cast<std::size_t>(count) == size)
            {
                return static_cast<int>(size);
            }
            // The rest goes through the loop; a socket error shows there and closes the channel.
            written = count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        m_pendingWriteBytes += size - written;
        m_writeQueue.push_back({std::move(frame), written});
        if (m_writing)
        {
            return static_cast<int>(size);
        }
        m_writing = true;
    }
    asio::post(m_loop, [self = shared_from_this()] { self->flushWrites(); });
    return static_cast<int>(size);
}

void CDeviceTcpChannel::flushWrites()
{
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        if (m_closed || m_writeQueue.empty())
        {
            m_writing = false;
            return;
        }
        // Every queued frame in one gathered write; frames stay put in the deque while others
        // are appended, and only this thread removes them.
        m_gather.clear();
        for (const S_QueuedFrame& queued : m_writeQueue)
        {
            m_gather.emplace_back(queued.frame->data() + queued.offset, queued.frame->size() - queued.offset);
        }
        m_gatheredFrames = m_writeQueue.size();
    }
    asio::async_write(m_socket, m_gather,
                      [self = shared_from_this()](const boost::system::error_code& error, std::size_t)
                      {
                          if (error)
                          {
                              self->closeOnLoop();
                              return;
                          }
                          {
                              std::lock_guard<std::mutex> lock(self->m_writeMutex);
                              if (self->m_closed)
                              {
                                  self->m_writing = false;
                                  return;
                              }
                              for (std::size_t i = 0;
                                   i < self->m_gatheredFrames && !self->m_writeQueue.empty(); ++i)
                              {
                                  const S_QueuedFrame& done = self->m_writeQueue.front();
                                  self->m_pendingWriteBytes -= done.frame->size() - done.offset;
                                  self->m_writeQueue.pop_front();
                              }
                              self->m_gatheredFrames = 0;
                          }
                          self->flushWrites();
                      });
}

void CDeviceTcpChannel::startRead()
{
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        if (m_closed)
        {
            return;
        }
    }
    m_socket.async_read_some(
        asio::buffer(*m_readBuffer),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            {
                std::lock_guard<std::mutex> lock(self->m_writeMutex);
                if (self->m_closed)
                {
                    return;
                }
            }
            if (error)
            {
                self->closeOnLoop();
                return;
            }
            if (auto handler = self->m_handlers.received)
            {
                handler(self, self->m_readBuffer->data(), count);
            }
            self->startRead();
        });
}

void CDeviceTcpChannel::close()
{
    asio::post(m_loop, [self = shared_from_this()] { self->closeOnLoop(); });
}

void CDeviceTcpChannel::closeOnLoop()
{
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        if (m_closed)
        {
            return;
        }
        m_closed = true;
        m_connected = false;
        m_descriptor = -1;
        // The queue stays until destruction: an aborted write may still refer to its frames.
    }
    m_connectTimer.cancel();
    boost::system::error_code ignored;
    m_socket.close(ignored);
    if (!m_connectStarted)
    {
        return;
    }
    // Copied first: the handler may clear the handlers of this channel.
    auto handler = m_handlers.closed;
    if (handler)
    {
        handler(shared_from_this());
    }
}

}  // namespace ota::backend
