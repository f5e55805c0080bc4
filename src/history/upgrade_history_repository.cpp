#include "history/upgrade_history_repository.h"

#include "history/sqlite_connection.h"
#include "history/upgrade_history_schema.h"
#include "history/upgrade_id_rule.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace ota::backend
{

namespace
{

constexpr const char* kNotOpen = "Upgrade history repository is not open";
constexpr const char* kRecordMissing = "Upgrade history record does not exist";
constexpr const char* kFinalizedImmutable = "Finalized upgrade history cannot be modified";
constexpr const char* kRecordColumns =
    "upgrade_no, upgrade_id, started_at, updated_at, completed_at, status, snapshot_json, state_json, "
    "report_json, is_final";
constexpr std::size_t kDeleteBatchSize = 500;
constexpr int kBusyTimeoutMs = 5000;

bool checkCommonWriteFields(std::uint32_t upgradeNo, std::int64_t updatedAt, const std::string& status,
                            std::string& error)
{
    if (upgradeNo == 0)
    {
        error = "upgradeNo must be greater than zero";
        return false;
    }
    if (updatedAt <= 0)
    {
        error = "updatedAt must be greater than zero";
        return false;
    }
    if (status.empty())
    {
        error = "status must not be empty";
        return false;
    }
    return true;
}

S_UpgradeHistoryRecord readRecordRow(const CSqliteStatement& statement)
{
    S_UpgradeHistoryRecord record;
    record.upgradeNo = static_cast<std::uint32_t>(statement.columnInt64(0));
    record.upgradeId = statement.columnText(1);
    record.startedAt = statement.columnInt64(2);
    record.updatedAt = statement.columnInt64(3);
    record.completedAt = statement.columnOptionalInt64(4);
    record.status = statement.columnText(5);
    record.snapshotJson = statement.columnText(6);
    record.stateJson = statement.columnText(7);
    record.reportJson = statement.columnOptionalText(8);
    record.isFinal = statement.columnInt64(9) != 0;
    return record;
}

}  // namespace

CUpgradeHistoryRepository::~CUpgradeHistoryRepository()
{
    close();
}

bool CUpgradeHistoryRepository::open(const std::filesystem::path& databasePath, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (m_database != nullptr)
    {
        error = "Upgrade history repository is already open";
        return false;
    }
    if (databasePath.empty())
    {
        error = "Upgrade history database path must not be empty";
        return false;
    }
    const std::string pathText = databasePath.string();
    if (pathText != ":memory:" && databasePath.has_parent_path())
    {
        std::error_code directoryError;
        std::filesystem::create_directories(databasePath.parent_path(), directoryError);
        if (directoryError)
        {
            error = "Cannot create upgrade history directory: " + directoryError.message();
            return false;
        }
    }

    sqlite3* database = nullptr;
    const int openResult = sqlite3_open_v2(pathText.c_str(), &database,
                                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (openResult != SQLITE_OK)
    {
        error = sqliteFailure("Cannot open upgrade history database", database, openResult);
        sqlite3_close(database);
        return false;
    }
    sqlite3_extended_result_codes(database, 1);
    sqlite3_busy_timeout(database, kBusyTimeoutMs);

    // SQLite quietly falls back to read-only access when the file cannot be written; the audit
    // trail must be writable, so that is an open failure rather than a later write error.
    if (sqlite3_db_readonly(database, "main") == 1)
    {
        error = "Cannot open upgrade history database: the database file is read-only: " + pathText;
        sqlite3_close(database);
        return false;
    }
    if (!inspectExistingHistoryDatabase(database, error) ||
        !executeSqliteScript(database, kHistoryPragmaScript, error))
    {
        sqlite3_close(database);
        return false;
    }
    if (!executeSqliteScript(database, kHistorySchemaScript, error))
    {
        sqlite3_exec(database, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(database);
        return false;
    }
    m_database = database;
    return true;
}

void CUpgradeHistoryRepository::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_database != nullptr)
    {
        // close_v2 cannot fail on busy statements; every statement is finalized already.
        sqlite3_close_v2(m_database);
        m_database = nullptr;
    }
}

bool CUpgradeHistoryRepository::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_database != nullptr;
}

bool CUpgradeHistoryRepository::requireOpen(std::string& error) const
{
    if (m_database == nullptr)
    {
        error = kNotOpen;
        return false;
    }
    return true;
}

bool CUpgradeHistoryRepository::findUpgradeNoOfId(const std::string& upgradeId,
                                                   std::optional<std::int64_t>& upgradeNo, std::string& error)
{
    upgradeNo.reset();
    CSqliteStatement statement;
    if (!statement.prepare(m_database, "SELECT upgrade_no FROM upgrade_history WHERE upgrade_id=?1 LIMIT 1;",
                           error) ||
        !statement.bindText(1, upgradeId, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode == SQLITE_ROW)
    {
        upgradeNo = statement.columnInt64(0);
        return true;
    }
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    error = sqliteFailure("Cannot inspect upgradeId binding", m_database, resultCode);
    return false;
}

bool CUpgradeHistoryRepository::readRowIdentity(std::uint32_t upgradeNo, std::optional<S_RowIdentity>& identity,
                                                std::string& error)
{
    identity.reset();
    CSqliteStatement statement;
    if (!statement.prepare(m_database,
                           "SELECT upgrade_id, started_at, updated_at, is_final FROM upgrade_history WHERE "
                           "upgrade_no=?1;",
                           error) ||
        !statement.bindInt64(1, upgradeNo, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode == SQLITE_ROW)
    {
        identity = S_RowIdentity{statement.columnText(0), statement.columnInt64(1), statement.columnInt64(2),
                                 statement.columnInt64(3) != 0};
        return true;
    }
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    error = sqliteFailure("Cannot inspect upgrade history timestamps", m_database, resultCode);
    return false;
}

bool CUpgradeHistoryRepository::upgradeIdExists(const std::string& upgradeId, bool& exists, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    exists = false;
    if (!requireOpen(error))
    {
        return false;
    }
    if (!isValidUpgradeId(upgradeId))
    {
        error = kUpgradeIdRuleMessage;
        return false;
    }
    std::optional<std::int64_t> upgradeNo;
    if (!findUpgradeNoOfId(upgradeId, upgradeNo, error))
    {
        return false;
    }
    exists = upgradeNo.has_value();
    return true;
}

bool CUpgradeHistoryRepository::upsertTaskSnapshot(const S_TaskSnapshotWrite& write, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error) || !checkCommonWriteFields(write.upgradeNo, write.updatedAt, write.status, error))
    {
        return false;
    }
    if (!isValidUpgradeId(write.upgradeId))
    {
        error = kUpgradeIdRuleMessage;
        return false;
    }
    if (write.startedAt <= 0)
    {
        error = "Task snapshot startedAt must be greater than zero";
        return false;
    }
    if (write.updatedAt < write.startedAt)
    {
        error = "Task snapshot updatedAt cannot move backwards before startedAt";
        return false;
    }
    if (write.snapshotJson.empty())
    {
        error = "snapshotJson must not be empty";
        return false;
    }

    std::optional<S_RowIdentity> existing;
    if (!readRowIdentity(write.upgradeNo, existing, error))
    {
        return false;
    }
    if (existing.has_value() && existing->upgradeId != write.upgradeId)
    {
        error = "upgradeNo is already bound to another upgradeId";
        return false;
    }
    std::optional<std::int64_t> boundNo;
    if (!findUpgradeNoOfId(write.upgradeId, boundNo, error))
    {
        return false;
    }
    if (boundNo.has_value() && *boundNo != static_cast<std::int64_t>(write.upgradeNo))
    {
        error = "upgradeId is already bound to another upgradeNo";
        return false;
    }

    CSqliteStatement statement;
    if (!statement.prepare(
            m_database,
            "INSERT INTO upgrade_history(upgrade_no, upgrade_id, started_at, updated_at, status, snapshot_json) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(upgrade_no) DO UPDATE SET updated_at=excluded.updated_at, "
            "status=excluded.status, snapshot_json=excluded.snapshot_json WHERE upgrade_history.is_final=0 AND "
            "upgrade_history.upgrade_id=excluded.upgrade_id AND upgrade_history.started_at=excluded.started_at "
            "AND excluded.updated_at>=upgrade_history.updated_at;",
            error) ||
        !statement.bindInt64(1, write.upgradeNo, error) || !statement.bindText(2, write.upgradeId, error) ||
        !statement.bindInt64(3, write.startedAt, error) || !statement.bindInt64(4, write.updatedAt, error) ||
        !statement.bindText(5, write.status, error) || !statement.bindText(6, write.snapshotJson, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot upsert task snapshot", m_database, resultCode);
        return false;
    }
    if (sqlite3_changes64(m_database) > 0)
    {
        return true;
    }

    std::optional<S_RowIdentity> current;
    if (!readRowIdentity(write.upgradeNo, current, error))
    {
        return false;
    }
    if (!current.has_value())
    {
        error = kRecordMissing;
    }
    else if (current->isFinal)
    {
        error = kFinalizedImmutable;
    }
    else if (current->startedAt != write.startedAt)
    {
        error = "Task snapshot startedAt is immutable for an existing upgradeNo";
    }
    else if (write.updatedAt < current->updatedAt)
    {
        error = "Task snapshot updatedAt cannot move backwards";
    }
    else
    {
        error = "Task snapshot update was not applied";
    }
    return false;
}

bool CUpgradeHistoryRepository::updateRunningState(const S_RunningStateWrite& write, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error) || !checkCommonWriteFields(write.upgradeNo, write.updatedAt, write.status, error))
    {
        return false;
    }
    if (write.stateJson.empty())
    {
        error = "stateJson must not be empty";
        return false;
    }
    CSqliteStatement statement;
    if (!statement.prepare(m_database,
                           "UPDATE upgrade_history SET updated_at=?1, status=?2, state_json=?3 WHERE upgrade_no=?4 "
                           "AND is_final=0 AND updated_at<=?1;",
                           error) ||
        !statement.bindInt64(1, write.updatedAt, error) || !statement.bindText(2, write.status, error) ||
        !statement.bindText(3, write.stateJson, error) || !statement.bindInt64(4, write.upgradeNo, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot update running state", m_database, resultCode);
        return false;
    }
    if (sqlite3_changes64(m_database) > 0)
    {
        return true;
    }
    std::optional<S_RowIdentity> current;
    if (!readRowIdentity(write.upgradeNo, current, error))
    {
        return false;
    }
    if (!current.has_value())
    {
        error = kRecordMissing;
    }
    else if (current->isFinal)
    {
        error = kFinalizedImmutable;
    }
    else if (write.updatedAt < current->updatedAt)
    {
        error = "Running state updatedAt cannot move backwards";
    }
    else
    {
        error = "Running state update was not applied";
    }
    return false;
}

bool CUpgradeHistoryRepository::finalizeReport(const S_FinalReportWrite& write, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error) || !checkCommonWriteFields(write.upgradeNo, write.updatedAt, write.status, error))
    {
        return false;
    }
    if (write.completedAt < 1 || write.updatedAt < write.completedAt)
    {
        error = "Final report timestamps are invalid";
        return false;
    }
    if (write.reportJson.empty())
    {
        error = "reportJson must not be empty";
        return false;
    }
    CSqliteStatement statement;
    if (!statement.prepare(m_database,
                           "UPDATE upgrade_history SET updated_at=?1, completed_at=?2, status=?3, report_json=?4, "
                           "is_final=1 WHERE upgrade_no=?5 AND is_final=0 AND updated_at<=?1 AND updated_at<=?2;",
                           error) ||
        !statement.bindInt64(1, write.updatedAt, error) || !statement.bindInt64(2, write.completedAt, error) ||
        !statement.bindText(3, write.status, error) || !statement.bindText(4, write.reportJson, error) ||
        !statement.bindInt64(5, write.upgradeNo, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot finalize upgrade report", m_database, resultCode);
        return false;
    }
    if (sqlite3_changes64(m_database) > 0)
    {
        return true;
    }
    std::optional<S_RowIdentity> current;
    if (!readRowIdentity(write.upgradeNo, current, error))
    {
        return false;
    }
    if (!current.has_value())
    {
        error = kRecordMissing;
    }
    else if (current->isFinal)
    {
        error = "Upgrade report has already been finalized";
    }
    else if (write.completedAt < current->updatedAt)
    {
        error = "Final report completedAt must not be earlier than existing updatedAt";
    }
    else if (write.updatedAt < current->updatedAt)
    {
        error = "Final report updatedAt cannot move backwards";
    }
    else
    {
        error = "Final report update was not applied";
    }
    return false;
}

bool CUpgradeHistoryRepository::findRecord(std::uint32_t upgradeNo, std::optional<S_UpgradeHistoryRecord>& record,
                                           std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    record.reset();
    if (!requireOpen(error))
    {
        return false;
    }
    if (upgradeNo == 0)
    {
        error = "upgradeNo must be greater than zero";
        return false;
    }
    CSqliteStatement statement;
    const std::string sql = std::string("SELECT ") + kRecordColumns + " FROM upgrade_history WHERE upgrade_no=?1;";
    if (!statement.prepare(m_database, sql, error) || !statement.bindInt64(1, upgradeNo, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode == SQLITE_ROW)
    {
        record = readRecordRow(statement);
        return true;
    }
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    error = sqliteFailure("Cannot query upgrade history", m_database, resultCode);
    return false;
}

bool CUpgradeHistoryRepository::listRecords(std::vector<S_UpgradeHistoryRecord>& records, std::string& error,
                                            std::uint32_t limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    records.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    std::string sql = std::string("SELECT ") + kRecordColumns +
                      " FROM upgrade_history ORDER BY started_at DESC, upgrade_no DESC";
    if (limit != 0)
    {
        sql += " LIMIT ?1";
    }
    sql += ";";
    CSqliteStatement statement;
    if (!statement.prepare(m_database, sql, error) || (limit != 0 && !statement.bindInt64(1, limit, error)))
    {
        return false;
    }
    return readRecordRows(statement, records, error);
}

bool CUpgradeHistoryRepository::listRecordsBefore(std::uint32_t before, std::uint32_t limit,
                                                  std::vector<S_UpgradeHistoryRecord>& records, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    records.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    // The primary key's order: a page costs its own rows, however long the history.
    const std::string sql = std::string("SELECT ") + kRecordColumns +
                            " FROM upgrade_history WHERE upgrade_no<?1 ORDER BY upgrade_no DESC LIMIT ?2;";
    const std::int64_t bound = before == 0 ? std::int64_t{1} << 32 : std::int64_t{before};
    CSqliteStatement statement;
    return statement.prepare(m_database, sql, error) && statement.bindInt64(1, bound, error) &&
           statement.bindInt64(2, limit, error) && readRecordRows(statement, records, error);
}

bool CUpgradeHistoryRepository::forEachRecord(const std::function<bool(const S_UpgradeHistoryRecord&)>& visit,
                                              std::string& error)
{
    constexpr std::uint32_t kPageRows = 100;
    std::vector<S_UpgradeHistoryRecord> page;
    std::uint32_t before = 0;
    do
    {
        if (!listRecordsBefore(before, kPageRows, page, error))
        {
            return false;
        }
        for (const S_UpgradeHistoryRecord& record : page)
        {
            if (!visit(record))
            {
                return true;
            }
        }
        before = page.size() < kPageRows ? 0 : page.back().upgradeNo;
    } while (before > 1);
    return true;
}

bool CUpgradeHistoryRepository::readRecordRows(CSqliteStatement& statement, std::vector<S_UpgradeHistoryRecord>& records,
                                               std::string& error)
{
    int resultCode = SQLITE_OK;
    while ((resultCode = statement.step()) == SQLITE_ROW)
    {
        records.push_back(readRecordRow(statement));
    }
    if (resultCode != SQLITE_DONE)
    {
        records.clear();
        error = sqliteFailure("Cannot list upgrade history", m_database, resultCode);
        return false;
    }
    return true;
}

void CUpgradeHistoryRepository::rollback()
{
    sqlite3_exec(m_database, "ROLLBACK;", nullptr, nullptr, nullptr);
}

bool CUpgradeHistoryRepository::recreateDeleteTriggerAndCommit(std::string& error)
{
    return executeSqliteScript(m_database, kRecreateFinalDeleteTrigger, error) &&
           executeSqliteScript(m_database, "COMMIT;", error);
}

bool CUpgradeHistoryRepository::clearAll(std::uint32_t& deletedCount, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    deletedCount = 0;
    if (!requireOpen(error))
    {
        return false;
    }
    std::int64_t count = 0;
    {
        CSqliteStatement statement;
        if (!statement.prepare(m_database, "SELECT COUNT(*) FROM upgrade_history;", error))
        {
            return false;
        }
        const int resultCode = statement.step();
        if (resultCode != SQLITE_ROW)
        {
            error = sqliteFailure("Cannot count upgrade history before clearing", m_database, resultCode);
            return false;
        }
        count = statement.columnInt64(0);
    }
    if (count < 0 || count > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max()))
    {
        error = "Upgrade history record count exceeds uint32 range";
        return false;
    }
    const std::string script = std::string(
                                   "BEGIN IMMEDIATE;DROP TRIGGER IF EXISTS trg_upgrade_history_final_delete;"
                                   "DELETE FROM upgrade_history;") +
                               kRecreateFinalDeleteTrigger + "COMMIT;";
    if (!executeSqliteScript(m_database, script.c_str(), error))
    {
        rollback();
        return false;
    }
    deletedCount = static_cast<std::uint32_t>(count);
    return true;
}

bool CUpgradeHistoryRepository::checkpointWal(std::string& error)
{
    CSqliteStatement statement;
    if (!statement.prepare(m_database, "PRAGMA wal_checkpoint(TRUNCATE);", error))
    {
        return false;
    }
    int resultCode = statement.step();
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot checkpoint upgrade history WAL", m_database, resultCode);
        return false;
    }
    const std::int64_t busy = statement.columnInt64(0);
    if (busy != 0)
    {
        error = "Cannot checkpoint upgrade history WAL: " + std::to_string(busy) +
                " connection(s) still hold the WAL";
        return false;
    }
    resultCode = statement.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot finish upgrade history WAL checkpoint", m_database, resultCode);
        return false;
    }
    return true;
}

bool CUpgradeHistoryRepository::deleteExpiredFinalized(std::int64_t cutoff, std::uint32_t& deletedCount,
                                                       std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    deletedCount = 0;
    if (!requireOpen(error))
    {
        return false;
    }
    if (cutoff < 1)
    {
        return true;
    }
    // Usually nothing has expired (the cleanup runs before every history read): then nothing is
    // written, so reading the history neither grows the log nor fails while the disk is full.
    {
        CSqliteStatement probe;
        if (!probe.prepare(m_database, "SELECT 1 FROM upgrade_history WHERE is_final=1 AND completed_at<?1 LIMIT 1;",
                           error) ||
            !probe.bindInt64(1, cutoff, error))
        {
            return false;
        }
        const int resultCode = probe.step();
        if (resultCode == SQLITE_DONE)
        {
            return true;
        }
        if (resultCode != SQLITE_ROW)
        {
            error = sqliteFailure("Cannot delete expired upgrade history", m_database, resultCode);
            return false;
        }
    }
    if (!executeSqliteScript(m_database, "BEGIN IMMEDIATE;", error))
    {
        rollback();
        return false;
    }
    std::int64_t changes = 0;
    {
        CSqliteStatement statement;
        if (!executeSqliteScript(m_database, "DROP TRIGGER IF EXISTS trg_upgrade_history_final_delete;", error) ||
            !statement.prepare(m_database, "DELETE FROM upgrade_history WHERE is_final=1 AND completed_at<?1;",
                               error) ||
            !statement.bindInt64(1, cutoff, error))
        {
            rollback();
            return false;
        }
        const int resultCode = statement.step();
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot delete expired upgrade history", m_database, resultCode);
            rollback();
            return false;
        }
        changes = sqlite3_changes64(m_database);
    }
    if (changes < 0 || changes > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max()))
    {
        error = "Expired upgrade history deletion count is invalid";
        rollback();
        return false;
    }
    if (!recreateDeleteTriggerAndCommit(error))
    {
        rollback();
        return false;
    }
    deletedCount = static_cast<std::uint32_t>(changes);
    if (deletedCount > 0)
    {
        // Give the freed pages back to the file system: the log first, then the main file.
        return checkpointWal(error) && executeSqliteScript(m_database, "VACUUM;", error);
    }
    return true;
}

bool CUpgradeHistoryRepository::deleteSelected(const std::vector<std::uint32_t>& upgradeNumbers,
                                               std::uint32_t& deletedCount, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    deletedCount = 0;
    if (!requireOpen(error))
    {
        return false;
    }
    if (upgradeNumbers.empty())
    {
        return true;
    }
    std::vector<std::uint32_t> numbers = upgradeNumbers;
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    if (numbers.front() == 0)
    {
        error = "upgradeNumbers must not contain zero";
        return false;
    }
    if (!executeSqliteScript(m_database, "BEGIN IMMEDIATE;", error) ||
        !executeSqliteScript(m_database, "DROP TRIGGER IF EXISTS trg_upgrade_history_final_delete;", error))
    {
        rollback();
        return false;
    }
    std::uint64_t total = 0;
    for (std::size_t begin = 0; begin < numbers.size(); begin += kDeleteBatchSize)
    {
        const std::size_t batch = std::min(kDeleteBatchSize, numbers.size() - begin);
        std::string sql = "DELETE FROM upgrade_history WHERE upgrade_no IN (";
        for (std::size_t index = 0; index < batch; ++index)
        {
            if (index != 0)
            {
                sql += ",";
            }
            sql += '?';
            sql += std::to_string(index + 1);
        }
        sql += ");";
        CSqliteStatement statement;
        if (!statement.prepare(m_database, sql, error))
        {
            rollback();
            return false;
        }
        for (std::size_t index = 0; index < batch; ++index)
        {
            if (!statement.bindInt64(static_cast<int>(index + 1), numbers[begin + index], error))
            {
                rollback();
                return false;
            }
        }
        const int resultCode = statement.step();
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot delete selected upgrade history", m_database, resultCode);
            rollback();
            return false;
        }
        const std::int64_t changes = sqlite3_changes64(m_database);
        if (changes < 0)
        {
            error = "Selected upgrade history deletion count is invalid";
            rollback();
            return false;
        }
        total += static_cast<std::uint64_t>(changes);
    }
    if (total > std::numeric_limits<std::uint32_t>::max())
    {
        error = "Selected upgrade history deletion count exceeds uint32_t";
        rollback();
        return false;
    }
    if (!recreateDeleteTriggerAndCommit(error))
    {
        rollback();
        return false;
    }
    deletedCount = static_cast<std::uint32_t>(total);
    return true;
}

}  // namespace ota::backend
