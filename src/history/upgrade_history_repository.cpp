#include "history/upgrade_history_repository.h"

#include "history/sqlite_transaction.h"
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
// Each text is the key of its cached statement, so the record reads spell their column list out.
constexpr const char* kFindRecordSql =
    "SELECT upgrade_no, upgrade_id, started_at, updated_at, completed_at, status, snapshot_json, state_json, "
    "report_json, is_final FROM upgrade_history WHERE upgrade_no=?1;";
constexpr const char* kListRecordsSql =
    "SELECT upgrade_no, upgrade_id, started_at, updated_at, completed_at, status, snapshot_json, state_json, "
    "report_json, is_final FROM upgrade_history ORDER BY started_at DESC, upgrade_no DESC;";
constexpr const char* kListRecordsLimitSql =
    "SELECT upgrade_no, upgrade_id, started_at, updated_at, completed_at, status, snapshot_json, state_json, "
    "report_json, is_final FROM upgrade_history ORDER BY started_at DESC, upgrade_no DESC LIMIT ?1;";
// The primary key's order: a page costs its own rows, however long the history.
constexpr const char* kListRecordsBeforeSql =
    "SELECT upgrade_no, upgrade_id, started_at, updated_at, completed_at, status, snapshot_json, state_json, "
    "report_json, is_final FROM upgrade_history WHERE upgrade_no<?1 ORDER BY upgrade_no DESC LIMIT ?2;";
constexpr const char* kUpgradeNoOfIdSql =
    "SELECT upgrade_no FROM upgrade_history WHERE upgrade_id=?1 LIMIT 1;";
constexpr const char* kRowIdentitySql =
    "SELECT upgrade_id, started_at, updated_at, is_final FROM upgrade_history WHERE upgrade_no=?1;";
constexpr const char* kUpsertSnapshotSql =
    "INSERT INTO upgrade_history(upgrade_no, upgrade_id, started_at, updated_at, status, snapshot_json) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(upgrade_no) DO UPDATE SET updated_at=excluded.updated_at, "
    "status=excluded.status, snapshot_json=excluded.snapshot_json WHERE upgrade_history.is_final=0 AND "
    "upgrade_history.upgrade_id=excluded.upgrade_id AND upgrade_history.started_at=excluded.started_at "
    "AND excluded.updated_at>=upgrade_history.updated_at;";
constexpr const char* kUpdateRunningStateSql =
    "UPDATE upgrade_history SET updated_at=?1, status=?2, state_json=?3 "
    "WHERE upgrade_no=?4 AND is_final=0 AND updated_at<=?1;";
constexpr const char* kFinalizeReportSql =
    "UPDATE upgrade_history SET updated_at=?1, completed_at=?2, status=?3, report_json=?4, is_final=1 "
    "WHERE upgrade_no=?5 AND is_final=0 AND updated_at<=?1 AND updated_at<=?2;";
constexpr const char* kCountSql = "SELECT COUNT(*) FROM upgrade_history;";
constexpr const char* kExpiredNumbersSql =
    "SELECT upgrade_no FROM upgrade_history WHERE is_final=1 AND completed_at<?1 ORDER BY upgrade_no;";

// Finalized rows are immutable: trg_upgrade_history_final_delete refuses to delete them, and older
// builds read and write the same file, so that trigger stays exactly as stored. A deletion first
// replaces each finalized row it removes by an open row of the same number (SQLite runs no
// delete trigger for a row that the REPLACE conflict path removes unless recursive triggers are
// on, which this connection never turns on), then deletes the rows with every trigger in force.
// Both steps are inside one transaction: a failure restores the finalized rows.
constexpr const char* kReleaseFinalRowsPrefix =
    "INSERT OR REPLACE INTO upgrade_history"
    "(upgrade_no, upgrade_id, started_at, updated_at, status, snapshot_json) "
    "SELECT upgrade_no, upgrade_id, started_at, updated_at, status, '{}' FROM upgrade_history "
    "WHERE is_final=1";
constexpr const char* kClearAllScript =
    "INSERT OR REPLACE INTO upgrade_history"
    "(upgrade_no, upgrade_id, started_at, updated_at, status, snapshot_json) "
    "SELECT upgrade_no, upgrade_id, started_at, updated_at, status, '{}' FROM upgrade_history "
    "WHERE is_final=1;"
    "DELETE FROM upgrade_history;";
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

// "?1,?2,...,?count"
std::string numberedPlaceholders(std::size_t count)
{
    std::string text;
    for (std::size_t index = 0; index < count; ++index)
    {
        if (index != 0)
        {
            text += ',';
        }
        text += '?';
        text += std::to_string(index + 1);
    }
    return text;
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
    if (m_connection.isOpen())
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
    if (!m_connection.open(pathText, "Cannot open upgrade history database", kBusyTimeoutMs, error))
    {
        return false;
    }
    // SQLite quietly falls back to read-only access when the file cannot be written; the audit
    // trail must be writable, so that is an open failure rather than a later write error.
    if (sqlite3_db_readonly(m_connection.handle(), "main") == 1)
    {
        error = "Cannot open upgrade history database: the database file is read-only: " + pathText;
        m_connection.close();
        return false;
    }
    if (!inspectExistingHistoryDatabase(m_connection.handle(), error) ||
        !m_connection.execute(kHistoryPragmaScript, error))
    {
        m_connection.close();
        return false;
    }
    bool created = false;
    {
        CSqliteTransaction transaction(m_connection);
        created = transaction.begin(error) && m_connection.execute(kHistorySchemaScript, error) &&
                  transaction.commit(error);
    }
    if (!created)
    {
        m_connection.close();
        return false;
    }
    return true;
}

void CUpgradeHistoryRepository::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
}

bool CUpgradeHistoryRepository::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection.isOpen();
}

bool CUpgradeHistoryRepository::runOnConnection(
    const std::function<bool(CSqliteConnection& connection, std::string& error)>& work, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    return requireOpen(error) && work(m_connection, error);
}

bool CUpgradeHistoryRepository::requireOpen(std::string& error) const
{
    if (!m_connection.isOpen())
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
    CSqliteCachedStatement statement = m_connection.statement(kUpgradeNoOfIdSql, error);
    if (!statement || !statement->bindText(1, upgradeId, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode == SQLITE_ROW)
    {
        upgradeNo = statement->columnInt64(0);
        return true;
    }
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    error = sqliteFailure("Cannot inspect upgradeId binding", m_connection.handle(), resultCode);
    return false;
}

bool CUpgradeHistoryRepository::readRowIdentity(std::uint32_t upgradeNo,
                                                std::optional<S_RowIdentity>& identity, std::string& error)
{
    identity.reset();
    CSqliteCachedStatement statement = m_connection.statement(kRowIdentitySql, error);
    if (!statement || !statement->bindInt64(1, upgradeNo, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode == SQLITE_ROW)
    {
        identity = S_RowIdentity{statement->columnText(0), statement->columnInt64(1),
                                 statement->columnInt64(2), statement->columnInt64(3) != 0};
        return true;
    }
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    error = sqliteFailure("Cannot inspect upgrade history timestamps", m_connection.handle(), resultCode);
    return false;
}

bool CUpgradeHistoryRepository::runRowWrite(CSqliteStatement& statement, const char* context,
                                            std::uint32_t upgradeNo, const S_UnappliedWrite& unapplied,
                                            std::string& error)
{
    const int resultCode = statement.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure(context, m_connection.handle(), resultCode);
        return false;
    }
    if (m_connection.changes() > 0)
    {
        return true;
    }
    // The statement's own conditions refused the write: find out which.
    std::optional<S_RowIdentity> current;
    if (!readRowIdentity(upgradeNo, current, error))
    {
        return false;
    }
    if (!current.has_value())
    {
        error = kRecordMissing;
    }
    else if (current->isFinal)
    {
        error = unapplied.finalized;
    }
    else
    {
        error = unapplied.openRow(*current);
    }
    return false;
}

bool CUpgradeHistoryRepository::upgradeIdExists(const std::string& upgradeId, bool& exists,
                                                std::string& error)
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

    CSqliteCachedStatement statement = m_connection.statement(kUpsertSnapshotSql, error);
    if (!statement || !statement->bindInt64(1, write.upgradeNo, error) ||
        !statement->bindText(2, write.upgradeId, error) || !statement->bindInt64(3, write.startedAt, error) ||
        !statement->bindInt64(4, write.updatedAt, error) || !statement->bindText(5, write.status, error) ||
        !statement->bindText(6, write.snapshotJson, error))
    {
        return false;
    }
    return runRowWrite(*statement, "Cannot upsert task snapshot", write.upgradeNo,
                       {kFinalizedImmutable,
                        [&write](const S_RowIdentity& row)
                        {
                            if (row.startedAt != write.startedAt)
                            {
                                return "Task snapshot startedAt is immutable for an existing upgradeNo";
                            }
                            return write.updatedAt < row.updatedAt
                                       ? "Task snapshot updatedAt cannot move backwards"
                                       : "Task snapshot update was not applied";
                        }},
                       error);
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
    CSqliteCachedStatement statement = m_connection.statement(kUpdateRunningStateSql, error);
    if (!statement || !statement->bindInt64(1, write.updatedAt, error) ||
        !statement->bindText(2, write.status, error) || !statement->bindText(3, write.stateJson, error) ||
        !statement->bindInt64(4, write.upgradeNo, error))
    {
        return false;
    }
    return runRowWrite(*statement, "Cannot update running state", write.upgradeNo,
                       {kFinalizedImmutable,
                        [&write](const S_RowIdentity& row)
                        {
                            return write.updatedAt < row.updatedAt
                                       ? "Running state updatedAt cannot move backwards"
                                       : "Running state update was not applied";
                        }},
                       error);
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
    CSqliteCachedStatement statement = m_connection.statement(kFinalizeReportSql, error);
    if (!statement || !statement->bindInt64(1, write.updatedAt, error) ||
        !statement->bindInt64(2, write.completedAt, error) || !statement->bindText(3, write.status, error) ||
        !statement->bindText(4, write.reportJson, error) || !statement->bindInt64(5, write.upgradeNo, error))
    {
        return false;
    }
    return runRowWrite(*statement, "Cannot finalize upgrade report", write.upgradeNo,
                       {"Upgrade report has already been finalized",
                        [&write](const S_RowIdentity& row)
                        {
                            if (write.completedAt < row.updatedAt)
                            {
                                return "Final report completedAt must not be earlier than existing updatedAt";
                            }
                            return write.updatedAt < row.updatedAt
                                       ? "Final report updatedAt cannot move backwards"
                                       : "Final report update was not applied";
                        }},
                       error);
}

bool CUpgradeHistoryRepository::findRecord(std::uint32_t upgradeNo,
                                           std::optional<S_UpgradeHistoryRecord>& record, std::string& error)
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
    CSqliteCachedStatement statement = m_connection.statement(kFindRecordSql, error);
    if (!statement || !statement->bindInt64(1, upgradeNo, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode == SQLITE_ROW)
    {
        record = readRecordRow(*statement);
        return true;
    }
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    error = sqliteFailure("Cannot query upgrade history", m_connection.handle(), resultCode);
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
    CSqliteCachedStatement statement =
        m_connection.statement(limit != 0 ? kListRecordsLimitSql : kListRecordsSql, error);
    if (!statement || (limit != 0 && !statement->bindInt64(1, limit, error)))
    {
        return false;
    }
    return readRecordRows(*statement, records, error);
}

bool CUpgradeHistoryRepository::listRecordsBefore(std::uint32_t before, std::uint32_t limit,
                                                  std::vector<S_UpgradeHistoryRecord>& records,
                                                  std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    records.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    const std::int64_t bound = before == 0 ? std::int64_t{1} << 32 : std::int64_t{before};
    CSqliteCachedStatement statement = m_connection.statement(kListRecordsBeforeSql, error);
    return statement && statement->bindInt64(1, bound, error) && statement->bindInt64(2, limit, error) &&
           readRecordRows(*statement, records, error);
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

bool CUpgradeHistoryRepository::readRecordRows(CSqliteStatement& statement,
                                               std::vector<S_UpgradeHistoryRecord>& records,
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
        error = sqliteFailure("Cannot list upgrade history", m_connection.handle(), resultCode);
        return false;
    }
    return true;
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
        CSqliteCachedStatement statement = m_connection.statement(kCountSql, error);
        if (!statement)
        {
            return false;
        }
        const int resultCode = statement->step();
        if (resultCode != SQLITE_ROW)
        {
            error = sqliteFailure("Cannot count upgrade history before clearing", m_connection.handle(),
                                  resultCode);
            return false;
        }
        count = statement->columnInt64(0);
    }
    if (count < 0 || count > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max()))
    {
        error = "Upgrade history record count exceeds uint32 range";
        return false;
    }
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error) || !m_connection.execute(kClearAllScript, error) ||
        !transaction.commit(error))
    {
        return false;
    }
    deletedCount = static_cast<std::uint32_t>(count);
    return true;
}

bool CUpgradeHistoryRepository::deleteRows(const std::vector<std::uint32_t>& ascendingNumbers,
                                           const S_DeletionTexts& texts, std::uint64_t& deletedCount,
                                           std::string& error)
{
    deletedCount = 0;
    for (std::size_t begin = 0; begin < ascendingNumbers.size(); begin += kDeleteBatchSize)
    {
        const std::size_t batch = std::min(kDeleteBatchSize, ascendingNumbers.size() - begin);
        const std::string placeholders = numberedPlaceholders(batch);
        CSqliteStatement release;
        CSqliteStatement deletion;
        if (!release.prepare(
                m_connection.handle(),
                std::string(kReleaseFinalRowsPrefix) + " AND upgrade_no IN (" + placeholders + ");", error) ||
            !deletion.prepare(m_connection.handle(),
                              "DELETE FROM upgrade_history WHERE upgrade_no IN (" + placeholders + ");",
                              error))
        {
            return false;
        }
        for (std::size_t index = 0; index < batch; ++index)
        {
            const int parameter = static_cast<int>(index + 1);
            if (!release.bindInt64(parameter, ascendingNumbers[begin + index], error) ||
                !deletion.bindInt64(parameter, ascendingNumbers[begin + index], error))
            {
                return false;
            }
        }
        int resultCode = release.step();
        if (resultCode == SQLITE_DONE)
        {
            resultCode = deletion.step();
        }
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure(texts.context, m_connection.handle(), resultCode);
            return false;
        }
        const std::int64_t changes = m_connection.changes();
        if (changes < 0)
        {
            error = texts.invalidCount;
            return false;
        }
        deletedCount += static_cast<std::uint64_t>(changes);
    }
    return true;
}

bool CUpgradeHistoryRepository::checkpointWal(std::string& error)
{
    CSqliteStatement statement;
    if (!statement.prepare(m_connection.handle(), "PRAGMA wal_checkpoint(TRUNCATE);", error))
    {
        return false;
    }
    int resultCode = statement.step();
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot checkpoint upgrade history WAL", m_connection.handle(), resultCode);
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
        error =
            sqliteFailure("Cannot finish upgrade history WAL checkpoint", m_connection.handle(), resultCode);
        return false;
    }
    return true;
}

void CUpgradeHistoryRepository::setRetentionHold(RetentionHold hold)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_retentionHold = std::move(hold);
}

bool CUpgradeHistoryRepository::deleteExpiredFinalized(std::int64_t cutoff, std::uint32_t& deletedCount,
                                                       std::string& error)
{
    RetentionHold hold;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connection.isOpen())
        {
            hold = m_retentionHold;
        }
    }
    std::vector<std::uint32_t> held = hold ? hold() : std::vector<std::uint32_t>();
    std::sort(held.begin(), held.end());
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
    constexpr S_DeletionTexts texts{"Cannot delete expired upgrade history",
                                    "Expired upgrade history deletion count is invalid"};
    const auto readExpired = [&](std::vector<std::uint32_t>& numbers)
    {
        numbers.clear();
        CSqliteCachedStatement statement = m_connection.statement(kExpiredNumbersSql, error);
        if (!statement || !statement->bindInt64(1, cutoff, error))
        {
            return false;
        }
        int resultCode = SQLITE_OK;
        while ((resultCode = statement->step()) == SQLITE_ROW)
        {
            const auto upgradeNo = static_cast<std::uint32_t>(statement->columnInt64(0));
            if (!std::binary_search(held.begin(), held.end(), upgradeNo))
            {
                numbers.push_back(upgradeNo);
            }
        }
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure(texts.context, m_connection.handle(), resultCode);
            return false;
        }
        return true;
    };
    // Usually nothing has expired (the cleanup runs before every history read): then nothing is
    // written, so reading the history neither grows the log nor fails while the disk is full.
    std::vector<std::uint32_t> expired;
    if (!readExpired(expired))
    {
        return false;
    }
    if (expired.empty())
    {
        return true;
    }
    std::uint64_t changes = 0;
    {
        // Read again under the write lock: the rows to delete are exactly those expired now.
        CSqliteTransaction transaction(m_connection);
        if (!transaction.begin(error) || !readExpired(expired) || !deleteRows(expired, texts, changes, error))
        {
            return false;
        }
        if (changes > std::numeric_limits<std::uint32_t>::max())
        {
            error = texts.invalidCount;
            return false;
        }
        if (!transaction.commit(error))
        {
            return false;
        }
    }
    deletedCount = static_cast<std::uint32_t>(changes);
    if (deletedCount > 0)
    {
        // Give the freed pages back to the file system: the log first, then the main file.
        return checkpointWal(error) && m_connection.execute("VACUUM;", error);
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
    CSqliteTransaction transaction(m_connection);
    std::uint64_t total = 0;
    if (!transaction.begin(error) || !deleteRows(numbers,
                                                 {"Cannot delete selected upgrade history",
                                                  "Selected upgrade history deletion count is invalid"},
                                                 total, error))
    {
        return false;
    }
    if (total > std::numeric_limits<std::uint32_t>::max())
    {
        error = "Selected upgrade history deletion count exceeds uint32_t";
        return false;
    }
    if (!transaction.commit(error))
    {
        return false;
    }
    deletedCount = static_cast<std::uint32_t>(total);
    return true;
}

}  // namespace ota::backend
