// The audit trail's hash chain from outside: the running service answers each entry's hash and the
// chain's check, and ota-backend --verify-audit finds what an intruder with the sqlite3 shell did
// to a copy of a trail the store wrote (its triggers dropped first).
#include "api/api_test_client.h"
#include "audit/audit_store.h"
#include "history/sqlite_test_access.h"
#include "support/child_process.h"
#include "support/free_port.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

namespace ota::test
{
namespace
{

using nlohmann::json;

const std::filesystem::path kAuditBackend = OTA_BACKEND_EXE;
const std::filesystem::path kSqliteShell = OTA_SQLITE3_EXE;

TEST(AuditChainProcess, TheServiceAnswersHashesAndTheChainsCheckAndTheCommandAgrees)
{
    CTempDirectory directory;
    const std::uint16_t port = findFreeLoopbackPort();
    const auto config = directory.writeFile(
        "ota-backend.json", "{\"httpHost\":\"127.0.0.1\",\"httpPort\":" + std::to_string(port) +
                                ",\"deviceConcurrency\":4,\"connectTimeoutMs\":1000,\"ackTimeoutMs\":1000,"
                                "\"stageTimeoutMs\":1000,"
                                "\"flashTimeoutMs\":1000,\"restartTimeoutMs\":1000,\"chunkSize\":1024}");
    CChildProcess child(kAuditBackend, {"--config", config.string()});
    ASSERT_TRUE(child.waitForOutput("[INFO] WebSocket events: ws://")) << child.standardError();
    CTestHttpClient client(port);
    EXPECT_EQ(client.request("POST", "/api/v1/firmware/inspect", "{\"files\":[]}").status, 422u);
    EXPECT_EQ(client.request("POST", "/api/v1/upgrades/history/clear").status, 200u);

    const S_HttpResult page = client.request("GET", "/api/v1/audit");
    ASSERT_EQ(page.status, 200u) << page.body;
    const json entries = page.json["data"]["entries"];
    ASSERT_EQ(entries.size(), 2u) << "one entry per request, its completion merged in: " << page.body;
    EXPECT_EQ(entries[1]["status"], 422);
    EXPECT_EQ(entries[1]["errorCode"], "FIRMWARE_INSPECTION_REJECTED");
    EXPECT_EQ(entries[0]["status"], 200);
    for (const json& entry : entries)
    {
        EXPECT_EQ(entry["hash"].get<std::string>().find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(entry["hash"].get<std::string>().size(), 64u);
    }
    const S_HttpResult verified = client.request("GET", "/api/v1/audit/verify");
    ASSERT_EQ(verified.status, 200u) << verified.body;
    EXPECT_EQ(verified.json["data"], json::parse(R"({"entries":2,"firstBrokenId":0,"reason":""})"));
    child.sendSignal(SIGTERM);
    ASSERT_EQ(child.waitForExit(), 0) << child.standardError();

    const S_ProcessResult command =
        runProcess(kAuditBackend, {"--verify-audit", (directory / "upgrade-history.db").string()});
    EXPECT_EQ(command.exitCode, 0) << command.standardError;
    EXPECT_EQ(command.standardOutput, "{\"entries\":2,\"firstBrokenId\":0,\"reason\":\"\"}\n");
}

// Records 1..6: entry 1 and its completion 2, the whole entry 3 of a refused request, entry 4
// still awaiting its outcome, entry 5 and its completion 6.
std::filesystem::path writeTrail(const CTempDirectory& directory)
{
    const std::filesystem::path path = directory / "upgrade-history.db";
    backend::CAuditStore store;
    std::string error;
    EXPECT_TRUE(store.open(path, error)) << error;
    backend::S_AuditEntry entry;
    entry.at = 1700000000000;
    entry.client = "127.0.0.1:50000";
    entry.method = "POST";
    entry.route = "/api/v1/devices/reconnect";
    backend::S_AuditEntry outcome;
    outcome.status = 202;
    outcome.requestId = "ota-1700000000000-1";
    backend::S_AuditEntry refused = entry;
    refused.status = 401;
    refused.errorCode = "UNAUTHORIZED";
    std::int64_t id = 0;
    EXPECT_TRUE(store.begin(entry, id, error) && store.complete(id, outcome, error) &&
                store.append(refused, id, error) && store.begin(entry, id, error) &&
                store.begin(entry, id, error) && store.complete(id, outcome, error))
        << error;
    EXPECT_EQ(id, 5);
    return path;
}

TEST(AuditChainProcess, TheCommandFindsEachTamperingDoneWithTheSqliteShell)
{
    ASSERT_TRUE(std::filesystem::exists(kSqliteShell)) << kSqliteShell;
    CTempDirectory directory;
    const std::filesystem::path original = writeTrail(directory);

    struct S_Tampering
    {
        const char* name;
        const char* sql;
        std::int64_t firstBrokenId;
        std::uint32_t entries;
    };
    const S_Tampering cases[] = {
        {"nothing but the triggers dropped", "", 0, 4},
        {"a field of an entry edited", "UPDATE audit_log SET status=200, error_code='' WHERE id=3;", 3, 4},
        {"an entry in the middle deleted", "DELETE FROM audit_log WHERE id=3;", 4, 3},
        {"the newest entry's completion deleted", "DELETE FROM audit_log WHERE id=6;", 6, 4},
        {"a row inserted with a plausible hash",
         "INSERT INTO audit_log(at, client, method, route, status, prev_hash, hash) "
         "SELECT at, client, method, route, 202, hash, prev_hash FROM audit_log WHERE id=5;",
         7, 5},
    };
    int index = 0;
    for (const S_Tampering& tampering : cases)
    {
        const std::filesystem::path copy = directory / ("case-" + std::to_string(index++) + ".db");
        std::filesystem::copy_file(original, copy);
        std::string dropTriggers;
        {
            CRawDatabase raw(copy);
            dropTriggers = raw.scalar(
                "SELECT group_concat('DROP TRIGGER ' || name || ';', '') FROM sqlite_master WHERE "
                "type='trigger'");
        }
        ASSERT_FALSE(dropTriggers.empty());
        const S_ProcessResult shell = runProcess(kSqliteShell, {copy.string(), dropTriggers + tampering.sql});
        ASSERT_EQ(shell.exitCode, 0) << tampering.name << ": " << shell.standardError;

        const S_ProcessResult command = runProcess(kAuditBackend, {"--verify-audit", copy.string()});
        EXPECT_EQ(command.exitCode, tampering.firstBrokenId == 0 ? 0 : 1) << tampering.name;
        const json report = json::parse(command.standardOutput, nullptr, false);
        ASSERT_TRUE(report.is_object()) << tampering.name << ": " << command.standardOutput;
        EXPECT_EQ(report["firstBrokenId"], tampering.firstBrokenId) << tampering.name << ": " << report;
        EXPECT_EQ(report["entries"], tampering.entries) << tampering.name;
        EXPECT_EQ(report["reason"].get<std::string>().empty(), tampering.firstBrokenId == 0)
            << tampering.name;
    }

    // A file that cannot be read as a database: exit 1 with an error line, nothing on standard output.
    for (const std::filesystem::path& unreadable :
         {directory / "missing.db", directory.writeFile("garbage.db", std::string(8192, 'g'))})
    {
        const S_ProcessResult command = runProcess(kAuditBackend, {"--verify-audit", unreadable.string()});
        EXPECT_EQ(command.exitCode, 1) << unreadable;
        EXPECT_TRUE(command.standardOutput.empty()) << command.standardOutput;
        EXPECT_EQ(command.standardError.rfind("[ERROR] ", 0), 0u) << command.standardError;
    }
    EXPECT_FALSE(std::filesystem::exists(directory / "missing.db")) << "the check never creates a file";
}

}  // namespace
}  // namespace ota::test
