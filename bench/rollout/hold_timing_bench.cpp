// How quickly the plant's word takes effect, through the built executables as processes on
// loopback (a generated site of quick simulated EMUs, as the other site benchmarks run it):
//  - hold to abort: a rollout's group is transferring a large file when the energy management
//    places a hold; the time from the hold's POST to the end of the aborted task;
//  - lift to first frame: the hold paused the rollout; the time from the lift's POST to the first
//    device of the resumed group beginning its workflow (whose first step sends a frame).
// Both are measured over several rounds of one rollout (goal: under 1 s each).
//
//   hold_timing_bench [--devices N] [--file-kib K] [--rounds R]

#include "support/quick_emu_site.h"

#include <boost/beast/http/verb.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

namespace http = boost::beast::http;
using json = nlohmann::json;
using ota::bench::callApi;
using ota::bench::CHttpClient;
using ota::bench::CQuickEmuSite;
using ota::bench::waitUntil;

struct S_Options
{
    unsigned devices = 20;
    unsigned fileKib = 16384;
    unsigned rounds = 5;
};

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The earliest device start of the current task, once one began; 0 before.
std::int64_t firstDeviceStart(const json& current)
{
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    for (const json& device : current.value("devices", json::array()))
    {
        const std::int64_t startedAt = device.value("startedAt", std::int64_t{0});
        if (startedAt != 0)
        {
            first = std::min(first, startedAt);
        }
    }
    return first == std::numeric_limits<std::int64_t>::max() ? 0 : first;
}

json rolloutOf(CHttpClient& client)
{
    return callApi(client, http::verb::get, "/api/v1/rollouts/current")["rollout"];
}

void expect(bool condition, const std::string& what)
{
    if (!condition)
    {
        throw std::runtime_error(what);
    }
}

struct S_Figures
{
    std::vector<double> holdToAbort;
    std::vector<double> liftToFirstFrame;
};

void printFigures(const char* name, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::printf("%-22s median %.3f s, worst %.3f s over %zu rounds (goal < 1 s)\n", name,
                values[values.size() / 2], values.back(), values.size());
}

int runBench(const S_Options& options)
{
    expect(options.devices >= 1 && options.rounds >= 1, "--devices and --rounds must be at least 1");
    CQuickEmuSite site("hold-timing", options.devices, options.fileKib, options.devices);
    CHttpClient client(site.httpPort());
    json targets = json::array();
    for (unsigned i = 1; i <= options.devices; ++i)
    {
        targets.push_back({{"nodeId", "emu-" + std::to_string(i)},
                           {"componentTypeId", "EMU"},
                           {"componentIndex", 1},
                           {"currentVersion", "1.0.0"},
                           {"fileSlotKey", "emu:emu"},
                           {"force", false}});
    }
    const json created = callApi(client, http::verb::post, "/api/v1/rollouts",
                                 {{"rolloutId", "hold_timing"},
                                  {"targets", targets},
                                  {"files", json::array({{{"fileSlotKey", "emu:emu"},
                                                          {"filePath", site.firmware().string()},
                                                          {"targetVersion", "2.0.0"}}})}});
    const std::string rolloutPath =
        "/api/v1/rollouts/" + std::to_string(created["rolloutNo"].get<unsigned>());
    callApi(client, http::verb::post, rolloutPath + "/start");

    S_Figures figures;
    for (unsigned round = 1; round <= options.rounds; ++round)
    {
        json current;
        expect(waitUntil(
                   [&]
                   {
                       current = callApi(client, http::verb::get, "/api/v1/upgrades/current");
                       return current.value("active", false) && firstDeviceStart(current) != 0;
                   },
                   std::chrono::seconds(120), std::chrono::milliseconds(5)),
               "round " + std::to_string(round) + ": the group's task did not start");
        const std::uint32_t upgradeNo = current["upgradeNo"];

        const std::int64_t heldAt = nowMs();
        callApi(client, http::verb::post, "/api/v1/site/holds",
                {{"source", "ems"}, {"reason", "dispatched"}, {"ttlSeconds", 0}});
        expect(waitUntil(
                   [&]
                   {
                       current = callApi(client, http::verb::get, "/api/v1/upgrades/current");
                       return current["upgradeNo"] == upgradeNo && !current.value("active", true);
                   },
                   std::chrono::seconds(60), std::chrono::milliseconds(2)),
               "round " + std::to_string(round) + ": the held task did not end");
        expect(
            current.value("status", "") != "SUCCESS",
            "round " + std::to_string(round) + ": the task ended before the hold; use a larger --file-kib");
        figures.holdToAbort.push_back(static_cast<double>(nowMs() - heldAt) / 1e3);
        expect(waitUntil([&] { return rolloutOf(client).value("status", "") == "PAUSED"; },
                         std::chrono::seconds(60), std::chrono::milliseconds(5)),
               "round " + std::to_string(round) + ": the hold did not pause the rollout");

        const std::int64_t liftedAt = nowMs();
        callApi(client, http::verb::post, "/api/v1/site/holds/ems/release");
        std::int64_t firstStart = 0;
        expect(waitUntil(
                   [&]
                   {
                       current = callApi(client, http::verb::get, "/api/v1/upgrades/current");
                       firstStart = current["upgradeNo"] != upgradeNo ? firstDeviceStart(current) : 0;
                       return firstStart != 0;
                   },
                   std::chrono::seconds(60), std::chrono::milliseconds(2)),
               "round " + std::to_string(round) + ": the rollout did not resume its group");
        figures.liftToFirstFrame.push_back(static_cast<double>(firstStart - liftedAt) / 1e3);
    }
    callApi(client, http::verb::post, rolloutPath + "/cancel");
    std::printf("site                   %u EMU, %u KiB file, 32 KiB chunks, every device in one group\n",
                options.devices, options.fileKib);
    printFigures("hold to abort", figures.holdToAbort);
    printFigures("lift to first frame", figures.liftToFirstFrame);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try
    {
        S_Options options;
        ota::bench::parseUnsignedOptions(argc, argv,
                                         {{"--devices", &options.devices},
                                          {"--file-kib", &options.fileKib},
                                          {"--rounds", &options.rounds}});
        return runBench(options);
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "hold_timing_bench: %s\n", exception.what());
        return 1;
    }
}
