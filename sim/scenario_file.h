#pragma once

#include "sim/sim_device_spec.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// Settings of a scenario rule; only the keys present in the file are set.
struct S_SimScenarioSettings
{
    std::optional<std::uint32_t> replyLatencyMs;
    std::optional<std::uint32_t> preparationMs;
    std::optional<std::uint32_t> flashMs;
    std::optional<std::uint32_t> rebootMs;
    std::optional<std::uint32_t> progressIntervalMs;
    std::optional<bool> statusOnConnect;
    std::optional<bool> progressReports;
    std::optional<unsigned> bcuCount;
    // (component type, index or 0 for every index of the type, version), in file order.
    struct S_VersionOverride
    {
        std::uint8_t componentType = 0;
        std::uint8_t componentIndex = 0;
        std::string version;
    };
    std::vector<S_VersionOverride> versions;
};

// A rule selects devices (every selector present must match; none present selects every
// device) and gives them settings and faults. Rules apply in file order: later settings win,
// faults accumulate.
struct S_SimScenarioRule
{
    std::optional<std::vector<std::string>> nodeIds;
    std::optional<std::uint8_t> deviceType;
    std::optional<std::string> groupId;  // the id of any ancestor node (a container)
    S_SimScenarioSettings settings;
    std::vector<S_SimFault> faults;
};

struct S_SimScenario
{
    std::vector<S_SimScenarioRule> rules;
};

inline constexpr std::uint32_t SIM_SCENARIO_SCHEMA_VERSION = 1;
inline constexpr std::uintmax_t MAX_SCENARIO_FILE_BYTES = 16u * 1024u * 1024u;

// Strict: unknown keys, wrong types and out-of-range values fail with one message that names
// the place ("rules[0].faults[2].delayMs must be ..."). The output is written only on success.
bool parseSimScenarioJson(const nlohmann::json& root, S_SimScenario& scenario, std::string& error);
bool parseSimScenarioText(std::string_view text, S_SimScenario& scenario, std::string& error);
bool loadSimScenarioFile(const std::filesystem::path& path, S_SimScenario& scenario, std::string& error);

// Applies every rule to the devices it selects. A rule naming a node id that is not simulated
// is an error (a typo would otherwise silently disarm a fault).
bool applySimScenario(const S_SimScenario& scenario, std::vector<S_SimDeviceSpec>& devices, std::string& error);

}  // namespace ota::backend
