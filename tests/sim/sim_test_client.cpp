#include "sim/sim_test_client.h"

#include "support/wait_until.h"

#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ota::test
{

using namespace ota::backend;

CSimTestClient::CSimTestClient(const std::string& protocolNodeType)
{
    std::string error;
    m_adapter = createProtocolAdapter("ota-v1", protocolNodeType, error);
    if (!m_adapter)
    {
        throw std::runtime_error(error);
    }
}

CSimTestClient::~CSimTestClient()
{
    close();
}

bool CSimTestClient::connect(std::uint16_t port)
{
    close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        ::close(fd);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    m_socket = fd;
    m_peerClosed = false;
    m_events.clear();
    m_adapter->resetDecoder();
    return true;
}

bool CSimTestClient::connectWithin(std::uint16_t port, std::chrono::milliseconds bound)
{
    return waitUntil([&] { return connect(port); }, bound);
}

void CSimTestClient::close()
{
    if (m_socket >= 0)
    {
        ::close(m_socket);
        m_socket = -1;
    }
}

bool CSimTestClient::sendBytes(const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    while (m_socket >= 0 && sent < bytes.size())
    {
        const ssize_t count = ::send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0)
        {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return m_socket >= 0;
}

bool CSimTestClient::queryStatus(std::uint32_t upgradeNo)
{
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    std::uint32_t encoded = 0;
    const bool ok = upgradeNo == 0 ? m_adapter->encodeStatusQuery(bytes, type, encoded, error)
                                   : m_adapter->encodeUpgradeStatusQuery(upgradeNo, bytes, type, encoded, error);
    return ok && sendBytes(bytes);
}

bool CSimTestClient::command(std::uint32_t upgradeNo, std::uint8_t commandType, std::uint8_t stage,
                             std::uint16_t commandParam)
{
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    return m_adapter->encodeCommand(upgradeNo, S_ProtocolCommand{commandType, stage, commandParam}, bytes, type, error) &&
           sendBytes(bytes);
}

bool CSimTestClient::targetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targets)
{
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    return m_adapter->encodeTargetList(upgradeNo, targets, bytes, type, error) && sendBytes(bytes);
}

bool CSimTestClient::fileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& info)
{
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    return m_adapter->encodeFileInfo(upgradeNo, info, bytes, type, error) && sendBytes(bytes);
}

bool CSimTestClient::fileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunk& chunk)
{
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    return m_adapter->encodeFileChunk(upgradeNo, chunk, bytes, type, error) && sendBytes(bytes);
}

bool CSimTestClient::readSome(std::chrono::milliseconds bound)
{
    if (m_socket < 0 || m_peerClosed)
    {
        return false;
    }
    pollfd descriptor{m_socket, POLLIN, 0};
    if (::poll(&descriptor, 1, static_cast<int>(bound.count())) <= 0)
    {
        return false;
    }
    std::uint8_t buffer[65536];
    const ssize_t count = ::recv(m_socket, buffer, sizeof(buffer), 0);
    if (count <= 0)
    {
        m_peerClosed = true;
        return false;
    }
    S_ProtocolDecodeResult decoded = m_adapter->decode(buffer, static_cast<std::size_t>(count), false);
    m_discarded += decoded.discardedByteCount;
    m_errors.insert(m_errors.end(), decoded.errors.begin(), decoded.errors.end());
    if (decoded.connectionRejected)
    {
        m_rejected = true;
        m_rejectionReason = decoded.rejectionReason;
    }
    for (S_ProtocolEvent& event : decoded.events)
    {
        m_events.push_back(std::move(event));
    }
    return true;
}

std::optional<S_ProtocolEvent> CSimTestClient::nextEvent(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (m_events.empty())
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (!readSome(left) && (m_peerClosed || m_socket < 0)))
        {
            if (m_events.empty())
            {
                return std::nullopt;
            }
        }
    }
    S_ProtocolEvent event = std::move(m_events.front());
    m_events.pop_front();
    return event;
}

std::optional<S_ProtocolEvent> CSimTestClient::nextNonProgress(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<S_ProtocolEvent> event = nextEvent(std::max(left, std::chrono::milliseconds(0)));
        if (!event || !event->progress())
        {
            return event;
        }
        ++m_progressCount;
    }
}

bool CSimTestClient::waitClosed(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!m_peerClosed && m_socket >= 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            return false;
        }
        readSome(left);
    }
    m_events.clear();
    return true;
}

std::uint64_t raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max)
    {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

}  // namespace ota::test
