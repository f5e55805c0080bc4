#pragma once

#include "history/sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace ota::backend
{

// One stored audit entry. status 0: the outcome is unknown (the operation was still running, or
// its completion could not be written).
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
};

// The audit trail in the history database file (upgrade-history.db), beside the upgrade history
// and independent of it: its own tables, statements and connection. The upgrade_history table,
// its schema and the file's user_version are left exactly as they are, so an older build still
// opens the file.
//
// Append only, enforced by triggers in the database itself: an entry can be completed once (its
// status 0 replaced by the outcome, the identifiers the answer named filled in), and deleted only
// by the retention delete, which first raises a stored cutoff (never back, never closer to now
// than a day) and then removes what is older. Writes are synchronous (fsync per commit): an
// entry that begin reported written survives a crash or a power loss.
//
// One mutex serialises the operations, and with them every use of the connection and of the
// statements it keeps; any thread may call any of them.
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
    // Records the outcome of the entry begin wrote: status (not 0), error code, request id, and
    // identifiers the entry did not name yet.
    bool complete(std::int64_t id, const S_AuditEntry& outcome, std::string& error);
    // Writes a whole entry at once (a request refused before it ran).
    bool append(const S_AuditEntry& entry, std::int64_t& id, std::string& error);

    // Newest first: at most limit entries with an id below before (0: from the newest).
    // nextBefore is the id to pass for the following page, 0 when there is none.
    bool readPage(std::uint32_t limit, std::int64_t before, std::vector<S_AuditEntry>& entries,
                  std::int64_t& nextBefore, std::string& error);

    // The retention delete: every entry older than cutoff (Unix ms, at most a day before now).
    bool deleteExpired(std::int64_t cutoff, std::uint32_t& deletedCount, std::string& error);

private:
    bool requireOpen(std::string& error) const;
    bool insert(const S_AuditEntry& entry, unsigned status, std::int64_t& id, std::string& error);

    mutable std::mutex m_mutex;
    CSqliteConnection m_connection;
};

}  // namespace ota::backend
