#pragma once

#include <string>

struct sqlite3;

namespace ota::backend
{

extern const char* const kHistoryPragmaScript;
extern const char* const kHistorySchemaScript;
extern const char* const kRecreateFinalDeleteTrigger;

// Read-only inspection of an existing file before anything is written to it: a file that is not a
// database, is damaged, has a newer schema version or holds an upgrade_history table of another
// layout is reported and left exactly as it is.
bool inspectExistingHistoryDatabase(sqlite3* database, std::string& error);

}  // namespace ota::backend
