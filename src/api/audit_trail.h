#pragma once

#include <cstdint>
#include <string>

namespace ota::backend
{

// One audit entry as the API server knows it: who asked what of which route, and how it ended.
// status 0 means the outcome is not known yet (or never became known: a crash mid-operation).
struct S_AuditRecord
{
    std::int64_t at = 0;  // Unix milliseconds when the request was taken up
    std::string client;   // address:port of the peer
    std::string method;
    std::string route;  // the route's pattern, e.g. /api/v1/upgrades/:upgradeNo/abort
    unsigned status = 0;
    std::string errorCode;  // "" on success
    std::string requestId;  // the answer's envelope requestId
    std::uint32_t upgradeNo = 0;
    std::string upgradeId;
    std::uint32_t rolloutNo = 0;
    std::string user;             // who acted; "" when the request was not authenticated
    std::string authenticatedBy;  // "password", "api-token:<label>", "token-file"; "" with user ""
};

// Where the API server records every request to a POST route. The server calls it on its
// callback lanes, never on an I/O thread. Implementations are thread-safe.
class IApiAuditTrail
{
public:
    virtual ~IApiAuditTrail() = default;

    // Durably records a request that is about to run (status 0). False: the request must not run;
    // error says why.
    virtual bool begin(const S_AuditRecord& record, std::int64_t& entryId, std::string& error) = 0;
    // Completes a begun entry with its outcome. A failure is the trail's to report; the entry then
    // keeps status 0.
    virtual void complete(std::int64_t entryId, const S_AuditRecord& outcome) = 0;
    // Records a request refused before it could run, with its outcome, in one write. A failure is
    // the trail's to report.
    virtual void record(const S_AuditRecord& record) = 0;
};

}  // namespace ota::backend
