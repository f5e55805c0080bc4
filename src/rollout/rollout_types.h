#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ota::backend
{

// A rollout runs a site upgrade as a sequence of ordinary upgrade tasks: one per group of devices
// (a canary first, then larger groups), stopped by its gates when devices fail, paused and resumed
// by operators, started at a scheduled time and closed by retry rounds for devices that failed
// before flashing. These are its records; the state machine is rollout_machine.h.

enum class E_RolloutStatus : std::uint8_t
{
    READY,      // created, not started
    SCHEDULED,  // started, waiting for its start time
    RUNNING,
    PAUSED,  // by an operator, after a group (manual advance), at the window's end or by a restart
    HALTED,  // by a gate, an operator's abort of its task or a changed firmware file
    CANCELLED,
    SUCCESS,
    FAILED,
    // Kept last so the numbering of the others (and what is counted by status) stays as it was.
    AWAITING_APPROVAL,  // created where a second person must approve it; READY once approved
    REJECTED,           // refused by the second person; final
};

enum class E_RolloutGroupStatus : std::uint8_t
{
    PENDING,
    RUNNING,
    SUCCESS,
    FAILED,
    ABORTED,
    SOAKING,  // its task ended; its devices are watched before its gate is decided
};

enum class E_RolloutDeviceResult : std::uint8_t
{
    PENDING,
    RUNNING,
    SUCCESS,
    FAILED,
    ABORTED,
    SKIPPED,  // refused by its task's preview (not connected, not ready, ...): not in the task
};

const char* rolloutStatusName(E_RolloutStatus status);
const char* rolloutGroupStatusName(E_RolloutGroupStatus status);
const char* rolloutDeviceResultName(E_RolloutDeviceResult result);
std::optional<E_RolloutStatus> parseRolloutStatus(std::string_view text);
std::optional<E_RolloutGroupStatus> parseRolloutGroupStatus(std::string_view text);
std::optional<E_RolloutDeviceResult> parseRolloutDeviceResult(std::string_view text);

// SCHEDULED or RUNNING: no other task may be previewed or started, the scene not reloaded.
bool rolloutHoldsSite(E_RolloutStatus status);
// Started and not finished (SCHEDULED, RUNNING, PAUSED, HALTED): at most one rollout is open.
bool isRolloutOpen(E_RolloutStatus status);
// CANCELLED, SUCCESS, FAILED or REJECTED: nothing changes any more.
bool isRolloutFinished(E_RolloutStatus status);

struct S_RolloutPolicy
{
    std::vector<std::uint32_t> groupSizes;  // 0..100 sizes of 1..1000; the rest forms one last group
    std::uint32_t successPercent = 100;     // 1..100: SUCCESS share a group needs to pass
    std::uint32_t maxFailedDevices = 1;     // 1..1000: FAILED devices that halt the rollout
    bool manualAdvance = false;             // wait PAUSED after every passed group but the last
    std::int64_t startAt = 0;               // Unix ms; 0 = when started
    std::int64_t windowEndAt = 0;           // Unix ms; 0 = no window
    std::uint32_t retryRounds = 0;          // 0..3
    std::uint32_t soakSeconds = 0;          // 0..86400: how long a group's devices must stay healthy
    // Device type ("EMU", "PCS", "BMS") -> 1..1000 devices of the type between their target list
    // and the end of their restart verification at once; empty: no cap.
    std::map<std::string, std::uint32_t> maxConcurrentPerType;
    // How often a soak queries its devices' status; not part of the public request (tests shorten it).
    std::uint32_t soakQueryIntervalMs = kDefaultSoakQueryIntervalMs;

    static constexpr std::uint32_t kDefaultSoakQueryIntervalMs = 30000;

    bool operator==(const S_RolloutPolicy&) const = default;
};

// One target as the rollout's request gave it; a group's preview is made of these.
struct S_RolloutTarget
{
    std::string nodeId;
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::string currentVersion;
    std::string fileSlotKey;
    bool force = false;

    bool operator==(const S_RolloutTarget&) const = default;
};

// One firmware file as inspected when the rollout was created: every group's preview must find
// the same SHA-256 digest again.
struct S_RolloutFile
{
    std::string fileSlotKey;
    std::string filePath;  // absolute and canonical, UTF-8
    std::string targetVersion;
    std::string sha256;  // 64 lowercase hexadecimal characters

    bool operator==(const S_RolloutFile&) const = default;
};

// What the operator asked for; never changes after creation.
struct S_RolloutPlan
{
    std::string rolloutId;
    std::vector<S_RolloutTarget> targets;  // request order
    std::vector<S_RolloutFile> files;      // request order
    S_RolloutPolicy policy;

    bool operator==(const S_RolloutPlan&) const = default;
};

using RolloutPlanPtr = std::shared_ptr<const S_RolloutPlan>;

struct S_RolloutDevice
{
    std::string nodeId;
    std::uint32_t groupNo = 0;
    E_RolloutDeviceResult result = E_RolloutDeviceResult::PENDING;
    std::uint32_t upgradeNo = 0;  // its last task, 0 before any
    std::string error;            // the task's error text for the device, or the refusal, or ""
    // Its last task may have had the flashing command accepted: such a device is never retried.
    bool flashMayHaveStarted = false;

    bool operator==(const S_RolloutDevice&) const = default;
};

struct S_RolloutGroup
{
    std::uint32_t groupNo = 0;
    std::vector<std::string> nodeIds;
    E_RolloutGroupStatus status = E_RolloutGroupStatus::PENDING;
    std::vector<std::uint32_t> upgradeNos;  // every task that ran devices of the group, in order

    bool operator==(const S_RolloutGroup&) const = default;
};

enum class E_RolloutPhase : std::uint8_t
{
    GROUPS,
    RETRIES,  // every group passed; retry rounds, then the end
};

enum class E_RolloutTaskKind : std::uint8_t
{
    NONE,
    GROUP,
    RETRY_ROUND,
};

// Why the rollout's running task is being aborted.
enum class E_RolloutAbortIntent : std::uint8_t
{
    NONE,
    THRESHOLD,  // maxFailedDevices reached
    CANCEL,     // the rollout is being cancelled
    OPERATOR,   // an operator aborted the task through the upgrade abort route
    SITE_HOLD,  // the site was held: the rollout waits PAUSED and runs the group again later
};

// The soak of a group whose task ended: its SUCCESS devices are watched until endsAt.
struct S_RolloutSoak
{
    std::uint32_t groupNo = 0;  // 0: none
    // 0: not begun (yet, or again after a restart): it begins when the rollout runs.
    std::int64_t startedAt = 0;
    std::int64_t endsAt = 0;

    bool operator==(const S_RolloutSoak&) const = default;
};

// The task the rollout runs now.
struct S_RolloutActiveTask
{
    std::uint32_t upgradeNo = 0;  // 0: none
    E_RolloutTaskKind kind = E_RolloutTaskKind::NONE;
    std::uint32_t groupNo = 0;  // GROUP tasks
    E_RolloutAbortIntent abortIntent = E_RolloutAbortIntent::NONE;
    // The abort has been asked of the execution service (so it is not asked again).
    bool abortRequested = false;

    bool operator==(const S_RolloutActiveTask&) const = default;
};

// Who acted on a rollout, the latest of each; kept only where the service names actors. An empty
// name is an actor nobody knew (access control off).
struct S_RolloutActors
{
    std::string createdBy;
    std::string approvedBy;
    std::string rejectedBy;
    std::string rejectReason;
    std::string startedBy;
    std::string pausedBy;
    std::string resumedBy;
    std::string cancelledBy;

    bool operator==(const S_RolloutActors&) const = default;
};

struct S_Rollout
{
    std::uint32_t rolloutNo = 0;
    RolloutPlanPtr plan;
    E_RolloutStatus status = E_RolloutStatus::READY;
    std::string reason;  // why it is HALTED, PAUSED, CANCELLED or FAILED; "" otherwise
    std::int64_t createdAt = 0;
    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    std::uint32_t currentGroupNo = 0;  // running or next to run; 0 before the start and after the end
    std::vector<S_RolloutGroup> groups;
    std::vector<S_RolloutDevice> devices;  // group order, then target order

    // Kept across restarts with the rest.
    E_RolloutPhase phase = E_RolloutPhase::GROUPS;
    std::uint32_t failedSinceResume = 0;  // FAILED device endings since the start or last resume
    std::uint32_t retryRoundsRun = 0;
    bool windowWaived = false;  // resumed after the window ended: it runs on without it
    // PAUSED by the site's holds (not by an operator or a restart): it resumes by itself when the
    // last hold ends, also after a restart.
    bool pausedBySiteHold = false;
    S_RolloutActiveTask activeTask;
    S_RolloutSoak soak;
    // Set when the service names actors: the document then shows them and the plan's digest.
    std::optional<S_RolloutActors> actors;

    bool operator==(const S_Rollout&) const = default;
};

// Devices counted by their result now.
struct S_RolloutCounts
{
    std::uint32_t deviceCount = 0;
    std::uint32_t successCount = 0;
    std::uint32_t failedCount = 0;
    std::uint32_t abortedCount = 0;
    std::uint32_t skippedCount = 0;

    void add(E_RolloutDeviceResult result);
};

}  // namespace ota::backend
