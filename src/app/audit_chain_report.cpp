#include "app/audit_chain_report.h"

#include "common/console_log.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

std::string auditChainReportJson(const S_AuditChainReport& report)
{
    return nlohmann::json{
        {"entries", report.entries}, {"firstBrokenId", report.firstBrokenId}, {"reason", report.reason}}
        .dump();
}

bool readAuditChainReport(const std::filesystem::path& databasePath, std::string& response,
                          std::string& error)
{
    if (databasePath.empty())
    {
        error = "Audit trail is not open";
        return false;
    }
    S_AuditChainReport report;
    if (!verifyAuditDatabase(databasePath, report, error))
    {
        return false;
    }
    response = auditChainReportJson(report);
    return true;
}

int runAuditVerification(const std::filesystem::path& databasePath)
{
    S_AuditChainReport report;
    std::string error;
    if (!verifyAuditDatabase(databasePath, report, error))
    {
        consoleErr("[ERROR] Audit trail cannot be verified: " + error);
        return 1;
    }
    consoleOut(auditChainReportJson(report));
    return report.holds() ? 0 : 1;
}

}  // namespace ota::backend
