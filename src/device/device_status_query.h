#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// Outcome of one node's status query; category is empty on success.
struct S_DeviceStatusQueryResult
{
    std::string nodeId;
    std::string nodeName;
    std::string connectionState;  // state name, or "UNAVAILABLE" / "NOT_RUNNING"
    std::string category;         // "SKIPPED" or "FAILED"
    std::string code;
    std::string message;

    bool operator==(const S_DeviceStatusQueryResult&) const = default;
};

// Outcome of a status query for all devices; errors holds one entry per skipped or failed node.
struct S_DeviceStatusQuerySummary
{
    std::int64_t requestedAt = 0;
    std::uint64_t configuredCount = 0;
    std::uint64_t submittedCount = 0;
    std::uint64_t dispatchedCount = 0;
    std::uint64_t skippedCount = 0;
    std::uint64_t failedCount = 0;
    std::vector<S_DeviceStatusQueryResult> errors;
};

struct S_DeviceReconnectSummary
{
    std::int64_t requestedAt = 0;
    std::uint64_t configuredCount = 0;
    std::uint64_t submittedCount = 0;
    std::uint64_t skippedConnectedCount = 0;
    std::uint64_t skippedConnectingCount = 0;
    std::uint64_t skippedUnavailableCount = 0;
};

// The response JSON of the status query route.
bool serializeDeviceStatusQuerySummary(const S_DeviceStatusQuerySummary& summary, std::uint64_t sceneGeneration,
                                       std::string& json, std::string& error);

}  // namespace ota::backend
