// The real ota-backend with its history on a small file system of its own (a tmpfs in a user and
// mount namespace), which fills up while a task runs: the upgrade completes anyway, each state that
// cannot be written is reported once (not once per published document), what was stored before is
// kept intact, and the next start reads the database.
#include "app/fault_process_support.h"
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "scenario/scene_topology_serializer.h"
#include "sim/sim_test_support.h"
#include "support/free_port.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <fstream>
#include <iostream>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

const std::filesystem::path kBackendExecutable = OTA_BACKEND_EXE;

constexpr const char* kRunningWriteFailed = "[WARN] Upgrade running state persistence failed: ";
constexpr const char* kFinalWriteFailed = "[WARN] Upgrade final report persistence failed: ";

// An ota-backend whose configuration lies in an ordinary directory and whose topology, and so its
// history database, lies on the namespace's file system.
class CNamespacedBackend
{
public:
    CNamespacedBackend(const CTmpfsNamespace& space, const std::filesystem::path& directory,
                       const std::filesystem::path& historyDirectory, const std::vector<S_TestNode>& nodes)
        : m_space(space), m_directory(directory)
    {
        json topology;
        std::string error;
        if (!ota::scenario::serializeSceneTopology(makeDeviceTopology(nodes), topology, error))
        {
            throw std::runtime_error(error);
        }
        const std::filesystem::path topologyFile = historyDirectory / "site.json";
        std::ofstream(space.hostPath(topologyFile)) << topology.dump();
        m_config = {{"httpHost", "127.0.0.1"},    {"deviceConcurrency", 4},
                    {"connectTimeoutMs", 3000},   {"ackTimeoutMs", 3000},
                    {"stageTimeoutMs", 3000},     {"flashTimeoutMs", 6000},
                    {"restartTimeoutMs", 6000},   {"chunkSize", 256},
                    {"reconnectIntervalMs", 200}, {"topologyFile", topologyFile.string()}};
    }

    bool launch()
    {
        m_port = findFreeLoopbackPort();
        m_config["httpPort"] = m_port;
        const std::filesystem::path configPath = m_directory / "ota-backend.json";
        std::ofstream(configPath) << m_config.dump();
        m_child.reset();
        m_child = std::make_unique<CChildProcess>(
            "/usr/bin/nsenter", m_space.commandInside(kBackendExecutable, {"--config", configPath.string()}));
        return m_child->waitForOutput("[INFO] WebSocket events: ws://");
    }

    int stop()
    {
        m_child->sendSignal(SIGTERM);
        return m_child->waitForExit(std::chrono::seconds(60)).value_or(-1);
    }

    std::uint16_t port() const { return m_port; }
    CChildProcess& child() { return *m_child; }
    std::string output() const
    {
        return m_child ? "stdout:\n" + m_child->standardOutput() + "\nstderr:\n" + m_child->standardError()
                       : "";
    }

private:
    const CTmpfsNamespace& m_space;
    std::filesystem::path m_directory;
    json m_config;
    std::uint16_t m_port = 0;
    std::unique_ptr<CChildProcess> m_child;
};

// The check runs on a copy: SQLite resolves the /proc/<pid>/root link of a path into the
// namespace and would look for the file outside it.
std::string integrityOf(const std::filesystem::path& database, const std::filesystem::path& copyDirectory)
{
    std::filesystem::create_directories(copyDirectory);
    const std::filesystem::path copy = copyDirectory / database.filename();
    for (const char* suffix : {"", "-wal"})
    {
        const std::filesystem::path from = database.string() + suffix;
        if (std::filesystem::exists(from))
        {
            std::filesystem::copy_file(from, copy.string() + suffix);
        }
    }
    sqlite3* connection = nullptr;
    std::string result;
    if (sqlite3_open_v2(copy.c_str(), &connection, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(connection, "PRAGMA integrity_check;", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
        {
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
    }
    else
    {
        result = sqlite3_errmsg(connection);
    }
    sqlite3_close(connection);
    return result;
}

struct S_StorageFaultRow
{
    const char* name;
    // Whether space comes back before the task ends.
    bool freedBeforeTheEnd;
};

void PrintTo(const S_StorageFaultRow& row, std::ostream* out)
{
    *out << row.name;
}

class HistoryStorageFaultProcessTest : public ::testing::TestWithParam<S_StorageFaultRow>
{
protected:
    void TearDown() override { simulator.stop(); }

    CDeviceSimulator simulator;
};

TEST_P(HistoryStorageFaultProcessTest, TheUpgradeCompletesAndTheStoredHistorySurvives)
{
    const S_StorageFaultRow& row = GetParam();
    CTempDirectory directory;
    const std::filesystem::path historyDirectory = directory / "history";
    CTmpfsNamespace space;
    std::string reason;
    if (!space.create(historyDirectory, 16u << 20, reason))
    {
        GTEST_SKIP() << reason;
    }
    S_SimDeviceSpec device = quickDevice("emu-1", E_ProtocolDeviceType::EMU);
    device.timings.replyLatencyMs = 10;
    startSimulator(simulator, {device});
    CNamespacedBackend backend(space, directory.path(), historyDirectory, nodesOf(simulator, {device}));
    ASSERT_TRUE(backend.launch()) << backend.output();
    std::string error;

    // A first task, stored and finalised while there is room.
    CUpgradeApi api(backend.port());
    json status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    const std::filesystem::path small = directory.writeFile("firmware/small.bin", std::string(700, 'a'));
    const S_HttpResult firstPreview = api.preview(previewBody(
        "stored_before",
        json::array(
            {upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")}),
        json::array({firmwareEntry("emu:emu", small, "2.0.0")})));
    ASSERT_EQ(firstPreview.status, 200u) << firstPreview.body;
    const std::uint32_t firstNo = firstPreview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    const json storedBefore = api.waitFinalized(firstNo);
    ASSERT_TRUE(storedBefore.is_object()) << backend.output();
    ASSERT_EQ(storedBefore["status"], "SUCCESS");

    // The second task runs while the file system fills up.
    status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    std::string large(256 * 150, '\0');
    for (std::size_t index = 0; index < large.size(); ++index)
    {
        large[index] = static_cast<char>(index * 131 + 7);
    }
    const std::filesystem::path firmware = directory.writeFile("firmware/large.bin", large);
    const S_HttpResult preview = api.preview(previewBody(
        "written_while_full",
        json::array(
            {upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")}),
        json::array({firmwareEntry("emu:emu", firmware, "3.0.0")})));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    ASSERT_TRUE(api.waitDevice([](const json& state) { return state["currentChunkNo"] >= 2; }).is_object())
        << backend.output();
    ASSERT_TRUE(space.fill(error)) << error;
    ASSERT_TRUE(backend.child().waitForError(kRunningWriteFailed)) << backend.output();
    // Many more documents are published (and fail) while the transfer goes on.
    const unsigned failedAtChunk = api.current()["devices"][0]["currentChunkNo"];
    ASSERT_TRUE(
        api.waitDevice([&](const json& state) { return state["currentChunkNo"] >= failedAtChunk + 30; })
            .is_object())
        << backend.output();
    if (row.freedBeforeTheEnd)
    {
        space.release();
    }

    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();
    if (row.freedBeforeTheEnd)
    {
        const json record = api.waitFinalized(upgradeNo);
        ASSERT_TRUE(record.is_object()) << backend.output();
        EXPECT_EQ(withoutKeys(record["report"], {"finishedAt"}), withoutKeys(final, {"finishedAt"}));
        // The documents published while the disk was full failed one by one; the lines say so once.
        const std::string recovered =
            "[HISTORY] Upgrade state persistence recovered: upgradeNo=" + std::to_string(upgradeNo) +
            ", status=RUNNING, failedWrites=";
        const std::string output = backend.child().standardOutput();
        const std::size_t at = output.find(recovered);
        ASSERT_NE(at, std::string::npos) << backend.output();
        const unsigned long failedWrites = std::stoul(output.substr(at + recovered.size()));
        std::cout << "[ INFO     ] " << failedWrites << " documents failed while the disk was full\n";
        EXPECT_GE(failedWrites, 2u);
    }
    else
    {
        ASSERT_TRUE(backend.child().waitForError(kFinalWriteFailed)) << backend.output();
        // Reading still works: the last state that fitted is shown, and nothing final.
        const json record = findRecord(api.history(), upgradeNo);
        ASSERT_TRUE(record.is_object()) << backend.output();
        EXPECT_EQ(record["finalized"], false);
    }
    const std::string errors = backend.child().standardError();
    EXPECT_EQ(countOccurrences(errors, kRunningWriteFailed), 1u) << errors;
    EXPECT_EQ(countOccurrences(errors, kFinalWriteFailed), row.freedBeforeTheEnd ? 0u : 1u) << errors;
    EXPECT_EQ(countOccurrences(errors, "[WARN] Upgrade state persistence"), 0u) << errors;
    // The history is read while the disk is full: a read writes nothing, so it cannot fail to.
    EXPECT_EQ(countOccurrences(errors, "[WARN] Upgrade history retention cleanup failed"), 0u) << errors;
    EXPECT_EQ(findRecord(api.history(), firstNo), storedBefore);
    const json recordBeforeStop = findRecord(api.history(), upgradeNo);
    EXPECT_EQ(backend.stop(), 0) << backend.output();

    // With room again, the database is whole and the next start reads it.
    space.release();
    EXPECT_EQ(integrityOf(space.hostPath(historyDirectory / "upgrade-history.db"), directory / "copy"), "ok");
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi restarted(backend.port());
    const json history = restarted.history();
    ASSERT_TRUE(history.is_object()) << backend.output();
    EXPECT_EQ(history["skippedRecordCount"], 0);
    EXPECT_EQ(findRecord(history, firstNo), storedBefore);
    const json record = findRecord(history, upgradeNo);
    ASSERT_TRUE(record.is_object()) << history.dump();
    EXPECT_EQ(record["snapshot"], preview.json["data"]["snapshot"]);
    if (row.freedBeforeTheEnd)
    {
        EXPECT_EQ(record, recordBeforeStop);
    }
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

const S_StorageFaultRow kStorageFaultRows[] = {
    {"FullDuringTheTransferThenFreed", true},
    {"FullUntilTheTaskEnds", false},
};

INSTANTIATE_TEST_SUITE_P(Storage, HistoryStorageFaultProcessTest, ::testing::ValuesIn(kStorageFaultRows),
                         [](const ::testing::TestParamInfo<S_StorageFaultRow>& info)
                         { return info.param.name; });

}  // namespace
}  // namespace ota::test
