// The execution engine against simulated EMUs, with the device TCP manager in between, all in
// this process (see engine_bench_site.h for how a task is measured):
//   EngineChunkRoundTrip  one device, one 4 MiB file of 32 KiB chunks: chunk round trips through
//                         engine and manager beside a minimal stop-and-wait client on the same
//                         kind of simulated device, in alternating blocks: round trip against the
//                         client's (rt_ratio), CPU per round trip of the backend's threads (engine,
//                         transport, loop; the simulators' threads taken out) against the client's
//                         (cpu_ratio), heap allocations of the backend's threads per round trip
//                         (counting allocator) and console lines per round trip, both counted from
//                         the first chunk sent to the report of the last one.
//   Parallelism           every answer 2 ms late, the same file to 1 and to 32 devices at once:
//                         task time ratio (target <= 1.3) and aggregate throughput (target >= 25x);
//                         ParallelMinimalClients does the same transfers without the backend.
//   Publication           documents per second during transfers (target <= 10/s) with 1 and 32
//                         devices, and a state observer taking 50 ms per call beside one that
//                         takes none: the transfer must not wait for the observer.
//   Site                  1,000 devices, 32 workers: the whole task beside ceil(1000/32) one-device
//                         tasks.
// The service's console lines go to a log file (as they would to a journal), not between the
// reports: --service-log PATH, default /tmp/upgrade_bench_service.log.
#include "support/stop_and_wait_client.h"
#include "upgrade/engine_bench_site.h"

#include "protocol/protocol_enums.h"
#include "sim/device_simulator.h"

#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace
{

using namespace ota::backend;
using namespace ota::bench;

constexpr std::size_t kFourMiB = 4u << 20;
constexpr std::uint16_t kChunkSize = 32768;

std::int64_t callingThreadCpuNs()
{
    timespec value{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &value);
    return static_cast<std::int64_t>(value.tv_sec) * 1'000'000'000 + value.tv_nsec;
}

double median(std::vector<double> values)
{
    if (values.empty())
    {
        return 0;
    }
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                     values.end());
    return values[values.size() / 2];
}

std::uint64_t statusKilobytes(const std::string& key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind(key + ":", 0) == 0)
        {
            return std::stoull(line.substr(key.size() + 1));
        }
    }
    return 0;
}

// Runs a task that must succeed on every device; false (with the benchmark skipped) otherwise.
bool runTask(CEngineBenchSite& site, S_EngineTaskResult& result, benchmark::State& state)
{
    std::string error;
    if (!site.runTask(result, error))
    {
        state.SkipWithError(("task did not run: " + error).c_str());
        return false;
    }
    if (!result.firstFailure.empty())
    {
        state.SkipWithError(("task failed: " + result.firstFailure).c_str());
        return false;
    }
    return true;
}

bool startSite(CEngineBenchSite& site, benchmark::State& state)
{
    std::string error;
    if (!site.start(error))
    {
        state.SkipWithError(("site did not start: " + error).c_str());
        return false;
    }
    return true;
}

// What rendering one document costs the notification thread: getCurrentState builds the same
// view (a copy of every device record, under the state lock) and text. Median of 20, and the size.
void measureRendering(CUpgradeExecutionService& engine, benchmark::State& state)
{
    std::vector<double> renderMs;
    std::size_t documentBytes = 0;
    for (int i = 0; i < 20; ++i)
    {
        std::string document;
        std::string error;
        const auto started = BenchClock::now();
        engine.getCurrentState(document, error);
        renderMs.push_back(std::chrono::duration<double, std::milli>(BenchClock::now() - started).count());
        documentBytes = document.size();
    }
    state.counters["render_ms"] = median(renderMs);
    state.counters["doc_kB"] = static_cast<double>(documentBytes) / 1e3;
}

// ---- 1. chunk round trips through the engine beside a minimal client

// The minimal client's device: answers at once and sends nothing of its own.
S_SimDeviceSpec clientDeviceSpec()
{
    S_SimDeviceSpec spec;
    spec.nodeId = "emu-client";
    spec.deviceType = toProtocolByte(E_ProtocolDeviceType::EMU);
    spec.timings.preparationMs = 0;
    spec.progressReports = false;
    spec.statusOnConnect = false;
    return spec;
}

// range(0): 1 pins the simulators to the last processor and the backend side (engine, manager and
// the minimal client) to the first, as a device on its own machine would be; 0 leaves placement
// to the scheduler. Each iteration is one engine task; its transfer phase is the iteration time.
void BM_EngineChunkRoundTrip(benchmark::State& state)
{
    const bool pinned = state.range(0) != 0;
    const CProcessorPlacement placement;
    S_EngineSiteOptions options;
    options.fileSize = kFourMiB;
    options.chunkSize = kChunkSize;
    if (pinned)
    {
        options.simulatorCpu = placement.last();
        options.backendCpu = placement.first();
    }
    const auto chunkCount = static_cast<std::uint16_t>(kFourMiB / kChunkSize);

    // A simulator of its own, so that neither device's hashing sees the other one receiving.
    if (pinned)
    {
        placement.pinCallerTo(placement.last());
    }
    CDeviceSimulator clientSimulator(S_SimOptions{E_SimLogLevel::QUIET});
    std::string error;
    const std::vector<pid_t> threadsBefore = processThreadIds();
    if (!clientSimulator.start({clientDeviceSpec()}, error))
    {
        placement.restoreCaller();
        state.SkipWithError(error.c_str());
        return;
    }
    excludeThreads(newThreadIds(threadsBefore));
    excludeCallingThread();
    placement.restoreCaller();
    CEngineBenchSite site(options);
    if (!startSite(site, state))
    {
        return;
    }
    if (pinned)
    {
        // The engine's task and worker threads are started by this thread.
        placement.pinCallerTo(placement.first());
    }
    std::string adapterError;
    auto adapter = createProtocolAdapter("ota-v1", "EMU", adapterError);
    std::vector<double> engineMicros;
    std::vector<double> clientMicros;
    std::vector<double> turnMicros;
    std::vector<double> callMicros;
    std::vector<double> wireMicros;
    std::vector<double> p50Micros;
    std::vector<double> p90Micros;
    std::vector<double> engineCpuMicros;
    std::vector<double> clientCpuMicros;
    std::vector<double> allocationsPerRoundTrip;
    std::vector<double> linesPerRoundTrip;
    double taskMs = 0;
    {
        CStopAndWaitClient client(clientSimulator.boundPort("emu-client"));
        CChunkTransfer transfer(client, *adapter, kChunkSize, chunkCount);
        for (auto _ : state)
        {
            S_EngineTaskResult result;
            if (!runTask(site, result, state))
            {
                break;
            }
            state.SetIterationTime(result.transferWindowUs / 1e6);
            engineMicros.push_back(result.transferWindowUs / chunkCount);
            turnMicros.push_back(result.engineTurnUs);
            callMicros.push_back(result.sendCallUs);
            wireMicros.push_back(result.sendToReportUs);
            p50Micros.push_back(result.roundTripP50Us);
            p90Micros.push_back(result.roundTripP90Us);
            taskMs = result.taskMs;
            if (result.probed)
            {
                engineCpuMicros.push_back(result.probe.backendCpuUs / chunkCount);
                allocationsPerRoundTrip.push_back(static_cast<double>(result.probe.allocations) / chunkCount);
                linesPerRoundTrip.push_back(static_cast<double>(result.probe.consoleLines) / chunkCount);
            }

            if (transfer.fileSent())
            {
                transfer.openNextUpgrade();
            }
            const auto started = BenchClock::now();
            const std::int64_t cpuStarted = callingThreadCpuNs();
            for (std::uint16_t chunk = 0; chunk < chunkCount; ++chunk)
            {
                transfer.roundTrip();
            }
            clientCpuMicros.push_back(static_cast<double>(callingThreadCpuNs() - cpuStarted) / 1000.0 /
                                      chunkCount);
            clientMicros.push_back(
                std::chrono::duration<double, std::micro>(BenchClock::now() - started).count() / chunkCount);
        }
    }
    placement.restoreCaller();
    site.stop();
    clientSimulator.stop();
    if (engineMicros.empty())
    {
        return;
    }
    const double engine = median(engineMicros);
    const double client = median(clientMicros);
    state.SetItemsProcessed(state.iterations() * chunkCount);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kFourMiB));
    state.counters["engine_us"] = engine;
    state.counters["client_us"] = client;
    state.counters["engine_rt_per_s"] = 1e6 / engine;
    state.counters["client_rt_per_s"] = 1e6 / client;
    // Added time per round trip, relative to the minimal client's round trip.
    state.counters["overhead_pct"] = (engine - client) / client * 100.0;
    state.counters["task_ms"] = taskMs;
    // Where the engine's round trip goes: report -> next send, the send call, send -> report.
    state.counters["turn_us"] = median(turnMicros);
    state.counters["send_us"] = median(callMicros);
    state.counters["wire_us"] = median(wireMicros);
    state.counters["rt_p50_us"] = median(p50Micros);
    state.counters["rt_p90_us"] = median(p90Micros);
    // Round trip and CPU per round trip against the minimal client (targets 1.3 / 1.2 pinned, 2);
    // counted allocations and console lines per round trip of the backend's threads.
    state.counters["rt_ratio"] = engine / client;
    state.counters["cpu_us"] = median(engineCpuMicros);
    state.counters["client_cpu_us"] = median(clientCpuMicros);
    state.counters["cpu_ratio"] = median(engineCpuMicros) / median(clientCpuMicros);
    state.counters["allocs_per_rt"] = median(allocationsPerRoundTrip);
    state.counters["lines_per_rt"] = median(linesPerRoundTrip);
}

// ---- 2. one device beside 32 at once

S_EngineSiteOptions latencySite(unsigned devices, std::uint32_t replyLatencyMs, std::size_t fileSize)
{
    S_EngineSiteOptions options;
    options.deviceCount = devices;
    options.fileSize = fileSize;
    options.chunkSize = kChunkSize;
    options.deviceTimings.replyLatencyMs = replyLatencyMs;
    options.concurrency = 32;
    return options;
}

// range(0): the devices' reply latency in ms. Alternates a task on the 1-device site and one on
// the 32-device site; the 32-device task is the iteration time.
void BM_Parallelism(benchmark::State& state)
{
    const auto latency = static_cast<std::uint32_t>(state.range(0));
    CEngineBenchSite one(latencySite(1, latency, kFourMiB));
    CEngineBenchSite many(latencySite(32, latency, kFourMiB));
    if (!startSite(one, state) || !startSite(many, state))
    {
        return;
    }
    std::vector<double> taskOne;
    std::vector<double> taskMany;
    std::vector<double> windowOne;
    std::vector<double> windowMany;
    std::vector<double> deviceMany;
    std::uint64_t workers = 0;
    for (auto _ : state)
    {
        S_EngineTaskResult single;
        S_EngineTaskResult parallel;
        if (!runTask(one, single, state) || !runTask(many, parallel, state))
        {
            break;
        }
        state.SetIterationTime(parallel.taskMs / 1e3);
        taskOne.push_back(single.taskMs);
        taskMany.push_back(parallel.taskMs);
        windowOne.push_back(single.transferWindowUs / 1e3);
        windowMany.push_back(parallel.transferWindowUs / 1e3);
        deviceMany.push_back(parallel.meanDeviceTransferUs() / 1e3);
        workers = parallel.effectiveWorkerCount;
    }
    many.stop();
    one.stop();
    if (taskOne.empty())
    {
        return;
    }
    const double mb = static_cast<double>(kFourMiB) / 1e6;
    state.counters["task_ms_1"] = median(taskOne);
    state.counters["task_ms_32"] = median(taskMany);
    state.counters["task_ratio"] = median(taskMany) / median(taskOne);
    state.counters["transfer_ms_1"] = median(windowOne);
    state.counters["transfer_ms_32"] = median(windowMany);
    state.counters["device_transfer_ms_32"] = median(deviceMany);
    state.counters["MBps_1"] = mb / (median(windowOne) / 1e3);
    state.counters["MBps_32"] = 32 * mb / (median(windowMany) / 1e3);
    state.counters["aggregate_x"] = 32 * median(windowOne) / median(windowMany);
    state.counters["workers_32"] = static_cast<double>(workers);
}

// The same transfers without the backend: one minimal stop-and-wait client thread per simulated
// device, all at once, against one simulator. What loopback and simulator allow, as the
// reference for BM_Parallelism. range(0): reply latency in ms, range(1): devices.
void BM_ParallelMinimalClients(benchmark::State& state)
{
    const auto latency = static_cast<std::uint32_t>(state.range(0));
    const auto devices = static_cast<unsigned>(state.range(1));
    const auto chunkCount = static_cast<std::uint16_t>(kFourMiB / kChunkSize);
    std::vector<S_SimDeviceSpec> specs;
    for (unsigned i = 1; i <= devices; ++i)
    {
        S_SimDeviceSpec spec = clientDeviceSpec();
        spec.nodeId = "emu-client-" + std::to_string(i);
        spec.timings.replyLatencyMs = latency;
        specs.push_back(spec);
    }
    CDeviceSimulator simulator(S_SimOptions{E_SimLogLevel::QUIET});
    std::string error;
    if (!simulator.start(specs, error))
    {
        state.SkipWithError(error.c_str());
        return;
    }
    struct S_Lane
    {
        std::unique_ptr<IDeviceProtocolAdapter> adapter;
        std::unique_ptr<CStopAndWaitClient> client;
        std::unique_ptr<CChunkTransfer> transfer;
    };
    std::vector<S_Lane> lanes(devices);
    for (unsigned i = 0; i < devices; ++i)
    {
        std::string adapterError;
        lanes[i].adapter = createProtocolAdapter("ota-v1", "EMU", adapterError);
        lanes[i].client = std::make_unique<CStopAndWaitClient>(simulator.boundPort(specs[i].nodeId));
        lanes[i].transfer =
            std::make_unique<CChunkTransfer>(*lanes[i].client, *lanes[i].adapter, kChunkSize, chunkCount);
    }
    std::vector<double> windows;
    for (auto _ : state)
    {
        for (S_Lane& lane : lanes)
        {
            if (lane.transfer->fileSent())
            {
                lane.transfer->openNextUpgrade();
            }
        }
        const auto started = BenchClock::now();
        std::vector<std::thread> threads;
        for (S_Lane& lane : lanes)
        {
            threads.emplace_back(
                [&lane, chunkCount]
                {
                    for (std::uint16_t chunk = 0; chunk < chunkCount; ++chunk)
                    {
                        lane.transfer->roundTrip();
                    }
                });
        }
        for (std::thread& thread : threads)
        {
            thread.join();
        }
        const double seconds = std::chrono::duration<double>(BenchClock::now() - started).count();
        state.SetIterationTime(seconds);
        windows.push_back(seconds * 1e3);
    }
    lanes.clear();
    simulator.stop();
    state.counters["transfer_ms"] = median(windows);
    state.counters["MBps"] = devices * static_cast<double>(kFourMiB) / 1e6 / (median(windows) / 1e3);
}

// ---- 3. publication: documents during transfers, and a slow observer

// range(0): devices. A 16 MiB file with every answer 2 ms late keeps the transfer about a second
// long. Alternates a site whose observer returns at once with one whose observer takes 50 ms per
// document.
void BM_Publication(benchmark::State& state)
{
    const auto devices = static_cast<unsigned>(state.range(0));
    constexpr std::size_t kFileSize = 16u << 20;
    S_EngineSiteOptions fastOptions = latencySite(devices, 2, kFileSize);
    S_EngineSiteOptions slowOptions = fastOptions;
    slowOptions.observerDelayMs = 50;
    CEngineBenchSite fast(fastOptions);
    CEngineBenchSite slow(slowOptions);
    if (!startSite(fast, state) || !startSite(slow, state))
    {
        return;
    }
    struct S_Totals
    {
        std::vector<double> taskMs;
        std::vector<double> windowMs;
        double windowSeconds = 0;
        std::uint64_t documentsInWindow = 0;
        double commonSeconds = 0;
        std::uint64_t documentsInCommon = 0;
        double minGapMs = 1e9;
        std::uint64_t documents = 0;
        double busySeconds = 0;
        std::uint64_t reportsWhileBusy = 0;
        std::uint64_t reports = 0;
        void add(const S_EngineTaskResult& result)
        {
            taskMs.push_back(result.taskMs);
            windowMs.push_back(result.transferWindowUs / 1e3);
            windowSeconds += result.transferWindowUs / 1e6;
            documentsInWindow += result.documentsInTransferWindow;
            commonSeconds += result.commonWindowUs / 1e6;
            documentsInCommon += result.documentsInCommonWindow;
            minGapMs = std::min(minGapMs, result.minDocumentGapUs / 1e3);
            documents += result.documents;
            busySeconds += result.observerBusyUsInWindow / 1e6;
            reportsWhileBusy += result.chunkReportsDuringObserverCalls;
            reports += result.chunkReports;
        }
    } fastTotals, slowTotals;
    for (auto _ : state)
    {
        S_EngineTaskResult withFast;
        S_EngineTaskResult withSlow;
        if (!runTask(fast, withFast, state) || !runTask(slow, withSlow, state))
        {
            break;
        }
        state.SetIterationTime(withFast.taskMs / 1e3);
        fastTotals.add(withFast);
        slowTotals.add(withSlow);
    }
    measureRendering(fast.engine(), state);
    slow.stop();
    fast.stop();
    if (fastTotals.taskMs.empty())
    {
        return;
    }
    const double iterations = static_cast<double>(fastTotals.taskMs.size());
    state.counters["docs_per_s_transfer"] =
        static_cast<double>(fastTotals.documentsInWindow) / fastTotals.windowSeconds;
    // While every device was transferring at once: only progress documents, spaced by the interval.
    state.counters["docs_per_s_all_transfer"] =
        fastTotals.commonSeconds > 0
            ? static_cast<double>(fastTotals.documentsInCommon) / fastTotals.commonSeconds
            : 0;
    state.counters["all_transfer_ms"] = fastTotals.commonSeconds * 1e3 / iterations;
    state.counters["min_doc_gap_ms"] = fastTotals.minGapMs;
    state.counters["docs_per_task"] = static_cast<double>(fastTotals.documents) / iterations;
    state.counters["task_ms"] = median(fastTotals.taskMs);
    state.counters["transfer_ms"] = median(fastTotals.windowMs);
    state.counters["slow_docs_per_s_transfer"] =
        static_cast<double>(slowTotals.documentsInWindow) / slowTotals.windowSeconds;
    state.counters["slow_task_ms"] = median(slowTotals.taskMs);
    state.counters["slow_transfer_ms"] = median(slowTotals.windowMs);
    state.counters["slow_vs_fast_transfer"] = median(slowTotals.windowMs) / median(fastTotals.windowMs);
    // The slow observer's share of the transfer window, and the chunk report rate while it was
    // busy beside the rate over the whole window: equal when the workers never wait for it.
    state.counters["slow_busy_pct"] = slowTotals.busySeconds / slowTotals.windowSeconds * 100.0;
    state.counters["reports_per_s"] = static_cast<double>(slowTotals.reports) / slowTotals.windowSeconds;
    state.counters["reports_per_s_busy"] =
        slowTotals.busySeconds > 0 ? static_cast<double>(slowTotals.reportsWhileBusy) / slowTotals.busySeconds
                                   : 0;
}

// ---- 4. a 1,000-device site

// range(0): devices of the site, with a 1 MiB file and 32 workers. First a few tasks on a
// 1-device site give the one-device time; the ideal is ceil(devices / workers) of those.
void BM_Site(benchmark::State& state)
{
    const auto devices = static_cast<unsigned>(state.range(0));
    constexpr std::size_t kFileSize = 1u << 20;
    CEngineBenchSite one(latencySite(1, 0, kFileSize));
    if (!startSite(one, state))
    {
        return;
    }
    std::vector<double> oneDevice;
    for (int i = 0; i < 3; ++i)
    {
        S_EngineTaskResult result;
        if (!runTask(one, result, state))
        {
            return;
        }
        oneDevice.push_back(result.taskMs);
    }
    one.stop();
    CEngineBenchSite site(latencySite(devices, 0, kFileSize));
    if (!startSite(site, state))
    {
        return;
    }
    S_EngineTaskResult result;
    for (auto _ : state)
    {
        // Devices that fail are counted, not fatal: the task's end and its report are the point.
        std::string error;
        if (!site.runTask(result, error))
        {
            state.SkipWithError(("task did not run: " + error).c_str());
            break;
        }
        state.SetIterationTime(result.taskMs / 1e3);
    }
    measureRendering(site.engine(), state);
    site.stop();
    if (!result.firstFailure.empty())
    {
        state.SetLabel("first failure " + result.firstFailure);
    }
    if (result.deviceCount == 0)
    {
        return;
    }
    const double workers = static_cast<double>(result.effectiveWorkerCount);
    const double ideal = std::ceil(devices / workers) * median(oneDevice);
    state.counters["task_s"] = result.taskMs / 1e3;
    state.counters["one_device_ms"] = median(oneDevice);
    state.counters["ideal_s"] = ideal / 1e3;
    state.counters["vs_ideal"] = result.taskMs / ideal;
    state.counters["workers"] = workers;
    state.counters["success"] = static_cast<double>(result.successCount);
    state.counters["docs"] = static_cast<double>(result.documents);
    state.counters["transfer_s"] = result.transferWindowUs / 1e6;
    // Simulator and backend together, in this process.
    state.counters["process_hwm_MB"] = static_cast<double>(statusKilobytes("VmHWM")) / 1024.0;
}

BENCHMARK(BM_EngineChunkRoundTrip)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parallelism)->Arg(2)->Arg(0)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParallelMinimalClients)
    ->Args({2, 1})
    ->Args({2, 32})
    ->Args({0, 1})
    ->Args({0, 32})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Publication)->Arg(1)->Arg(32)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Site)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Moves the service's console lines (written through stdout and stderr) into a file and gives the
// benchmark's reports the original standard output.
class CServiceLogRedirect
{
public:
    explicit CServiceLogRedirect(const std::string& path)
        : m_reportDescriptor(::dup(STDOUT_FILENO)),
          m_buffer(m_reportDescriptor, std::ios::out),
          m_reports(&m_buffer)
    {
        std::fflush(stdout);
        if (std::freopen(path.c_str(), "w", stdout) == nullptr)
        {
            throw std::runtime_error("cannot open the service log " + path);
        }
    }
    std::ostream& reports() { return m_reports; }

private:
    int m_reportDescriptor;
    __gnu_cxx::stdio_filebuf<char> m_buffer;
    std::ostream m_reports;
};

// A 1,000-device site needs three descriptors per device in this process.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max)
    {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string logPath = "/tmp/upgrade_bench_service.log";
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i)
    {
        if (std::string(argv[i]) == "--service-log" && i + 1 < argc)
        {
            logPath = argv[++i];
            continue;
        }
        arguments.push_back(argv[i]);
    }
    int count = static_cast<int>(arguments.size());
    raiseDescriptorLimit();
    const CLowLatencyRequest lowLatency;
    benchmark::AddCustomContext("cpu_dma_latency", lowLatency.held() ? "0 (held)" : "default");
    benchmark::AddCustomContext("service_log", logPath);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
    {
        return 1;
    }
    CServiceLogRedirect redirect(logPath);
    setServiceLogPath(logPath);
    benchmark::ConsoleReporter reporter(::isatty(STDERR_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                                : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&redirect.reports());
    reporter.SetErrorStream(&redirect.reports());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    redirect.reports().flush();
    benchmark::Shutdown();
    return 0;
}
