// A whole site upgraded through the built executables as processes on loopback: ota-device-sim
// simulates the EMUs of a generated site (short preparation, flashing and reboot), ota-backend
// runs with the generated configuration made quick (deviceConcurrency 32, short timeouts, 100 ms
// reconnects, 32 KiB chunks). Driven over HTTP like the operator interface: preview, start, then
// GET /api/v1/upgrades/current until the task has ended, and the history record at the end.
//
// First three one-device tasks (emu-1) give the one-device time; then one task on every device.
// Prints the task time beside the ideal (ceil(devices / effectiveWorkerCount) one-device tasks),
// the worker counts the backend chose, its peak resident memory (VmHWM), CPU time and the bytes it
// wrote to the storage layer (write_bytes of /proc/<pid>/io: the history database and its WAL).
//
//   upgrade_site_bench [--devices N] [--file-kib K] [--concurrency C] [--binary-dir DIR]

#include "support/quick_emu_site.h"

#include <boost/beast/http/verb.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace
{

namespace http = boost::beast::http;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using ota::bench::CHttpClient;
using ota::bench::cpuSeconds;
using ota::bench::CQuickEmuSite;
using ota::bench::ioBytes;
using ota::bench::statusKilobytes;
using ota::bench::waitUntil;

struct S_Options
{
    unsigned devices = 1000;
    unsigned fileKib = 1024;
    unsigned concurrency = 32;
    // Where ota-backend and ota-device-sim are taken from (another build, e.g. a saved baseline).
    std::filesystem::path binaryDir = OTA_BINARY_DIR;
};

// The envelope's data; throws with the envelope text when the call did not succeed.
json call(CHttpClient& client, http::verb verb, const std::string& target, const std::string& body = {})
{
    return ota::bench::callApi(client, verb, target, body.empty() ? json(nullptr) : json::parse(body));
}

std::string versionText(unsigned major)
{
    return std::to_string(major) + ".0.0";
}

struct S_TaskOutcome
{
    json state;                // the final execution state document
    double taskSeconds;        // finishedAt - startedAt of that document
    double peakRssMb;          // VmHWM of the backend after the task
    double cpuSeconds;         // backend CPU time during the task
    double writtenMb;          // backend write_bytes during the task (history database and WAL)
    std::string firstFailure;  // "<nodeId>: <error>" of the first device that did not succeed
};

// Preview, start and wait for the end of one task; every device goes from its version to target.
S_TaskOutcome runTask(CHttpClient& client, pid_t backend, const std::string& upgradeId,
                      const std::vector<std::pair<std::string, std::string>>& devices,
                      const std::filesystem::path& firmware, const std::string& targetVersion)
{
    json targets = json::array();
    for (const auto& [nodeId, currentVersion] : devices)
    {
        targets.push_back({{"nodeId", nodeId},
                           {"componentTypeId", "EMU"},
                           {"componentIndex", 1},
                           {"currentVersion", currentVersion},
                           {"fileSlotKey", "emu:emu"},
                           {"force", false}});
    }
    const json request = {
        {"upgradeId", upgradeId},
        {"targets", targets},
        {"files",
         {{{"fileSlotKey", "emu:emu"}, {"filePath", firmware.string()}, {"targetVersion", targetVersion}}}}};
    call(client, http::verb::post, "/api/v1/upgrades/preview", request.dump());
    const double cpuBefore = cpuSeconds(backend);
    const std::uint64_t writtenBefore = ioBytes(backend, "write_bytes");
    const json started = call(client, http::verb::post, "/api/v1/upgrades/start");
    (void)started;
    // Reading the whole document of a large site costs the backend too; a few reads a second.
    const auto poll = std::chrono::milliseconds(devices.size() > 100 ? 500 : 50);
    json state;
    const bool ended = waitUntil(
        [&]
        {
            state = call(client, http::verb::get, "/api/v1/upgrades/current");
            return state.value("upgradeId", "") == upgradeId && !state.value("active", true);
        },
        std::chrono::seconds(900), poll);
    if (!ended)
    {
        throw std::runtime_error("task " + upgradeId + " did not end within 15 minutes");
    }
    S_TaskOutcome outcome;
    outcome.state = state;
    outcome.taskSeconds = static_cast<double>(state.value("finishedAt", std::int64_t{0}) -
                                              state.value("startedAt", std::int64_t{0})) /
                          1e3;
    outcome.peakRssMb = static_cast<double>(statusKilobytes(backend, "VmHWM")) / 1024.0;
    outcome.cpuSeconds = cpuSeconds(backend) - cpuBefore;
    outcome.writtenMb = static_cast<double>(ioBytes(backend, "write_bytes") - writtenBefore) / 1e6;
    for (const json& device : state["devices"])
    {
        if (device.value("result", "") != "SUCCESS")
        {
            outcome.firstFailure = device.value("nodeId", "") + ": " + device.value("error", "");
            break;
        }
    }
    return outcome;
}

// The history entry of the upgrade number, wherever the list puts it.
const json* findHistoryEntry(const json& value, std::uint64_t upgradeNo)
{
    if (value.is_object())
    {
        if (value.contains("upgradeNo") && value.contains("finalized") && value["upgradeNo"] == upgradeNo)
        {
            return &value;
        }
        for (const auto& [key, member] : value.items())
        {
            if (const json* found = findHistoryEntry(member, upgradeNo))
            {
                return found;
            }
        }
    }
    else if (value.is_array())
    {
        for (const json& member : value)
        {
            if (const json* found = findHistoryEntry(member, upgradeNo))
            {
                return found;
            }
        }
    }
    return nullptr;
}

int runBench(const S_Options& options)
{
    CQuickEmuSite quickSite("upgrade-site", options.devices, options.fileKib, options.concurrency,
                            options.binaryDir);
    const std::filesystem::path& firmware = quickSite.firmware();
    const pid_t backend = quickSite.backendPid();
    {
        CHttpClient client(quickSite.httpPort());
        const json capacity = call(client, http::verb::get, "/api/v1/system/capacity");
        std::printf(
            "devices                  %u EMU, %u KiB file, 32 KiB chunks, configured deviceConcurrency %u\n",
            options.devices, options.fileKib, options.concurrency);
        std::printf("machine                  %s\n", capacity.dump().substr(0, 400).c_str());

        std::vector<double> oneDevice;
        for (unsigned run = 1; run <= 3; ++run)
        {
            const S_TaskOutcome outcome =
                runTask(client, backend, "SITE_ONE_" + std::to_string(run), {{"emu-1", versionText(run)}},
                        firmware, versionText(run + 1));
            if (!outcome.firstFailure.empty())
            {
                throw std::runtime_error("one-device task failed: " + outcome.firstFailure);
            }
            oneDevice.push_back(outcome.taskSeconds);
        }
        std::sort(oneDevice.begin(), oneDevice.end());
        const double oneDeviceSeconds = oneDevice[1];

        std::vector<std::pair<std::string, std::string>> devices;
        for (unsigned i = 1; i <= options.devices; ++i)
        {
            devices.emplace_back("emu-" + std::to_string(i), versionText(i == 1 ? 4 : 1));
        }
        const auto began = Clock::now();
        const S_TaskOutcome site = runTask(client, backend, "SITE_ALL", devices, firmware, versionText(5));
        const double observedSeconds = std::chrono::duration<double>(Clock::now() - began).count();
        const json& state = site.state;
        const double workers = state.value("effectiveWorkerCount", 0.0);
        const double ideal = std::ceil(options.devices / workers) * oneDeviceSeconds;
        const double idealAt32 = std::ceil(options.devices / 32.0) * oneDeviceSeconds;

        const json history = call(client, http::verb::get, "/api/v1/upgrades/history");
        const json* entry = findHistoryEntry(history, state.value("upgradeNo", 0u));

        std::printf("concurrency              configured %d, recommended %d, effectiveWorkerCount %d\n",
                    state.value("configuredDeviceConcurrency", 0),
                    state.value("recommendedDeviceConcurrency", 0), state.value("effectiveWorkerCount", 0));
        std::printf("one-device task          %.3f s (median of 3; %.3f .. %.3f)\n", oneDeviceSeconds,
                    oneDevice.front(), oneDevice.back());
        std::printf(
            "site task                %.1f s (%s, %d of %d succeeded; %.1f s from start request to the "
            "read of the final state)\n",
            site.taskSeconds, state.value("status", "").c_str(), state.value("successCount", 0),
            state.value("deviceCount", 0), observedSeconds);
        if (!site.firstFailure.empty())
        {
            std::printf("first failed device      %s\n", site.firstFailure.c_str());
        }
        std::printf(
            "ideal                    %.1f s = ceil(%u / %.0f) x one-device task -> site task is %.2f x "
            "ideal\n",
            ideal, options.devices, workers, site.taskSeconds / ideal);
        std::printf("ideal at 32 workers      %.1f s = ceil(%u / 32) x one-device task\n", idealAt32,
                    options.devices);
        std::printf("final history record     %s\n",
                    entry == nullptr ? "missing"
                                     : ("status " + entry->value("status", "") + ", finalized " +
                                        ((*entry)["finalized"].get<bool>() ? "true" : "false") + ", report " +
                                        ((*entry)["report"].is_null() ? "absent" : "present"))
                                           .c_str());
        std::printf("backend peak memory      %.1f MB VmHWM (target < 300 MB)\n", site.peakRssMb);
        std::printf("backend CPU in site task %.1f s (%.0f %% of one core)\n", site.cpuSeconds,
                    100.0 * site.cpuSeconds / site.taskSeconds);
        std::printf("backend disk writes      %.1f MB in the site task (write_bytes of /proc/<pid>/io)\n",
                    site.writtenMb);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try
    {
        S_Options options;
        std::vector<char*> arguments(argv, argv + argc);
        for (std::size_t i = 1; i + 1 < arguments.size(); ++i)
        {
            if (std::string(arguments[i]) == "--binary-dir")
            {
                options.binaryDir = arguments[i + 1];
                arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                                arguments.begin() + static_cast<std::ptrdiff_t>(i) + 2);
                break;
            }
        }
        ota::bench::parseUnsignedOptions(static_cast<int>(arguments.size()), arguments.data(),
                                         {{"--devices", &options.devices},
                                          {"--file-kib", &options.fileKib},
                                          {"--concurrency", &options.concurrency}});
        return runBench(options);
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "upgrade_site_bench: %s\n", exception.what());
        return 1;
    }
}
