#pragma once

#include "rollout/rollout_approval.h"
#include "rollout/rollout_machine.h"
#include "rollout/rollout_soak.h"
#include "rollout/rollout_store.h"
#include "rollout/rollout_task_driver.h"
#include "rollout/rollout_types.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ota::backend
{

enum class E_RolloutOperationResult : std::uint8_t
{
    DONE,
    REFUSED,    // the rollout's status (or a running task, another open rollout) does not allow it
    NOT_FOUND,  // no rollout has the number
    FAILED,     // the change cannot be stored (an open rollout is HALTED for it)
};

// The outcome of a second person's decision on a rollout awaiting approval.
enum class E_RolloutDecisionResult : std::uint8_t
{
    DONE,
    NOT_FOUND,      // no rollout has the number
    NOT_AWAITING,   // it does not await approval
    PLAN_CHANGED,   // approved with a digest that is not its plan's
    SELF_APPROVAL,  // approved by its creator
    FAILED,         // the change cannot be stored
};

struct S_RolloutServiceOptions
{
    // Documents name who created, approved, rejected, started, paused, resumed and cancelled a
    // rollout (the acting user of the call, currentActingUser()), and show the plan's digest.
    bool nameActors = false;
    // A created rollout is AWAITING_APPROVAL until someone other than its creator approves it.
    bool requireApproval = false;
};

// Owns the rollouts of the site: creates them, applies operators' operations, follows the states of
// their tasks, stores every change and publishes it, and runs them on a thread of its own that
// previews, starts and aborts their tasks through an IRolloutTaskDriver. Knows nothing of HTTP.
//
// Threads and locks: one mutex guards the rollouts, the store writes and the publications (so
// events leave in the order of the changes). The rollout thread calls the driver only without that
// mutex, inside the driver's exclusive section; operators' operations arrive inside the same
// section (the application holds its upgrade-operation mutex around them), so the lock order is
// that section first, then this mutex. Task states arrive on the execution engine's notification
// thread and take only this mutex.
//
// Every change is stored before anything acts on it. A change the store refuses (disk full, file
// read-only) goes no further: the rollout is HALTED in memory with the store's error, starts no
// task, and that state is stored with its next change.
class CRolloutService
{
public:
    using Clock = std::function<std::int64_t()>;  // Unix milliseconds
    using Publisher = std::function<void(const std::string& documentJson)>;

    explicit CRolloutService(Clock clock = {});
    ~CRolloutService();
    CRolloutService(const CRolloutService&) = delete;
    CRolloutService& operator=(const CRolloutService&) = delete;

    // Before open().
    void setOptions(const S_RolloutServiceOptions& options);

    // Opens the store in the database file and reads every rollout; one that cannot be read is
    // left in the store and ignored, with a warning.
    bool open(const std::filesystem::path& databasePath, std::string& error);
    // Recovers what a stopped backend left (a RUNNING rollout becomes PAUSED, the task it ran taken
    // from its final report) and starts the rollout thread. The driver and publisher must outlive
    // the service's started period.
    void start(IRolloutTaskDriver& driver, Publisher publisher);
    // The watcher of the groups' soaks (before start; it must outlive the started period). Without
    // one a soak only waits its time, and every device passes it.
    void setSoakWatcher(IRolloutSoakWatcher* watcher);
    // Stops the thread; nothing starts or aborts any more, but task states are still recorded.
    // Idempotent.
    void stop();
    void close();

    // Stores a new READY rollout of the plan; false when the identifier is used or the store fails.
    bool create(S_RolloutPlan plan, std::string& documentJson, std::string& error);
    // taskActive: whether an upgrade task runs now (the caller holds the upgrade-operation lock).
    E_RolloutOperationResult operate(std::uint32_t rolloutNo, E_RolloutOperation operation, bool taskActive,
                                     std::string& documentJson, std::string& error);

    // A rollout awaiting approval: READY when planDigest is its plan's and the acting user is not
    // its creator; REJECTED (final) with the reason. The error names the creator where it matters.
    E_RolloutDecisionResult approve(std::uint32_t rolloutNo, const std::string& planDigest,
                                    std::string& documentJson, std::string& error);
    E_RolloutDecisionResult reject(std::uint32_t rolloutNo, const std::string& reason,
                                   std::string& documentJson, std::string& error);
    // The rollouts awaiting approval, oldest first: rolloutNo, rolloutId, planDigest, createdBy,
    // createdAt and the rollout's document.
    nlohmann::json awaitingApproval() const;

    bool rolloutIdExists(const std::string& rolloutId) const;
    bool rolloutExists(std::uint32_t rolloutNo) const;
    // A rollout is SCHEDULED or RUNNING: other tasks, scene reloads and history clears wait.
    bool holdsSite() const;
    // A rollout is open (SCHEDULED, RUNNING, PAUSED or HALTED): it is not finished.
    bool hasOpenRollout() const;
    // The upgrade tasks the open rollouts' groups and devices name, ascending: their history rows
    // must stay while a resume may still look at them.
    std::vector<std::uint32_t> openRolloutTaskNos() const;
    // The SHA-256 digests of the files of every rollout not finished yet (READY included): the
    // tasks still to come send exactly these bytes.
    std::vector<std::array<std::uint8_t, 32>> unfinishedRolloutFileDigests() const;
    // The status of the newest rollout; empty when there is none.
    std::optional<E_RolloutStatus> newestRolloutStatus() const;
    // Rollout changes the store refused since the service was made.
    std::uint64_t storeFailures() const;
    // {"active":..,"rollout":..} for the open rollout, and {"rollouts":[..]} newest first.
    std::string currentJson() const;
    std::string listJson() const;

    // A published state of an upgrade task (any task; those of other tasks change nothing).
    void onTaskState(const S_RolloutTaskView& view);
    // An operator's abort of a task was accepted.
    void onOperatorAbort(std::uint32_t upgradeNo);
    // The site's holds, from the application (heldBy names them). While the site is held nothing
    // starts (a SCHEDULED rollout waits), and a RUNNING rollout is PAUSED "Site held: <heldBy>"; the
    // abort of its task that the application then asks leaves it PAUSED. When the holds end, the
    // rollout they paused resumes by itself (also after a restart); one an operator or a restart
    // paused stays paused. May be called before start(), which applies them.
    void setSiteHeld(bool held, const std::string& heldBy);

    // Removes the finished rollouts (history clear) or those finished before the cutoff (retention).
    bool deleteFinished(std::uint32_t& deletedCount, std::string& error);
    void deleteFinishedBefore(std::int64_t cutoff);

private:
    S_Rollout* findLocked(std::uint32_t rolloutNo);
    // The open rollout (SCHEDULED, RUNNING, PAUSED or HALTED), if any.
    S_Rollout* openRolloutLocked();
    const S_Rollout* openRolloutLocked() const;
    bool rolloutIdExistsLocked(const std::string& rolloutId) const;
    // Stores and publishes the rollout's new state and logs a status change. False when the store
    // refused it: the caller starts nothing, and the rollout is `fallback` (the new state itself
    // when null) HALTED as haltUnstoredLocked makes it.
    bool commitLocked(const S_Rollout& before, S_Rollout& after, const S_Rollout* fallback = nullptr);
    bool storeLocked(const S_Rollout& rollout, std::string& documentJson, std::string& error);
    void publishLocked(const std::string& documentJson);
    // Counts a change the store refused; an open rollout becomes HALTED with the store's error
    // (kept in memory and published), `before` being the state last stored or published.
    void haltUnstoredLocked(const S_Rollout& before, S_Rollout& rollout, const std::string& error);
    bool removeLocked(const std::vector<std::uint32_t>& rolloutNos, std::string& error);
    void wakeLocked();
    // Pauses a RUNNING rollout while the site is held, resumes the one the holds paused once not.
    void applySiteHoldsLocked();
    void pauseForSiteHoldLocked(S_Rollout& rollout) const;
    // Stores and publishes an approval's or rejection's outcome.
    E_RolloutDecisionResult decideLocked(std::uint32_t rolloutNo, bool approving, const std::string& text,
                                         std::string& documentJson, std::string& error);

    // The rollout thread (rollout_service_thread.cpp).
    void run();
    // One pass of the rollout thread inside the driver's exclusive section.
    void runPass();
    void launch(std::unique_lock<std::mutex>& lock, std::uint32_t rolloutNo, const S_RolloutStep& step);
    // One pass over the open rollout's soak (outside the driver's exclusive section: it starts no
    // task): begins, queries, observes or ends it through the watcher.
    void runSoakPass();
    std::int64_t now() const;

    const Clock m_clock;
    S_RolloutServiceOptions m_options;
    CRolloutStore m_store;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<S_Rollout> m_rollouts;  // by number
    IRolloutTaskDriver* m_driver = nullptr;
    Publisher m_publisher;
    bool m_workPending = false;
    bool m_stopping = false;
    std::int64_t m_wakeAt = 0;  // a SCHEDULED rollout's start time, 0 = none
    bool m_storeFailing = false;
    bool m_siteHeld = false;
    std::string m_heldBy;      // names the holds while the site is held
    bool m_recovered = false;  // start() recovered what a stopped backend left: holds apply
    // The soak the watcher watches (rollout thread only, read and written under m_mutex).
    struct S_WatchedSoak
    {
        std::uint32_t rolloutNo = 0;  // 0: none
        std::uint32_t groupNo = 0;
        std::int64_t startedAt = 0;

        bool operator==(const S_WatchedSoak&) const = default;
    };
    IRolloutSoakWatcher* m_soakWatcher = nullptr;
    S_WatchedSoak m_watchedSoak;
    std::int64_t m_nextSoakQueryAt = 0;
    std::int64_t m_soakWakeAt = 0;  // the soak's next query, look or end; 0 = none
    std::uint64_t m_storeFailures = 0;
    std::thread m_thread;
};

}  // namespace ota::backend
