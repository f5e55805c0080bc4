// The service against a simulated site of 1,000 devices, both as real processes on loopback:
//   time from the backend's start until every device is CONNECTED (target under 5 s),
//   the backend's CPU share and resident memory while all are idle and connected (targets: under
//   3 % of one core, under 150 MB), and the latency of GET /api/v1/devices/status (target under
//   50 ms). Prints one line per figure.
//
//   device_fleet_bench [--devices N] [--idle-seconds S] [--requests R]

#include "support/site_processes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace
{

using ota::bench::CChild;
using ota::bench::CHttpClient;
using ota::bench::cpuTicks;
using ota::bench::findFreePortRun;
using ota::bench::readFile;
using ota::bench::statusKilobytes;
using ota::bench::waitForText;
using Clock = std::chrono::steady_clock;

const std::filesystem::path kBinaryDir = OTA_BINARY_DIR;

struct S_Options
{
    unsigned devices = 1000;
    unsigned idleSeconds = 10;
    unsigned requests = 50;
};

std::uint64_t connectedDevices(CHttpClient& client)
{
    const nlohmann::json health = nlohmann::json::parse(client.get("/api/v1/health"));
    return health["data"]["deviceTcp"]["connectedDeviceCount"].get<std::uint64_t>();
}

S_Options parseOptions(int argc, char** argv)
{
    S_Options options;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string name = argv[i];
        const unsigned value = static_cast<unsigned>(std::stoul(argv[i + 1]));
        if (name == "--devices")
        {
            options.devices = value;
        }
        else if (name == "--idle-seconds")
        {
            options.idleSeconds = value;
        }
        else if (name == "--requests")
        {
            options.requests = value;
        }
    }
    return options;
}

int runBench(const S_Options& options)
{
    char pattern[] = "/tmp/ota-fleet-XXXXXX";
    const std::filesystem::path directory = ::mkdtemp(pattern);
    const unsigned emu = std::max(1u, options.devices / 10);
    const unsigned pcs = (options.devices - emu) / 2;
    const unsigned bms = options.devices - emu - pcs;
    const std::uint16_t basePort = findFreePortRun(options.devices + 1);
    const std::uint16_t httpPort = static_cast<std::uint16_t>(basePort + options.devices);

    CChild simulator(
        {(kBinaryDir / "ota-device-sim").string(), "--generate-site", directory.string(), "--emu",
         std::to_string(emu), "--pcs", std::to_string(pcs), "--bms", std::to_string(bms), "--base-port",
         std::to_string(basePort), "--http-port", std::to_string(httpPort), "--quiet", "--no-summary"},
        directory / "sim.log");
    if (!waitForText(directory / "sim.log", "[READY]", std::chrono::seconds(60)))
    {
        std::fprintf(stderr, "simulator did not start:\n%s\n", readFile(directory / "sim.log").c_str());
        simulator.stop(SIGKILL);
        return 1;
    }

    const auto started = Clock::now();
    CChild backend(
        {(kBinaryDir / "ota-backend").string(), "--config", (directory / "ota-backend.json").string()},
        directory / "backend.log");
    int result = 0;
    try
    {
        if (!waitForText(directory / "backend.log", "[INFO] WebSocket events:", std::chrono::seconds(60)))
        {
            throw std::runtime_error("backend did not start:\n" + readFile(directory / "backend.log"));
        }
        CHttpClient client(httpPort);
        while (connectedDevices(client) < options.devices)
        {
            if (Clock::now() - started > std::chrono::seconds(120))
            {
                throw std::runtime_error("not every device connected within 120 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double connectSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("devices                          %u (%u EMU, %u PCS, %u BMS)\n", options.devices, emu,
                    pcs, bms);
        std::printf("start until all CONNECTED        %.2f s (target < 5 s)\n", connectSeconds);

        // Let the connect storm's events settle, then watch the idle service.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const std::uint64_t ticksBefore = cpuTicks(backend.pid());
        const auto idleStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
        const double idleSeconds = std::chrono::duration<double>(Clock::now() - idleStart).count();
        const double cpuSeconds = static_cast<double>(cpuTicks(backend.pid()) - ticksBefore) /
                                  static_cast<double>(::sysconf(_SC_CLK_TCK));
        std::printf("idle CPU share                   %.2f %% of one core over %.0f s (target < 3 %%)\n",
                    100.0 * cpuSeconds / idleSeconds, idleSeconds);
        std::printf("resident memory                  %.1f MB now, %.1f MB peak (target < 150 MB)\n",
                    static_cast<double>(statusKilobytes(backend.pid(), "VmRSS")) / 1024.0,
                    static_cast<double>(statusKilobytes(backend.pid(), "VmHWM")) / 1024.0);

        std::vector<double> latencies;
        std::size_t bytes = 0;
        for (unsigned i = 0; i < options.requests; ++i)
        {
            const auto begin = Clock::now();
            bytes = client.get("/api/v1/devices/status").size();
            latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        }
        std::sort(latencies.begin(), latencies.end());
        std::printf(
            "GET /api/v1/devices/status       median %.1f ms, p95 %.1f ms, max %.1f ms, %.2f MB "
            "(target < 50 ms)\n",
            latencies[latencies.size() / 2], latencies[latencies.size() * 95 / 100], latencies.back(),
            static_cast<double>(bytes) / 1e6);
        if (connectedDevices(client) != options.devices)
        {
            throw std::runtime_error("a device disconnected while idle");
        }
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "%s\n", exception.what());
        result = 1;
    }

    const auto stopping = Clock::now();
    const int exitCode = backend.stop();
    std::printf("stop with every device connected %.2f s, exit code %d\n",
                std::chrono::duration<double>(Clock::now() - stopping).count(), exitCode);
    simulator.stop();
    std::filesystem::remove_all(directory);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    try
    {
        return runBench(parseOptions(argc, argv));
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "device_fleet_bench: %s\n", exception.what());
        return 1;
    }
}
