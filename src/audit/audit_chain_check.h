#pragma once

#include "history/sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace ota::backend
{

// What a walk of the audit chain found. entries counts requests (entry records, not their
// completions); firstBrokenId is 0 and reason "" while the chain holds, else the id of the first
// record that does not fit (for records missing at the end: the first missing id) and a short
// English reason.
struct S_AuditChainReport
{
    std::int64_t entries = 0;
    std::int64_t firstBrokenId = 0;
    std::string reason;

    bool holds() const { return firstBrokenId == 0 && reason.empty(); }
};

// Walks audit_log in id order from the stored anchor, in one read transaction: every record's
// hash must match its fields and previous hash, every previous hash must be the hash of the
// record before, every completion must name an entry still awaiting its outcome (or one retention
// removed), and the last record must be the stored head. A file without an audit trail holds,
// with no entries. False only when the file cannot be read.
bool verifyAuditChain(CSqliteConnection& connection, S_AuditChainReport& report, std::string& error);

// The same on a connection of its own that only reads: the file must exist; nothing is written.
bool verifyAuditDatabase(const std::filesystem::path& databasePath, S_AuditChainReport& report,
                         std::string& error);

}  // namespace ota::backend
