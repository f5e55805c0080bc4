#include "history/history_contracts.h"

#include "common/json_text.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace ota::backend
{

namespace
{

using nlohmann::json;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

// The first "progress" key at any depth, reported with the path of the object holding it.
bool findProgressKey(const json& value, const std::string& path, std::string& found)
{
    if (value.is_object())
    {
        if (value.contains("progress"))
        {
            found = path + ".progress";
            return true;
        }
        for (const auto& [key, member] : value.items())
        {
            if (findProgressKey(member, path + "." + key, found))
            {
                return true;
            }
        }
    }
    else if (value.is_array())
    {
        for (std::size_t index = 0; index < value.size(); ++index)
        {
            if (findProgressKey(value[index], path + "[" + std::to_string(index) + "]", found))
            {
                return true;
            }
        }
    }
    return false;
}

bool checkInteger(const json& object, const std::string& path, const char* key, std::uint64_t minimum,
                  std::uint64_t maximum, std::string& reason, std::uint64_t* result = nullptr)
{
    const std::string field = path + "." + key;
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number())
    {
        reason = field + " must be an integer";
        return false;
    }
    std::uint64_t value = 0;
    if (found->is_number_float())
    {
        // Integers beyond 64 bits arrive as floating-point numbers from the parser.
        const double number = found->get<double>();
        const bool integral = std::isfinite(number) && std::floor(number) == number;
        if (integral && number >= 18446744073709551616.0)
        {
            reason = field + " exceeds the supported integer range";
        }
        else if (integral && number < -9223372036854775808.0)
        {
            reason = field + " must not be negative";
        }
        else
        {
            reason = field + " must be an integer";
        }
        return false;
    }
    if (found->is_number_unsigned())
    {
        value = found->get<std::uint64_t>();
    }
    else
    {
        const std::int64_t signedValue = found->get<std::int64_t>();
        if (signedValue < 0)
        {
            reason = field + " must not be negative";
            return false;
        }
        value = static_cast<std::uint64_t>(signedValue);
    }
    if (value < minimum || value > maximum)
    {
        reason = field + " is outside the supported range";
        return false;
    }
    if (result != nullptr)
    {
        *result = value;
    }
    return true;
}

bool checkString(const json& object, const std::string& path, const char* key, bool allowEmpty,
                 std::string& reason)
{
    const std::string field = path + "." + key;
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
    {
        reason = field + " must be a string";
        return false;
    }
    if (!allowEmpty && found->get_ref<const std::string&>().empty())
    {
        reason = field + " must not be empty";
        return false;
    }
    return true;
}

bool checkBoolean(const json& object, const std::string& path, const char* key, std::string& reason)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_boolean())
    {
        reason = path + "." + key + " must be a boolean";
        return false;
    }
    return true;
}

bool checkTarget(const json& target, const std::string& path, std::string& reason)
{
    if (!target.is_object())
    {
        reason = path + " must be an object";
        return false;
    }
    return checkString(target, path, "componentTypeId", false, reason) &&
           checkInteger(target, path, "componentIndex", 1, 255, reason) &&
           checkString(target, path, "currentVersion", true, reason) &&
           checkString(target, path, "targetVersion", true, reason) &&
           checkInteger(target, path, "componentStageProgress", 0, 100, reason) &&
           checkString(target, path, "state", false, reason);
}

bool checkDevice(const json& device, const std::string& path, std::string& reason)
{
    if (!device.is_object())
    {
        reason = path + " must be an object";
        return false;
    }
    for (const char* key : {"nodeId", "nodeName", "nodeTypeId", "address", "connectionState", "stage", "state",
                            "result"})
    {
        if (!checkString(device, path, key, false, reason))
        {
            return false;
        }
    }
    if (!checkInteger(device, path, "port", 1, 65535, reason) ||
        !checkInteger(device, path, "workflowProgress", 0, 100, reason) ||
        !checkBoolean(device, path, "completed", reason))
    {
        return false;
    }
    const std::string& result = device["result"].get_ref<const std::string&>();
    if (result != "ABORTED" && result != "FAILED" && result != "PENDING" && result != "SUCCESS")
    {
        reason = path + ".result is not supported";
        return false;
    }
    const auto targets = device.find("targets");
    if (targets == device.end() || !targets->is_array())
    {
        reason = path + ".targets must be an array";
        return false;
    }
    for (std::size_t index = 0; index < targets->size(); ++index)
    {
        if (!checkTarget((*targets)[index], path + ".targets[" + std::to_string(index) + "]", reason))
        {
            return false;
        }
    }
    return true;
}

struct S_IntegerRule
{
    const char* key;
    std::uint64_t minimum;
    std::uint64_t maximum;
};

constexpr S_IntegerRule kHeaderIntegers[] = {
    {"upgradeNo", 1, kU32Max},
    {"sceneGeneration", 0, kU64Max},
    {"configuredDeviceConcurrency", 1, 65535},
    {"recommendedDeviceConcurrency", 1, 65535},
    {"deviceConcurrency", 1, 65535},
    {"effectiveWorkerCount", 0, kU64Max},
    {"readyDeviceCount", 0, kU64Max},
    {"runningDeviceCount", 0, kU64Max},
    {"delayedDeviceCount", 0, kU64Max},
    {"deviceCount", 1, kU32Max},
    {"completedCount", 0, kU32Max},
    {"successCount", 0, kU32Max},
    {"failedCount", 0, kU32Max},
    {"abortedCount", 0, kU32Max},
    {"startedAt", 0, kU64Max},
    {"finishedAt", 0, kU64Max},
};

std::uint64_t readCounter(const json& state, const char* key)
{
    const json& value = state[key];
    return value.is_number_unsigned() ? value.get<std::uint64_t>()
                                      : static_cast<std::uint64_t>(value.get<std::int64_t>());
}

bool validateStateObject(const json& state, std::string& reason)
{
    const std::string path = "state";
    if (!state.is_object())
    {
        reason = "execution state must be an object";
        return false;
    }
    std::string progressPath;
    if (findProgressKey(state, path, progressPath))
    {
        reason = progressPath + " is deprecated";
        return false;
    }
    for (const S_IntegerRule& rule : kHeaderIntegers)
    {
        if (!checkInteger(state, path, rule.key, rule.minimum, rule.maximum, reason))
        {
            return false;
        }
    }
    if (!checkString(state, path, "status", false, reason))
    {
        return false;
    }
    const std::string& status = state["status"].get_ref<const std::string&>();
    if (status != "ABORTED" && status != "ABORTING" && status != "FAILED" && status != "RUNNING" &&
        status != "STOPPED" && status != "SUCCESS")
    {
        reason = "state.status is not supported";
        return false;
    }
    if (!checkBoolean(state, path, "active", reason) || !checkString(state, path, "upgradeId", false, reason) ||
        !checkString(state, path, "error", true, reason))
    {
        return false;
    }
    const auto devices = state.find("devices");
    if (devices == state.end() || !devices->is_array())
    {
        reason = "state.devices must be an array";
        return false;
    }
    if (devices->size() != readCounter(state, "deviceCount"))
    {
        reason = "state.deviceCount does not match state.devices length";
        return false;
    }
    std::uint64_t completed = 0;
    std::uint64_t succeeded = 0;
    std::uint64_t failed = 0;
    std::uint64_t aborted = 0;
    for (std::size_t index = 0; index < devices->size(); ++index)
    {
        const json& device = (*devices)[index];
        if (!checkDevice(device, path + ".devices[" + std::to_string(index) + "]", reason))
        {
            return false;
        }
        completed += device["completed"].get<bool>() ? 1 : 0;
        const std::string& result = device["result"].get_ref<const std::string&>();
        succeeded += result == "SUCCESS" ? 1 : 0;
        failed += result == "FAILED" ? 1 : 0;
        aborted += result == "ABORTED" ? 1 : 0;
    }
    if (completed != readCounter(state, "completedCount") || succeeded != readCounter(state, "successCount") ||
        failed != readCounter(state, "failedCount") || aborted != readCounter(state, "abortedCount"))
    {
        reason = "state aggregate counts do not match state.devices";
        return false;
    }
    return true;
}

}  // namespace

bool validateExecutionStateDocument(const json& state, std::string& reason)
{
    reason.clear();
    try
    {
        return validateStateObject(state, reason);
    }
    catch (const std::exception& exception)
    {
        reason = std::string("cannot validate execution state JSON: ") + exception.what();
        return false;
    }
}

bool validateExecutionState(const std::string& stateJson, std::string& reason)
{
    reason.clear();
    try
    {
        json state;
        std::string parseError;
        if (!parseJsonText(stateJson, state, parseError))
        {
            reason = "cannot parse execution state JSON: " + parseError;
            return false;
        }
        return validateStateObject(state, reason);
    }
    catch (const std::exception& exception)
    {
        reason = std::string("cannot validate execution state JSON: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
