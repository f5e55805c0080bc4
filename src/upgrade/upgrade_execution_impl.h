#pragma once

// Internal to the execution service: the state behind CUpgradeExecutionService, shared by the files
// that implement its lifecycle, event intake, waits, workflow, abort and state publication.
//
// Locks, in the only order they are ever nested:
//   lifecycleMutex -> stateMutex -> registryMutex;  logMutex is innermost (console lines only).
// The token's own mutex is never taken with stateMutex held. No transport call, thread join or
// observer call happens while stateMutex is held; condition waits release it.
//
// Lifetimes: the snapshot is held by `snapshot` for the whole task, so S_DeviceRuntime::targets
// may point into it. The transport reference is valid from start until stop returns; callbacks
// reach the service only through a live S_TransportCallbackLifetime token, and stop withdraws the
// token and waits for the callbacks in progress before it releases anything.

#include "common/clock.h"
#include "device/upgrade_device_transport.h"
#include "firmware/upgrade_task_snapshot.h"
#include "protocol/protocol_enums.h"
#include "protocol/protocol_event.h"
#include "upgrade/upgrade_execution_service.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ota::backend
{

using TimePoint = SteadyClock::time_point;
// "Never" for the steady-clock fields below; a real reading is never the clock's epoch.
inline constexpr TimePoint kNever{};

enum class E_WaitResult : std::uint8_t
{
    WAIT_MATCHED = 0,
    WAIT_TIMEOUT = 1,
    WAIT_STOPPED = 2,  // service stopping, or the device was completed meanwhile
    WAIT_ABORT_REQUESTED = 3,
    WAIT_EVENT_STREAM_FAILED = 4,
};

inline constexpr std::size_t kDeviceEventQueueCapacity = 256;
inline constexpr std::uint16_t kTimeoutReasonCode = 17;
inline constexpr std::uint16_t kVersionVerifyReasonCode = 8;

// Shared by the two transport callbacks: stop marks it dead and waits until no callback that got
// in before is still running, so a callback never touches a service that is being torn down.
struct S_TransportCallbackLifetime
{
    std::mutex mutex;
    std::condition_variable idle;
    bool alive = true;
    std::uint64_t inProgress = 0;
};

struct S_QueuedEvent
{
    S_ProtocolEvent event;
    TimePoint receivedAt;
};

struct S_PendingRequest
{
    bool present = false;
    bool acked = false;
    std::uint8_t stage = 0;
    std::string name;
};

struct S_ComponentRuntime
{
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::string currentVersion;
    std::string targetVersion;
    std::uint8_t componentStageProgress = 0;
    std::string state = "等待执行";
    std::uint16_t reasonCode = 0;
    std::string reasonName = "OK";
    std::string detailText;
    bool hasProgressStage = false;
    std::uint8_t progressStage = 0;
};

struct S_DeviceRuntime
{
    std::string nodeId;
    std::string nodeName;
    std::string nodeTypeId;
    std::string address;
    std::uint16_t port = 0;

    std::vector<const S_UpgradeTarget*> targets;  // into the task snapshot, snapshot order
    std::vector<std::uint8_t> fileNos;            // distinct, ascending
    std::vector<S_ComponentRuntime> components;   // one per target

    E_DeviceConnectionState connectionState = E_DeviceConnectionState::PENDING;
    std::uint8_t stage = 0;
    std::string state = "排队等待";
    std::string result = "PENDING";
    std::uint8_t workflowProgress = 0;
    std::uint8_t currentFileNo = 0;
    std::uint16_t currentChunkNo = 0;

    bool abortAllowed = true;
    bool targetListSent = false;
    bool completed = false;
    bool eventStreamFailed = false;
    bool ready = false;
    bool claimed = false;

    std::uint64_t protocolEventDropCount = 0;
    std::uint64_t connectionEventDropCount = 0;
    std::uint64_t unexpectedAckCount = 0;
    std::uint64_t duplicateAckCount = 0;
    std::uint64_t mismatchedAckCount = 0;

    std::uint64_t connectionChangeCount = 0;
    TimePoint lastConnectionChangeAt = kNever;
    E_DeviceConnectionState lastConnectionState = E_DeviceConnectionState::PENDING;
    std::uint64_t disconnectCount = 0;
    TimePoint lastDisconnectAt = kNever;
    TimePoint connectDeadline = kNever;

    std::uint64_t progressSequence = 0;
    TimePoint lastProgressAt = kNever;
    std::uint8_t progressStage = 0;

    std::uint64_t restartBaseline = 0;
    TimePoint restartCommandAt = kNever;
    TimePoint restartAcceptedAt = kNever;

    S_PendingRequest pendingRequest;

    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    std::uint16_t reasonCode = 0;
    std::string reasonName = "OK";
    std::string detailText;
};

using DeviceEventQueue = std::deque<S_QueuedEvent>;

// One firmware file of the running task, as checked on disk at task start.
struct S_TaskFirmwareFile
{
    std::uint8_t fileNo = 0;
    std::string fileName;
    std::uint32_t fileSize = 0;
    std::uint16_t chunkSize = 0;
    std::uint16_t chunkCount = 0;
    S_ProtocolSha256 sha256{};
    std::filesystem::path filePath;
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

// A copy of everything the state document shows, taken under the state mutex and rendered
// outside it.
struct S_ExecutionStateView
{
    std::string status;
    bool active = false;
    std::uint32_t upgradeNo = 0;
    std::string upgradeId;
    std::uint64_t sceneGeneration = 0;
    std::uint16_t configuredDeviceConcurrency = 0;
    std::uint16_t recommendedDeviceConcurrency = 0;
    std::uint64_t workerCount = 0;
    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    std::string error;
    std::vector<S_DeviceRuntime> devices;
};

using EventPredicate = std::function<bool(const S_ProtocolEvent&)>;

// Lines are written after the state mutex is released; INFO and WARN to standard output, ERROR
// to standard error, each under the service's log mutex.
enum class E_LogLevel : std::uint8_t
{
    INFO,
    WARN,
    ERROR,
};

struct S_LogLine
{
    E_LogLevel level = E_LogLevel::INFO;
    std::string text;
};

struct CUpgradeExecutionService::S_Impl
{
    // ---- locks and conditions
    std::mutex lifecycleMutex;
    mutable std::mutex stateMutex;
    std::condition_variable workerCondition;
    std::condition_variable notifyCondition;
    std::condition_variable observerIdleCondition;

    // ---- service state (stateMutex)
    bool started = false;
    IUpgradeDeviceTransport* transport = nullptr;
    std::shared_ptr<S_TransportCallbackLifetime> token;
    S_UpgradeExecutionOptions options;
    S_UpgradeExecutionTestHooks hooks;

    bool taskActive = false;
    bool stopping = false;
    bool abortRequested = false;
    bool notifierStopping = false;

    UpgradeTaskSnapshotPtr snapshot;
    std::uint32_t upgradeNo = 0;
    std::string upgradeId;
    std::uint64_t sceneGeneration = 0;
    std::string status = "IDLE";
    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    std::string taskError;
    std::uint64_t workerCount = 0;
    std::uint32_t lastInstalledUpgradeNo = 0;  // survives stop

    std::vector<S_DeviceRuntime> devices;
    std::vector<DeviceEventQueue> queues;  // one per device, same index
    // One per device, same index: a worker waiting for its device's answers is woken only by that
    // device's events, not by every event of the task (shared, so a callback may still notify
    // one after the table was replaced).
    std::vector<std::shared_ptr<std::condition_variable>> deviceConditions;
    std::unordered_map<std::string, std::size_t> deviceIndex;
    std::map<std::uint8_t, S_TaskFirmwareFile> firmware;

    // ---- publication (stateMutex)
    std::uint64_t stateVersion = 0;
    bool fullChangePending = false;
    bool progressChangePending = false;
    std::uint64_t fullChangeVersion = 0;
    std::uint64_t progressChangeVersion = 0;
    std::uint64_t deliveredVersion = 0;
    bool published = false;
    TimePoint lastPublishedAt = kNever;
    UpgradeStateObserver observer;
    std::uint64_t observerCallsRunning = 0;
    std::thread::id notifierThreadId;

    std::thread notifierThread;
    std::thread taskThread;

    // ---- in-flight callback registries (registryMutex): entry times of callbacks still running
    mutable std::mutex registryMutex;
    std::unordered_map<std::string, std::multiset<TimePoint>> protocolCallbacksInFlight;
    std::unordered_map<std::string, std::multiset<TimePoint>> connectionCallbacksInFlight;

    std::mutex logMutex;

    // ---- logging
    void log(E_LogLevel level, const std::string& text);
    void log(const std::vector<S_LogLine>& lines);

    // ---- lifecycle (upgrade_execution_service.cpp, upgrade_task_runner.cpp)
    void runTask();
    void runWorker(std::size_t workerIndex);
    bool prepareTaskFirmware(std::string& error);
    void finishTask();
    void abandonInstalledTask(std::unique_lock<std::mutex>& lock, const std::string& error);

    // ---- publication (upgrade_state_publisher.cpp)
    void markStateChanged();
    // True when the notification thread has to be woken for it (nothing was pending before).
    bool markProgressChanged();
    void runStateNotifier();
    void buildStateView(S_ExecutionStateView& view) const;

    // ---- event intake (upgrade_event_intake.cpp)
    void onProtocolEvent(const std::string& nodeId, const S_ProtocolEvent& event);
    void onConnectionStateChanged(const std::string& nodeId, E_DeviceConnectionState state);
    bool registerPendingRequest(std::size_t index, std::uint8_t stage, const std::string& requestName,
                                std::string& error);
    void clearPendingRequest(std::size_t index);
    bool sendCommand(std::size_t index, E_ProtocolCommandType commandType, std::uint8_t stage,
                     std::uint16_t commandParam, std::string& error);
    void purgeQueuedEvents(std::size_t index, const EventPredicate& predicate);
    void purgeQueuedEventsLocked(std::size_t index, const EventPredicate& predicate);
    std::string describeEventStreamFailure(const S_DeviceRuntime& device) const;
    bool protocolCallbackRunning(const std::string& nodeId, TimePoint enteredBy) const;
    bool connectionCallbackRunning(const std::string& nodeId, TimePoint enteredBy) const;

    // ---- device record transitions (upgrade_device_records.cpp)
    void setDeviceStage(std::size_t index, E_ProtocolStage stage, const std::string& text,
                        std::uint8_t progress);
    void failDevice(std::size_t index, const std::string& detailText, std::uint16_t reasonCode,
                    const std::string& resultCode);
    void failDeviceLocked(S_DeviceRuntime& device, const std::string& detailText, std::uint16_t reasonCode,
                          const std::string& resultCode, std::vector<S_LogLine>& lines);
    void completeDevice(std::size_t index, const std::string& result);
    void completeDeviceLocked(S_DeviceRuntime& device, const std::string& result,
                              std::vector<S_LogLine>& lines);
    bool failDeviceOnWaitResult(std::size_t index, E_WaitResult result, const std::string& timeoutText,
                                const std::string& stoppedText);
    void applyTerminalStageReport(std::size_t index, const S_ProtocolEventStageReport& report);
    bool applyDeviceProgress(S_DeviceRuntime& device, const S_ProtocolEventProgress& progress,
                             TimePoint receivedAt);

    // ---- waits (upgrade_device_waits.cpp, upgrade_restart_verification.cpp)
    E_WaitResult waitForDeviceEvent(std::size_t index, std::uint32_t timeoutMs, bool abortable,
                                    const EventPredicate& predicate, S_ProtocolEvent& event, bool extendable,
                                    std::uint8_t stage, TimePoint* receivedAt = nullptr,
                                    std::optional<TimePoint> absoluteDeadline = std::nullopt);
    E_WaitResult waitConnectionState(std::size_t index, E_DeviceConnectionState wanted,
                                     std::uint32_t timeoutMs, bool abortable);
    bool synchronizeDeviceStatus(std::size_t index);
    bool waitTargetListAccepted(std::size_t index, std::uint32_t timeoutMs, bool abortable);
    bool waitAcceptedAck(std::size_t index, std::uint8_t stage, std::uint32_t timeoutMs, bool abortable);
    bool waitSuccessfulStage(std::size_t index, std::uint8_t stage, std::uint32_t timeoutMs, bool abortable,
                             std::optional<TimePoint> absoluteDeadline = std::nullopt);
    bool waitRestartAccepted(std::size_t index, std::uint32_t timeoutMs);
    bool waitRestartVerified(std::size_t index, std::string& detailText, std::uint16_t& reasonCode,
                             std::string& resultCode);
    bool applyRestartStatus(const S_DeviceRuntime& device, const S_ProtocolEventDeviceStatus& status,
                            std::string& text) const;

    // ---- workflow (upgrade_device_workflow.cpp) and abort (upgrade_abort.cpp)
    void executeDevice(std::size_t index, CFirmwareStreamCache& streams);
    bool transferFiles(std::size_t index, CFirmwareStreamCache& streams, std::uint64_t totalBytes,
                       std::uint64_t totalChunks);
    bool confirmFiles(std::size_t index, std::uint64_t totalBytes);
    bool readFirmwareChunk(std::uint8_t fileNo, std::uint16_t chunkNo, S_ProtocolFileChunk& chunk,
                           std::string& error, CFirmwareStreamCache& streams);
    bool performUpgradeContextReset(std::size_t index);
    bool restartBegunDespiteSendFailure(std::size_t index, std::uint32_t timeoutMs);
    // After an abortable wait returned: runs the reset on an abort and tells whether to go on.
    bool continueAfterWait(std::size_t index, E_WaitResult result, const std::string& timeoutText,
                           const std::string& stoppedText);

    // ---- helpers
    bool isStopping() const;
    std::condition_variable& deviceCondition(std::size_t index) { return *deviceConditions[index]; }
    // Wakes the claiming workers and every device wait (abort, stop); stateMutex held.
    void wakeAllLocked();
    std::uint32_t transportUpgradeNo() const { return upgradeNo; }
};

// Stage bands of workflowProgress used by stage reports.
void stageProgressBand(std::uint8_t stage, std::uint8_t& begin, std::uint8_t& end);
const char* stageName(std::uint8_t stage);

}  // namespace ota::backend
