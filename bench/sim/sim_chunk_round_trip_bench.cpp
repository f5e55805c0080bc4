// Stop-and-wait chunk round trips against one simulated device, beside a minimal echo server
// that answers each chunk frame with a fixed 26-byte frame (the size of a chunk report) without
// decoding anything. The difference is what the simulator adds to every round trip.
#include "protocol/protocol_adapter.h"
#include "protocol/protocol_enums.h"
#include "sim/device_simulator.h"
#include "support/stop_and_wait_client.h"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <vector>

namespace
{

using namespace ota::backend;
using ota::bench::CChunkTransfer;
using ota::bench::CLowLatencyRequest;
using ota::bench::CProcessorPlacement;
using ota::bench::CStopAndWaitClient;
using ota::bench::REPORT_FRAME_LENGTH;
using ota::bench::S_ChunkFrames;

constexpr std::uint16_t CHUNKS_PER_FILE = 512;

S_ChunkFrames encodeFile(IDeviceProtocolAdapter& adapter, std::uint32_t upgradeNo, std::uint16_t chunkSize)
{
    return ota::bench::encodeChunkFrames(adapter, upgradeNo, chunkSize, CHUNKS_PER_FILE);
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

// Once the whole file has been sent, opens the next upgrade with the benchmark's timing paused.
void openNextUpgradeIfFileSent(CChunkTransfer& transfer, benchmark::State& state)
{
    if (transfer.fileSent())
    {
        state.PauseTiming();
        transfer.openNextUpgrade();
        state.ResumeTiming();
    }
}

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
    CStopAndWaitClient client(simulator.boundPort("emu-1"));
    CChunkTransfer transfer(client, *adapter, chunkSize, CHUNKS_PER_FILE);
    for (auto _ : state)
    {
        openNextUpgradeIfFileSent(transfer, state);
        transfer.roundTrip();
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
        CStopAndWaitClient client(server.port());
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
        CStopAndWaitClient echoClient(echoServer.port());
        CStopAndWaitClient simClient(simulator.boundPort("emu-1"));
        CChunkTransfer transfer(simClient, *adapter, chunkSize, CHUNKS_PER_FILE);
        const S_ChunkFrames echoFile = encodeFile(*adapter, 1, chunkSize);
        std::size_t echoChunkNo = 0;
        std::array<std::uint8_t, REPORT_FRAME_LENGTH> reply{};
        const auto timeBlock = [&reply](CStopAndWaitClient& client, const auto& nextFrame)
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
            openNextUpgradeIfFileSent(transfer, state);
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
// CPU of the whole process: the simulator's loop thread as well as the client.
BENCHMARK(BM_SimulatedDeviceChunkRoundTrip)
    ->Arg(1024)
    ->Arg(10240)
    ->Arg(32768)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_SimulatorOverheadInterleaved)->Arg(1024)->Arg(10240)->Arg(32768)->UseRealTime();

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
