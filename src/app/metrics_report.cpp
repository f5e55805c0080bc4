#include "app/metrics_report.h"

#include "app/prometheus_text.h"
#include "device/device_connection_state.h"

#include <string_view>

namespace ota::backend
{

namespace
{

void renderDevices(CPrometheusText& out, const S_DeviceTcpMetrics& devices)
{
    out.family("ota_devices", "gauge", "Communication nodes by connection state.");
    for (std::size_t state = 0; state < devices.devicesByState.size(); ++state)
    {
        out.sample("ota_devices",
                   {{"state", deviceConnectionStateName(static_cast<E_DeviceConnectionState>(state))}},
                   devices.devicesByState[state]);
    }
    struct S_Counter
    {
        std::string_view name;
        std::string_view help;
        std::uint64_t value;
    };
    const S_Counter counters[] = {
        {"ota_device_frames_sent_total", "Frames written to the devices.", devices.sentFrameCount},
        {"ota_device_frames_received_total", "Frames received from the devices.", devices.receivedFrameCount},
        {"ota_device_bytes_sent_total", "Bytes written to the devices.", devices.sentByteCount},
        {"ota_device_bytes_received_total", "Bytes received from the devices.", devices.receivedByteCount},
        {"ota_device_invalid_frames_total", "Received frames the decoder refused.",
         devices.invalidFrameCount},
    };
    for (const S_Counter& counter : counters)
    {
        out.family(counter.name, "counter", counter.help);
        out.sample(counter.name, counter.value);
    }
}

void renderUpgrades(CPrometheusText& out, const S_MetricsFigures& figures)
{
    out.family("ota_upgrade_active", "gauge", "1 while an upgrade task runs.");
    out.sample("ota_upgrade_active", figures.upgradeActive ? 1u : 0u);

    out.family("ota_upgrade_devices", "gauge", "Devices of the current or last upgrade task by result.");
    for (std::size_t result = 0; result < figures.upgradeDevices.size(); ++result)
    {
        out.sample("ota_upgrade_devices", {{"result", deviceResultName(static_cast<E_DeviceResult>(result))}},
                   figures.upgradeDevices[result]);
    }

    out.family("ota_upgrade_tasks_total", "counter", "Upgrade tasks finished since start by final status.");
    for (const E_UpgradeTaskStatus status : {E_UpgradeTaskStatus::SUCCESS, E_UpgradeTaskStatus::FAILED,
                                             E_UpgradeTaskStatus::ABORTED, E_UpgradeTaskStatus::STOPPED})
    {
        out.sample("ota_upgrade_tasks_total", {{"status", upgradeTaskStatusName(status)}},
                   figures.engine.finishedTasks[static_cast<std::size_t>(status)]);
    }

    const CLatencyHistogram::S_Snapshot& trips = figures.engine.chunkRoundTrips;
    constexpr std::string_view name = "ota_upgrade_chunk_round_trip_seconds";
    out.family(name, "histogram", "Time from sending a firmware chunk until its report was taken.");
    for (std::size_t index = 0; index < CLatencyHistogram::kBounds.size(); ++index)
    {
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g", CLatencyHistogram::kBounds[index]);
        out.sample("ota_upgrade_chunk_round_trip_seconds_bucket", {{"le", bound}},
                   trips.cumulativeCounts[index]);
    }
    out.sample("ota_upgrade_chunk_round_trip_seconds_bucket", {{"le", "+Inf"}}, trips.count);
    out.sample("ota_upgrade_chunk_round_trip_seconds_sum", {}, trips.sumSeconds);
    out.sample("ota_upgrade_chunk_round_trip_seconds_count", trips.count);
}

void renderService(CPrometheusText& out, const S_MetricsFigures& figures)
{
    out.family("ota_rollout_active", "gauge", "1 while a rollout is scheduled or running.");
    out.sample("ota_rollout_active", figures.rolloutActive ? 1u : 0u);
    // Every status shows, so a PAUSED or HALTED rollout is a series that turns 1, not one that appears.
    out.family("ota_rollout_status", "gauge", "1 for the status of the newest rollout, 0 for the others.");
    for (std::size_t value = 0; value <= static_cast<std::size_t>(E_RolloutStatus::FAILED); ++value)
    {
        const auto status = static_cast<E_RolloutStatus>(value);
        out.sample("ota_rollout_status", {{"status", rolloutStatusName(status)}},
                   figures.newestRolloutStatus == status ? std::uint64_t{1} : std::uint64_t{0});
    }
    out.family("ota_site_held", "gauge", "1 while the site is held (no upgrade starts).");
    out.sample("ota_site_held", figures.siteHolds > 0 ? 1u : 0u);
    out.family("ota_site_holds", "gauge", "Holds in place on the site.");
    out.sample("ota_site_holds", figures.siteHolds);
    if (figures.baseline)
    {
        // Shown only once a baseline exists: without one there is nothing to drift from.
        out.family("ota_baseline_components", "gauge",
                   "Components of the site by state against the baseline.");
        const std::pair<const char*, std::uint64_t> states[] = {{"MATCH", figures.baseline->match},
                                                                {"DRIFT", figures.baseline->drift},
                                                                {"MISSING", figures.baseline->missing},
                                                                {"UNEXPECTED", figures.baseline->unexpected}};
        for (const auto& [state, count] : states)
        {
            out.sample("ota_baseline_components", {{"state", state}}, count);
        }
    }
    out.family("ota_rollout_store_failures_total", "counter",
               "Rollout changes that could not be stored (each halts its rollout).");
    out.sample("ota_rollout_store_failures_total", figures.rolloutStoreFailures);
    out.family("ota_history_write_failures_total", "counter",
               "Execution states that could not be written to the history.");
    out.sample("ota_history_write_failures_total", figures.historyWriteFailures);
    out.family("ota_audit_write_failures_total", "counter", "Audit entries that could not be written.");
    out.sample("ota_audit_write_failures_total", figures.auditWriteFailures);

    out.family("ota_api_requests_total", "counter",
               "Answers of the API server by route pattern and HTTP status.");
    for (const CApiRequestCounter::S_Count& count : figures.apiRequests)
    {
        const std::string code = count.status == 0 ? std::string("other") : std::to_string(count.status);
        out.sample("ota_api_requests_total", {{"route", count.route}, {"code", code}}, count.count);
    }
    out.family("ota_event_stream_clients", "gauge", "Connected event-stream clients.");
    out.sample("ota_event_stream_clients", figures.eventStreamClients);

    out.family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    out.sample("process_cpu_seconds_total", {}, figures.process.cpuSeconds);
    out.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out.sample("process_resident_memory_bytes", figures.process.residentBytes);
    out.family("process_open_fds", "gauge", "Number of open file descriptors.");
    out.sample("process_open_fds", figures.process.openFds);
    out.family("process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.");
    out.sample("process_start_time_seconds", {}, figures.process.startTimeSeconds);
}

}  // namespace

std::string renderMetrics(const S_MetricsFigures& figures)
{
    CPrometheusText out;
    out.family("ota_build_info", "gauge", "The running build; always 1.");
    out.sample("ota_build_info", {{"version", figures.version}}, std::uint64_t{1});
    renderDevices(out, figures.devices);
    renderUpgrades(out, figures);
    renderService(out, figures);
    return out.text();
}

}  // namespace ota::backend
