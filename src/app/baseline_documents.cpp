#include "app/baseline_documents.h"

#include "common/json_text.h"
#include "common/utf8.h"

#include <algorithm>
#include <limits>

namespace ota::backend
{

namespace
{

using nlohmann::json;

json optionalJson(const std::optional<std::string>& value)
{
    return value ? json(*value) : json(nullptr);
}

std::size_t characterCount(std::string_view text)
{
    std::size_t characters = 0;
    for (std::size_t offset = 0; offset < text.size(); ++characters)
    {
        const std::size_t length = utf8SequenceLength(text.substr(offset));
        offset += length == 0 ? 1 : length;
    }
    return characters;
}

std::string csvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
    {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char character : text)
    {
        quoted += character;
        if (character == '"')
        {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

bool onlyKeys(const json& object, std::initializer_list<const char*> keys, const std::string& where,
              std::string& error)
{
    for (const auto& item : object.items())
    {
        if (std::none_of(keys.begin(), keys.end(), [&](const char* key) { return item.key() == key; }))
        {
            error = where + "contains unsupported field '" + item.key() + "'";
            return false;
        }
    }
    return true;
}

bool readUnsigned(const json& value, std::uint64_t maximum, std::uint64_t& result)
{
    if (!value.is_number_integer())
    {
        return false;
    }
    if (value.is_number_unsigned())
    {
        result = value.get<std::uint64_t>();
    }
    else
    {
        const std::int64_t signedValue = value.get<std::int64_t>();
        if (signedValue < 0)
        {
            return false;
        }
        result = static_cast<std::uint64_t>(signedValue);
    }
    return result <= maximum;
}

bool readComponent(const json& entry, std::size_t position, S_BaselineComponent& component,
                   std::string& error)
{
    const std::string where = "components[" + std::to_string(position) + "] ";
    if (!entry.is_object())
    {
        error = where + "must be an object";
        return false;
    }
    if (!onlyKeys(entry, {"nodeId", "componentTypeId", "componentIndex", "version"}, where, error))
    {
        return false;
    }
    for (const char* key : {"nodeId", "componentTypeId", "version"})
    {
        if (!entry.contains(key) || !entry[key].is_string())
        {
            error = where + "must hold the string '" + key + "'";
            return false;
        }
    }
    std::uint64_t index = 0;
    if (!entry.contains("componentIndex") ||
        !readUnsigned(entry["componentIndex"], std::numeric_limits<std::uint16_t>::max(), index))
    {
        error = where + "must hold 'componentIndex', an integer from 0 to 65535";
        return false;
    }
    component.nodeId = entry["nodeId"].get<std::string>();
    component.componentTypeId = entry["componentTypeId"].get<std::string>();
    component.componentIndex = static_cast<std::uint16_t>(index);
    component.version = entry["version"].get<std::string>();
    return true;
}

bool readFields(const json& body, S_BaselineRequest& request, std::string& error)
{
    if (!body.is_object())
    {
        error = "Request body must be a JSON object";
        return false;
    }
    if (!onlyKeys(body, {"from", "components", "baselineNo", "allowMissing", "note"}, "Request body ", error))
    {
        return false;
    }
    const int sources = static_cast<int>(body.contains("from")) +
                        static_cast<int>(body.contains("components")) +
                        static_cast<int>(body.contains("baselineNo"));
    if (sources != 1)
    {
        error = "Request body must contain exactly one of 'from', 'components' and 'baselineNo'";
        return false;
    }
    if (body.contains("from"))
    {
        if (body["from"] != "site")
        {
            error = "from must be \"site\"";
            return false;
        }
        request.source = E_BaselineSource::SITE;
    }
    else if (body.contains("components"))
    {
        const json& components = body["components"];
        if (!components.is_array())
        {
            error = "components must be an array";
            return false;
        }
        request.source = E_BaselineSource::COMPONENTS;
        for (std::size_t position = 0; position < components.size(); ++position)
        {
            S_BaselineComponent component;
            if (!readComponent(components[position], position, component, error))
            {
                return false;
            }
            request.components.push_back(std::move(component));
        }
    }
    else
    {
        std::uint64_t number = 0;
        if (!readUnsigned(body["baselineNo"], std::numeric_limits<std::uint32_t>::max(), number) ||
            number == 0)
        {
            error = "baselineNo must be an integer from 1 to 4294967295";
            return false;
        }
        request.source = E_BaselineSource::REINSTATE;
        request.baselineNo = static_cast<std::uint32_t>(number);
    }
    if (body.contains("allowMissing"))
    {
        if (!body["allowMissing"].is_boolean() || request.source != E_BaselineSource::SITE)
        {
            error = "allowMissing must be a boolean, given with \"from\": \"site\"";
            return false;
        }
        request.allowMissing = body["allowMissing"].get<bool>();
    }
    if (body.contains("note"))
    {
        const json& note = body["note"];
        if (!note.is_string() ||
            characterCount(note.get_ref<const std::string&>()) > kMaxBaselineNoteCharacters)
        {
            error = "note must be a string of at most 200 characters";
            return false;
        }
        request.note = note.get<std::string>();
    }
    return true;
}

}  // namespace

json baselineDocumentJson(const S_BaselineDocument& document)
{
    json components = json::array();
    for (const S_BaselineComponent& component : document.components)
    {
        components.push_back({{"nodeId", component.nodeId},
                              {"componentTypeId", component.componentTypeId},
                              {"componentIndex", component.componentIndex},
                              {"version", component.version}});
    }
    return {{"baselineNo", document.baselineNo},
            {"createdAt", document.createdAt},
            {"note", document.note},
            {"components", std::move(components)}};
}

json baselineListJson(const std::vector<S_BaselineListEntry>& entries, std::int64_t nextBefore)
{
    json list = json::array();
    for (const S_BaselineListEntry& entry : entries)
    {
        list.push_back({{"baselineNo", entry.baselineNo},
                        {"createdAt", entry.createdAt},
                        {"note", entry.note},
                        {"componentCount", entry.componentCount}});
    }
    return {{"baselines", std::move(list)}, {"nextBefore", nextBefore}};
}

json baselineSummaryJson(const S_BaselineSummary& summary)
{
    return {{"match", summary.match},
            {"drift", summary.drift},
            {"missing", summary.missing},
            {"unexpected", summary.unexpected}};
}

json baselineRowJson(const S_BaselineReportRow& row)
{
    return {{"nodeId", row.nodeId},
            {"nodeName", row.nodeName},
            {"deviceType", row.deviceType},
            {"componentTypeId", row.componentTypeId},
            {"componentIndex", row.componentIndex},
            {"expected", optionalJson(row.expected)},
            {"reported", optionalJson(row.reported)},
            {"reportedAt", row.reportedAt ? json(*row.reportedAt) : json(nullptr)},
            {"state", baselineComponentStateName(row.state)},
            {"upgrading", row.upgrading}};
}

json baselineReportJson(const S_BaselineReport& report)
{
    json components = json::array();
    for (const S_BaselineReportRow& row : report.components)
    {
        components.push_back(baselineRowJson(row));
    }
    return {{"baselineNo", report.baselineNo},
            {"checkedAt", report.checkedAt},
            {"summary", baselineSummaryJson(report.summary)},
            {"components", std::move(components)}};
}

json baselineDriftJson(const S_BaselineDrift& drift)
{
    json changed = json::array();
    for (const S_BaselineReportRow& row : drift.changed)
    {
        changed.push_back(baselineRowJson(row));
    }
    return {{"baselineNo", drift.baselineNo},
            {"summary", baselineSummaryJson(drift.summary)},
            {"changed", std::move(changed)}};
}

std::string baselineReportCsv(const S_BaselineReport& report)
{
    std::string text =
        "nodeId,nodeName,deviceType,componentTypeId,componentIndex,expected,reported,reportedAt,state,"
        "upgrading\r\n";
    for (const S_BaselineReportRow& row : report.components)
    {
        text += csvField(row.nodeId) + ',' + csvField(row.nodeName) + ',' + csvField(row.deviceType) + ',' +
                csvField(row.componentTypeId) + ',' + std::to_string(row.componentIndex) + ',' +
                csvField(row.expected.value_or("")) + ',' + csvField(row.reported.value_or("")) + ',' +
                (row.reportedAt ? std::to_string(*row.reportedAt) : std::string()) + ',' +
                baselineComponentStateName(row.state) + ',' + (row.upgrading ? "true" : "false") + "\r\n";
    }
    return text;
}

bool readBaselineRequest(const std::string& requestJson, S_BaselineRequest& request, std::string& error)
{
    json body;
    std::string parseError;
    if (!parseJsonText(requestJson, body, parseError))
    {
        error = "Request body is not valid JSON: " + parseError;
        return false;
    }
    return readFields(body, request, error);
}

}  // namespace ota::backend
