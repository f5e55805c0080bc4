// Ten upgrades of the whole example site in a row through one ota-backend process: every task
// succeeds and is finalised, and the process gives back what a task took (memory, descriptors,
// threads), so a backend that runs for months does not grow with every upgrade.
#include "app/example_site_devices.h"
#include "app/fault_process_support.h"
#include "app/upgrade_process_site.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

constexpr unsigned kRuns = 10;

// Sets an environment variable for the child processes started while it lives.
class CScopedEnvironment
{
public:
    CScopedEnvironment(const char* name, const std::string& value) : m_name(name)
    {
        if (const char* previous = std::getenv(name))
        {
            m_previous = previous;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~CScopedEnvironment()
    {
        if (m_previous.has_value())
        {
            ::setenv(m_name, m_previous->c_str(), 1);
        }
        else
        {
            ::unsetenv(m_name);
        }
    }
    CScopedEnvironment(const CScopedEnvironment&) = delete;
    CScopedEnvironment& operator=(const CScopedEnvironment&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_previous;
};

class RepeatedUpgradeProcessTest : public ::testing::Test
{
protected:
    void TearDown() override { simulator.stop(); }

    CDeviceSimulator simulator;
};

TEST_F(RepeatedUpgradeProcessTest, TenSiteUpgradesInARowGiveBackWhatEachTook)
{
    const std::vector<S_SimDeviceSpec> devices = exampleSiteDevices();
    ASSERT_EQ(devices.size(), 5u);
    std::vector<std::string> nodeIds;
    for (const S_SimDeviceSpec& device : devices)
    {
        nodeIds.push_back(device.nodeId);
    }
    // AddressSanitizer keeps up to 256 MiB of freed memory aside to catch late uses of it, which
    // would show as growth of the backend's resident memory with every run; the backend child
    // keeps only 1 MiB aside here.
    const char* options = std::getenv("ASAN_OPTIONS");
    const CScopedEnvironment smallQuarantine(
        "ASAN_OPTIONS",
        (options != nullptr ? std::string(options) + ":" : std::string()) + "quarantine_size_mb=1");
    startSimulator(simulator, devices);
    S_BackendSettings settings;
    settings.restartTimeoutMs = 2000;  // a quiet period of 500 ms after each reconnect
    CUpgradeBackend backend(nodesOf(simulator, devices), settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());

    // A file of two chunks per slot, shared by every run.
    std::map<std::string, std::filesystem::path> fileOfSlot;
    unsigned seed = 1;
    for (const auto& [component, slot] : slotOfComponent())
    {
        fileOfSlot[slot] =
            backend.writeFirmware("site-" + std::to_string(seed) + ".bin", 1500 + 37 * seed, seed);
        ++seed;
    }

    std::optional<S_ProcessFigures> afterFirst;
    std::optional<S_ProcessFigures> afterMiddle;
    std::vector<std::uint32_t> upgradeNos;
    for (unsigned run = 1; run <= kRuns; ++run)
    {
        SCOPED_TRACE("run " + std::to_string(run));
        const json status = api.waitReady(nodeIds);
        ASSERT_TRUE(status.is_object()) << backend.output();
        const std::string version = std::to_string(run + 1) + ".0.0";
        json files = json::array();
        for (const auto& [slot, path] : fileOfSlot)
        {
            files.push_back(firmwareEntry(slot, path, version));
        }
        const S_HttpResult preview = api.preview(
            previewBody("site_run_" + std::to_string(run), targetsForEveryComponent(status, nodeIds), files));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
        upgradeNos.push_back(upgradeNo);
        ASSERT_EQ(api.start().status, 202u);
        const json final = api.waitEnded(upgradeNo);
        ASSERT_TRUE(final.is_object()) << backend.output();
        ASSERT_EQ(final["status"], "SUCCESS") << final.dump();
        ASSERT_EQ(final["successCount"], devices.size());
        // Every read of the history renders all rows, so its answer (and the allocator's high-water
        // mark) grows with each run: the rows are read once, at the end.
        ASSERT_TRUE(backend.child().waitForOutput(
            "[HISTORY] Final report persisted: upgradeNo=" + std::to_string(upgradeNo) + ", status=SUCCESS"))
            << backend.output();
        // Measured with every device connected and idle again, as before the next task.
        ASSERT_TRUE(api.waitReady(nodeIds).is_object()) << backend.output();
        const std::optional<S_ProcessFigures> figures = readProcessFigures(backend.child().pid());
        ASSERT_TRUE(figures.has_value());
        std::cout << "[ INFO     ] after run " << run << ": " << *figures << "\n";
        if (run == 1)
        {
            afterFirst = figures;
        }
        if (run == kRuns / 2)
        {
            afterMiddle = figures;
        }
    }

    // Threads and descriptors come back exactly: a task's threads end with it and its files and
    // connections are closed. A thread or descriptor may take a moment to go, hence the wait.
    std::optional<S_ProcessFigures> afterLast;
    const bool settled = waitUntil(
        [&]
        {
            afterLast = readProcessFigures(backend.child().pid());
            return afterLast.has_value() && afterLast->threads <= afterFirst->threads &&
                   afterLast->openDescriptors <= afterFirst->openDescriptors;
        },
        std::chrono::seconds(10));
    EXPECT_TRUE(settled) << "after the first run: " << *afterFirst << "; after the last: " << *afterLast;
    // Resident memory may move with the allocator: caches of freed blocks, heap fragmentation, the
    // history's page and record caches growing by one finished task per run. Under
    // AddressSanitizer (its quarantine kept small, see above) that came to 12-14 MiB over the nine
    // further runs, 1-3 MiB per run at first and under 1.5 MiB later; under ThreadSanitizer its
    // shadow of the heap adds about 6 MiB in each of the second and third runs, 20 MiB by the
    // tenth, then under 1 MiB per run. The allowance against the level after the first run is a
    // tenth of it (a half under ThreadSanitizer) plus 8 MiB. Warm-up is over by the middle, so the
    // second half may add at most 8 MiB: it measured 4-5 MiB, and a leak of a site upgrade's state
    // documents (1-2 MiB per run) goes beyond that.
#if defined(__SANITIZE_THREAD__)
    constexpr std::uint64_t kShareOfLevel = 2;
#else
    constexpr std::uint64_t kShareOfLevel = 10;
#endif
    const std::uint64_t allowanceKiB = afterFirst->residentKiB / kShareOfLevel + 8 * 1024;
    EXPECT_LE(afterLast->residentKiB, afterFirst->residentKiB + allowanceKiB)
        << "after the first run: " << *afterFirst << "; after the last: " << *afterLast;
    EXPECT_LE(afterLast->residentKiB, afterMiddle->residentKiB + 8 * 1024)
        << "after run " << kRuns / 2 << ": " << *afterMiddle << "; after the last: " << *afterLast;

    const json history = api.history();
    ASSERT_TRUE(history.is_object());
    EXPECT_EQ(history["recordCount"], kRuns);
    for (const std::uint32_t upgradeNo : upgradeNos)
    {
        const json record = findRecord(history, upgradeNo);
        EXPECT_EQ(record["finalized"], true) << upgradeNo;
        EXPECT_EQ(record["status"], "SUCCESS") << upgradeNo;
    }
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
