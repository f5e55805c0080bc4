#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// One component as a baseline expects it.
struct S_BaselineComponent
{
    std::string nodeId;
    std::string componentTypeId;  // canonical identifier ("PCS_DSP1")
    std::uint16_t componentIndex = 0;
    std::string version;

    bool operator==(const S_BaselineComponent&) const = default;
};

struct S_BaselineDocument
{
    std::uint32_t baselineNo = 0;  // increasing
    std::int64_t createdAt = 0;    // Unix milliseconds
    std::string note;
    std::vector<S_BaselineComponent> components;

    bool operator==(const S_BaselineDocument&) const = default;
};

// A baseline as a list shows it: without its components.
struct S_BaselineListEntry
{
    std::uint32_t baselineNo = 0;
    std::int64_t createdAt = 0;
    std::string note;
    std::uint64_t componentCount = 0;
};

enum class E_BaselineComponentState : std::uint8_t
{
    MATCH,
    DRIFT,
    MISSING,     // not reported, or its device is not connected
    UNEXPECTED,  // reported but not in the baseline
};
inline constexpr std::size_t kBaselineComponentStateCount = 4;
// "MATCH", "DRIFT", "MISSING", "UNEXPECTED".
const char* baselineComponentStateName(E_BaselineComponentState state);

// One component of the report: what the baseline expects beside what its device reported.
struct S_BaselineReportRow
{
    std::string nodeId;
    std::string nodeName;
    std::string deviceType;  // "EMU", "PCS", "BMS"; empty for a node the topology does not hold
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::optional<std::string> expected;     // none: not in the baseline
    std::optional<std::string> reported;     // none: never reported
    std::optional<std::int64_t> reportedAt;  // Unix milliseconds of the device's last status
    E_BaselineComponentState state = E_BaselineComponentState::MISSING;
    // A running task targets it: a DRIFT is not counted as one until the task ends.
    bool upgrading = false;

    // Counted as drift: a DRIFT no running task explains.
    bool drifted() const { return state == E_BaselineComponentState::DRIFT && !upgrading; }

    bool operator==(const S_BaselineReportRow&) const = default;
};

// The components by state; a DRIFT under a running task is in none of them.
struct S_BaselineSummary
{
    std::uint64_t match = 0;
    std::uint64_t drift = 0;
    std::uint64_t missing = 0;
    std::uint64_t unexpected = 0;

    bool operator==(const S_BaselineSummary&) const = default;
};

struct S_BaselineReport
{
    std::uint32_t baselineNo = 0;
    std::int64_t checkedAt = 0;
    S_BaselineSummary summary;
    std::vector<S_BaselineReportRow> components;  // topology order, then baseline order
};

// What changed with one status report (or a task's start or end).
struct S_BaselineDrift
{
    std::uint32_t baselineNo = 0;
    S_BaselineSummary summary;
    std::vector<S_BaselineReportRow> changed;   // the components whose state changed
    std::vector<S_BaselineReportRow> newDrift;  // of those, the ones now counted as drift
};

// The key of a component on the site.
struct S_ComponentKey
{
    std::string nodeId;
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;

    bool operator==(const S_ComponentKey&) const = default;
    bool operator<(const S_ComponentKey& other) const
    {
        if (nodeId != other.nodeId)
        {
            return nodeId < other.nodeId;
        }
        if (componentTypeId != other.componentTypeId)
        {
            return componentTypeId < other.componentTypeId;
        }
        return componentIndex < other.componentIndex;
    }
};

}  // namespace ota::backend
