#pragma once

#include "audit/audit_chain_check.h"

#include <filesystem>
#include <string>

namespace ota::backend
{

// {"entries":N,"firstBrokenId":0 or the id,"reason":""}: the answer of GET /api/v1/audit/verify
// and the output of ota-backend --verify-audit.
std::string auditChainReportJson(const S_AuditChainReport& report);

// GET /api/v1/audit/verify: walks the chain of the database file on a read-only connection of
// its own, so the store's writers never wait for the walk.
bool readAuditChainReport(const std::filesystem::path& databasePath, std::string& response,
                          std::string& error);

// ota-backend --verify-audit <database>: prints the report on standard output and returns the
// process exit code, 0 only when the chain holds; a file that cannot be read prints an error line
// on standard error and returns 1. Needs no configuration and starts nothing.
int runAuditVerification(const std::filesystem::path& databasePath);

}  // namespace ota::backend
