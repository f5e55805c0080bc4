#include "app/rollout_request.h"

#include "firmware/request_fields.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

namespace ota::backend
{

namespace
{

using nlohmann::json;

constexpr std::size_t kMaxRolloutIdBytes = 24;
constexpr std::size_t kMaxGroupCount = 100;
constexpr std::int64_t kMaxGroupSize = 1000;
constexpr std::int64_t kMaxFailedDevices = 1000;
constexpr std::int64_t kMaxRetryRounds = 3;
constexpr std::int64_t kMaxSoakSeconds = 86400;
constexpr std::int64_t kMaxConcurrentPerType = 1000;
// The soak's status query period may be shortened (tests); the request documents do not name it.
constexpr std::int64_t kMinSoakQueryIntervalMs = 100;
constexpr const char* const kDeviceTypes[] = {"EMU", "PCS", "BMS"};

// A JSON integer (never a float such as 5.0) within the bounds.
bool readInteger(const json& value, std::int64_t minimum, std::int64_t maximum, std::int64_t& result)
{
    if (value.is_number_unsigned())
    {
        const std::uint64_t number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        {
            return false;
        }
        result = static_cast<std::int64_t>(number);
    }
    else if (value.is_number_integer())
    {
        result = value.get<std::int64_t>();
    }
    else
    {
        return false;
    }
    return result >= minimum && result <= maximum;
}

bool readPolicyInteger(const json& policy, const char* name, std::int64_t minimum, std::int64_t maximum,
                       std::int64_t& result, std::string& error)
{
    if (!readInteger(policy.at(name), minimum, maximum, result))
    {
        error = std::string("request.policy.") + name + " must be an integer between " +
                std::to_string(minimum) + " and " + std::to_string(maximum);
        return false;
    }
    return true;
}

// An object of device type to the most devices of the type upgrading at once.
bool readTypeCaps(const json& caps, S_RolloutPolicy& policy, std::string& error)
{
    if (!caps.is_object())
    {
        error = "request.policy.maxConcurrentPerType must be a JSON object";
        return false;
    }
    for (const auto& item : caps.items())
    {
        const std::string& type = item.key();
        if (std::none_of(std::begin(kDeviceTypes), std::end(kDeviceTypes),
                         [&](const char* name) { return type == name; }))
        {
            error = "request.policy.maxConcurrentPerType contains unsupported device type '" + type +
                    "' (EMU, PCS or BMS)";
            return false;
        }
        std::int64_t cap = 0;
        if (!readInteger(item.value(), 1, kMaxConcurrentPerType, cap))
        {
            error = "request.policy.maxConcurrentPerType." + type + " must be an integer between 1 and " +
                    std::to_string(kMaxConcurrentPerType);
            return false;
        }
        policy.maxConcurrentPerType[type] = static_cast<std::uint32_t>(cap);
    }
    return true;
}

bool readPolicy(const json& value, S_RolloutPolicy& policy, std::string& error)
{
    if (!value.is_object())
    {
        error = "request.policy must be a JSON object";
        return false;
    }
    static const char* const kKeys[] = {
        "groupSizes",  "successPercent", "maxFailedDevices", "manualAdvance",        "startAt",
        "windowEndAt", "retryRounds",    "soakSeconds",      "maxConcurrentPerType", "soakQueryIntervalMs"};
    for (const auto& item : value.items())
    {
        // Named, not a structured binding: clang 14 (the fuzz build) cannot capture one in a lambda.
        const std::string& key = item.key();
        if (std::none_of(std::begin(kKeys), std::end(kKeys), [&](const char* name) { return key == name; }))
        {
            error = "request.policy contains unsupported field '" + key + "'";
            return false;
        }
    }
    std::int64_t number = 0;
    if (value.contains("groupSizes"))
    {
        const json& sizes = value.at("groupSizes");
        if (!sizes.is_array() || sizes.size() > kMaxGroupCount)
        {
            error = "request.policy.groupSizes must be an array of at most " +
                    std::to_string(kMaxGroupCount) + " group sizes";
            return false;
        }
        for (std::size_t i = 0; i < sizes.size(); ++i)
        {
            if (!readInteger(sizes[i], 1, kMaxGroupSize, number))
            {
                error = "request.policy.groupSizes[" + std::to_string(i) +
                        "] must be an integer between 1 and " + std::to_string(kMaxGroupSize);
                return false;
            }
            policy.groupSizes.push_back(static_cast<std::uint32_t>(number));
        }
    }
    if (value.contains("successPercent"))
    {
        if (!readPolicyInteger(value, "successPercent", 1, 100, number, error))
        {
            return false;
        }
        policy.successPercent = static_cast<std::uint32_t>(number);
    }
    if (value.contains("maxFailedDevices"))
    {
        if (!readPolicyInteger(value, "maxFailedDevices", 1, kMaxFailedDevices, number, error))
        {
            return false;
        }
        policy.maxFailedDevices = static_cast<std::uint32_t>(number);
    }
    if (value.contains("manualAdvance"))
    {
        if (!value.at("manualAdvance").is_boolean())
        {
            error = "request.policy.manualAdvance must be a boolean";
            return false;
        }
        policy.manualAdvance = value.at("manualAdvance").get<bool>();
    }
    for (const auto& [name, field] :
         {std::pair{"startAt", &policy.startAt}, {"windowEndAt", &policy.windowEndAt}})
    {
        if (value.contains(name))
        {
            if (!readInteger(value.at(name), 0, std::numeric_limits<std::int64_t>::max(), *field))
            {
                error = std::string("request.policy.") + name +
                        " must be an integer of at least 0 (milliseconds since the epoch)";
                return false;
            }
        }
    }
    if (value.contains("retryRounds"))
    {
        if (!readPolicyInteger(value, "retryRounds", 0, kMaxRetryRounds, number, error))
        {
            return false;
        }
        policy.retryRounds = static_cast<std::uint32_t>(number);
    }
    if (value.contains("soakSeconds"))
    {
        if (!readPolicyInteger(value, "soakSeconds", 0, kMaxSoakSeconds, number, error))
        {
            return false;
        }
        policy.soakSeconds = static_cast<std::uint32_t>(number);
    }
    if (value.contains("soakQueryIntervalMs"))
    {
        if (!readPolicyInteger(value, "soakQueryIntervalMs", kMinSoakQueryIntervalMs,
                               S_RolloutPolicy::kDefaultSoakQueryIntervalMs, number, error))
        {
            return false;
        }
        policy.soakQueryIntervalMs = static_cast<std::uint32_t>(number);
    }
    if (value.contains("maxConcurrentPerType") &&
        !readTypeCaps(value.at("maxConcurrentPerType"), policy, error))
    {
        return false;
    }
    if (policy.windowEndAt != 0 && policy.windowEndAt <= policy.startAt)
    {
        error = "request.policy.windowEndAt must be later than request.policy.startAt";
        return false;
    }
    return true;
}

}  // namespace

bool readRolloutRequest(const std::string& requestJson, S_RolloutRequest& request, std::string& error)
{
    error.clear();
    json body;
    if (!parseRequestObject(requestJson, body, error))
    {
        return false;
    }
    const bool withPolicy = body.contains("policy");
    if (!(withPolicy
              ? validateExactFields(body, "request", {"rolloutId", "targets", "files", "policy"}, error)
              : validateExactFields(body, "request", {"rolloutId", "targets", "files"}, error)))
    {
        return false;
    }
    if (!readRequiredString(body, "request", "rolloutId", kMaxRolloutIdBytes, request.rolloutId, error))
    {
        return false;
    }
    for (const char character : request.rolloutId)
    {
        const bool allowed = (character >= 'A' && character <= 'Z') ||
                             (character >= 'a' && character <= 'z') ||
                             (character >= '0' && character <= '9') || character == '_';
        if (!allowed)
        {
            error = "request.rolloutId must contain only ASCII letters, digits and underscore";
            return false;
        }
    }
    request.policy = S_RolloutPolicy{};
    if (withPolicy && !readPolicy(body.at("policy"), request.policy, error))
    {
        return false;
    }
    request.targets = std::move(body.at("targets"));
    request.files = std::move(body.at("files"));
    return true;
}

}  // namespace ota::backend
