#include "audit/audit_record_hash.h"

#include "common/digest.h"

namespace ota::backend
{

namespace
{

void appendField(std::string& message, std::string_view text)
{
    message += std::to_string(text.size());
    message += ':';
    message += text;
}

void appendField(std::string& message, std::int64_t value)
{
    appendField(message, std::to_string(value));
}

}  // namespace

std::string computeAuditRecordHash(const S_AuditChainRecord& record, std::string_view previousHash)
{
    std::string message;
    message.reserve(256 + record.client.size() + record.route.size() + record.requestId.size());
    appendField(message, record.id);
    appendField(message, static_cast<std::int64_t>(record.kind));
    appendField(message, record.at);
    appendField(message, record.client);
    appendField(message, record.method);
    appendField(message, record.route);
    appendField(message, record.status);
    appendField(message, record.errorCode);
    appendField(message, record.requestId);
    appendField(message, record.upgradeNo);
    appendField(message, record.upgradeId);
    appendField(message, record.rolloutNo);
    appendField(message, record.completes);
    appendField(message, previousHash);
    if (!record.user.empty() || !record.authenticatedBy.empty())
    {
        appendField(message, record.user);
        appendField(message, record.authenticatedBy);
    }
    return toLowerHex(CSha256::digestOf(message.data(), message.size()));
}

}  // namespace ota::backend
