#include "app/audit_trail.h"

#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

namespace
{

constexpr std::int64_t kDayMs = 86400000;

S_AuditEntry entryOf(const S_AuditRecord& record)
{
    S_AuditEntry entry;
    entry.at = record.at;
    entry.client = record.client;
    entry.method = record.method;
    entry.route = record.route;
    entry.status = record.status;
    entry.errorCode = record.errorCode;
    entry.requestId = record.requestId;
    entry.upgradeNo = record.upgradeNo;
    entry.upgradeId = record.upgradeId;
    entry.rolloutNo = record.rolloutNo;
    entry.user = record.user;
    entry.authenticatedBy = record.authenticatedBy;
    return entry;
}

nlohmann::json entryJson(const S_AuditEntry& entry)
{
    return nlohmann::json{{"id", entry.id},
                          {"at", entry.at},
                          {"client", entry.client},
                          {"method", entry.method},
                          {"route", entry.route},
                          {"status", entry.status},
                          {"errorCode", entry.errorCode},
                          {"requestId", entry.requestId},
                          {"upgradeNo", entry.upgradeNo},
                          {"upgradeId", entry.upgradeId},
                          {"rolloutNo", entry.rolloutNo},
                          {"user", entry.user},
                          {"authenticatedBy", entry.authenticatedBy},
                          {"hash", entry.hash}};
}

}  // namespace

bool CAuditTrail::begin(const S_AuditRecord& record, std::int64_t& entryId, std::string& error)
{
    if (m_store.begin(entryOf(record), entryId, error))
    {
        return true;
    }
    ++m_writeFailures;
    consoleErr("[ERROR] [AUDIT] Entry cannot be written; the request is refused: " + record.method + " " +
               record.route + ", reason=" + error);
    return false;
}

void CAuditTrail::complete(std::int64_t entryId, const S_AuditRecord& outcome)
{
    std::string error;
    S_AuditEntry completion = entryOf(outcome);
    completion.at = currentUnixMs();  // when the outcome became known
    if (!m_store.complete(entryId, completion, error))
    {
        ++m_writeFailures;
        consoleErr("[WARN] [AUDIT] Outcome cannot be written; the entry stays outcome unknown: id=" +
                   std::to_string(entryId) + ", status=" + std::to_string(outcome.status) +
                   ", reason=" + error);
    }
}

void CAuditTrail::record(const S_AuditRecord& record)
{
    std::int64_t entryId = 0;
    std::string error;
    if (!m_store.append(entryOf(record), entryId, error))
    {
        ++m_writeFailures;
        consoleErr("[WARN] [AUDIT] Entry of a refused request cannot be written: " + record.method + " " +
                   record.route + ", status=" + std::to_string(record.status) + ", reason=" + error);
    }
}

void cleanupAuditRetention(CAuditStore& store, std::uint16_t retentionDays)
{
    try
    {
        std::uint32_t deleted = 0;
        std::string error;
        if (!store.deleteExpired(currentUnixMs() - static_cast<std::int64_t>(retentionDays) * kDayMs, deleted,
                                 error))
        {
            consoleErr("[WARN] [AUDIT] Retention cleanup failed: " + error);
        }
        else if (deleted > 0)
        {
            consoleOut("[AUDIT] Retention cleanup deleted " + std::to_string(deleted) + " entr" +
                       (deleted == 1 ? "y" : "ies") + ", retentionDays=" + std::to_string(retentionDays));
        }
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] [AUDIT] Retention cleanup failed: ") + exception.what());
    }
}

bool readAuditPage(CAuditStore& store, std::uint16_t retentionDays, std::uint32_t limit, std::int64_t before,
                   std::string& response, std::string& error)
{
    cleanupAuditRetention(store, retentionDays);
    std::vector<S_AuditEntry> entries;
    std::int64_t nextBefore = 0;
    if (!store.readPage(limit, before, entries, nextBefore, error))
    {
        return false;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const S_AuditEntry& entry : entries)
    {
        list.push_back(entryJson(entry));
    }
    std::string serializeError;
    if (!tryToJsonText(nlohmann::json{{"entries", std::move(list)}, {"nextBefore", nextBefore}}, response,
                       serializeError))
    {
        error = "Cannot serialize audit trail JSON: " + serializeError;
        return false;
    }
    return true;
}

}  // namespace ota::backend
