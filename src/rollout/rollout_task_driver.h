#pragma once

#include "rollout/rollout_types.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ota::backend
{

// What a rollout needs to know about one upgrade task, from whatever the execution engine
// publishes (the application translates it in one place).
enum class E_RolloutTaskStatus : std::uint8_t
{
    RUNNING,
    ABORTING,
    SUCCESS,
    FAILED,
    ABORTED,
    STOPPED,  // the service stopped under it (shutdown, or a process killed mid-task)
};

enum class E_RolloutTaskDeviceResult : std::uint8_t
{
    PENDING,  // waiting or inside its workflow
    SUCCESS,
    FAILED,
    ABORTED,
};

struct S_RolloutTaskDevice
{
    std::string nodeId;
    E_RolloutTaskDeviceResult result = E_RolloutTaskDeviceResult::PENDING;
    std::string error;  // the device's error text in the task
    // The device reached the point where its flashing command may have been accepted; a device
    // that failed after it is never upgraded again automatically.
    bool flashMayHaveStarted = false;
};

struct S_RolloutTaskView
{
    std::uint32_t upgradeNo = 0;
    bool active = false;  // false once the task has its final status
    E_RolloutTaskStatus status = E_RolloutTaskStatus::RUNNING;
    std::vector<S_RolloutTaskDevice> devices;
};

// One task the rollout asks for: the targets of the devices it runs (as the rollout's request gave
// them) and the files they use, with the digests kept when the rollout was created.
struct S_RolloutTaskRequest
{
    std::string upgradeId;
    std::vector<S_RolloutTarget> targets;
    std::vector<S_RolloutFile> files;
    // The rollout's per-type caps, for the task once started (policy maxConcurrentPerType).
    std::map<std::string, std::uint32_t> maxConcurrentPerType;
};

enum class E_RolloutPreviewOutcome : std::uint8_t
{
    PREVIEWED,         // a task snapshot with a history row, ready to start
    NO_DEVICE,         // every device was refused: no task
    FILE_CHANGED,      // a file's SHA-256 is not the one kept: no task
    UPGRADE_ID_TAKEN,  // the history holds the identifier already: no task
    REFUSED,           // anything else: no task
};

struct S_RolloutPreviewResult
{
    E_RolloutPreviewOutcome outcome = E_RolloutPreviewOutcome::REFUSED;
    std::uint32_t upgradeNo = 0;  // PREVIEWED
    // Devices the preview refused (not connected, not ready, ...) with the refusal; they are not
    // in the task. Also filled for NO_DEVICE.
    std::vector<std::pair<std::string, std::string>> refusedDevices;
    std::string error;  // FILE_CHANGED, REFUSED
};

// How a rollout drives tasks; the application implements it with the ordinary preview, start and
// abort of upgrade tasks. Called from the rollout service's own thread, never with its lock held.
class IRolloutTaskDriver
{
public:
    virtual ~IRolloutTaskDriver() = default;

    // Runs the work while no operator's preview, start, abort or rollout operation runs, so that
    // what the rollout decided still holds when its task starts. previewTask, startTask and
    // abortTask are called only inside it.
    virtual void runExclusive(const std::function<void()>& work) = 0;
    // Previews a task of the given targets; devices the preview refuses are left out and named.
    virtual S_RolloutPreviewResult previewTask(const S_RolloutTaskRequest& request) = 0;
    // Starts the task of a successful preview.
    virtual bool startTask(std::uint32_t upgradeNo, std::string& error) = 0;
    // Asks the running task to abort; false when the engine refused (the task ended already, or
    // every remaining device is past the flash point): the task then ends by itself.
    virtual bool abortTask(std::uint32_t upgradeNo, std::string& error) = 0;
    // Whether an upgrade task runs now.
    virtual bool isTaskActive() = 0;
    // The final state of a finished task (start-up recovery); empty when the task never ran or
    // has no final report.
    virtual std::optional<S_RolloutTaskView> readFinishedTask(std::uint32_t upgradeNo) = 0;
};

}  // namespace ota::backend
