// The backend's memory over a long history, through the built executable: ota-backend started
// (without devices) on a history of 1,000 and of 10,000 finished tasks (about 8.5 KiB each in the
// answer), then read the way the console reads it, page by page (50 a page, newest first, to the
// oldest), and then once as a whole, the way it was read before pages.
//
// Prints, per history, the backend's resident memory after start-up and its peak (VmHWM) after
// the paged walk and after the whole read. Target: the paged walk's peak stays flat however long
// the history (the same for both histories, within a few MB).
//
//   history_memory_bench [--records N ...]   (default: 1000 and 10000)

#include "filled_history.h"
#include "support/site_processes.h"

#include <boost/beast/http/verb.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

using json = nlohmann::json;
using ota::bench::CChild;
using ota::bench::CHttpClient;
using ota::bench::findFreePortRun;
using ota::bench::readFile;
using ota::bench::statusKilobytes;
using ota::bench::waitForText;

const std::filesystem::path kBinaryDir = OTA_BINARY_DIR;
const std::filesystem::path kSourceDir = OTA_SOURCE_DIR;

double megabytes(std::uint64_t kilobytes)
{
    return static_cast<double>(kilobytes) / 1024.0;
}

json data(CHttpClient& client, const std::string& target)
{
    json envelope = json::parse(client.get(target));
    if (!envelope.value("success", false))
    {
        throw std::runtime_error(target + ": " + envelope.dump().substr(0, 500));
    }
    return envelope["data"];
}

void measure(std::uint32_t records)
{
    std::string pattern = "/tmp/ota-history-memory-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
    {
        throw std::runtime_error("cannot create a directory");
    }
    const std::filesystem::path directory = pattern;
    {
        ota::backend::CUpgradeHistoryRepository repository;
        std::string error;
        if (!repository.open(directory / "upgrade-history.db", error) ||
            !ota::bench::fillHistory(repository, error, records))
        {
            throw std::runtime_error("cannot fill the history: " + error);
        }
    }
    // The example configuration without devices; the topology file is absent (an empty site), and
    // the history lies beside where it would be.
    json config = json::parse(readFile(kSourceDir / "examples/config/ota-backend.json"));
    const std::uint16_t port = findFreePortRun(0);
    config["httpPort"] = port;
    config["deviceTcpEnabled"] = false;
    config["topologyFile"] = (directory / "site.json").string();
    config["historyRetentionDays"] = 3650;
    std::ofstream(directory / "ota-backend.json") << config.dump();
    CChild backend(
        {(kBinaryDir / "ota-backend").string(), "--config", (directory / "ota-backend.json").string()},
        directory / "backend.log");
    if (!waitForText(directory / "backend.log", "[INFO] WebSocket events:", std::chrono::seconds(300)))
    {
        throw std::runtime_error("backend did not start:\n" + readFile(directory / "backend.log"));
    }
    const double afterStart = megabytes(statusKilobytes(backend.pid(), "VmRSS"));
    CHttpClient client(port);
    std::uint32_t before = 0;
    std::size_t read = 0;
    const auto began = std::chrono::steady_clock::now();
    do
    {
        const json page =
            data(client, "/api/v1/upgrades/history?limit=50" +
                             (before == 0 ? std::string() : "&before=" + std::to_string(before)));
        read += page["records"].size();
        before = page["nextBefore"];
    } while (before != 0);
    const double walkSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double afterWalk = megabytes(statusKilobytes(backend.pid(), "VmHWM"));
    const json whole = data(client, "/api/v1/upgrades/history");
    const double afterWhole = megabytes(statusKilobytes(backend.pid(), "VmHWM"));
    std::printf(
        "%6u records: after start-up %6.1f MB resident; paged walk (%zu records, %.2f s, %.1f ms a page) "
        "peak %6.1f MB; whole read (%zu records) peak %6.1f MB\n",
        records, afterStart, read, walkSeconds, 1000.0 * walkSeconds / static_cast<double>((read + 49) / 50),
        afterWalk, whole["records"].size(), afterWhole);
    backend.stop();
    std::filesystem::remove_all(directory);
}

}  // namespace

int main(int argc, char** argv)
{
    try
    {
        std::vector<std::uint32_t> histories;
        for (int i = 1; i + 1 < argc; i += 2)
        {
            if (std::string(argv[i]) != "--records")
            {
                throw std::runtime_error(std::string("unknown option ") + argv[i]);
            }
            histories.push_back(static_cast<std::uint32_t>(std::stoul(argv[i + 1])));
        }
        if (histories.empty())
        {
            histories = {1'000, 10'000};
        }
        for (const std::uint32_t records : histories)
        {
            measure(records);
        }
        return 0;
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "history_memory_bench: %s\n", exception.what());
        return 1;
    }
}
