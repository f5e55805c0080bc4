// The cost of the device status document of a 1,000-device site: building it, wrapping it in the
// API's response envelope, and the main loop's fingerprint of it. The adapter logs every request:
// run with standard output sent to /dev/null and --benchmark_out=<file> for the figures.
#include "api/api_adapters.h"
#include "device/communication_snapshot.h"
#include "device/device_status_fingerprint.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace
{

using namespace ota::backend;

// Connected devices as a site reports them: one EMU in ten, the rest PCS and BMS (6 BCUs).
std::vector<S_CommunicationNodeStatus> siteStatuses(std::size_t count)
{
    std::vector<S_CommunicationNodeStatus> nodes(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        S_CommunicationNodeStatus& node = nodes[i];
        const char* type = i % 10 == 0 ? "EMU" : i % 2 == 0 ? "PCS" : "BMS";
        node.nodeId = std::string(type) + "-" + std::to_string(i);
        node.nodeName = "Device " + node.nodeId;
        node.nodePath = "Site / Container " + std::to_string(i / 3) + " / " + node.nodeName;
        node.nodeTypeId = type;
        node.protocolAdapterId = "ota-v1";
        node.protocolNodeType = type;
        node.address = "127.0.0.1";
        node.port = static_cast<std::uint16_t>(20000 + i);
        node.connectionState = E_DeviceConnectionState::CONNECTED;
        node.connectionAttemptCount = node.successfulConnectionCount = 1;
        node.receivedFrameCount = node.statusReportCount = 3;
        node.lastEventAt = node.lastConnectedAt = node.lastStatusAt = 1765000000000;
        node.statusSynchronized = true;
        node.upgradeState = "READY";
        node.reasonName = "OK";
        const std::vector<const char*> components =
            type[0] == 'E' ? std::vector<const char*>{"EMU"}
            : type[0] == 'P' ? std::vector<const char*>{"PCS_DSP1", "PCS_DSP2", "PCS_FPGA", "PCS_ARM"}
                             : std::vector<const char*>{"BMS_BAU", "BMS_BEU", "BMS_BCU", "BMS_BCU", "BMS_BCU",
                                                        "BMS_BCU", "BMS_BCU", "BMS_BCU"};
        for (std::size_t k = 0; k < components.size(); ++k)
        {
            node.components.push_back({components[k], static_cast<std::uint16_t>(k < 2 ? 1 : k - 1), "1.0.0"});
        }
    }
    return nodes;
}

void BM_DeviceStatusDocument(benchmark::State& state)
{
    const auto nodes = siteStatuses(static_cast<std::size_t>(state.range(0)));
    std::string json;
    std::string error;
    for (auto _ : state)
    {
        serializeCommunicationSnapshotDocument(nodes, true, 1, true, 1765000001000, json, error);
        benchmark::DoNotOptimize(json.data());
    }
    state.counters["bytes"] = static_cast<double>(json.size());
}
BENCHMARK(BM_DeviceStatusDocument)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_DeviceStatusEnvelope(benchmark::State& state)
{
    std::string document;
    std::string error;
    serializeCommunicationSnapshotDocument(siteStatuses(1000), true, 1, true, 1765000001000, document, error);
    const JsonHandler handler = [&](std::string& response, std::string&) {
        response = document;
        return true;
    };
    for (auto _ : state)
    {
        const S_HttpReply reply =
            invokeHandler("GET", "/api/v1/devices/status", "DEVICE_STATUS_UNAVAILABLE", 503, handler, 200);
        benchmark::DoNotOptimize(reply.body.data());
    }
}
BENCHMARK(BM_DeviceStatusEnvelope)->Unit(benchmark::kMillisecond);

void BM_DeviceStatusFingerprint(benchmark::State& state)
{
    const auto nodes = siteStatuses(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(buildDeviceStatusFingerprint(1, nodes).data());
    }
}
BENCHMARK(BM_DeviceStatusFingerprint)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
