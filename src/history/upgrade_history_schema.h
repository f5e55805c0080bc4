#pragma once

#include <string>

struct sqlite3;

namespace ota::backend
{

extern const char* const kHistoryPragmaScript;
// Creates what is missing and sets the version; run inside one immediate transaction.
extern const char* const kHistorySchemaScript;

// Read-only inspection of an existing file before anything is written to it: a file that is not a
// database, is damaged, has a newer schema version or holds an upgrade_history table of another
// layout is reported and left exactly as it is.
bool inspectExistingHistoryDatabase(sqlite3* database, std::string& error);

}  // namespace ota::backend
