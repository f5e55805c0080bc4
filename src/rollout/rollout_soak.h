#pragma once

#include "rollout/rollout_types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// A group's soak: after its task has ended, the devices that ended SUCCESS must stay healthy for
// the policy's soakSeconds before the group's gate is decided. The rollout asks for their status
// through an IRolloutSoakWatcher (the application implements it with the device status queries)
// when the soak begins, every soakQueryIntervalMs and when it ends.

// One component a soaked device must keep reporting at its target version.
struct S_RolloutSoakComponent
{
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::string targetVersion;

    bool operator==(const S_RolloutSoakComponent&) const = default;
};

struct S_RolloutSoakDevice
{
    std::string nodeId;
    std::vector<S_RolloutSoakComponent> components;

    bool operator==(const S_RolloutSoakDevice&) const = default;
};

enum class E_RolloutSoakFailure : std::uint8_t
{
    FAULT,          // it reported the FAULT state
    VERSION,        // it reported another version than its target (an A/B device fell back)
    NOT_CONNECTED,  // not CONNECTED with a fresh status when the soak ended
};

// The first failure of one device during its soak.
struct S_RolloutSoakFinding
{
    std::string nodeId;
    E_RolloutSoakFailure failure = E_RolloutSoakFailure::FAULT;
    std::string reasonName;  // FAULT: the reason the device gave
    std::string version;     // VERSION: what it reported for the component
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;

    bool operator==(const S_RolloutSoakFinding&) const = default;
};

// Watches the devices of one soak at a time. Called from the rollout service's thread only, never
// with its lock held.
class IRolloutSoakWatcher
{
public:
    virtual ~IRolloutSoakWatcher() = default;

    // Begins watching (forgetting any earlier soak): every status the devices report from now on
    // counts. Asks their status now.
    virtual void beginSoak(const std::vector<S_RolloutSoakDevice>& devices) = 0;
    // Asks the watched devices' status again (the periodic query).
    virtual void querySoak() = 0;
    // Looks at the statuses reported since the last look; called often while the soak runs.
    virtual void observeSoak() = 0;
    // Asks their status a last time, waits (bounded) for fresh answers and stops watching: the first
    // failure of every device that failed its soak.
    virtual std::vector<S_RolloutSoakFinding> endSoak() = 0;
    // Stops watching without a verdict (cancel, stop).
    virtual void abandonSoak() = 0;
};

// The reason a soak failure gives the device's rollout result.
std::string soakFailureText(const S_RolloutSoakFinding& finding);

// The task of the group ended: with a soak configured and a device that ended SUCCESS, the group is
// SOAKING from now; otherwise false and nothing changed (the gate is decided at once).
bool beginGroupSoak(S_Rollout& rollout, std::uint32_t groupNo, std::int64_t now);

// A soak that was not running (after a restart) begins again when the rollout runs: true when it
// began now.
bool restartPendingSoak(S_Rollout& rollout, std::int64_t now);

// The devices the rollout's soak watches: its group's SUCCESS devices with their targets.
std::vector<S_RolloutSoakDevice> rolloutSoakDevices(const S_Rollout& rollout);

// The soak ended with these failures: the failed devices become FAILED with the reason (counted
// against maxFailedDevices, never retried), then the group's gate is decided.
void applyRolloutSoakEnd(S_Rollout& rollout, const std::vector<S_RolloutSoakFinding>& findings);

// A cancel during the soak: the group is ABORTED and the soak ends at once.
void dropRolloutSoak(S_Rollout& rollout);

}  // namespace ota::backend
