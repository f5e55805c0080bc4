#pragma once

#include <optional>
#include <string>

namespace ota::backend
{

class CSqliteConnection;

// The accounts tables of the history database:
//   accounts(name, role, password_hash, enabled, created_at, stamp): one row per named operator,
//     never deleted (a disabled account keeps its name, so the audit trail's names stay unique);
//     names compare without regard to ASCII case, so "Alice" cannot pose as "alice".
//   api_tokens(id, label, user, token_hash, created_at): the live API tokens of the accounts.
//   accounts_revision(id = 1, value): raised in the transaction of every change above, so that a
//     running service notices a change made by another process with one cheap read.
// The revision starts at 1: a service that read 0 from a database without the tables sees it
// rise when they appear.
bool createAccountTables(CSqliteConnection& connection, std::string& error);

// Whether the tables are there (the revision table is made last, in the same transaction).
std::optional<bool> accountTablesExist(CSqliteConnection& connection, std::string& error);

}  // namespace ota::backend
