// Stop-and-wait chunk round trips against one simulated device, beside a minimal echo server
// that answers each chunk frame with a fixed 26-byte frame (the size of a chunk report) without
// decoding anything. The difference is what the simulator adds to every round trip.
#include "common/digest.h"
#include "protocol/protocol_adapter.h"
#include "protocol/protocol_enums.h"
#include "sim/device_simulator.h"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using namespace ota::backend;

constexpr std::size_t REPORT_FRAME_LENGTH = 26;  // 17 bytes of framing + 9 bytes of chunk report
constexpr std::uint16_t CHUNKS_PER_FILE = 512;

// Blocking loopback client shared by both servers, so the client's cost is the same on both.
class CBenchClient
{
public:
    explicit CBenchClient(std::uint16_t port)
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        {
            throw std::runtime_error("connect failed");
        }
        const int one = 1;
        ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~CBenchClient() { ::close(m_socket); }

    void send(const std::vector<std::uint8_t>& bytes)
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

    void receiveExactly(std::uint8_t* data, std::size_t size)
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

    // Reads until the adapter yields an event (setup steps only).
    S_ProtocolEvent nextEvent(IDeviceProtocolAdapter& adapter)
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

private:
    int m_socket = -1;
    std::vector<S_ProtocolEvent> m_pending;
};

struct S_ChunkFrames
{
    std::vector<std::vector<std::uint8_t>> frames;
    S_ProtocolFileInfo info;
};

S_ChunkFrames encodeFile(IDeviceProtocolAdapter& adapter, std::uint32_t upgradeNo, std::uint16_t chunkSize)
{
    std::vector<std::uint8_t> content(std::size_t{chunkSize} * CHUNKS_PER_FILE);
    for (std::size_t index = 0; index < content.size(); ++index)
    {
        content[index] = static_cast<std::uint8_t>(index * 131 + 7);
    }
    S_ChunkFrames result;
    result.info.fileNo = 1;
    result.info.fileName = "bench.bin";
    result.info.fileSize = static_cast<std::uint32_t>(content.size());
    result.info.chunkSize = chunkSize;
    result.info.totalChunks = CHUNKS_PER_FILE;
    result.info.sha256 = CSha256::digestOf(content.data(), content.size());
    for (std::uint16_t chunkNo = 0; chunkNo < CHUNKS_PER_FILE; ++chunkNo)
    {
        S_ProtocolFileChunk chunk;
        chunk.fileNo = 1;
        chunk.chunkNo = chunkNo;
        chunk.totalChunks = CHUNKS_PER_FILE;
        chunk.data.assign(content.begin() + chunkNo * chunkSize, content.begin() + (chunkNo + 1) * chunkSize);
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

// Brings the simulated EMU to the point where it expects chunk 0 of a new file.
void openTransfer(CBenchClient& client, IDeviceProtocolAdapter& adapter, std::uint32_t upgradeNo,
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

// An EMU that answers at once and sends nothing of its own.
S_SimDeviceSpec benchDeviceSpec()
{
    S_SimDeviceSpec spec;
    spec.nodeId = "emu-1";
    spec.deviceType = toProtocolByte(E_ProtocolDeviceType::EMU);
    spec.timings.preparationMs = 0;
    spec.progressReports = false;
    spec.statusOnConnect = false;
    return spec;
}

// The chunk frames of one simulated upgrade after another, on one connection to the device.
class CSimulatedTransfer
{
public:
    CSimulatedTransfer(CBenchClient& client, IDeviceProtocolAdapter& adapter, std::uint16_t chunkSize)
        : m_client(client), m_adapter(adapter), m_chunkSize(chunkSize)
    {
        open();
    }

    // Once the whole file has been sent, opens the next upgrade (a new target list replaces
    // the context) with the benchmark's timing paused.
    void openNextUpgradeIfFileSent(benchmark::State& state)
    {
        if (m_chunkNo == CHUNKS_PER_FILE)
        {
            state.PauseTiming();
            ++m_upgradeNo;
            open();
            state.ResumeTiming();
        }
    }
    const std::vector<std::uint8_t>& nextFrame() { return m_file.frames[m_chunkNo++]; }

private:
    void open()
    {
        m_file = encodeFile(m_adapter, m_upgradeNo, m_chunkSize);
        openTransfer(m_client, m_adapter, m_upgradeNo, m_file.info);
        m_chunkNo = 0;
    }

    CBenchClient& m_client;
    IDeviceProtocolAdapter& m_adapter;
    const std::uint16_t m_chunkSize;
    std::uint32_t m_upgradeNo = 1;
    S_ChunkFrames m_file;
    std::uint16_t m_chunkNo = 0;
};

void BM_SimulatedDeviceChunkRoundTrip(benchmark::State& state)
{
    const auto chunkSize = static_cast<std::uint16_t>(state.range(0));
    CDeviceSimulator simulator(S_SimOptions{E_SimLogLevel::QUIET});
    std::string error;
    if (!simulator.start({benchDeviceSpec()}, error))
    {
        state.SkipWithError(error.c_str());
        return;
    }
    std::string adapterError;
    auto adapter = createProtocolAdapter("ota-v1", "EMU", adapterError);
    CBenchClient client(simulator.boundPort("emu-1"));
    CSimulatedTransfer transfer(client, *adapter, chunkSize);
    std::array<std::uint8_t, REPORT_FRAME_LENGTH> reply{};
    for (auto _ : state)
    {
        transfer.openNextUpgradeIfFileSent(state);
        client.send(transfer.nextFrame());
        client.receiveExactly(reply.data(), reply.size());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * chunkSize);
    simulator.stop();
}

// One connection, one loop thread: read a whole frame (header length field), answer 26 bytes.
class CEchoServer
{
public:
    CEchoServer() : m_acceptor(m_io, {boost::asio::ip::make_address("127.0.0.1"), 0})
    {
        m_thread = std::thread(
            [this]
            {
                boost::asio::ip::tcp::socket socket = m_acceptor.accept();
                socket.set_option(boost::asio::ip::tcp::no_delay(true));
                std::vector<std::uint8_t> frame(70000);
                const std::array<std::uint8_t, REPORT_FRAME_LENGTH> reply{};
                boost::system::error_code code;
                for (;;)
                {
                    boost::asio::read(socket, boost::asio::buffer(frame.data(), 13), code);
                    if (code)
                    {
                        return;
                    }
                    const std::size_t rest = std::size_t{frame[11]} + (std::size_t{frame[12]} << 8) + 4;
                    boost::asio::read(socket, boost::asio::buffer(frame.data() + 13, rest), code);
                    if (code)
                    {
                        return;
                    }
                    boost::asio::write(socket, boost::asio::buffer(reply), code);
                    if (code)
                    {
                        return;
                    }
                }
            });
    }
    ~CEchoServer() { m_thread.join(); }
    std::uint16_t port() const { return m_acceptor.local_endpoint().port(); }

private:
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::thread m_thread;
};

void BM_MinimalEchoServerChunkRoundTrip(benchmark::State& state)
{
    const auto chunkSize = static_cast<std::uint16_t>(state.range(0));
    CEchoServer server;
    std::string adapterError;
    auto adapter = createProtocolAdapter("ota-v1", "EMU", adapterError);
    const S_ChunkFrames file = encodeFile(*adapter, 1, chunkSize);
    {
        CBenchClient client(server.port());
        std::array<std::uint8_t, REPORT_FRAME_LENGTH> reply{};
        std::uint16_t chunkNo = 0;
        for (auto _ : state)
        {
            client.send(file.frames[chunkNo]);
            chunkNo = static_cast<std::uint16_t>((chunkNo + 1) % CHUNKS_PER_FILE);
            client.receiveExactly(reply.data(), reply.size());
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * chunkSize);
}

// Pins the calling thread (and so the threads it starts) to one processor; restores the
// original set. Without pinning, whether client and server share a core decides the figure.
class CProcessorPlacement
{
public:
    CProcessorPlacement() { sched_getaffinity(0, sizeof(m_original), &m_original); }
    int first() const
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
    int last() const
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
    void pinCallerTo(int cpu) const
    {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof(set), &set);
    }
    void restoreCaller() const { sched_setaffinity(0, sizeof(m_original), &m_original); }

private:
    cpu_set_t m_original{};
};

// Both servers side by side, in alternating blocks of round trips, so that the host's drift
// (other guests, frequency changes) falls on both alike. Reports the median block of each and
// the simulator's overhead over the echo server in per cent.
void BM_SimulatorOverheadInterleaved(benchmark::State& state)
{
    constexpr int BLOCK_ROUND_TRIPS = 64;
    static_assert(CHUNKS_PER_FILE % BLOCK_ROUND_TRIPS == 0);
    const auto chunkSize = static_cast<std::uint16_t>(state.range(0));
    // Servers on the last processor, the client on the first: both servers see the same
    // placement, as a device and the backend on separate machines would.
    const CProcessorPlacement placement;
    placement.pinCallerTo(placement.last());
    CEchoServer echoServer;
    std::string adapterError;
    auto adapter = createProtocolAdapter("ota-v1", "EMU", adapterError);
    CDeviceSimulator simulator(S_SimOptions{E_SimLogLevel::QUIET});
    std::string error;
    if (!simulator.start({benchDeviceSpec()}, error))
    {
        state.SkipWithError(error.c_str());
        return;
    }
    placement.pinCallerTo(placement.first());
    std::vector<double> echoBlocks;
    std::vector<double> simBlocks;
    {
        CBenchClient echoClient(echoServer.port());
        CBenchClient simClient(simulator.boundPort("emu-1"));
        CSimulatedTransfer transfer(simClient, *adapter, chunkSize);
        const S_ChunkFrames echoFile = encodeFile(*adapter, 1, chunkSize);
        std::size_t echoChunkNo = 0;
        std::array<std::uint8_t, REPORT_FRAME_LENGTH> reply{};
        const auto timeBlock = [&reply](CBenchClient& client, const auto& nextFrame)
        {
            const auto started = std::chrono::steady_clock::now();
            for (int roundTrip = 0; roundTrip < BLOCK_ROUND_TRIPS; ++roundTrip)
            {
                client.send(nextFrame());
                client.receiveExactly(reply.data(), reply.size());
            }
            return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
                       .count() /
                   BLOCK_ROUND_TRIPS;
        };
        for (auto _ : state)
        {
            // Blocks never straddle two upgrades.
            transfer.openNextUpgradeIfFileSent(state);
            echoBlocks.push_back(timeBlock(
                echoClient, [&]() -> const auto& {
                    return echoFile.frames[echoChunkNo++ % CHUNKS_PER_FILE];
                }));
            simBlocks.push_back(timeBlock(
                simClient, [&]() -> const auto& { return transfer.nextFrame(); }));
        }
    }
    simulator.stop();
    placement.restoreCaller();
    const auto median = [](std::vector<double>& values)
    {
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                         values.end());
        return values[values.size() / 2];
    };
    if (echoBlocks.empty())
    {
        return;
    }
    const double echoMicros = median(echoBlocks);
    const double simMicros = median(simBlocks);
    state.counters["echo_us"] = echoMicros;
    state.counters["sim_us"] = simMicros;
    state.counters["overhead_pct"] = (simMicros - echoMicros) / simMicros * 100.0;
}

BENCHMARK(BM_MinimalEchoServerChunkRoundTrip)->Arg(1024)->Arg(10240)->Arg(32768)->UseRealTime();
BENCHMARK(BM_SimulatedDeviceChunkRoundTrip)->Arg(1024)->Arg(10240)->Arg(32768)->UseRealTime();
BENCHMARK(BM_SimulatorOverheadInterleaved)->Arg(1024)->Arg(10240)->Arg(32768)->UseRealTime();

// Idle processors wake up in about 100 us on the reference machine, more than a whole round
// trip costs; where allowed (root), ask for no deep idle states while measuring, so the figures
// show the work of each side rather than the wake-ups.
class CLowLatencyRequest
{
public:
    CLowLatencyRequest()
    {
        m_descriptor = ::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
        const std::int32_t zero = 0;
        if (m_descriptor >= 0 && ::write(m_descriptor, &zero, sizeof(zero)) != sizeof(zero))
        {
            ::close(m_descriptor);
            m_descriptor = -1;
        }
    }
    ~CLowLatencyRequest()
    {
        if (m_descriptor >= 0)
        {
            ::close(m_descriptor);
        }
    }
    bool held() const { return m_descriptor >= 0; }

private:
    int m_descriptor = -1;
};

}  // namespace

int main(int argc, char** argv)
{
    const CLowLatencyRequest lowLatency;
    benchmark::AddCustomContext("cpu_dma_latency", lowLatency.held() ? "0 (held)" : "default");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
