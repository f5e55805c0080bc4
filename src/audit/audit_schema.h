#pragma once

#include "history/sqlite_connection.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ota::backend
{

// Entries no retention deletes, whatever the clock says: the newest this many always stay.
inline constexpr std::int64_t kAuditKeptEntries = 10000;

// The chain's state, one row of audit_chain:
// - idBound: retention deleted every record below it and may delete nothing at or above it; it
//   never decreases.
// - anchorHash: the hash of the last record retention deleted (the chain start hash before any),
//   the previous hash of the oldest record kept.
// - headId, headHash: the newest record written (0 and the start hash before any), moved by a
//   trigger on every insert, so that a record missing at the end of the chain shows.
struct S_AuditChainState
{
    std::int64_t idBound = 0;
    std::string anchorHash;
    std::int64_t headId = 0;
    std::string headHash;
};

// Creates the audit tables, or brings those of an older build up to date, in one transaction:
// the chain columns and the chain's state are added, entries written before the chain existed
// are chained in id order from the start hash, and the older time-based guards give way to the
// id-bound ones. Never touches upgrade_history or user_version.
bool prepareAuditSchema(CSqliteConnection& connection, std::string& error);

// The row of audit_chain; nullopt when the file has none (no table or no row).
bool readAuditChainState(CSqliteConnection& connection, std::optional<S_AuditChainState>& state,
                         std::string& error);

// True when the table exists and has the column.
bool hasAuditColumn(CSqliteConnection& connection, const char* table, const char* column, bool& present,
                    std::string& error);

}  // namespace ota::backend
