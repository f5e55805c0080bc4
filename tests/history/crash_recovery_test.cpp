#include "history/history_contracts.h"
#include "history/upgrade_history_repository.h"

#include "sqlite_test_access.h"
#include "support/child_process.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

namespace ota::backend
{
namespace
{

// Every row found after a crash must satisfy the table rule and the record contract.
void expectIntactHistory(const std::filesystem::path& path, std::size_t& rows)
{
    std::string error;
    CUpgradeHistoryRepository repository;
    ASSERT_TRUE(repository.open(path, error)) << error;
    std::vector<S_UpgradeHistoryRecord> records;
    ASSERT_TRUE(repository.listRecords(records, error)) << error;
    for (const S_UpgradeHistoryRecord& record : records)
    {
        std::string reason;
        EXPECT_TRUE(validateHistoryRecord(record, reason)) << "upgradeNo=" << record.upgradeNo << ": " << reason;
    }
    rows = records.size();
    repository.close();

    test::CRawDatabase raw(path);
    EXPECT_EQ(raw.scalar("PRAGMA integrity_check;"), "ok");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM upgrade_history WHERE NOT ((is_final=0 AND completed_at IS NULL AND "
                         "report_json IS NULL) OR (is_final=1 AND completed_at IS NOT NULL AND report_json IS NOT "
                         "NULL AND length(report_json)>0));"),
              "0");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE type='trigger';"), "5");
}

TEST(HistoryCrashRecovery, KilledWritersNeverLeaveHalfWrittenRecords)
{
    test::CTempDirectory directory;
    const std::filesystem::path path = directory / "upgrade-history.db";
    std::mt19937 random(std::random_device{}());
    const auto budget = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t rows = 0;
    int kills = 0;
    for (int round = 0; round < 30 && std::chrono::steady_clock::now() < budget; ++round)
    {
        test::CChildProcess writer(OTA_CRASH_WRITER, {path.string(), std::to_string(round * 100000 + 1)});
        ASSERT_TRUE(writer.waitForOutput("WRITING")) << writer.standardError();
        // The kill moment is random on purpose; nothing waits on it.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        writer.sendSignal(SIGKILL);
        const std::optional<int> exitCode = writer.waitForExit();
        ASSERT_TRUE(exitCode.has_value());
        ASSERT_EQ(*exitCode, 128 + SIGKILL) << writer.standardError();
        ++kills;
        expectIntactHistory(path, rows);
        if (::testing::Test::HasFailure())
        {
            FAIL() << "history damaged after kill " << kills;
        }
    }
    EXPECT_GE(kills, 5);
    EXPECT_GT(rows, 0u) << "the writer must have written something to check";
}

}  // namespace
}  // namespace ota::backend
