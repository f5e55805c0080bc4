#include "sim/scenario_file.h"

#include "common/json_nesting_limit.h"
#include "common/json_text.h"
#include "common/message_text.h"
#include "protocol/device_side_codec.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_fault_rules.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

namespace ota::backend
{
namespace
{

using nlohmann::json;

constexpr std::size_t MAX_SCENARIO_JSON_DEPTH = 16;

// A failed read leaves its message here; the parse functions return false on the first one.
class CReader
{
public:
    explicit CReader(std::string& error) : m_error(error) {}

    bool fail(const std::string& message)
    {
        m_error = message;
        return false;
    }

    bool keys(const json& object, const std::string& path, const std::set<std::string>& allowed,
              const std::set<std::string>& required)
    {
        if (!object.is_object())
        {
            return fail(path + " must be an object");
        }
        for (const std::string& key : required)
        {
            if (!object.contains(key))
            {
                return fail(path + " is missing required field: " + key);
            }
        }
        for (const auto& item : object.items())
        {
            if (allowed.count(item.key()) == 0)
            {
                return fail(path + " contains unknown field: " + toMessageText(item.key()));
            }
        }
        return true;
    }

    bool unsignedValue(const json& value, const std::string& path, std::uint64_t minimum, std::uint64_t maximum,
                       std::uint64_t& result)
    {
        if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<std::int64_t>() >= 0))
        {
            return fail(path + " must be an unsigned integer");
        }
        result = value.get<std::uint64_t>();
        if (result < minimum || result > maximum)
        {
            return fail(path + " must be " + std::to_string(minimum) + ".." + std::to_string(maximum));
        }
        return true;
    }

    bool string(const json& value, const std::string& path, std::string& result)
    {
        if (!value.is_string())
        {
            return fail(path + " must be a string");
        }
        result = value.get<std::string>();
        return true;
    }

    bool boolean(const json& value, const std::string& path, bool& result)
    {
        if (!value.is_boolean())
        {
            return fail(path + " must be a boolean");
        }
        result = value.get<bool>();
        return true;
    }

    bool stage(const json& value, const std::string& path, std::uint8_t& result)
    {
        std::string text;
        if (!string(value, path, text))
        {
            return false;
        }
        if (!simStageFromName(text, result))
        {
            return fail(path + " is not a stage: " + toMessageText(text));
        }
        return true;
    }

    bool deviceType(const json& value, const std::string& path, std::uint8_t& result)
    {
        std::string text;
        if (!string(value, path, text))
        {
            return false;
        }
        if (!deviceTypeFromProtocolNodeType(text, result))
        {
            return fail(path + " must be EMU, PCS or BMS");
        }
        return true;
    }

private:
    std::string& m_error;
};

bool parseTiming(CReader& reader, const json& settings, const std::string& path, const char* key,
                 std::uint64_t minimum, std::optional<std::uint32_t>& result)
{
    if (!settings.contains(key))
    {
        return true;
    }
    std::uint64_t value = 0;
    if (!reader.unsignedValue(settings.at(key), path + "." + key, minimum, MAX_SIM_TIMING_MS, value))
    {
        return false;
    }
    result = static_cast<std::uint32_t>(value);
    return true;
}

bool parseVersions(CReader& reader, const json& versions, const std::string& path,
                   std::vector<S_SimScenarioSettings::S_VersionOverride>& result)
{
    if (!versions.is_object())
    {
        return reader.fail(path + " must be an object");
    }
    for (const auto& item : versions.items())
    {
        const std::string itemPath = path + "." + toMessageText(item.key());
        // "PCS_DSP1", "BMS_BCU" (every BCU) or "BMS_BCU#3".
        const std::string& key = item.key();
        const std::size_t hash = key.find('#');
        S_SimScenarioSettings::S_VersionOverride entry;
        if (!componentTypeFromIdentifier(key.substr(0, hash), entry.componentType))
        {
            return reader.fail(itemPath + " does not name a component type");
        }
        if (hash != std::string::npos)
        {
            const std::string indexText = key.substr(hash + 1);
            if (indexText.empty() || indexText.size() > 2 ||
                !std::all_of(indexText.begin(), indexText.end(), [](char c) { return c >= '0' && c <= '9'; }))
            {
                return reader.fail(itemPath + " has an invalid component index");
            }
            const int index = std::stoi(indexText);
            const int maximumIndex =
                entry.componentType == toProtocolByte(E_ProtocolComponentType::BMS_BCU) ? 12 : 1;
            if (index < 1 || index > maximumIndex)
            {
                return reader.fail(itemPath + " has an invalid component index");
            }
            entry.componentIndex = static_cast<std::uint8_t>(index);
        }
        if (!reader.string(item.value(), itemPath, entry.version))
        {
            return false;
        }
        if (entry.version.empty() || entry.version.size() >= VERSION_FIELD_WIDTH)
        {
            return reader.fail(itemPath + " must be a version text of 1 to 31 bytes");
        }
        result.push_back(std::move(entry));
    }
    return true;
}

bool parseSettings(CReader& reader, const json& settings, const std::string& path, S_SimScenarioSettings& result)
{
    static const std::set<std::string> allowed = {"bcuCount",        "flashMs",        "preparationMs",
                                                  "progressIntervalMs", "progressReports", "rebootMs",
                                                  "replyLatencyMs",  "statusOnConnect", "versions"};
    if (!reader.keys(settings, path, allowed, {}))
    {
        return false;
    }
    if (!parseTiming(reader, settings, path, "replyLatencyMs", 0, result.replyLatencyMs) ||
        !parseTiming(reader, settings, path, "preparationMs", 0, result.preparationMs) ||
        !parseTiming(reader, settings, path, "flashMs", 0, result.flashMs) ||
        !parseTiming(reader, settings, path, "rebootMs", 0, result.rebootMs) ||
        !parseTiming(reader, settings, path, "progressIntervalMs", 1, result.progressIntervalMs))
    {
        return false;
    }
    for (const auto& [key, target] : {std::pair{"statusOnConnect", &result.statusOnConnect},
                                      std::pair{"progressReports", &result.progressReports}})
    {
        if (settings.contains(key))
        {
            bool value = false;
            if (!reader.boolean(settings.at(key), path + "." + key, value))
            {
                return false;
            }
            *target = value;
        }
    }
    if (settings.contains("bcuCount"))
    {
        std::uint64_t value = 0;
        if (!reader.unsignedValue(settings.at("bcuCount"), path + ".bcuCount", 6, 12, value))
        {
            return false;
        }
        if (value != 6 && value != 12)
        {
            return reader.fail(path + ".bcuCount must be 6 or 12");
        }
        result.bcuCount = static_cast<unsigned>(value);
    }
    return !settings.contains("versions") || parseVersions(reader, settings.at("versions"), path + ".versions", result.versions);
}

bool parseFault(CReader& reader, const json& object, const std::string& path, S_SimFault& fault)
{
    if (!object.is_object())
    {
        return reader.fail(path + " must be an object");
    }
    std::string kindText;
    if (!object.contains("fault"))
    {
        return reader.fail(path + " is missing required field: fault");
    }
    if (!reader.string(object.at("fault"), path + ".fault", kindText))
    {
        return false;
    }
    if (!simFaultKindFromName(kindText, fault.kind))
    {
        return reader.fail(path + ".fault names no fault: " + toMessageText(kindText));
    }
    const S_SimFaultFieldRule rule = simFaultFieldRule(fault.kind);
    std::set<std::string> allowed = {"fault", "times"};
    std::set<std::string> required = {"fault"};
    for (std::uint32_t bit = 1; bit <= FIELD_PERCENTAGE; bit <<= 1)
    {
        const auto field = static_cast<E_SimFaultField>(bit);
        if ((rule.allowed & bit) != 0)
        {
            allowed.insert(simFaultFieldKey(field));
        }
        if ((rule.required & bit) != 0)
        {
            required.insert(simFaultFieldKey(field));
        }
    }
    if (!reader.keys(object, path, allowed, required))
    {
        return false;
    }
    std::uint64_t number = 0;
    if (object.contains("request"))
    {
        std::string text;
        E_SimRequest request = E_SimRequest::CONNECT;
        if (!reader.string(object.at("request"), path + ".request", text))
        {
            return false;
        }
        if (!simRequestFromName(text, request))
        {
            return reader.fail(path + ".request names no request: " + toMessageText(text));
        }
        fault.request = request;
    }
    if (object.contains("stage"))
    {
        std::uint8_t stage = 0;
        if (!reader.stage(object.at("stage"), path + ".stage", stage))
        {
            return false;
        }
        fault.stage = stage;
    }
    if (object.contains("ackStage"))
    {
        std::uint8_t stage = 0;
        if (!reader.stage(object.at("ackStage"), path + ".ackStage", stage))
        {
            return false;
        }
        fault.ackStage = stage;
    }
    if (object.contains("deviceType"))
    {
        std::uint8_t type = 0;
        if (!reader.deviceType(object.at("deviceType"), path + ".deviceType", type))
        {
            return false;
        }
        fault.deviceType = type;
    }
    if (object.contains("fileNo"))
    {
        if (!reader.unsignedValue(object.at("fileNo"), path + ".fileNo", 1, MAX_FILE_NO, number))
        {
            return false;
        }
        fault.fileNo = static_cast<std::uint8_t>(number);
    }
    if (object.contains("chunkNo"))
    {
        if (!reader.unsignedValue(object.at("chunkNo"), path + ".chunkNo", 0, 65534, number))
        {
            return false;
        }
        fault.chunkNo = static_cast<std::uint16_t>(number);
    }
    if (object.contains("reasonCode"))
    {
        if (!reader.unsignedValue(object.at("reasonCode"), path + ".reasonCode", 1, MAX_REASON_CODE, number))
        {
            return false;
        }
        fault.reasonCode = static_cast<std::uint8_t>(number);
    }
    if (object.contains("delayMs"))
    {
        if (!reader.unsignedValue(object.at("delayMs"), path + ".delayMs", 1, MAX_FAULT_DELAY_MS, number))
        {
            return false;
        }
        fault.delayMs = static_cast<std::uint32_t>(number);
    }
    if (object.contains("count"))
    {
        const std::uint64_t maximum =
            fault.kind == E_SimFaultKind::PROGRESS_FLOOD ? MAX_PROGRESS_FLOOD_COUNT : MAX_GARBAGE_BYTE_COUNT;
        if (!reader.unsignedValue(object.at("count"), path + ".count", 1, maximum, number))
        {
            return false;
        }
        fault.count = static_cast<std::uint32_t>(number);
    }
    if (object.contains("percentage"))
    {
        if (!reader.unsignedValue(object.at("percentage"), path + ".percentage", 0, 100, number))
        {
            return false;
        }
        fault.percentage = static_cast<std::uint8_t>(number);
    }
    if (object.contains("times"))
    {
        if (!reader.unsignedValue(object.at("times"), path + ".times", 1, UINT32_MAX, number))
        {
            return false;
        }
        fault.times = static_cast<std::uint32_t>(number);
    }
    std::string combinationError;
    if (!validateSimFault(fault, combinationError))
    {
        return reader.fail(path + ": " + combinationError);
    }
    return true;
}

bool parseRule(CReader& reader, const json& object, const std::string& path, S_SimScenarioRule& rule)
{
    static const std::set<std::string> allowed = {"deviceType", "faults", "groupId", "nodeIds", "settings"};
    if (!reader.keys(object, path, allowed, {}))
    {
        return false;
    }
    if (object.contains("nodeIds"))
    {
        const json& ids = object.at("nodeIds");
        if (!ids.is_array())
        {
            return reader.fail(path + ".nodeIds must be an array");
        }
        rule.nodeIds.emplace();
        for (std::size_t index = 0; index < ids.size(); ++index)
        {
            std::string id;
            if (!reader.string(ids[index], path + ".nodeIds[" + std::to_string(index) + "]", id))
            {
                return false;
            }
            rule.nodeIds->push_back(std::move(id));
        }
    }
    if (object.contains("deviceType"))
    {
        std::uint8_t type = 0;
        if (!reader.deviceType(object.at("deviceType"), path + ".deviceType", type))
        {
            return false;
        }
        rule.deviceType = type;
    }
    if (object.contains("groupId"))
    {
        std::string group;
        if (!reader.string(object.at("groupId"), path + ".groupId", group))
        {
            return false;
        }
        rule.groupId = std::move(group);
    }
    if (object.contains("settings") && !parseSettings(reader, object.at("settings"), path + ".settings", rule.settings))
    {
        return false;
    }
    if (object.contains("faults"))
    {
        const json& faults = object.at("faults");
        if (!faults.is_array())
        {
            return reader.fail(path + ".faults must be an array");
        }
        for (std::size_t index = 0; index < faults.size(); ++index)
        {
            S_SimFault fault;
            if (!parseFault(reader, faults[index], path + ".faults[" + std::to_string(index) + "]", fault))
            {
                return false;
            }
            rule.faults.push_back(fault);
        }
    }
    return true;
}

bool ruleSelects(const S_SimScenarioRule& rule, const S_SimDeviceSpec& device)
{
    if (rule.nodeIds && std::find(rule.nodeIds->begin(), rule.nodeIds->end(), device.nodeId) == rule.nodeIds->end())
    {
        return false;
    }
    if (rule.deviceType && *rule.deviceType != device.deviceType)
    {
        return false;
    }
    if (rule.groupId &&
        std::find(device.ancestorIds.begin(), device.ancestorIds.end(), *rule.groupId) == device.ancestorIds.end())
    {
        return false;
    }
    return true;
}

}  // namespace

bool parseSimScenarioJson(const json& root, S_SimScenario& scenario, std::string& error)
{
    error.clear();
    CReader reader(error);
    if (!reader.keys(root, "root", {"rules", "schemaVersion"}, {"rules", "schemaVersion"}))
    {
        return false;
    }
    std::uint64_t version = 0;
    if (!reader.unsignedValue(root.at("schemaVersion"), "root.schemaVersion", 0, UINT32_MAX, version))
    {
        return false;
    }
    if (version != SIM_SCENARIO_SCHEMA_VERSION)
    {
        return reader.fail("Unsupported scenario schema version: " + std::to_string(version));
    }
    const json& rules = root.at("rules");
    if (!rules.is_array())
    {
        return reader.fail("rules must be an array");
    }
    S_SimScenario result;
    for (std::size_t index = 0; index < rules.size(); ++index)
    {
        S_SimScenarioRule rule;
        if (!parseRule(reader, rules[index], "rules[" + std::to_string(index) + "]", rule))
        {
            return false;
        }
        result.rules.push_back(std::move(rule));
    }
    scenario = std::move(result);
    return true;
}

bool parseSimScenarioText(std::string_view text, S_SimScenario& scenario, std::string& error)
{
    error.clear();
    if (maximumJsonNestingDepth(text, MAX_SCENARIO_JSON_DEPTH) > MAX_SCENARIO_JSON_DEPTH)
    {
        error = "Invalid scenario JSON: nesting deeper than " + std::to_string(MAX_SCENARIO_JSON_DEPTH) + " levels";
        return false;
    }
    json root;
    if (!parseJsonText(text, root, error))
    {
        error = "Invalid scenario JSON: " + toMessageText(error);
        return false;
    }
    return parseSimScenarioJson(root, scenario, error);
}

bool loadSimScenarioFile(const std::filesystem::path& path, S_SimScenario& scenario, std::string& error)
{
    error.clear();
    const std::string pathText = toMessageText(path.string());
    std::error_code code;
    if (!std::filesystem::is_regular_file(path, code))
    {
        error = "Scenario file is not a regular file: " + pathText;
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (code || size > MAX_SCENARIO_FILE_BYTES)
    {
        error = "Scenario file must be at most 16 MiB: " + pathText;
        return false;
    }
    std::ifstream stream(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (!stream.good() && !stream.eof())
    {
        error = "Cannot read scenario file: " + pathText;
        return false;
    }
    if (!parseSimScenarioText(text, scenario, error))
    {
        error = "Invalid scenario file '" + pathText + "': " + error;
        return false;
    }
    return true;
}

bool applySimScenario(const S_SimScenario& scenario, std::vector<S_SimDeviceSpec>& devices, std::string& error)
{
    error.clear();
    for (std::size_t ruleIndex = 0; ruleIndex < scenario.rules.size(); ++ruleIndex)
    {
        const S_SimScenarioRule& rule = scenario.rules[ruleIndex];
        if (!rule.nodeIds)
        {
            continue;
        }
        for (std::size_t idIndex = 0; idIndex < rule.nodeIds->size(); ++idIndex)
        {
            const std::string& id = (*rule.nodeIds)[idIndex];
            const bool known = std::any_of(devices.begin(), devices.end(),
                                           [&](const S_SimDeviceSpec& device) { return device.nodeId == id; });
            if (!known)
            {
                error = "Scenario rules[" + std::to_string(ruleIndex) + "].nodeIds[" + std::to_string(idIndex) +
                        "] names no simulated device: " + toMessageText(id);
                return false;
            }
        }
    }
    for (S_SimDeviceSpec& device : devices)
    {
        std::vector<S_SimScenarioSettings::S_VersionOverride> versions;
        for (const S_SimScenarioRule& rule : scenario.rules)
        {
            if (!ruleSelects(rule, device))
            {
                continue;
            }
            const S_SimScenarioSettings& settings = rule.settings;
            S_SimTimings& timings = device.timings;
            timings.replyLatencyMs = settings.replyLatencyMs.value_or(timings.replyLatencyMs);
            timings.preparationMs = settings.preparationMs.value_or(timings.preparationMs);
            timings.flashMs = settings.flashMs.value_or(timings.flashMs);
            timings.rebootMs = settings.rebootMs.value_or(timings.rebootMs);
            timings.progressIntervalMs = settings.progressIntervalMs.value_or(timings.progressIntervalMs);
            device.statusOnConnect = settings.statusOnConnect.value_or(device.statusOnConnect);
            device.progressReports = settings.progressReports.value_or(device.progressReports);
            device.bmsBcuCount = settings.bcuCount.value_or(device.bmsBcuCount);
            versions.insert(versions.end(), settings.versions.begin(), settings.versions.end());
            device.faults.insert(device.faults.end(), rule.faults.begin(), rule.faults.end());
        }
        if (versions.empty())
        {
            continue;
        }
        if (device.components.empty())
        {
            device.components = standardDeviceComponents(device.deviceType, DEFAULT_COMPONENT_VERSION, device.bmsBcuCount);
        }
        // A version for a component the device does not have is not an error: a rule may
        // select several device types at once.
        for (const auto& entry : versions)
        {
            for (S_ProtocolComponentVersion& component : device.components)
            {
                if (component.componentType == entry.componentType &&
                    (entry.componentIndex == 0 || component.componentIndex == entry.componentIndex))
                {
                    component.version = entry.version;
                }
            }
        }
    }
    return true;
}

}  // namespace ota::backend
