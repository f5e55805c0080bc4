#include "device/raw_device_peer.h"

#include "protocol/device_side_codec.h"
#include "protocol/protocol_enums.h"

#include <cerrno>
#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ota::test
{

using namespace ota::backend;

namespace
{

constexpr int POLL_SLICE_MS = 20;

// Waits for the events in slices, so that a stopping peer is noticed; false when stopping.
bool waitFor(int socket, short events, const std::atomic<bool>& stopping, int boundMs)
{
    int waited = 0;
    while (!stopping.load())
    {
        pollfd descriptor{socket, events, 0};
        const int ready = ::poll(&descriptor, 1, POLL_SLICE_MS);
        if (ready > 0)
        {
            return true;
        }
        waited += POLL_SLICE_MS;
        if (boundMs >= 0 && waited >= boundMs)
        {
            return false;
        }
    }
    return false;
}

}  // namespace

bool CRawConnection::send(const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        if (!waitFor(m_socket, POLLOUT, m_stopping, -1))
        {
            return false;
        }
        const ssize_t count =
            ::send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        {
            continue;
        }
        if (count <= 0)
        {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

bool CRawConnection::receive(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds bound)
{
    if (!waitFor(m_socket, POLLIN, m_stopping, static_cast<int>(bound.count())))
    {
        return !m_stopping.load();
    }
    std::uint8_t buffer[16384];
    const ssize_t count = ::recv(m_socket, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    {
        return true;
    }
    if (count <= 0)
    {
        return false;
    }
    bytes.insert(bytes.end(), buffer, buffer + count);
    return true;
}

void CRawConnection::holdOpen()
{
    std::vector<std::uint8_t> ignored;
    while (!stopping() && receive(ignored, std::chrono::milliseconds(100)))
    {
        ignored.clear();
    }
}

void CRawConnection::stall()
{
    while (!stopping())
    {
        pollfd descriptor{m_socket, 0, 0};
        if (::poll(&descriptor, 1, POLL_SLICE_MS) > 0 && (descriptor.revents & (POLLHUP | POLLERR)) != 0)
        {
            return;
        }
    }
}

CRawDevicePeer::CRawDevicePeer(Behaviour behaviour) : m_behaviour(std::move(behaviour))
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_listener, 16) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        if (m_listener >= 0)
        {
            ::close(m_listener);
        }
        throw std::runtime_error("Cannot open the raw device peer's listener");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
}

CRawDevicePeer::~CRawDevicePeer()
{
    stop();
}

void CRawDevicePeer::stop()
{
    m_stopping = true;
    if (m_thread.joinable())
    {
        m_thread.join();
    }
    if (m_listener >= 0)
    {
        ::close(m_listener);
        m_listener = -1;
    }
}

void CRawDevicePeer::serve()
{
    while (waitFor(m_listener, POLLIN, m_stopping, -1))
    {
        const int socket = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0)
        {
            continue;
        }
        ++m_accepted;
        CRawConnection connection(socket, m_stopping);
        m_behaviour(connection);
        ::close(socket);
    }
}

std::vector<std::uint8_t> deviceStatusFrame(const char* protocolNodeType, std::uint32_t upgradeNo)
{
    std::uint8_t deviceType = 0;
    if (!deviceTypeFromProtocolNodeType(protocolNodeType, deviceType))
    {
        throw std::runtime_error(std::string("Unknown device type ") + protocolNodeType);
    }
    const S_ProtocolDeviceStatus status = makeDeviceStatus(toProtocolByte(E_DeviceUpgradeState::READY), 0,
                                                           standardDeviceComponents(deviceType, "1.0.0"));
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!encodeDeviceStatusFrame(deviceType, upgradeNo, status, bytes, error))
    {
        throw std::runtime_error(error);
    }
    return bytes;
}

}  // namespace ota::test
