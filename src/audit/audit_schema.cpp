#include "audit/audit_schema.h"

#include "audit/audit_record_hash.h"
#include "history/sqlite_transaction.h"

#include <sqlite3.h>

#include <utility>
#include <vector>

namespace ota::backend
{

namespace
{

// audit_log keeps the shape an older build created; the chain's columns are added to it below,
// so that one path serves a new file and an old one. audit_chain starts from nothing; a row is
// the whole state (see S_AuditChainState).
constexpr const char* kTablesScript =
    "CREATE TABLE IF NOT EXISTS audit_log("
    "id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "at INTEGER NOT NULL,"
    "client TEXT NOT NULL,"
    "method TEXT NOT NULL,"
    "route TEXT NOT NULL,"
    "status INTEGER NOT NULL CHECK(status>=0 AND status<=999),"
    "error_code TEXT NOT NULL DEFAULT '',"
    "request_id TEXT NOT NULL DEFAULT '',"
    "upgrade_no INTEGER NOT NULL DEFAULT 0 CHECK(upgrade_no>=0 AND upgrade_no<=4294967295),"
    "upgrade_id TEXT NOT NULL DEFAULT '',"
    "rollout_no INTEGER NOT NULL DEFAULT 0 CHECK(rollout_no>=0 AND rollout_no<=4294967295));"
    "CREATE TABLE IF NOT EXISTS audit_chain("
    "singleton INTEGER PRIMARY KEY CHECK(singleton=1),"
    "id_bound INTEGER NOT NULL,"
    "anchor_hash TEXT NOT NULL,"
    "head_id INTEGER NOT NULL,"
    "head_hash TEXT NOT NULL);"
    "INSERT OR IGNORE INTO audit_chain(singleton, id_bound, anchor_hash, head_id, head_hash) "
    "VALUES(1, 0, '0000000000000000000000000000000000000000000000000000000000000000', 0, "
    "'0000000000000000000000000000000000000000000000000000000000000000');";

struct S_ChainColumn
{
    const char* name;
    const char* addition;
};

// kind: 0 entry, 1 completion; completes: the entry a completion completes (0 for entries).
const S_ChainColumn kChainColumns[] = {
    {"kind", "ALTER TABLE audit_log ADD COLUMN kind INTEGER NOT NULL DEFAULT 0 CHECK(kind IN (0, 1));"},
    {"completes", "ALTER TABLE audit_log ADD COLUMN completes INTEGER NOT NULL DEFAULT 0;"},
    {"prev_hash", "ALTER TABLE audit_log ADD COLUMN prev_hash TEXT NOT NULL DEFAULT '';"},
    {"hash", "ALTER TABLE audit_log ADD COLUMN hash TEXT NOT NULL DEFAULT '';"},
};

// Who acted: added after the chain, to chained files and new ones alike. Empty in every record
// written before, which the record hash then leaves out.
const S_ChainColumn kUserColumns[] = {
    {"user_name", "ALTER TABLE audit_log ADD COLUMN user_name TEXT NOT NULL DEFAULT '';"},
    {"authenticated_by", "ALTER TABLE audit_log ADD COLUMN authenticated_by TEXT NOT NULL DEFAULT '';"},
};

// The older build let an entry be completed in place and deleted by time; both give way.
constexpr const char* kLegacyGuardsScript =
    "DROP TRIGGER IF EXISTS trg_audit_log_update;"
    "DROP TRIGGER IF EXISTS trg_audit_log_delete;";

// The guards in the database itself. Records never change. A record is deleted only below the
// id bound, which rises only, and never past the newest kAuditKeptEntries entries, so neither a
// clock set forward nor one set back opens a delete of the recent trail. The head follows every
// insert. An entry is completed at most once. The trigger names are those of the older build, so
// that it keeps these instead of creating its own when it opens the file.
std::string guardsScript()
{
    return "CREATE UNIQUE INDEX IF NOT EXISTS audit_log_completion ON audit_log(completes) WHERE kind=1;"
           "CREATE TRIGGER IF NOT EXISTS trg_audit_log_update BEFORE UPDATE ON audit_log "
           "BEGIN SELECT RAISE(ABORT, 'AUDIT_ENTRY_IMMUTABLE'); END;"
           "CREATE TRIGGER IF NOT EXISTS trg_audit_log_delete BEFORE DELETE ON audit_log "
           "WHEN OLD.id>=COALESCE((SELECT id_bound FROM audit_chain WHERE singleton=1), 0) "
           "BEGIN SELECT RAISE(ABORT, 'AUDIT_ENTRY_IMMUTABLE'); END;"
           "CREATE TRIGGER IF NOT EXISTS trg_audit_log_head AFTER INSERT ON audit_log "
           "BEGIN UPDATE audit_chain SET head_id=NEW.id, head_hash=NEW.hash WHERE singleton=1; END;"
           "CREATE TRIGGER IF NOT EXISTS trg_audit_chain_head BEFORE UPDATE OF singleton, head_id, head_hash "
           "ON audit_chain WHEN NEW.singleton IS NOT OLD.singleton OR NEW.head_id<=OLD.head_id "
           "BEGIN SELECT RAISE(ABORT, 'AUDIT_ENTRY_IMMUTABLE'); END;"
           "CREATE TRIGGER IF NOT EXISTS trg_audit_chain_bound BEFORE UPDATE OF id_bound, anchor_hash "
           "ON audit_chain WHEN NEW.id_bound<=OLD.id_bound OR NEW.id_bound>COALESCE((SELECT id FROM "
           "audit_log "
           "WHERE kind=0 ORDER BY id DESC LIMIT 1 OFFSET " +
           std::to_string(kAuditKeptEntries - 1) +
           "), OLD.id_bound) "
           "BEGIN SELECT RAISE(ABORT, 'AUDIT_RETENTION_INVALID'); END;"
           "CREATE TRIGGER IF NOT EXISTS trg_audit_chain_delete BEFORE DELETE ON audit_chain "
           "BEGIN SELECT RAISE(ABORT, 'AUDIT_RETENTION_INVALID'); END;";
}

bool fail(CSqliteConnection& connection, const char* context, int resultCode, std::string& error)
{
    error = sqliteFailure(context, connection.handle(), resultCode);
    return false;
}

struct S_LegacyLink
{
    std::int64_t id = 0;
    std::string previousHash;
    std::string hash;
};

// Chains the entries an older build wrote, in id order from the start hash. Each was an entry
// (completed in place, if at all); the head becomes the newest.
bool chainLegacyEntries(CSqliteConnection& connection, std::string& error)
{
    std::vector<S_LegacyLink> links;
    {
        CSqliteStatement rows;
        if (!rows.prepare(connection.handle(),
                          "SELECT id, at, client, method, route, status, error_code, request_id, upgrade_no, "
                          "upgrade_id, rollout_no FROM audit_log ORDER BY id;",
                          error))
        {
            return false;
        }
        std::string previous(kAuditChainStartHash);
        int resultCode = SQLITE_OK;
        while ((resultCode = rows.step()) == SQLITE_ROW)
        {
            S_AuditChainRecord record;
            record.id = rows.columnInt64(0);
            record.at = rows.columnInt64(1);
            record.client = rows.columnText(2);
            record.method = rows.columnText(3);
            record.route = rows.columnText(4);
            record.status = rows.columnInt64(5);
            record.errorCode = rows.columnText(6);
            record.requestId = rows.columnText(7);
            record.upgradeNo = rows.columnInt64(8);
            record.upgradeId = rows.columnText(9);
            record.rolloutNo = rows.columnInt64(10);
            std::string hash = computeAuditRecordHash(record, previous);
            links.push_back({record.id, std::exchange(previous, hash), std::move(hash)});
        }
        if (resultCode != SQLITE_DONE)
        {
            return fail(connection, "Cannot read audit entries to chain", resultCode, error);
        }
    }
    for (const S_LegacyLink& link : links)
    {
        CSqliteCachedStatement update =
            connection.statement("UPDATE audit_log SET prev_hash=?2, hash=?3 WHERE id=?1;", error);
        if (!update || !update->bindInt64(1, link.id, error) ||
            !update->bindText(2, link.previousHash, error) || !update->bindText(3, link.hash, error))
        {
            return false;
        }
        const int resultCode = update->step();
        if (resultCode != SQLITE_DONE)
        {
            return fail(connection, "Cannot chain audit entry", resultCode, error);
        }
    }
    if (links.empty())
    {
        return true;
    }
    CSqliteCachedStatement head =
        connection.statement("UPDATE audit_chain SET head_id=?1, head_hash=?2 WHERE singleton=1;", error);
    if (!head || !head->bindInt64(1, links.back().id, error) || !head->bindText(2, links.back().hash, error))
    {
        return false;
    }
    const int resultCode = head->step();
    return resultCode == SQLITE_DONE ||
           fail(connection, "Cannot record the audit chain's head", resultCode, error);
}

}  // namespace

bool hasAuditColumn(CSqliteConnection& connection, const char* table, const char* column, bool& present,
                    std::string& error)
{
    present = false;
    CSqliteStatement query;
    if (!query.prepare(connection.handle(), "SELECT COUNT(*) FROM pragma_table_info(?1) WHERE name=?2;",
                       error) ||
        !query.bindText(1, table, error) || !query.bindText(2, column, error))
    {
        return false;
    }
    const int resultCode = query.step();
    if (resultCode != SQLITE_ROW)
    {
        return fail(connection, "Cannot inspect the audit tables", resultCode, error);
    }
    present = query.columnInt64(0) > 0;
    return true;
}

bool prepareAuditSchema(CSqliteConnection& connection, std::string& error)
{
    // Every way out before the commit rolls back: no half schema, no write lock left behind.
    CSqliteTransaction transaction(connection);
    if (!transaction.begin(error) || !connection.execute(kTablesScript, error))
    {
        return false;
    }
    bool chained = false;
    if (!hasAuditColumn(connection, "audit_log", "hash", chained, error))
    {
        return false;
    }
    if (!chained)
    {
        for (const S_ChainColumn& column : kChainColumns)
        {
            bool present = false;
            if (!hasAuditColumn(connection, "audit_log", column.name, present, error) ||
                (!present && !connection.execute(column.addition, error)))
            {
                return false;
            }
        }
        if (!connection.execute(kLegacyGuardsScript, error) || !chainLegacyEntries(connection, error))
        {
            return false;
        }
    }
    for (const S_ChainColumn& column : kUserColumns)
    {
        bool present = false;
        if (!hasAuditColumn(connection, "audit_log", column.name, present, error) ||
            (!present && !connection.execute(column.addition, error)))
        {
            return false;
        }
    }
    const std::string guards = guardsScript();
    return connection.execute(guards.c_str(), error) && transaction.commit(error);
}

bool readAuditChainState(CSqliteConnection& connection, std::optional<S_AuditChainState>& state,
                         std::string& error)
{
    state.reset();
    bool present = false;
    if (!hasAuditColumn(connection, "audit_chain", "head_hash", present, error))
    {
        return false;
    }
    if (!present)
    {
        return true;
    }
    CSqliteStatement query;
    if (!query.prepare(connection.handle(),
                       "SELECT id_bound, anchor_hash, head_id, head_hash FROM audit_chain WHERE singleton=1;",
                       error))
    {
        return false;
    }
    const int resultCode = query.step();
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    if (resultCode != SQLITE_ROW)
    {
        return fail(connection, "Cannot read the audit chain's state", resultCode, error);
    }
    state = S_AuditChainState{query.columnInt64(0), query.columnText(1), query.columnInt64(2),
                              query.columnText(3)};
    return true;
}

}  // namespace ota::backend
