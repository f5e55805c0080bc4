#pragma once

#include "api/request_counter.h"
#include "app/process_stats.h"
#include "baseline/baseline_types.h"
#include "device/communication_snapshot.h"
#include "rollout/rollout_types.h"
#include "upgrade/upgrade_execution_service.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// Everything one scrape of GET /metrics shows, gathered from the services where each figure is
// already counted.
struct S_MetricsFigures
{
    std::string version;
    S_DeviceTcpMetrics devices;
    bool upgradeActive = false;
    // The devices of the current or last task by result (indexed by E_DeviceResult).
    std::array<std::uint64_t, 4> upgradeDevices{};
    S_UpgradeEngineMetrics engine;
    bool rolloutActive = false;
    std::optional<E_RolloutStatus> newestRolloutStatus;  // empty: no rollout
    std::uint64_t rolloutStoreFailures = 0;
    std::uint64_t historyWriteFailures = 0;
    std::uint64_t auditWriteFailures = 0;
    std::vector<CApiRequestCounter::S_Count> apiRequests;
    std::uint64_t eventStreamClients = 0;
    std::uint64_t siteHolds = 0;                // holds in place
    std::optional<S_BaselineSummary> baseline;  // empty: no baseline taken
    S_ProcessStats process;
};

// The Prometheus text exposition (version 0.0.4) of the figures: every family with its HELP and
// TYPE, labelled families with every value of their label, zeros included.
std::string renderMetrics(const S_MetricsFigures& figures);

}  // namespace ota::backend
