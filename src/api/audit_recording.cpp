#include "api/audit_recording.h"

#include "api/api_adapters.h"
#include "common/json_text.h"

#include <limits>
#include <string>

namespace ota::backend
{

namespace
{

bool isUpgradeIdText(const std::string& text)
{
    if (text.empty() || text.size() > 32)
    {
        return false;
    }
    for (const char character : text)
    {
        const bool allowed = (character >= 'A' && character <= 'Z') ||
                             (character >= 'a' && character <= 'z') ||
                             (character >= '0' && character <= '9') || character == '_';
        if (!allowed)
        {
            return false;
        }
    }
    return true;
}

void noteNumber(const nlohmann::json& object, const char* key, std::uint32_t& target)
{
    if (target != 0)
    {
        return;
    }
    const auto found = object.find(key);
    if (found != object.end() && found->is_number_unsigned())
    {
        const std::uint64_t value = found->get<std::uint64_t>();
        if (value > 0 && value <= std::numeric_limits<std::uint32_t>::max())
        {
            target = static_cast<std::uint32_t>(value);
        }
    }
}

void noteMembers(const nlohmann::json& object, S_AuditRecord& record)
{
    noteNumber(object, "upgradeNo", record.upgradeNo);
    noteNumber(object, "rolloutNo", record.rolloutNo);
    if (record.upgradeId.empty())
    {
        const auto found = object.find("upgradeId");
        if (found != object.end() && found->is_string() &&
            isUpgradeIdText(found->get_ref<const std::string&>()))
        {
            record.upgradeId = found->get<std::string>();
        }
    }
}

}  // namespace

void noteIdentifiersOfPath(std::string_view pattern, std::optional<std::string_view> parameter,
                           S_AuditRecord& record)
{
    const std::size_t marker = pattern.find("/:");
    if (!parameter || marker == std::string_view::npos)
    {
        return;
    }
    const std::string_view rest = pattern.substr(marker + 2);
    const std::string_view name = rest.substr(0, rest.find('/'));
    std::uint32_t value = 0;
    std::string ignored;
    if (!parseUpgradeNumber(*parameter, value, ignored))
    {
        return;
    }
    if (name == "upgradeNo" && record.upgradeNo == 0)
    {
        record.upgradeNo = value;
    }
    else if (name == "rolloutNo" && record.rolloutNo == 0)
    {
        record.rolloutNo = value;
    }
}

void noteIdentifiersOfJson(const nlohmann::json& value, S_AuditRecord& record)
{
    if (!value.is_object())
    {
        return;
    }
    noteMembers(value, record);
    for (const auto& member : value.items())
    {
        if (member.value().is_object())
        {
            noteMembers(member.value(), record);
        }
    }
}

void noteIdentifiersOfBody(std::string_view body, S_AuditRecord& record)
{
    if (body.empty())
    {
        return;
    }
    nlohmann::json parsed;
    std::string ignored;
    if (parseJsonText(body, parsed, ignored))
    {
        noteIdentifiersOfJson(parsed, record);
    }
}

void noteOutcome(const S_HttpReply& reply, S_AuditRecord& record)
{
    record.status = reply.status;
    nlohmann::json envelope;
    std::string ignored;
    if (!parseJsonText(reply.body, envelope, ignored) || !envelope.is_object())
    {
        return;
    }
    const auto meta = envelope.find("meta");
    if (meta != envelope.end() && meta->is_object() && meta->contains("requestId") &&
        (*meta)["requestId"].is_string())
    {
        record.requestId = (*meta)["requestId"].get<std::string>();
    }
    const auto error = envelope.find("error");
    if (error != envelope.end() && error->is_object() && error->contains("code") &&
        (*error)["code"].is_string())
    {
        record.errorCode = (*error)["code"].get<std::string>();
    }
    const auto data = envelope.find("data");
    if (data != envelope.end())
    {
        noteIdentifiersOfJson(*data, record);
    }
}

}  // namespace ota::backend
