// A rollout of a whole site through the built executables as processes on loopback: ota-device-sim
// simulates the EMUs of a generated site (short preparation, flashing and reboot), ota-backend runs
// with the generated configuration made quick (as upgrade_site_bench does). Driven over HTTP like
// the operator interface: three one-device tasks give the one-device time, then one rollout of
// every other device with groupSizes [1, 10, 100] and the rest after, polled until it has ended.
//
// Prints, per group, its task time beside its ideal (ceil(devices / workers) one-device tasks),
// the rollout's total time beside the sum of the ideals (target at most 1.1 x), and the pause
// between one group's end and the next group's first frame (target under 1 s: the next task's
// first device begins its workflow, whose first step sends a frame, at its startedAt).
//
//   rollout_site_bench [--devices N] [--file-kib K] [--concurrency C]

#include "support/quick_emu_site.h"

#include <boost/beast/http/verb.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
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
using ota::bench::statusKilobytes;
using ota::bench::waitUntil;

struct S_Options
{
    unsigned devices = 1000;
    unsigned fileKib = 256;
    unsigned concurrency = 32;
};

json emuTarget(const std::string& nodeId, const std::string& version)
{
    return {{"nodeId", nodeId},          {"componentTypeId", "EMU"}, {"componentIndex", 1},
            {"currentVersion", version}, {"fileSlotKey", "emu:emu"}, {"force", false}};
}

json firmwareFiles(const std::filesystem::path& firmware, const std::string& targetVersion)
{
    return json::array(
        {{{"fileSlotKey", "emu:emu"}, {"filePath", firmware.string()}, {"targetVersion", targetVersion}}});
}

// The record of an upgrade number, read a page at a time from the newest.
json historyRecord(CHttpClient& client, std::uint32_t upgradeNo)
{
    const json page = callApi(client, http::verb::get,
                              "/api/v1/upgrades/history?limit=1&before=" + std::to_string(upgradeNo + 1));
    if (page["records"].empty() || page["records"][0]["upgradeNo"] != upgradeNo)
    {
        throw std::runtime_error("no history record " + std::to_string(upgradeNo));
    }
    return page["records"][0];
}

double seconds(std::int64_t milliseconds)
{
    return static_cast<double>(milliseconds) / 1e3;
}

// One one-device task from preview to its end; its finishedAt - startedAt.
double oneDeviceTask(CHttpClient& client, const std::string& upgradeId, const std::string& from,
                     const std::string& to, const std::filesystem::path& firmware)
{
    callApi(client, http::verb::post, "/api/v1/upgrades/preview",
            {{"upgradeId", upgradeId},
             {"targets", json::array({emuTarget("emu-1", from)})},
             {"files", firmwareFiles(firmware, to)}});
    callApi(client, http::verb::post, "/api/v1/upgrades/start");
    json state;
    if (!waitUntil(
            [&]
            {
                state = callApi(client, http::verb::get, "/api/v1/upgrades/current");
                return state.value("upgradeId", "") == upgradeId && !state.value("active", true);
            },
            std::chrono::seconds(120), std::chrono::milliseconds(20)) ||
        state.value("status", "") != "SUCCESS")
    {
        throw std::runtime_error("one-device task " + upgradeId +
                                 " did not succeed: " + state.dump().substr(0, 500));
    }
    return seconds(state["finishedAt"].get<std::int64_t>() - state["startedAt"].get<std::int64_t>());
}

int runBench(const S_Options& options)
{
    if (options.devices < 2)
    {
        throw std::runtime_error("--devices must be at least 2");
    }
    CQuickEmuSite site("rollout-site", options.devices, options.fileKib, options.concurrency);
    const std::filesystem::path& firmware = site.firmware();
    CHttpClient client(site.httpPort());
    {
        // emu-1 gives the one-device time and stays out of the rollout.
        std::vector<double> oneDevice;
        for (unsigned run = 1; run <= 3; ++run)
        {
            oneDevice.push_back(oneDeviceTask(client, "ONE_" + std::to_string(run),
                                              std::to_string(run) + ".0.0", std::to_string(run + 1) + ".0.0",
                                              firmware));
        }
        std::sort(oneDevice.begin(), oneDevice.end());
        const double oneDeviceSeconds = oneDevice[1];

        json targets = json::array();
        for (unsigned i = 2; i <= options.devices; ++i)
        {
            targets.push_back(emuTarget("emu-" + std::to_string(i), "1.0.0"));
        }
        const json created = callApi(client, http::verb::post, "/api/v1/rollouts",
                                     {{"rolloutId", "bench_site"},
                                      {"targets", targets},
                                      {"files", firmwareFiles(firmware, "9.0.0")},
                                      {"policy", {{"groupSizes", {1, 10, 100}}}}});
        const std::uint32_t rolloutNo = created["rolloutNo"];
        callApi(client, http::verb::post, "/api/v1/rollouts/" + std::to_string(rolloutNo) + "/start");
        json rollout;
        if (!waitUntil(
                [&]
                {
                    rollout = callApi(client, http::verb::get, "/api/v1/rollouts/current")["rollout"];
                    if (rollout.is_null())
                    {
                        const json list = callApi(client, http::verb::get, "/api/v1/rollouts");
                        for (const json& entry : list["rollouts"])
                        {
                            if (entry["rolloutNo"] == rolloutNo)
                            {
                                rollout = entry;
                            }
                        }
                        return true;
                    }
                    return false;
                },
                std::chrono::seconds(1800), std::chrono::milliseconds(500)))
        {
            throw std::runtime_error("the rollout did not end within 30 minutes");
        }

        const json capacity = callApi(client, http::verb::get, "/api/v1/system/capacity");
        std::printf(
            "devices                  %u EMU in the rollout, %u KiB file, 32 KiB chunks, configured "
            "deviceConcurrency %u\n",
            options.devices - 1, options.fileKib, options.concurrency);
        std::printf("machine                  %s\n", capacity.dump().substr(0, 300).c_str());
        std::printf("one-device task          %.3f s (median of 3; %.3f .. %.3f)\n", oneDeviceSeconds,
                    oneDevice.front(), oneDevice.back());
        std::printf("rollout                  %s, %d of %d succeeded\n", rollout.value("status", "").c_str(),
                    rollout.value("successCount", 0), rollout.value("deviceCount", 0));

        double idealSum = 0;
        double taskSum = 0;
        double longestPause = 0;
        std::int64_t previousEnd = 0;
        for (const json& group : rollout["groups"])
        {
            if (group["upgradeNos"].size() != 1)
            {
                throw std::runtime_error("group " + group["groupNo"].dump() + " ran " +
                                         group["upgradeNos"].dump());
            }
            const json report = historyRecord(client, group["upgradeNos"][0].get<std::uint32_t>())["report"];
            const double workers = report.value("effectiveWorkerCount", 1.0);
            const double devices = static_cast<double>(group["nodeIds"].size());
            const double ideal = std::ceil(devices / workers) * oneDeviceSeconds;
            const std::int64_t startedAt = report["startedAt"];
            const std::int64_t finishedAt = report["finishedAt"];
            std::int64_t firstDevice = std::numeric_limits<std::int64_t>::max();
            for (const json& device : report["devices"])
            {
                firstDevice = std::min(firstDevice, device.value("startedAt", std::int64_t{0}));
            }
            const double task = seconds(finishedAt - startedAt);
            idealSum += ideal;
            taskSum += task;
            std::string pause = "-";
            if (previousEnd != 0)
            {
                const double gap = seconds(firstDevice - previousEnd);
                longestPause = std::max(longestPause, gap);
                char text[64];
                std::snprintf(text, sizeof(text), "%.3f s", gap);
                pause = text;
            }
            std::printf(
                "group %-3s %4.0f devices  task %7.2f s, ideal %7.2f s (%.2f x, %2.0f workers); pause before "
                "its first frame %s\n",
                group["groupNo"].dump().c_str(), devices, task, ideal, task / ideal, workers, pause.c_str());
            previousEnd = finishedAt;
        }
        const double total =
            seconds(rollout["finishedAt"].get<std::int64_t>() - rollout["startedAt"].get<std::int64_t>());
        std::printf(
            "rollout total            %.2f s against %.2f s of ideal group tasks: %.2f x (target <= 1.1 x); "
            "the group tasks themselves took %.2f s, so %.2f s are the rollout's own\n",
            total, idealSum, total / idealSum, taskSum, total - taskSum);
        std::printf(
            "longest pause            %.3f s between a group's end and the next group's first frame "
            "(target < 1 s)\n",
            longestPause);
        std::printf("backend peak memory      %.1f MB VmHWM\n",
                    static_cast<double>(statusKilobytes(site.backendPid(), "VmHWM")) / 1024.0);
    }
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
                                          {"--concurrency", &options.concurrency}});
        return runBench(options);
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "rollout_site_bench: %s\n", exception.what());
        return 1;
    }
}
