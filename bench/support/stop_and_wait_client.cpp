#include "support/stop_and_wait_client.h"

#include "common/digest.h"
#include "protocol/protocol_enums.h"

#include <array>
#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ota::bench
{

using namespace ota::backend;

CStopAndWaitClient::CStopAndWaitClient(std::uint16_t port)
{
    m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        ::close(m_socket);
        throw std::runtime_error("connect failed");
    }
    const int one = 1;
    ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

CStopAndWaitClient::~CStopAndWaitClient()
{
    ::close(m_socket);
}

void CStopAndWaitClient::send(const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const ssize_t count = ::send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0)
        {
            throw std::runtime_error("send failed");
        }
        sent += static_cast<std::size_t>(count);
    }
}

void CStopAndWaitClient::receiveExactly(std::uint8_t* data, std::size_t size)
{
    std::size_t received = 0;
    while (received < size)
    {
        const ssize_t count = ::recv(m_socket, data + received, size - received, 0);
        if (count <= 0)
        {
            throw std::runtime_error("receive failed");
        }
        received += static_cast<std::size_t>(count);
    }
}

S_ProtocolEvent CStopAndWaitClient::nextEvent(IDeviceProtocolAdapter& adapter)
{
    for (;;)
    {
        if (!m_pending.empty())
        {
            S_ProtocolEvent event = m_pending.front();
            m_pending.erase(m_pending.begin());
            return event;
        }
        std::array<std::uint8_t, 4096> buffer{};
        const ssize_t count = ::recv(m_socket, buffer.data(), buffer.size(), 0);
        if (count <= 0)
        {
            throw std::runtime_error("device closed the connection");
        }
        S_ProtocolDecodeResult decoded =
            adapter.decode(buffer.data(), static_cast<std::size_t>(count), false);
        m_pending.insert(m_pending.end(), decoded.events.begin(), decoded.events.end());
    }
}

S_ChunkFrames encodeChunkFrames(IDeviceProtocolAdapter& adapter, std::uint32_t upgradeNo,
                                std::uint16_t chunkSize, std::uint16_t chunkCount)
{
    std::vector<std::uint8_t> content(std::size_t{chunkSize} * chunkCount);
    for (std::size_t index = 0; index < content.size(); ++index)
    {
        content[index] = static_cast<std::uint8_t>(index * 131 + 7);
    }
    S_ChunkFrames result;
    result.info.fileNo = 1;
    result.info.fileName = "bench.bin";
    result.info.fileSize = static_cast<std::uint32_t>(content.size());
    result.info.chunkSize = chunkSize;
    result.info.totalChunks = chunkCount;
    result.info.sha256 = CSha256::digestOf(content.data(), content.size());
    for (std::uint16_t chunkNo = 0; chunkNo < chunkCount; ++chunkNo)
    {
        S_ProtocolFileChunk chunk;
        chunk.fileNo = 1;
        chunk.chunkNo = chunkNo;
        chunk.totalChunks = chunkCount;
        const auto begin = content.begin() + static_cast<std::ptrdiff_t>(std::size_t{chunkNo} * chunkSize);
        chunk.data.assign(begin, begin + chunkSize);
        chunk.crc32 = crc32Of(chunk.data.data(), chunk.data.size());
        std::vector<std::uint8_t> bytes;
        std::string type;
        std::string error;
        if (!adapter.encodeFileChunk(upgradeNo, chunk, bytes, type, error))
        {
            throw std::runtime_error(error);
        }
        result.frames.push_back(std::move(bytes));
    }
    return result;
}

void openTransfer(CStopAndWaitClient& client, IDeviceProtocolAdapter& adapter, std::uint32_t upgradeNo,
                  const S_ProtocolFileInfo& info)
{
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    const auto command = [&](E_ProtocolCommandType commandType, E_ProtocolStage stage, std::uint16_t param)
    {
        adapter.encodeCommand(upgradeNo,
                              S_ProtocolCommand{toProtocolByte(commandType), toProtocolByte(stage), param},
                              bytes, type, error);
        client.send(bytes);
    };
    S_ProtocolTargetList targets;
    targets.targets.push_back({1, "EMU", 1, false, "2.0.0"});
    adapter.encodeTargetList(upgradeNo, targets, bytes, type, error);
    client.send(bytes);
    client.nextEvent(adapter);  // ACK
    command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION, 0);
    client.nextEvent(adapter);  // ACK
    client.nextEvent(adapter);  // stage report
    command(E_ProtocolCommandType::START_TRANSFER, E_ProtocolStage::FILE_TRANSFER, 1);
    client.nextEvent(adapter);  // ACK
    adapter.encodeFileInfo(upgradeNo, info, bytes, type, error);
    client.send(bytes);
    client.nextEvent(adapter);  // ACK
}

CChunkTransfer::CChunkTransfer(CStopAndWaitClient& client, IDeviceProtocolAdapter& adapter,
                               std::uint16_t chunkSize, std::uint16_t chunkCount)
    : m_client(client), m_adapter(adapter), m_chunkSize(chunkSize), m_chunkCount(chunkCount)
{
    open();
}

void CChunkTransfer::openNextUpgrade()
{
    ++m_upgradeNo;
    open();
}

void CChunkTransfer::roundTrip()
{
    std::array<std::uint8_t, REPORT_FRAME_LENGTH> reply{};
    m_client.send(nextFrame());
    m_client.receiveExactly(reply.data(), reply.size());
}

void CChunkTransfer::open()
{
    m_file = encodeChunkFrames(m_adapter, m_upgradeNo, m_chunkSize, m_chunkCount);
    openTransfer(m_client, m_adapter, m_upgradeNo, m_file.info);
    m_chunkNo = 0;
}

CProcessorPlacement::CProcessorPlacement()
{
    sched_getaffinity(0, sizeof(m_original), &m_original);
}

int CProcessorPlacement::first() const
{
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    {
        if (CPU_ISSET(cpu, &m_original))
        {
            return cpu;
        }
    }
    return 0;
}

int CProcessorPlacement::last() const
{
    int last = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    {
        if (CPU_ISSET(cpu, &m_original))
        {
            last = cpu;
        }
    }
    return last;
}

void CProcessorPlacement::pinCallerTo(int cpu) const
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

void CProcessorPlacement::restoreCaller() const
{
    sched_setaffinity(0, sizeof(m_original), &m_original);
}

CLowLatencyRequest::CLowLatencyRequest()
{
    m_descriptor = ::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
    const std::int32_t zero = 0;
    if (m_descriptor >= 0 && ::write(m_descriptor, &zero, sizeof(zero)) != sizeof(zero))
    {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

CLowLatencyRequest::~CLowLatencyRequest()
{
    if (m_descriptor >= 0)
    {
        ::close(m_descriptor);
    }
}

}  // namespace ota::bench
