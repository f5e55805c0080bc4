#pragma once

#include "history/sqlite_connection.h"
#include "history/upgrade_history_record.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

class CSqliteStatement;

// The upgrade history database: one row per upgrade task, three JSON documents stored as opaque
// text, integrity triggers that keep finished rows immutable and times monotonic. One mutex
// serialises every operation, so any thread may call any operation at any time. The statements
// of the writes and reads are prepared once per connection and kept until close; none holds a
// lock or a bound document between operations.
class CUpgradeHistoryRepository
{
public:
    CUpgradeHistoryRepository() = default;
    ~CUpgradeHistoryRepository();
    CUpgradeHistoryRepository(const CUpgradeHistoryRepository&) = delete;
    CUpgradeHistoryRepository& operator=(const CUpgradeHistoryRepository&) = delete;

    // Creates the parent directories and the schema; ":memory:" opens a private in-memory database.
    // An existing file is never deleted, recreated or migrated.
    bool open(const std::filesystem::path& databasePath, std::string& error);
    void close();
    bool isOpen() const;

    bool upgradeIdExists(const std::string& upgradeId, bool& exists, std::string& error);
    bool upsertTaskSnapshot(const S_TaskSnapshotWrite& write, std::string& error);
    bool updateRunningState(const S_RunningStateWrite& write, std::string& error);
    bool finalizeReport(const S_FinalReportWrite& write, std::string& error);

    // True with an empty result when the row does not exist.
    bool findRecord(std::uint32_t upgradeNo, std::optional<S_UpgradeHistoryRecord>& record,
                    std::string& error);
    // Newest start first; equal start times by the higher number first. Limit 0 lists every row.
    bool listRecords(std::vector<S_UpgradeHistoryRecord>& records, std::string& error,
                     std::uint32_t limit = 0);
    // One page: the rows numbered below `before` (0: below none), highest number first, at most
    // `limit` of them (1 or more). Pages follow the number, which never repeats.
    bool listRecordsBefore(std::uint32_t before, std::uint32_t limit,
                           std::vector<S_UpgradeHistoryRecord>& records, std::string& error);
    // Every row, highest number first, read a page at a time, so that a walk over the whole history
    // holds one page in memory however long the history is. The visitor returns false to stop;
    // the rows of a page are read before it is visited, so it may write.
    bool forEachRecord(const std::function<bool(const S_UpgradeHistoryRecord&)>& visit, std::string& error);

    // The three deletions run in one immediate transaction each and remove finalized rows too,
    // without touching the stored schema (its delete trigger included), which older builds share.
    bool clearAll(std::uint32_t& deletedCount, std::string& error);
    // Rows named by the retention hold are kept however old they are.
    bool deleteExpiredFinalized(std::int64_t cutoff, std::uint32_t& deletedCount, std::string& error);
    bool deleteSelected(const std::vector<std::uint32_t>& upgradeNumbers, std::uint32_t& deletedCount,
                        std::string& error);

    // The rows retention must keep, by upgrade number: those that work not finished yet still
    // names (an unfinished rollout's tasks). Asked at every retention deletion, without the
    // repository's mutex, so it may take locks of its own. Set before the first deletion.
    using RetentionHold = std::function<std::vector<std::uint32_t>()>;
    void setRetentionHold(RetentionHold hold);

    // Runs work on the repository's connection under its mutex, for the tables of other subsystems
    // kept in the same file: their statements share the connection's cache, and a transaction of
    // theirs (history/sqlite_transaction.h) serialises with every history operation. The work must
    // not call back into the repository. False with "Upgrade history repository is not open" when
    // closed; otherwise the work's own result.
    bool runOnConnection(const std::function<bool(CSqliteConnection& connection, std::string& error)>& work,
                         std::string& error);

private:
    struct S_RowIdentity
    {
        std::string upgradeId;
        std::int64_t startedAt = 0;
        std::int64_t updatedAt = 0;
        bool isFinal = false;
    };

    // Why a write changed no row, after the two reasons every write shares (the row is missing,
    // the row is final): the text for a final row, and the open row's first reason, which ends
    // with the write's own "not applied" text.
    struct S_UnappliedWrite
    {
        const char* finalized;
        std::function<const char*(const S_RowIdentity&)> openRow;
    };

    // The texts of one kind of deletion.
    struct S_DeletionTexts
    {
        const char* context;
        const char* invalidCount;
    };

    bool requireOpen(std::string& error) const;
    // Every row the listing statement yields, appended; on failure the list is emptied.
    bool readRecordRows(CSqliteStatement& statement, std::vector<S_UpgradeHistoryRecord>& records,
                        std::string& error);
    bool findUpgradeNoOfId(const std::string& upgradeId, std::optional<std::int64_t>& upgradeNo,
                           std::string& error);
    bool readRowIdentity(std::uint32_t upgradeNo, std::optional<S_RowIdentity>& identity, std::string& error);
    // Steps a bound write of one row: true when it changed the row; otherwise the row is read
    // again and the first reason that applies is the error.
    bool runRowWrite(CSqliteStatement& statement, const char* context, std::uint32_t upgradeNo,
                     const S_UnappliedWrite& unapplied, std::string& error);
    bool deleteRows(const std::vector<std::uint32_t>& ascendingNumbers, const S_DeletionTexts& texts,
                    std::uint64_t& deletedCount, std::string& error);
    bool checkpointWal(std::string& error);

    mutable std::mutex m_mutex;
    CSqliteConnection m_connection;
    RetentionHold m_retentionHold;  // under m_mutex
};

}  // namespace ota::backend
