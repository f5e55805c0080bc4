#pragma once

#include "common/latency_histogram.h"
#include "device/upgrade_device_transport.h"
#include "firmware/upgrade_task_snapshot.h"
#include "upgrade/execution_state.h"
#include "upgrade/firmware_staging.h"
#include "upgrade/upgrade_limits.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace ota::backend
{

// Concurrency limits and timeouts of the execution service, copied by start.
struct S_UpgradeExecutionOptions
{
    std::uint16_t configuredDeviceConcurrency = 1;   // 1..1000, configuration "deviceConcurrency"
    std::uint16_t recommendedDeviceConcurrency = 1;  // 1..32, from the machine's capacity
    std::uint16_t deviceConcurrency = 1;             // 1..min(configured, recommended, 32)
    std::uint32_t progressPublishIntervalMs = 100;   // spacing of progress-only publications
    std::uint32_t connectTimeoutMs = 3000;
    std::uint32_t ackTimeoutMs = 5000;
    std::uint32_t stageTimeoutMs = 60000;
    std::uint32_t flashTimeoutMs = 300000;
    std::uint32_t restartTimeoutMs = 120000;
};

// What one task asks beyond the service's options.
struct S_UpgradeTaskOptions
{
    // Device type ("EMU", "PCS", "BMS") -> how many devices of the type may be between their target
    // list and the end of their restart verification at once; types not named are not capped.
    std::map<std::string, std::uint32_t> maxConcurrentPerType;
};

// Receives every published execution state document (compact JSON text), on the service's
// notification thread, one call at a time.
using UpgradeStateObserver = std::function<void(const std::string& stateJson)>;
// Receives every published execution state as the typed snapshot (execution_state.h), on the
// notification thread, one call at a time; the receiver renders the document if it needs one.
using UpgradeStateSnapshotObserver = std::function<void(const ExecutionStatePtr& state)>;

// Why startTask refused a task, where a caller answers a refusal in its own words.
enum class E_TaskStartRefusal
{
    NONE,
    // The snapshot's task has run already (it may still be finishing); a snapshot runs once.
    SNAPSHOT_ALREADY_RAN,
    OTHER,
};

// Fault injection for tests: lets a test make thread creation fail or run code at the points
// where another thread could change the service state during a start.
struct S_UpgradeExecutionTestHooks
{
    bool failTaskThreadCreation = false;
    // Worker index whose creation fails (-1: none).
    int failWorkerCreationAt = -1;
    // Runs inside startTask after the task is installed, before the state is re-checked.
    std::function<void()> duringTaskInitialization;
    // Counts every wake-up of a worker waiting for a device's event, over the tasks started after.
    std::shared_ptr<std::atomic<std::uint64_t>> workerWakes;
};

// The engine's figures for the metrics endpoint.
struct S_UpgradeEngineMetrics
{
    // Tasks ended since the service was built, by final status (indexed by E_UpgradeTaskStatus).
    std::array<std::uint64_t, kTaskStatusCount> finishedTasks{};
    // Round trips of file chunks: from sending a chunk until its report was taken.
    CLatencyHistogram::S_Snapshot chunkRoundTrips;
};

// Runs one upgrade task at a time: re-checks the snapshot's firmware files, drives every device of
// the snapshot through the upgrade workflow on a bounded worker pool, publishes every state change
// to one observer and accepts abort requests. Reaches the devices only through the transport given
// to start, and knows nothing of HTTP or the history database.
//
// Threads: one notification thread per started service, one task thread per task and
// min(devices, deviceConcurrency, 32) worker threads per task. Transport callbacks only queue,
// count and signal. Every public operation may be called from any thread, except that stop must
// not be called from a worker (from the observer it only raises the stop flags).
class CUpgradeExecutionService
{
public:
    CUpgradeExecutionService();
    ~CUpgradeExecutionService();
    CUpgradeExecutionService(const CUpgradeExecutionService&) = delete;
    CUpgradeExecutionService& operator=(const CUpgradeExecutionService&) = delete;

    // The transport must outlive the service's started period (until stop returns).
    bool start(IUpgradeDeviceTransport& transport, const S_UpgradeExecutionOptions& options,
               std::string& error);
    // A snapshot runs at most once (remembered across stop and start): while its task runs a
    // second start is refused as any start during a task, "Another upgrade task is active"; after
    // it ended, with refusal SNAPSHOT_ALREADY_RAN.
    bool startTask(UpgradeTaskSnapshotPtr snapshot, std::uint64_t currentSceneGeneration,
                   std::string& responseJson, std::string& error, E_TaskStartRefusal* refusal = nullptr,
                   const S_UpgradeTaskOptions& taskOptions = {});
    // Ends a running task ("STOPPED"), joins every thread and forgets the task. Never throws;
    // idempotent and safe on a service that never started.
    void stop() noexcept;
    bool isStarted() const;
    bool isTaskActive() const;

    // responseJson is filled in every case, also on refusal.
    bool requestAbort(std::uint32_t upgradeNo, std::string& responseJson, std::string& error);

    // The execution state document of the current or last task.
    bool getCurrentState(std::string& stateJson, std::string& error) const;
    // The same as a typed snapshot; null when there is none.
    ExecutionStatePtr getCurrentStateSnapshot() const;
    // The identity of the task while one is active, else null: what a snapshot's `task` would be,
    // without copying every device's state.
    std::shared_ptr<const S_ExecutionTaskIdentity> activeTaskIdentity() const;
    // Reads atomics only: never waits for a running operation.
    S_UpgradeEngineMetrics getMetrics() const;

    // One observer at a time: each setter replaces whichever was set before.
    void setStateObserver(UpgradeStateObserver observer);
    void setStateSnapshotObserver(UpgradeStateSnapshotObserver observer);
    // Removes the observer and, unless called on the notification thread, waits until no observer
    // call is still running.
    void clearStateObserver();

    void setTestHooks(S_UpgradeExecutionTestHooks hooks);
    // Where the next tasks copy their firmware to and send it from; without one (null), chunks are
    // read from the snapshot's paths.
    void setFirmwareStaging(std::shared_ptr<IFirmwareStaging> staging);

    struct S_Impl;

private:
    std::unique_ptr<S_Impl> m_impl;
};

// The work budget of a phase: baseMs plus the time the bytes take at bytesPerSecond plus perItemMs
// for each item, at least 4 x baseMs; all arithmetic saturates at the largest signed 64-bit value.
std::int64_t computeWorkBudgetMs(std::int64_t baseMs, std::uint64_t bytes, std::uint64_t items,
                                 std::uint64_t bytesPerSecond, std::uint64_t perItemMs);

}  // namespace ota::backend
