#include "audit/audit_chain_check.h"

#include "audit/audit_record_hash.h"
#include "audit/audit_schema.h"

#include <sqlite3.h>

#include <optional>
#include <unordered_set>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;

// One read transaction, so that the rows and the chain's state are read from one snapshot even
// while the service writes. Ended on every way out.
class CReadTransaction
{
public:
    explicit CReadTransaction(CSqliteConnection& connection) : m_connection(connection) {}
    ~CReadTransaction()
    {
        if (m_open)
        {
            std::string ignored;
            m_connection.execute("ROLLBACK;", ignored);
        }
    }
    CReadTransaction(const CReadTransaction&) = delete;
    CReadTransaction& operator=(const CReadTransaction&) = delete;

    bool begin(std::string& error) { return m_open = m_connection.execute("BEGIN;", error); }

private:
    CSqliteConnection& m_connection;
    bool m_open = false;
};

S_AuditChainRecord readRecord(const CSqliteStatement& rows)
{
    S_AuditChainRecord record;
    record.id = rows.columnInt64(0);
    record.kind = static_cast<E_AuditRecordKind>(rows.columnInt64(1));
    record.at = rows.columnInt64(2);
    record.client = rows.columnText(3);
    record.method = rows.columnText(4);
    record.route = rows.columnText(5);
    record.status = rows.columnInt64(6);
    record.errorCode = rows.columnText(7);
    record.requestId = rows.columnText(8);
    record.upgradeNo = rows.columnInt64(9);
    record.upgradeId = rows.columnText(10);
    record.rolloutNo = rows.columnInt64(11);
    record.completes = rows.columnInt64(12);
    record.user = rows.columnText(15);
    record.authenticatedBy = rows.columnText(16);
    return record;
}

// The walk itself: holds what it has seen so far and notes the first break only.
class CChainWalk
{
public:
    explicit CChainWalk(const S_AuditChainState& state, S_AuditChainReport& report)
        : m_state(state), m_report(report), m_previousHash(state.anchorHash)
    {
    }

    void visit(const S_AuditChainRecord& record, const std::string& previousHash, const std::string& hash)
    {
        const bool entry = record.kind == E_AuditRecordKind::ENTRY;
        if (entry)
        {
            ++m_report.entries;
        }
        if (m_report.firstBrokenId == 0)
        {
            check(record, previousHash, hash);
        }
        if (entry && record.status == 0)
        {
            m_awaiting.insert(record.id);
        }
        m_lastId = record.id;
        m_previousHash = hash;
        m_seenAny = true;
    }

    void finish()
    {
        if (m_report.firstBrokenId != 0)
        {
            return;
        }
        if (m_state.headId > m_lastId)
        {
            broken(m_seenAny ? m_lastId + 1 : m_state.headId, "records at the end of the chain are missing");
        }
        else if (m_seenAny && m_previousHash != m_state.headHash)
        {
            broken(m_lastId, "the newest record differs from the chain's head");
        }
    }

private:
    void check(const S_AuditChainRecord& record, const std::string& previousHash, const std::string& hash)
    {
        if (record.id > m_state.headId)
        {
            broken(record.id, "record was added after the chain's head");
        }
        else if (previousHash != m_previousHash)
        {
            broken(record.id, "previous hash does not link to the record before");
        }
        else if (computeAuditRecordHash(record, previousHash) != hash)
        {
            broken(record.id, "hash does not match the record");
        }
        else if (record.kind == E_AuditRecordKind::COMPLETION)
        {
            // A completion of an entry retention removed stays behind it; any other must find
            // its entry still awaiting the outcome.
            const bool removedByRetention = record.completes < m_state.idBound;
            if (!removedByRetention && m_awaiting.erase(record.completes) == 0)
            {
                broken(record.id, "completion names a missing entry or one already completed");
            }
        }
        else if (record.kind != E_AuditRecordKind::ENTRY)
        {
            broken(record.id, "record of an unknown kind");
        }
    }

    void broken(std::int64_t id, const char* reason)
    {
        m_report.firstBrokenId = id;
        m_report.reason = reason;
    }

    const S_AuditChainState& m_state;
    S_AuditChainReport& m_report;
    std::string m_previousHash;
    std::int64_t m_lastId = 0;
    bool m_seenAny = false;
    std::unordered_set<std::int64_t> m_awaiting;
};

// Entries of an older build not yet opened by this one: nothing to check them against.
bool reportUnchained(CSqliteConnection& connection, S_AuditChainReport& report, std::string& error)
{
    CSqliteStatement query;
    if (!query.prepare(connection.handle(), "SELECT COUNT(*), COALESCE(MIN(id), 0) FROM audit_log;", error))
    {
        return false;
    }
    const int resultCode = query.step();
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot read audit trail", connection.handle(), resultCode);
        return false;
    }
    report.entries = query.columnInt64(0);
    if (report.entries > 0)
    {
        report.firstBrokenId = query.columnInt64(1);
        report.reason = "entries are not chained yet";
    }
    return true;
}

}  // namespace

bool verifyAuditChain(CSqliteConnection& connection, S_AuditChainReport& report, std::string& error)
{
    report = S_AuditChainReport{};
    error.clear();
    CReadTransaction transaction(connection);
    bool hasTrail = false;
    bool chained = false;
    if (!transaction.begin(error) || !hasAuditColumn(connection, "audit_log", "id", hasTrail, error) ||
        !hasAuditColumn(connection, "audit_log", "hash", chained, error))
    {
        return false;
    }
    if (!hasTrail)
    {
        return true;
    }
    std::optional<S_AuditChainState> state;
    if (!readAuditChainState(connection, state, error))
    {
        return false;
    }
    if (!chained || !state)
    {
        return reportUnchained(connection, report, error);
    }

    // A file that no build naming users has opened yet has no user columns: nobody is named.
    bool named = false;
    if (!hasAuditColumn(connection, "audit_log", "authenticated_by", named, error))
    {
        return false;
    }
    CSqliteStatement rows;
    if (!rows.prepare(connection.handle(),
                      named ? "SELECT id, kind, at, client, method, route, status, error_code, request_id, "
                              "upgrade_no, upgrade_id, rollout_no, completes, prev_hash, hash, user_name, "
                              "authenticated_by FROM audit_log ORDER BY id;"
                            : "SELECT id, kind, at, client, method, route, status, error_code, request_id, "
                              "upgrade_no, upgrade_id, rollout_no, completes, prev_hash, hash, '', '' "
                              "FROM audit_log ORDER BY id;",
                      error))
    {
        return false;
    }
    CChainWalk walk(*state, report);
    int resultCode = SQLITE_OK;
    while ((resultCode = rows.step()) == SQLITE_ROW)
    {
        walk.visit(readRecord(rows), rows.columnText(13), rows.columnText(14));
    }
    if (resultCode != SQLITE_DONE)
    {
        report = S_AuditChainReport{};
        error = sqliteFailure("Cannot read audit trail", connection.handle(), resultCode);
        return false;
    }
    walk.finish();
    return true;
}

bool verifyAuditDatabase(const std::filesystem::path& databasePath, S_AuditChainReport& report,
                         std::string& error)
{
    report = S_AuditChainReport{};
    CSqliteConnection connection;
    return connection.openReadOnly(databasePath.string(), "Cannot open audit trail database", kBusyTimeoutMs,
                                   error) &&
           verifyAuditChain(connection, report, error);
}

}  // namespace ota::backend
