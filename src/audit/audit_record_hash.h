#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ota::backend
{

// What one row of audit_log holds: a request's entry, or the completion that later records the
// outcome of an entry begun with status 0 (rows never change, so an outcome is a row of its own).
enum class E_AuditRecordKind : int
{
    ENTRY = 0,
    COMPLETION = 1,
};

// One stored record with every field its hash covers.
struct S_AuditChainRecord
{
    std::int64_t id = 0;
    E_AuditRecordKind kind = E_AuditRecordKind::ENTRY;
    std::int64_t at = 0;  // Unix milliseconds
    std::string client;   // entries only
    std::string method;   // entries only
    std::string route;    // entries only
    std::int64_t status = 0;
    std::string errorCode;
    std::string requestId;
    std::int64_t upgradeNo = 0;
    std::string upgradeId;
    std::int64_t rolloutNo = 0;
    std::int64_t completes = 0;   // completions: the id of the entry they complete; entries: 0
    std::string user;             // who acted; "" when nobody was authenticated
    std::string authenticatedBy;  // how they proved it; "" with user ""
};

// The previous hash of the first record of a chain that starts from nothing.
inline constexpr std::string_view kAuditChainStartHash =
    "0000000000000000000000000000000000000000000000000000000000000000";

// The hash a record carries, as an auditor recomputes it from the rows alone:
//
//   hash = lower-case hex of SHA-256(field(id) field(kind) field(at) field(client) field(method)
//          field(route) field(status) field(error_code) field(request_id) field(upgrade_no)
//          field(upgrade_id) field(rollout_no) field(completes) field(previous hash))
//
// where field(text) is the decimal byte length of text, a colon, then text itself, with nothing
// between fields. Integers are written in decimal ("-" first when negative, no leading zeros),
// strings as their stored UTF-8 bytes, kind as 0 (entry) or 1 (completion), and the previous hash
// as the 64 hex digits of the record before in id order (kAuditChainStartHash for the first).
// Example: id 7, kind 0 and an empty error code contribute "1:7", "1:0" and "0:".
// When user or authenticated_by is not empty, field(user) field(authenticated_by) follow the
// previous hash; a record naming nobody hashes exactly as before these columns existed, so
// trails written earlier verify unchanged.
// The length prefixes make the message unambiguous whatever bytes the strings hold.
std::string computeAuditRecordHash(const S_AuditChainRecord& record, std::string_view previousHash);

}  // namespace ota::backend
