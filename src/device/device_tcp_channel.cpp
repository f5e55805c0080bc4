#include "device/device_tcp_channel.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

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
        {
            std::lock_guard<std::mutex> lock(self->m_writeMutex);
            self->m_connected = true;
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

int CDeviceTcpChannel::write(std::vector<std::uint8_t> bytes)
{
    const auto size = bytes.size();
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
        m_pendingWriteBytes += size;
        m_writeQueue.push_back(std::move(bytes));
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
    const std::vector<std::uint8_t>* front = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        if (m_closed || m_writeQueue.empty())
        {
            m_writing = false;
            return;
        }
        front = &m_writeQueue.front();  // deque elements stay put while others are appended
    }
    asio::async_write(m_socket, asio::buffer(*front),
                      [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                          if (error)
                          {
                              self->closeOnLoop();
                              return;
                          }
                          {
                              std::lock_guard<std::mutex> lock(self->m_writeMutex);
                              if (self->m_closed || self->m_writeQueue.empty())
                              {
                                  self->m_writing = false;
                                  return;
                              }
                              self->m_pendingWriteBytes -= self->m_writeQueue.front().size();
                              self->m_writeQueue.pop_front();
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
        // The queue stays until destruction: an aborted write may still refer to its front.
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
