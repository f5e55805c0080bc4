// The rollout service's thread: it waits for work (or a SCHEDULED rollout's time) and then, inside
// the driver's exclusive section, asks the abort of a task a gate or a cancel stopped, or takes the
// open rollout's next step and launches its task.
#include "rollout/rollout_service.h"

#include "common/console_log.h"
#include "rollout/rollout_plan.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <unordered_set>

namespace ota::backend
{

namespace
{

// Upgrade identifiers tried for one task before the rollout gives up (every one taken).
constexpr unsigned kMaxUpgradeIdAttempts = 99;
// A SCHEDULED rollout's start time is looked at again at least this often, so a wall clock that
// was set forward is noticed.
constexpr std::chrono::milliseconds kMaxScheduleWait{1000};
// How often a running soak looks at the statuses its devices reported.
constexpr std::int64_t kSoakObserveMs = 200;

std::string number(std::uint64_t value)
{
    return std::to_string(value);
}

}  // namespace

void CRolloutService::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping)
    {
        if (!m_workPending)
        {
            const auto woken = [this] { return m_stopping || m_workPending; };
            const std::int64_t wakeAt = m_wakeAt == 0       ? m_soakWakeAt
                                        : m_soakWakeAt == 0 ? m_wakeAt
                                                            : std::min(m_wakeAt, m_soakWakeAt);
            if (wakeAt == 0)
            {
                m_wake.wait(lock, woken);
            }
            else
            {
                const std::int64_t remaining = std::max<std::int64_t>(wakeAt - now(), 1);
                m_wake.wait_for(lock, std::min(std::chrono::milliseconds(remaining), kMaxScheduleWait),
                                woken);
            }
            if (m_stopping)
            {
                break;
            }
        }
        m_workPending = false;
        lock.unlock();
        try
        {
            runSoakPass();
            m_driver->runExclusive([this] { runPass(); });
        }
        catch (const std::exception& exception)
        {
            consoleErr(std::string("[ERROR] [ROLLOUT] Rollout pass failed: ") + exception.what());
        }
        lock.lock();
    }
    if (m_watchedSoak.rolloutNo != 0 && m_soakWatcher != nullptr)
    {
        m_watchedSoak = {};
        IRolloutSoakWatcher* watcher = m_soakWatcher;
        lock.unlock();
        watcher->abandonSoak();
    }
}

void CRolloutService::runSoakPass()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_soakWakeAt = 0;
    if (m_stopping)
    {
        return;
    }
    S_Rollout* rollout = openRolloutLocked();
    if (rollout != nullptr)
    {
        const S_Rollout before = *rollout;
        if (restartPendingSoak(*rollout, now()))
        {
            commitLocked(before, *rollout);
        }
    }
    S_WatchedSoak wanted;
    if (rollout != nullptr && rollout->soak.groupNo != 0 && rollout->soak.startedAt != 0)
    {
        wanted = {rollout->rolloutNo, rollout->soak.groupNo, rollout->soak.startedAt};
    }
    IRolloutSoakWatcher* const watcher = m_soakWatcher;
    if (m_watchedSoak.rolloutNo != 0 && !(m_watchedSoak == wanted))
    {
        // Cancelled (or replaced): it ends at once, without a verdict.
        m_watchedSoak = {};
        lock.unlock();
        if (watcher != nullptr)
        {
            watcher->abandonSoak();
        }
        lock.lock();
        wakeLocked();
        return;
    }
    if (wanted.rolloutNo == 0)
    {
        return;
    }
    const std::int64_t at = now();
    const std::int64_t interval = rollout->plan->policy.soakQueryIntervalMs;
    const std::int64_t endsAt = rollout->soak.endsAt;
    if (m_watchedSoak.rolloutNo == 0)
    {
        const std::vector<S_RolloutSoakDevice> devices = rolloutSoakDevices(*rollout);
        m_watchedSoak = wanted;
        m_nextSoakQueryAt = at + interval;
        consoleOut("[ROLLOUT] Rollout " + number(wanted.rolloutNo) + " soaks group " +
                   number(wanted.groupNo) + ": devices=" + number(devices.size()) +
                   ", seconds=" + number(rollout->plan->policy.soakSeconds));
        lock.unlock();
        if (watcher != nullptr)
        {
            watcher->beginSoak(devices);
        }
        lock.lock();
    }
    else if (at >= endsAt)
    {
        lock.unlock();
        const std::vector<S_RolloutSoakFinding> findings =
            watcher != nullptr ? watcher->endSoak() : std::vector<S_RolloutSoakFinding>{};
        lock.lock();
        m_watchedSoak = {};
        rollout = findLocked(wanted.rolloutNo);
        if (rollout != nullptr && rollout->soak.groupNo == wanted.groupNo &&
            rollout->soak.startedAt == wanted.startedAt)
        {
            const S_Rollout before = *rollout;
            applyRolloutSoakEnd(*rollout, findings);
            consoleOut("[ROLLOUT] Rollout " + number(wanted.rolloutNo) + " ended the soak of group " +
                       number(wanted.groupNo) + ": failed=" + number(findings.size()));
            commitLocked(before, *rollout);
        }
        wakeLocked();  // the next group
        return;
    }
    else
    {
        const bool query = at >= m_nextSoakQueryAt;
        if (query)
        {
            m_nextSoakQueryAt = at + interval;
        }
        lock.unlock();
        if (watcher != nullptr)
        {
            query ? watcher->querySoak() : watcher->observeSoak();
        }
        lock.lock();
    }
    m_soakWakeAt = std::min({endsAt, m_nextSoakQueryAt, now() + kSoakObserveMs});
}

void CRolloutService::runPass()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wakeAt = 0;
    if (m_stopping)
    {
        return;
    }
    S_Rollout* rollout = openRolloutLocked();
    if (rollout == nullptr)
    {
        return;
    }
    const std::uint32_t rolloutNo = rollout->rolloutNo;
    if (rolloutAbortPending(*rollout))
    {
        const S_Rollout before = *rollout;
        rollout->activeTask.abortRequested = true;
        const std::uint32_t upgradeNo = rollout->activeTask.upgradeNo;
        // Stopping a task is never held back, not even by a store that refuses the change: a
        // rollout restored without it learns the abort from the task's final report.
        commitLocked(before, *rollout);
        lock.unlock();
        std::string error;
        if (m_driver->abortTask(upgradeNo, error))
        {
            consoleOut("[ROLLOUT] Rollout " + number(rolloutNo) +
                       " aborted its task: upgradeNo=" + number(upgradeNo));
        }
        else
        {
            // The task ends by itself (it had ended, or every remaining device is past flashing).
            consoleOut("[ROLLOUT] Rollout " + number(rolloutNo) +
                       " abort of its task was refused: upgradeNo=" + number(upgradeNo) + ", error=" + error);
        }
        return;
    }
    // A held site starts nothing; lifting the holds wakes the thread again.
    if (rollout->activeTask.upgradeNo != 0 || m_siteHeld ||
        (rollout->status != E_RolloutStatus::RUNNING && rollout->status != E_RolloutStatus::SCHEDULED))
    {
        return;
    }
    const S_Rollout before = *rollout;
    const S_RolloutStep step = nextRolloutStep(*rollout, now());
    if (!commitLocked(before, *rollout))
    {
        return;
    }
    if (step.kind == E_RolloutStepKind::WAIT_UNTIL)
    {
        m_wakeAt = step.until;
    }
    else if (step.kind == E_RolloutStepKind::LAUNCH_GROUP || step.kind == E_RolloutStepKind::LAUNCH_RETRY)
    {
        launch(lock, rolloutNo, step);
    }
}

void CRolloutService::launch(std::unique_lock<std::mutex>& lock, std::uint32_t rolloutNo,
                             const S_RolloutStep& step)
{
    const S_Rollout beforePreview = *findLocked(rolloutNo);
    const RolloutPlanPtr plan = beforePreview.plan;
    lock.unlock();

    const std::unordered_set<std::string> nodeIds(step.nodeIds.begin(), step.nodeIds.end());
    S_RolloutPreviewResult result;
    for (unsigned attempt = 1; attempt <= kMaxUpgradeIdAttempts; ++attempt)
    {
        result = m_driver->previewTask(
            buildTaskRequest(*plan, nodeIds, rolloutTaskUpgradeId(plan->rolloutId, step, attempt)));
        if (result.outcome != E_RolloutPreviewOutcome::UPGRADE_ID_TAKEN)
        {
            break;
        }
    }

    lock.lock();
    S_Rollout* rollout = findLocked(rolloutNo);
    S_Rollout before = *rollout;
    applyRolloutPreview(*rollout, step, result);
    // The previewed task starts only once the rollout that names it is stored; if it cannot be,
    // the task never starts and the rollout stays as it was before the preview.
    const bool previewed = result.outcome == E_RolloutPreviewOutcome::PREVIEWED;
    if (!commitLocked(before, *rollout, previewed ? &before : nullptr))
    {
        return;
    }
    wakeLocked();  // a group without a task goes on at once
    if (!previewed)
    {
        return;
    }
    const std::string what = step.kind == E_RolloutStepKind::LAUNCH_GROUP
                                 ? "group " + number(step.groupNo)
                                 : "retry round " + number(step.round);
    lock.unlock();
    std::string error;
    const bool started = m_driver->startTask(result.upgradeNo, error);
    lock.lock();
    rollout = findLocked(rolloutNo);
    if (started)
    {
        consoleOut("[ROLLOUT] Rollout " + number(rolloutNo) + " started " + what +
                   ": upgradeNo=" + number(result.upgradeNo) +
                   ", devices=" + number(step.nodeIds.size() - result.refusedDevices.size()) +
                   ", skipped=" + number(result.refusedDevices.size()));
        return;
    }
    before = *rollout;
    if (m_siteHeld)
    {
        // A hold came after the preview: the rollout waits for it as if it had been running, and
        // previews the group again when the holds end.
        *rollout = beforePreview;
        pauseForSiteHoldLocked(*rollout);
        consoleOut("[ROLLOUT] Rollout " + number(rolloutNo) + " did not start " + what +
                   ": the site is held");
    }
    else
    {
        applyRolloutStartFailure(*rollout, beforePreview, result.upgradeNo, error);
    }
    commitLocked(before, *rollout);
}

}  // namespace ota::backend
