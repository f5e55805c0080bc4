#pragma once

#include "api/audit_trail.h"
#include "audit/audit_store.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace ota::backend
{

// The API server's audit trail over the store in the history database. Write failures are
// reported on standard error and counted; a failed first write refuses its request (the server
// answers 503 "AUDIT_UNAVAILABLE"), a failed completion leaves the entry with status 0.
class CAuditTrail final : public IApiAuditTrail
{
public:
    explicit CAuditTrail(CAuditStore& store) : m_store(store) {}

    bool begin(const S_AuditRecord& record, std::int64_t& entryId, std::string& error) override;
    void complete(std::int64_t entryId, const S_AuditRecord& outcome) override;
    void record(const S_AuditRecord& record) override;

    // Audit writes that failed since start-up (first writes, completions and refusal records).
    std::uint64_t writeFailures() const { return m_writeFailures.load(); }

private:
    CAuditStore& m_store;
    std::atomic<std::uint64_t> m_writeFailures{0};
};

// GET /api/v1/audit: {"entries":[...],"nextBefore":<id or 0>}, newest first; each entry with its
// outcome and its own chain hash.
bool readAuditPage(CAuditStore& store, std::uint16_t retentionDays, std::uint32_t limit, std::int64_t before,
                   std::string& response, std::string& error);

// Deletes the entries older than the retention, oldest first and never the newest ones (see
// CAuditStore::deleteExpired); logged when any went. Never throws.
void cleanupAuditRetention(CAuditStore& store, std::uint16_t retentionDays);

}  // namespace ota::backend
