#pragma once

// The execution state of one upgrade task as typed data: what the engine publishes on every
// change, what the application renders once into the state document, what the history compares
// for its monotonic contract, and what other subsystems (rollouts) read about devices and results.
//
// What the record holds
//   S_ExecutionTaskIdentity  everything that is fixed for the task once it started: numbers,
//                            identifier, concurrency figures, the devices' identities and their
//                            target components (snapshot order). Built once by startTask.
//   S_ExecutionState         one moment of the task: its status and times, then one
//                            S_DeviceExecutionState per device and one S_ComponentExecutionState
//                            per target component, in the identity's order (a device's components
//                            are task->components[firstComponent .. firstComponent + count)).
// Statuses, results, stages and connection states are enumerations; the operator-facing texts
// (step texts, stage names, reason names) are data of the record: static texts held as pointers,
// the device's and components' detail texts as strings. Nothing here depends on a text for a decision.
//
// Lifetime rules
//   A published state is immutable and shared as ExecutionStatePtr (std::shared_ptr<const ...>):
//   a reader keeps the moment it took for as long as it holds the pointer, however far the task
//   has moved on. The identity is shared by every state of the task. The text pointers point to
//   static storage and never dangle. States of one task carry increasing versions; a newer
//   version never shows anything of the task going backwards that the engine did not do.

#include "device/device_connection_state.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ota::backend
{

enum class E_UpgradeTaskStatus : std::uint8_t
{
    IDLE,  // inside the engine only (no task, or after stop); never rendered
    RUNNING,
    ABORTING,
    SUCCESS,
    FAILED,
    ABORTED,
    STOPPED,
};

inline constexpr std::size_t kTaskStatusCount = 7;

// "IDLE", "RUNNING", "ABORTING", "SUCCESS", "FAILED", "ABORTED", "STOPPED".
const char* upgradeTaskStatusName(E_UpgradeTaskStatus status);
// SUCCESS, FAILED, ABORTED and STOPPED.
bool isFinalTaskStatus(E_UpgradeTaskStatus status);

enum class E_DeviceResult : std::uint8_t
{
    PENDING,
    SUCCESS,
    FAILED,
    ABORTED,
};

// "PENDING", "SUCCESS", "FAILED", "ABORTED".
const char* deviceResultName(E_DeviceResult result);

// The operator-facing name of a workflow stage (E_ProtocolStage 0..6); "未知阶段" for any other.
const char* executionStageName(std::uint8_t stage);

inline constexpr std::uint8_t kNoStage = 0xFF;

struct S_ComponentIdentity
{
    std::string componentTypeId;     // as the snapshot gives it, e.g. "PCS_DSP1"
    std::uint8_t componentType = 0;  // its protocol code (E_ProtocolComponentType)
    std::uint16_t componentIndex = 0;
    std::string currentVersion;  // what the device reported at preview time
    std::string targetVersion;
};

struct S_DeviceIdentity
{
    std::string nodeId;
    std::string nodeName;
    std::string nodeTypeId;
    std::string address;
    std::uint16_t port = 0;
    std::size_t firstComponent = 0;  // into S_ExecutionTaskIdentity::components
    std::size_t componentCount = 0;
};

struct S_ExecutionTaskIdentity
{
    std::uint32_t upgradeNo = 0;
    std::string upgradeId;
    std::uint64_t sceneGeneration = 0;
    std::uint16_t configuredDeviceConcurrency = 0;
    std::uint16_t recommendedDeviceConcurrency = 0;
    std::uint64_t workerCount = 0;  // "deviceConcurrency" and "effectiveWorkerCount"
    std::vector<S_DeviceIdentity> devices;
    std::vector<S_ComponentIdentity> components;
};

struct S_ComponentExecutionState
{
    std::uint8_t componentStageProgress = 0;
    const char* state = "等待执行";
    // The stage whose name `state` is (set by progress reports); kNoStage for any other text.
    std::uint8_t stateStage = kNoStage;
    std::uint16_t reasonCode = 0;
    const char* reasonName = "OK";
    std::string detailText;
    // The device confirmed the target version after its restart: currentVersion shows it.
    bool versionConfirmed = false;

    // Texts held as `const char*` compare by address: they point into static tables, so equal
    // addresses mean equal texts, and unequal ones at worst make equal states look different.
    bool operator==(const S_ComponentExecutionState&) const = default;
};

struct S_DeviceExecutionState
{
    E_DeviceConnectionState connectionState = E_DeviceConnectionState::PENDING;
    std::uint8_t stage = 0;  // E_ProtocolStage
    const char* state = "排队等待";
    E_DeviceResult result = E_DeviceResult::PENDING;
    std::uint8_t workflowProgress = 0;
    std::uint8_t currentFileNo = 0;
    std::uint16_t currentChunkNo = 0;
    bool abortAllowed = true;
    bool completed = false;
    bool eventStreamFailed = false;
    // The device accepted its flashing command: from here on it cannot be interrupted.
    bool flashAccepted = false;
    std::uint64_t protocolEventDropCount = 0;
    std::uint64_t connectionEventDropCount = 0;
    std::uint64_t unexpectedAckCount = 0;
    std::uint64_t duplicateAckCount = 0;
    std::uint64_t mismatchedAckCount = 0;
    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    std::uint16_t reasonCode = 0;
    const char* reasonName = "OK";
    std::string detailText;

    bool operator==(const S_DeviceExecutionState&) const = default;
};

struct S_ExecutionState
{
    std::shared_ptr<const S_ExecutionTaskIdentity> task;
    std::uint64_t version = 0;  // increasing per task; not part of the document
    E_UpgradeTaskStatus status = E_UpgradeTaskStatus::RUNNING;
    bool active = false;
    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    std::string error;
    std::vector<S_DeviceExecutionState> devices;        // task->devices order
    std::vector<S_ComponentExecutionState> components;  // task->components order

    // Same task (the identity's address) and the same figures.
    bool operator==(const S_ExecutionState&) const = default;
};

using ExecutionStatePtr = std::shared_ptr<const S_ExecutionState>;

// The aggregate figures of the document, computed from the devices.
struct S_ExecutionCounts
{
    std::uint64_t ready = 0;    // not completed, not started, CONNECTED
    std::uint64_t running = 0;  // not completed, started
    std::uint64_t delayed = 0;  // not completed, not started, not CONNECTED
    std::uint64_t completed = 0;
    std::uint64_t success = 0;
    std::uint64_t failed = 0;
    std::uint64_t aborted = 0;
};

S_ExecutionCounts countExecutionState(const S_ExecutionState& state);

// The state document (compact, keys in ascending byte order, raw UTF-8). Throws
// std::invalid_argument when a text is not valid UTF-8.
std::string renderExecutionState(const S_ExecutionState& state);
void renderExecutionState(const S_ExecutionState& state, std::string& out);

// One device object of the document (devices[index]) with its targets, appended to out, the same
// text the document holds for it.
void renderExecutionDevice(const S_ExecutionState& state, std::size_t index, std::string& out);

// Whether device `index` (its state or one of its targets') differs between two states of one task.
bool executionDeviceChanged(const S_ExecutionState& previous, const S_ExecutionState& state,
                            std::size_t index);

// The documents of a task's successive states, byte for byte what renderExecutionState gives. The
// text of each device is kept: a device whose state is the same as in the state rendered last
// (of the same task) is copied instead of rendered again, so a large task whose few devices moved
// costs a comparison and a copy per device. One user at a time.
class CExecutionStateRenderer
{
public:
    // Throws as renderExecutionState does; the kept texts are then forgotten.
    void render(const ExecutionStatePtr& state, std::string& out);
    void forget();

private:
    struct S_Span
    {
        std::size_t offset;
        std::size_t length;
    };
    ExecutionStatePtr m_last;
    std::string m_lastText;
    std::vector<S_Span> m_spans;  // device i's object in m_lastText
};

// The final report of an ended task: the same document with "status" = statusText, "active" =
// false and "finishedAt" = finishedAt, every other member as the state has it.
std::string renderFinalReport(const S_ExecutionState& state, std::string_view statusText,
                              std::int64_t finishedAt);

}  // namespace ota::backend
