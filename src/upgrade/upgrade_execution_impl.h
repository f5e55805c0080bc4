#pragma once

// Internal to the execution service: the state behind CUpgradeExecutionService, shared by the files
// that implement its lifecycle, event intake, waits, workflow, abort and state publication.
//
// The engine along its seams:
//   S_TaskRun           one task: its snapshot, identity, options, firmware, device links and one
//                       CDeviceSession per device (device_session.h) — fixed once the task runs.
//   CDeviceScheduler    the claiming passes of the worker pool (upgrade_scheduler.h).
//   CStatePublisher     the coalescing publication of the state (upgrade_state_publisher.h).
//   the task runner     prepareTaskFirmware, runTask, runWorker, finishTask (upgrade_task_runner.cpp).
//   abort               requestAbort and the context reset (upgrade_abort.cpp).
//
// Locks, in the only order they are ever nested:
//   lifecycleMutex -> taskMutex -> scheduler -> a session's mutex -> publisher (leaf);
//   logMutex (console lines) innermost. The token's own mutex is never taken with any of them.
// taskMutex guards the service and task header below; a chunk round trip never takes it: the
// worker and the transport's callback meet in the device's session, and progress is recorded
// with the publisher's atomics. No transport call, thread join or observer call happens with
// taskMutex or a session's mutex held; condition waits release them.
//
// Lifetimes: the current task is held by `task` and published to the callbacks through
// `currentTask` (a shared slot whose mutex is a leaf), so a callback keeps the task it took even while
// startTask installs the next one. The transport reference is valid from start until stop
// returns; callbacks reach the service only through a live S_TransportCallbackLifetime token, and
// stop withdraws the token and waits for the callbacks in progress before it releases anything.
// The device links are released by stop, before the transport may go.

#include "common/clock.h"
#include "common/latency_histogram.h"
#include "common/shared_slot.h"
#include "device/upgrade_device_transport.h"
#include "firmware/upgrade_task_snapshot.h"
#include "protocol/protocol_enums.h"
#include "protocol/protocol_event.h"
#include "upgrade/device_session.h"
#include "upgrade/device_type_slots.h"
#include "upgrade/execution_state.h"
#include "upgrade/upgrade_execution_service.h"
#include "upgrade/upgrade_scheduler.h"
#include "upgrade/upgrade_state_publisher.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ota::backend
{

// Shared by the two transport callbacks: stop marks it dead and waits until no callback that got
// in before is still running, so a callback never touches a service that is being torn down.
struct S_TransportCallbackLifetime
{
    std::mutex mutex;
    std::condition_variable idle;
    bool alive = true;
    std::uint64_t inProgress = 0;
};

// One firmware file of the running task, as checked on disk at task start. filePath is where its
// chunks are read from: the staged copy of the checked bytes when the service has a staging.
struct S_TaskFirmwareFile
{
    std::uint8_t fileNo = 0;
    std::string fileName;
    std::uint32_t fileSize = 0;
    std::uint16_t chunkSize = 0;
    std::uint16_t chunkCount = 0;
    S_ProtocolSha256 sha256{};
    std::filesystem::path filePath;
    std::filesystem::path shownPath;  // the snapshot's path, the one texts name
};

// A worker's open firmware files, keyed by fileNo; closed when the worker ends.
class CFirmwareStreamCache
{
public:
    CFirmwareStreamCache() = default;
    ~CFirmwareStreamCache();
    CFirmwareStreamCache(const CFirmwareStreamCache&) = delete;
    CFirmwareStreamCache& operator=(const CFirmwareStreamCache&) = delete;

    // The open descriptor of the file, opened on first use; -1 when it cannot be opened.
    int descriptorFor(std::uint8_t fileNo, const std::filesystem::path& path);

private:
    std::map<std::uint8_t, int> m_descriptors;
};

// One task, from startTask until the next startTask or stop. Everything but `active` and
// `firmware` is fixed once startTask installed it; `firmware` is filled by the task thread before
// the workers start and emptied after they ended.
struct S_TaskRun
{
    UpgradeTaskSnapshotPtr snapshot;
    std::shared_ptr<const S_ExecutionTaskIdentity> identity;
    std::uint32_t upgradeNo = 0;
    S_UpgradeExecutionOptions options;
    std::vector<std::unique_ptr<CDeviceSession>> sessions;  // snapshot order
    std::unordered_map<std::string, std::size_t> deviceIndex;
    // One per device, same index: the device as the transport resolved it for the task; each
    // worker uses only its device's link.
    std::vector<std::unique_ptr<IUpgradeDeviceLink>> links;
    std::map<std::uint8_t, S_TaskFirmwareFile> firmware;
    // The per-type caps of the task (its options); empty: nothing waits.
    CDeviceTypeSlots typeSlots;
    // Cleared when the task has ended: events of its devices are no longer taken.
    std::atomic<bool> active{true};
    // The test hooks' wake counter, kept with the sessions that count into it.
    std::shared_ptr<std::atomic<std::uint64_t>> workerWakes;
};

using TaskRunPointer = std::shared_ptr<S_TaskRun>;

struct CUpgradeExecutionService::S_Impl
{
    // ---- locks
    std::mutex lifecycleMutex;
    mutable std::mutex taskMutex;

    // ---- service state (taskMutex)
    bool started = false;
    IUpgradeDeviceTransport* transport = nullptr;
    std::shared_ptr<S_TransportCallbackLifetime> token;
    S_UpgradeExecutionOptions options;
    S_UpgradeExecutionTestHooks hooks;
    std::shared_ptr<IFirmwareStaging> firmwareStaging;
    bool taskActive = false;
    TaskRunPointer task;
    E_UpgradeTaskStatus status = E_UpgradeTaskStatus::IDLE;
    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    std::string taskError;
    std::uint32_t lastInstalledUpgradeNo = 0;  // survives stop
    std::thread taskThread;

    // ---- read by every wait without a lock; raised with every session woken (wakeAll)
    std::atomic<bool> stopping{false};
    std::atomic<bool> abortRequested{false};

    // ---- the task the transport's callbacks deliver to (written under taskMutex)
    CSharedSlot<S_TaskRun> currentTask;

    CDeviceScheduler scheduler;
    CStatePublisher publisher;
    // The documents getCurrentState renders, each reusing the last one's unchanged devices. The
    // mutex is a leaf, taken after the state was built and only around rendering it.
    mutable std::mutex readRenderMutex;
    mutable CExecutionStateRenderer readRenderer;

    // ---- metrics: atomics only, read by getMetrics without any engine lock
    // Each chunk's question until its report, over every device of every task since start.
    CLatencyHistogram chunkRoundTrips;
    // Tasks ended since start, indexed by their final E_UpgradeTaskStatus.
    std::array<std::atomic<std::uint64_t>, kTaskStatusCount> finishedTasks{};

    std::mutex logMutex;

    // ---- logging (no lock of the engine held)
    void log(E_LogLevel level, const std::string& text);
    void log(const std::vector<S_LogLine>& lines);

    // ---- lifecycle (upgrade_execution_service.cpp, upgrade_task_runner.cpp)
    TaskRunPointer installTask(const UpgradeTaskSnapshotPtr& snapshot,
                               const S_UpgradeTaskOptions& taskOptions);
    void runTask(TaskRunPointer task);
    void runWorker(S_TaskRun& task, std::size_t workerIndex);
    bool prepareTaskFirmware(S_TaskRun& task, std::string& error);
    void finishTask(S_TaskRun& task);
    void abandonInstalledTask(std::unique_lock<std::mutex>& lock, const std::string& error);
    // Abort or stop was raised: claims and every device wait look again.
    void wakeAll(S_TaskRun* task);

    // ---- publication (upgrade_execution_service.cpp)
    // The state now: the task header and a copy of every device record; null without a task.
    ExecutionStatePtr buildState() const;

    // ---- event intake (upgrade_event_intake.cpp)
    void onProtocolEvent(const std::string& nodeId, const S_ProtocolEvent& event);
    void onConnectionStateChanged(const std::string& nodeId, E_DeviceConnectionState state);
    bool sendCommand(S_TaskRun& task, std::size_t index, E_ProtocolCommandType commandType,
                     std::uint8_t stage, std::uint16_t commandParam, std::string& error);

    // ---- device record transitions (upgrade_device_records.cpp); each logs its own line
    void setDeviceStage(S_TaskRun& task, std::size_t index, E_ProtocolStage stage, const char* text,
                        std::uint8_t progress);
    void failDevice(S_TaskRun& task, std::size_t index, const std::string& detailText,
                    std::uint16_t reasonCode, const char* resultCode);
    void completeDevice(S_TaskRun& task, std::size_t index, E_DeviceResult result);
    bool failDeviceOnWaitResult(S_TaskRun& task, std::size_t index, E_WaitResult result,
                                const std::string& timeoutText, const std::string& stoppedText);

    // ---- waits (upgrade_device_waits.cpp, upgrade_restart_verification.cpp)
    // Runs an abortable wait; an abort seen by it resets the device's upgrade context. A device that
    // cannot be interrupted any more ignores the abort, and the wait goes on without it. False when
    // the device has ended meanwhile (result is then WAIT_ABORT_REQUESTED).
    template <typename Wait>
    E_WaitResult waitWithAbort(S_TaskRun& task, std::size_t index, bool abortable, Wait&& wait, bool& ended);
    bool synchronizeDeviceStatus(S_TaskRun& task, std::size_t index);
    bool waitTargetListAccepted(S_TaskRun& task, std::size_t index, std::uint32_t timeoutMs, bool abortable);
    bool waitAcceptedAck(S_TaskRun& task, std::size_t index, std::uint8_t stage, std::uint32_t timeoutMs,
                         bool abortable);
    bool waitSuccessfulStage(S_TaskRun& task, std::size_t index, std::uint8_t stage, std::uint32_t timeoutMs,
                             bool abortable, std::optional<TimePoint> absoluteDeadline = std::nullopt);
    // An event of the device within the wait's limits; an abort seen by it resets the device.
    E_WaitResult waitForReply(S_TaskRun& task, std::size_t index, const S_EventWait& wait,
                              S_ProtocolEvent& event, bool& ended);
    bool waitRestartAccepted(S_TaskRun& task, std::size_t index, std::uint32_t timeoutMs);
    bool waitRestartVerified(S_TaskRun& task, std::size_t index, std::string& detailText,
                             std::uint16_t& reasonCode, const char*& resultCode);
    bool applyRestartStatus(const S_TaskRun& task, const S_DeviceRuntime& device,
                            const S_ProtocolEventDeviceStatus& status, std::string& text) const;

    // ---- workflow (upgrade_device_workflow.cpp) and abort (upgrade_abort.cpp)
    void executeDevice(S_TaskRun& task, std::size_t index, CFirmwareStreamCache& streams);
    bool transferFiles(S_TaskRun& task, std::size_t index, CFirmwareStreamCache& streams,
                       std::uint64_t totalBytes, std::uint64_t totalChunks);
    bool confirmFiles(S_TaskRun& task, std::size_t index, std::uint64_t totalBytes);
    // Reads a chunk's data straight into the payload area of the device link's next chunk frame.
    bool readFirmwareChunk(S_TaskRun& task, std::size_t index, std::uint8_t fileNo, std::uint16_t chunkNo,
                           S_ProtocolFileChunkHeader& chunk, std::string& error,
                           CFirmwareStreamCache& streams);
    bool performUpgradeContextReset(S_TaskRun& task, std::size_t index);
    bool restartBegunDespiteSendFailure(S_TaskRun& task, std::size_t index, std::uint32_t timeoutMs);
    // After a wait returned: whether to go on; a failed wait has ended the device with its texts.
    bool continueAfterWait(S_TaskRun& task, std::size_t index, E_WaitResult result,
                           const std::string& timeoutText, const std::string& stoppedText);
};

template <typename Wait>
E_WaitResult CUpgradeExecutionService::S_Impl::waitWithAbort(S_TaskRun& task, std::size_t index,
                                                             bool abortable, Wait&& wait, bool& ended)
{
    ended = false;
    while (true)
    {
        const E_WaitResult result = wait(abortable);
        if (result != E_WaitResult::WAIT_ABORT_REQUESTED)
        {
            return result;
        }
        // The wait has ended: its question is no longer pending, so the reset may be asked.
        task.sessions[index]->clearPendingRequest();
        if (!performUpgradeContextReset(task, index))
        {
            ended = true;
            return result;
        }
        abortable = false;
    }
}

}  // namespace ota::backend
