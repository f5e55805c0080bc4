#pragma once

#include "audit/audit_record_hash.h"
#include "history/sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace ota::backend
{

// One audit entry as read: the request's entry merged with its completion, if any. status 0: the
// outcome is unknown (the operation was still running, or its completion could not be written).
struct S_AuditEntry
{
    std::int64_t id = 0;
    std::int64_t at = 0;  // Unix milliseconds
    std::string client;
    std::string method;
    std::string route;
    unsigned status = 0;
    std::string errorCode;
    std::string requestId;
    std::uint32_t upgradeNo = 0;
    std::string upgradeId;
    std::uint32_t rolloutNo = 0;
    std::string user;             // who acted; "" when the request was not authenticated
    std::string authenticatedBy;  // "password", "api-token:<label>", "token-file"; "" with user ""
    std::string hash;             // the entry record's own chain hash (read only)
};

// The audit trail in the history database file (upgrade-history.db), beside the upgrade history
// and independent of it: its own tables, statements and connection. The upgrade_history table,
// its schema and the file's user_version are left exactly as they are, so an older build still
// opens the file.
//
// Append only, and tamper evident. Each request is an entry record; the outcome of an entry begun
// with status 0 is a completion record of its own, so no record ever changes. Every record
// carries a hash over its fields and the previous record's hash (audit/audit_record_hash.h), and
// triggers in the database itself refuse every update and any delete at or above the id bound,
// which only retention raises (audit/audit_schema.h). Writes are synchronous (fsync per commit):
// an entry that begin reported written survives a crash or a power loss.
//
// One mutex serialises the operations, and with them every use of the connection and of the
// statements it keeps, and the chain's end (the next id and the last hash, read once at open);
// any thread may call any of them.
class CAuditStore
{
public:
    CAuditStore() = default;
    ~CAuditStore();
    CAuditStore(const CAuditStore&) = delete;
    CAuditStore& operator=(const CAuditStore&) = delete;

    bool open(const std::filesystem::path& databasePath, std::string& error);
    void close();
    bool isOpen() const;

    // Writes the entry of a request about to run, with status 0; id receives its number.
    bool begin(const S_AuditEntry& entry, std::int64_t& id, std::string& error);
    // Records the outcome of the entry begin wrote, once: status (not 0), error code, request id,
    // and identifiers and the user the entry did not name yet (a login learns who acts as it runs).
    // outcome.at is when the outcome was known.
    bool complete(std::int64_t id, const S_AuditEntry& outcome, std::string& error);
    // Writes a whole entry at once (a request refused before it ran).
    bool append(const S_AuditEntry& entry, std::int64_t& id, std::string& error);

    // Newest first: at most limit entries (each merged with its completion) with an id below
    // before (0: from the newest). nextBefore is the id to pass for the following page, 0 when
    // there is none.
    bool readPage(std::uint32_t limit, std::int64_t before, std::vector<S_AuditEntry>& entries,
                  std::int64_t& nextBefore, std::string& error);

    // The retention delete, oldest first by id: the entries taken up before cutoff (Unix ms) up to
    // the first that was not, with the records in between, but never one of the newest
    // kAuditKeptEntries entries. deletedCount counts entries.
    bool deleteExpired(std::int64_t cutoff, std::uint32_t& deletedCount, std::string& error);

    // The file the store opened (empty when closed).
    std::filesystem::path databasePath() const;

private:
    bool requireOpen(std::string& error) const;
    bool loadChainEnd(std::string& error);
    // Gives the record the next id and its hash, and inserts it.
    bool insert(S_AuditChainRecord& record, std::int64_t& id, std::string& error);
    bool raiseBoundAndDelete(std::int64_t bound, std::uint32_t& deletedCount, std::string& error);

    mutable std::mutex m_mutex;
    CSqliteConnection m_connection;
    std::filesystem::path m_path;
    // The chain's end, valid while m_chainEndKnown: a failed insert makes it read again.
    bool m_chainEndKnown = false;
    std::int64_t m_nextId = 1;
    std::string m_lastHash;
};

}  // namespace ota::backend
