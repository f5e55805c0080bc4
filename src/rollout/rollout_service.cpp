#include "rollout/rollout_service.h"

#include "common/acting_user.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "rollout/rollout_document.h"
#include "rollout/rollout_plan.h"

#include <algorithm>
#include <exception>
#include <unordered_set>
#include <utility>

namespace ota::backend
{

namespace
{

using nlohmann::json;

constexpr const char* kStoreFailureReason = "The rollout could not be stored: ";

std::string number(std::uint64_t value)
{
    return std::to_string(value);
}

void logStatusChange(const S_Rollout& before, const S_Rollout& after)
{
    if (before.status == after.status && before.reason == after.reason)
    {
        return;
    }
    const std::string line = "[ROLLOUT] Rollout " + number(after.rolloutNo) + " " +
                             rolloutStatusName(before.status) + " -> " + rolloutStatusName(after.status) +
                             (after.reason.empty() ? std::string() : ": " + after.reason);
    if (after.status == E_RolloutStatus::HALTED || after.status == E_RolloutStatus::FAILED)
    {
        consoleErr(line);
    }
    else
    {
        consoleOut(line);
    }
}

// The plan keeps a digest as 64 lowercase hexadecimal characters; false on anything else.
bool parseLowerHexDigest(const std::string& text, std::array<std::uint8_t, 32>& digest)
{
    if (text.size() != digest.size() * 2)
    {
        return false;
    }
    const auto nibble = [](char character) -> int
    {
        if (character >= '0' && character <= '9')
        {
            return character - '0';
        }
        if (character >= 'a' && character <= 'f')
        {
            return character - 'a' + 10;
        }
        return -1;
    };
    for (std::size_t index = 0; index < digest.size(); ++index)
    {
        const int high = nibble(text[index * 2]);
        const int low = nibble(text[index * 2 + 1]);
        if (high < 0 || low < 0)
        {
            return false;
        }
        digest[index] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

}  // namespace

CRolloutService::CRolloutService(Clock clock) : m_clock(std::move(clock)) {}

CRolloutService::~CRolloutService()
{
    stop();
    close();
}

std::int64_t CRolloutService::now() const
{
    return m_clock ? m_clock() : currentUnixMs();
}

void CRolloutService::setOptions(const S_RolloutServiceOptions& options)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options = options;
}

bool CRolloutService::open(const std::filesystem::path& databasePath, std::string& error)
{
    if (!m_store.open(databasePath, error))
    {
        return false;
    }
    std::vector<S_StoredRollout> stored;
    if (!m_store.loadAll(stored, error))
    {
        m_store.close();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rollouts.clear();
    for (const S_StoredRollout& row : stored)
    {
        json plan;
        json state;
        auto parsedPlan = std::make_shared<S_RolloutPlan>();
        S_Rollout rollout;
        rollout.rolloutNo = row.rolloutNo;
        rollout.plan = parsedPlan;
        std::string reason;
        if (!parseJsonText(row.planJson, plan, reason) || !rolloutPlanFromJson(plan, *parsedPlan, reason) ||
            !parseJsonText(row.stateJson, state, reason) || !rolloutStateFromJson(state, rollout, reason))
        {
            consoleErr("[WARN] [ROLLOUT] Stored rollout cannot be read and is ignored: rolloutNo=" +
                       number(row.rolloutNo) + ", reason=" + reason);
            continue;
        }
        m_rollouts.push_back(std::move(rollout));
    }
    return true;
}

void CRolloutService::start(IRolloutTaskDriver& driver, Publisher publisher)
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> interrupted;  // rollout, task
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_driver = &driver;
        m_publisher = std::move(publisher);
        m_stopping = false;
        for (const S_Rollout& rollout : m_rollouts)
        {
            if (rollout.status == E_RolloutStatus::RUNNING || rollout.activeTask.upgradeNo != 0 ||
                rollout.soak.groupNo != 0)
            {
                interrupted.emplace_back(rollout.rolloutNo, rollout.activeTask.upgradeNo);
            }
        }
    }
    // The history is read without the lock; nothing else runs yet.
    for (const auto& [rolloutNo, upgradeNo] : interrupted)
    {
        const std::optional<S_RolloutTaskView> finished =
            upgradeNo != 0 ? driver.readFinishedTask(upgradeNo) : std::nullopt;
        std::lock_guard<std::mutex> lock(m_mutex);
        S_Rollout* rollout = findLocked(rolloutNo);
        const S_Rollout before = *rollout;
        recoverRolloutAfterRestart(*rollout, finished, now());
        commitLocked(before, *rollout);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recovered = true;
    // The holds as they are now: a rollout they paused before the restart resumes if they ended.
    applySiteHoldsLocked();
    m_workPending = true;
    m_thread = std::thread([this] { run(); });
}

void CRolloutService::setSoakWatcher(IRolloutSoakWatcher* watcher)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_soakWatcher = watcher;
}

void CRolloutService::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
    {
        m_thread.join();
    }
}

void CRolloutService::close()
{
    m_store.close();
}

S_Rollout* CRolloutService::findLocked(std::uint32_t rolloutNo)
{
    for (S_Rollout& rollout : m_rollouts)
    {
        if (rollout.rolloutNo == rolloutNo)
        {
            return &rollout;
        }
    }
    return nullptr;
}

const S_Rollout* CRolloutService::openRolloutLocked() const
{
    const S_Rollout* open = nullptr;
    for (const S_Rollout& rollout : m_rollouts)
    {
        if (isRolloutOpen(rollout.status))
        {
            open = &rollout;  // the newest, should the store ever hold two
        }
    }
    return open;
}

S_Rollout* CRolloutService::openRolloutLocked()
{
    return const_cast<S_Rollout*>(std::as_const(*this).openRolloutLocked());
}

void CRolloutService::wakeLocked()
{
    m_workPending = true;
    m_wake.notify_all();
}

bool CRolloutService::storeLocked(const S_Rollout& rollout, std::string& documentJson, std::string& error)
{
    error.clear();
    bool stored = false;
    try
    {
        json document = rolloutDocument(rollout);
        documentJson = toJsonText(document);
        document["runtime"] = rolloutRuntimeToJson(rollout);
        stored = m_store.update(rollout.rolloutNo, rolloutStatusName(rollout.status), rollout.finishedAt,
                                toJsonText(document), error);
    }
    catch (const std::exception& exception)
    {
        error = exception.what();
    }
    if (!stored)
    {
        // Logged once per run of failures, as the upgrade history does while its disk is full.
        if (!m_storeFailing)
        {
            consoleErr("[WARN] [ROLLOUT] Rollout state cannot be stored: rolloutNo=" +
                       number(rollout.rolloutNo) + ", error=" + error);
        }
        m_storeFailing = true;
        return false;
    }
    if (m_storeFailing)
    {
        consoleOut("[ROLLOUT] Rollout state storage recovered: rolloutNo=" + number(rollout.rolloutNo));
    }
    m_storeFailing = false;
    return true;
}

void CRolloutService::publishLocked(const std::string& documentJson)
{
    if (!m_publisher)
    {
        return;
    }
    try
    {
        m_publisher(documentJson);
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] [ROLLOUT] Rollout change cannot be published: ") + exception.what());
    }
}

bool CRolloutService::commitLocked(const S_Rollout& before, S_Rollout& after, const S_Rollout* fallback)
{
    if (before == after)
    {
        return true;
    }
    std::string documentJson;
    std::string error;
    if (!storeLocked(after, documentJson, error))
    {
        if (fallback != nullptr)
        {
            after = *fallback;
        }
        haltUnstoredLocked(before, after, error);
        return false;
    }
    logStatusChange(before, after);
    publishLocked(documentJson);
    return true;
}

void CRolloutService::haltUnstoredLocked(const S_Rollout& before, S_Rollout& rollout,
                                         const std::string& error)
{
    ++m_storeFailures;
    if (!isRolloutOpen(before.status) && !isRolloutOpen(rollout.status))
    {
        return;  // READY or finished: it runs nothing, and stays as it is
    }
    if (isRolloutFinished(rollout.status))
    {
        // Not finished while that is not stored: it stays at the group it was at.
        rollout.finishedAt = before.finishedAt;
        rollout.currentGroupNo = before.currentGroupNo;
    }
    rollout.status = E_RolloutStatus::HALTED;
    rollout.reason = kStoreFailureReason + error;
    logStatusChange(before, rollout);
    try
    {
        publishLocked(toJsonText(rolloutDocument(rollout)));
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] [ROLLOUT] Rollout change cannot be published: ") + exception.what());
    }
}

bool CRolloutService::create(S_RolloutPlan plan, std::string& documentJson, std::string& error)
{
    documentJson.clear();
    error.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (rolloutIdExistsLocked(plan.rolloutId))
    {
        error = "rolloutId is already used by another rollout: " + plan.rolloutId;
        return false;
    }
    const std::int64_t createdAt = now();
    S_Rollout rollout = newRollout(0, std::make_shared<const S_RolloutPlan>(std::move(plan)), createdAt);
    if (m_options.requireApproval)
    {
        rollout.status = E_RolloutStatus::AWAITING_APPROVAL;
    }
    if (m_options.nameActors)
    {
        rollout.actors.emplace().createdBy = currentActingUser().name;
    }
    try
    {
        std::uint32_t rolloutNo = 0;
        if (!m_store.insert(rollout.plan->rolloutId, rolloutStatusName(rollout.status), createdAt,
                            toJsonText(rolloutPlanToJson(*rollout.plan)),
                            toJsonText(rolloutStateToJson(rollout)), rolloutNo, error))
        {
            ++m_storeFailures;
            return false;
        }
        rollout.rolloutNo = rolloutNo;
        // The stored state names no number (the row does); the document does.
        documentJson = toJsonText(rolloutDocument(rollout));
    }
    catch (const std::exception& exception)
    {
        ++m_storeFailures;
        error = std::string("Cannot store rollout: ") + exception.what();
        return false;
    }
    consoleOut("[ROLLOUT] Rollout created: rolloutNo=" + number(rollout.rolloutNo) +
               ", rolloutId=" + rollout.plan->rolloutId + ", devices=" + number(rollout.devices.size()) +
               ", groups=" + number(rollout.groups.size()));
    if (m_publisher)
    {
        m_publisher(documentJson);
    }
    m_rollouts.push_back(std::move(rollout));
    return true;
}

E_RolloutOperationResult CRolloutService::operate(std::uint32_t rolloutNo, E_RolloutOperation operation,
                                                  bool taskActive, std::string& documentJson,
                                                  std::string& error)
{
    documentJson.clear();
    error.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    S_Rollout* rollout = findLocked(rolloutNo);
    if (rollout == nullptr)
    {
        error = "Rollout " + number(rolloutNo) + " does not exist";
        return E_RolloutOperationResult::NOT_FOUND;
    }
    S_RolloutOperationContext context;
    context.now = now();
    context.taskActive = taskActive;
    for (const S_Rollout& other : m_rollouts)
    {
        if (other.rolloutNo != rolloutNo && isRolloutOpen(other.status))
        {
            context.otherOpenRolloutNo = other.rolloutNo;
            context.otherOpenStatus = other.status;
        }
    }
    S_Rollout changed = *rollout;
    if (!applyRolloutOperation(changed, operation, context, error))
    {
        return E_RolloutOperationResult::REFUSED;
    }
    // The operator decides from now on: the end of the holds does not resume it.
    changed.pausedBySiteHold = false;
    if (m_options.nameActors)
    {
        S_RolloutActors& actors = changed.actors ? *changed.actors : changed.actors.emplace();
        const std::string& name = currentActingUser().name;
        switch (operation)
        {
            case E_RolloutOperation::START:
                actors.startedBy = name;
                break;
            case E_RolloutOperation::PAUSE:
                actors.pausedBy = name;
                break;
            case E_RolloutOperation::RESUME:
                actors.resumedBy = name;
                break;
            case E_RolloutOperation::CANCEL:
                actors.cancelledBy = name;
                break;
        }
    }
    std::string storeError;
    if (!storeLocked(changed, documentJson, storeError))
    {
        // Not applied; an open rollout stops where it is.
        documentJson.clear();
        error = kStoreFailureReason + storeError;
        const S_Rollout before = *rollout;
        haltUnstoredLocked(before, *rollout, storeError);
        return E_RolloutOperationResult::FAILED;
    }
    const S_Rollout before = std::move(*rollout);
    *rollout = std::move(changed);
    consoleOut("[ROLLOUT] Rollout " + number(rolloutNo) + " " + rolloutOperationName(operation) +
               " accepted: " + rolloutStatusName(before.status) + " -> " +
               rolloutStatusName(rollout->status));
    publishLocked(documentJson);
    wakeLocked();
    return E_RolloutOperationResult::DONE;
}

E_RolloutDecisionResult CRolloutService::approve(std::uint32_t rolloutNo, const std::string& planDigest,
                                                 std::string& documentJson, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return decideLocked(rolloutNo, true, planDigest, documentJson, error);
}

E_RolloutDecisionResult CRolloutService::reject(std::uint32_t rolloutNo, const std::string& reason,
                                                std::string& documentJson, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return decideLocked(rolloutNo, false, reason, documentJson, error);
}

E_RolloutDecisionResult CRolloutService::decideLocked(std::uint32_t rolloutNo, bool approving,
                                                      const std::string& text, std::string& documentJson,
                                                      std::string& error)
{
    documentJson.clear();
    error.clear();
    S_Rollout* rollout = findLocked(rolloutNo);
    if (rollout == nullptr)
    {
        error = "Rollout " + number(rolloutNo) + " does not exist";
        return E_RolloutDecisionResult::NOT_FOUND;
    }
    const std::string& actor = currentActingUser().name;
    S_Rollout changed = *rollout;
    const E_RolloutApprovalResult result = approving ? approveRollout(changed, text, actor, error)
                                                     : rejectRollout(changed, text, actor, now(), error);
    switch (result)
    {
        case E_RolloutApprovalResult::DONE:
            break;
        case E_RolloutApprovalResult::NOT_AWAITING:
            return E_RolloutDecisionResult::NOT_AWAITING;
        case E_RolloutApprovalResult::PLAN_CHANGED:
            return E_RolloutDecisionResult::PLAN_CHANGED;
        case E_RolloutApprovalResult::SELF_APPROVAL:
            return E_RolloutDecisionResult::SELF_APPROVAL;
    }
    std::string storeError;
    if (!storeLocked(changed, documentJson, storeError))
    {
        documentJson.clear();
        error = kStoreFailureReason + storeError;
        ++m_storeFailures;
        return E_RolloutDecisionResult::FAILED;
    }
    const S_Rollout before = std::move(*rollout);
    *rollout = std::move(changed);
    logStatusChange(before, *rollout);
    publishLocked(documentJson);
    return E_RolloutDecisionResult::DONE;
}

nlohmann::json CRolloutService::awaitingApproval() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    json rollouts = json::array();
    for (const S_Rollout& rollout : m_rollouts)
    {
        if (rollout.status != E_RolloutStatus::AWAITING_APPROVAL || !rollout.plan)
        {
            continue;
        }
        rollouts.push_back(json{
            {"rolloutNo", rollout.rolloutNo},
            {"rolloutId", rollout.plan->rolloutId},
            {"planDigest", rolloutPlanDigest(*rollout.plan)},
            {"createdBy", rollout.actors ? rollout.actors->createdBy : std::string()},
            {"createdAt", rollout.createdAt},
            {"rollout", rolloutDocument(rollout)},
        });
    }
    return rollouts;
}

bool CRolloutService::rolloutIdExists(const std::string& rolloutId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return rolloutIdExistsLocked(rolloutId);
}

bool CRolloutService::rolloutExists(std::uint32_t rolloutNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_rollouts.begin(), m_rollouts.end(),
                       [&](const S_Rollout& rollout) { return rollout.rolloutNo == rolloutNo; });
}

bool CRolloutService::rolloutIdExistsLocked(const std::string& rolloutId) const
{
    return std::any_of(m_rollouts.begin(), m_rollouts.end(),
                       [&](const S_Rollout& rollout) { return rollout.plan->rolloutId == rolloutId; });
}

bool CRolloutService::holdsSite() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_rollouts.begin(), m_rollouts.end(),
                       [](const S_Rollout& rollout) { return rolloutHoldsSite(rollout.status); });
}

bool CRolloutService::hasOpenRollout() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return openRolloutLocked() != nullptr;
}

std::vector<std::array<std::uint8_t, 32>> CRolloutService::unfinishedRolloutFileDigests() const
{
    std::vector<std::array<std::uint8_t, 32>> digests;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const S_Rollout& rollout : m_rollouts)
    {
        if (isRolloutFinished(rollout.status) || !rollout.plan)
        {
            continue;
        }
        for (const S_RolloutFile& file : rollout.plan->files)
        {
            std::array<std::uint8_t, 32> digest{};
            if (parseLowerHexDigest(file.sha256, digest))
            {
                digests.push_back(digest);
            }
        }
    }
    return digests;
}

std::vector<std::uint32_t> CRolloutService::openRolloutTaskNos() const
{
    std::vector<std::uint32_t> upgradeNos;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const S_Rollout& rollout : m_rollouts)
        {
            if (!isRolloutOpen(rollout.status))
            {
                continue;
            }
            for (const S_RolloutGroup& group : rollout.groups)
            {
                upgradeNos.insert(upgradeNos.end(), group.upgradeNos.begin(), group.upgradeNos.end());
            }
            for (const S_RolloutDevice& device : rollout.devices)
            {
                upgradeNos.push_back(device.upgradeNo);
            }
            upgradeNos.push_back(rollout.activeTask.upgradeNo);
        }
    }
    std::sort(upgradeNos.begin(), upgradeNos.end());
    upgradeNos.erase(std::unique(upgradeNos.begin(), upgradeNos.end()), upgradeNos.end());
    std::erase(upgradeNos, 0u);
    return upgradeNos;
}

std::optional<E_RolloutStatus> CRolloutService::newestRolloutStatus() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rollouts.empty() ? std::nullopt : std::optional<E_RolloutStatus>(m_rollouts.back().status);
}

std::uint64_t CRolloutService::storeFailures() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_storeFailures;
}

std::string CRolloutService::currentJson() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const S_Rollout* open = openRolloutLocked();
    json answer = json::object();
    answer["active"] = open != nullptr;
    answer["rollout"] = open != nullptr ? rolloutDocument(*open) : json(nullptr);
    return toJsonText(answer);
}

std::string CRolloutService::listJson() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    json rollouts = json::array();
    for (auto rollout = m_rollouts.rbegin(); rollout != m_rollouts.rend(); ++rollout)
    {
        rollouts.push_back(rolloutDocument(*rollout));
    }
    return toJsonText(json{{"rollouts", std::move(rollouts)}});
}

void CRolloutService::onTaskState(const S_RolloutTaskView& view)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (S_Rollout& rollout : m_rollouts)
    {
        if (rollout.activeTask.upgradeNo == 0 || rollout.activeTask.upgradeNo != view.upgradeNo)
        {
            continue;
        }
        const S_Rollout before = rollout;
        if (applyRolloutTaskView(rollout, view, now()))
        {
            commitLocked(before, rollout);
            if (rolloutAbortPending(rollout) || rollout.activeTask.upgradeNo == 0)
            {
                wakeLocked();
            }
        }
    }
}

void CRolloutService::setSiteHeld(bool held, const std::string& heldBy)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_siteHeld = held;
    m_heldBy = heldBy;
    // Before start() the restart's recovery must first see the rollouts as they were stored (a
    // RUNNING one is then the restart's to pause, not the holds'); start() applies the holds after it.
    if (!m_recovered)
    {
        return;
    }
    applySiteHoldsLocked();
}

void CRolloutService::applySiteHoldsLocked()
{
    S_Rollout* rollout = openRolloutLocked();
    if (m_siteHeld)
    {
        const bool pausedByHolds =
            rollout != nullptr && rollout->pausedBySiteHold && rollout->status == E_RolloutStatus::PAUSED;
        if (rollout == nullptr || (rollout->status != E_RolloutStatus::RUNNING && !pausedByHolds))
        {
            return;
        }
        // A cancel or a gate already stopping its task keeps its own ending.
        if (rollout->activeTask.abortIntent == E_RolloutAbortIntent::CANCEL ||
            rollout->activeTask.abortIntent == E_RolloutAbortIntent::THRESHOLD)
        {
            return;
        }
        const S_Rollout before = *rollout;
        pauseForSiteHoldLocked(*rollout);
        if (rollout->activeTask.upgradeNo != 0 &&
            rollout->activeTask.abortIntent == E_RolloutAbortIntent::NONE)
        {
            rollout->activeTask.abortIntent = E_RolloutAbortIntent::SITE_HOLD;
        }
        if (!(before == *rollout))
        {
            commitLocked(before, *rollout);
        }
        return;
    }
    if (rollout != nullptr && rollout->pausedBySiteHold)
    {
        // Only a rollout still PAUSED by the holds resumes; one halted meanwhile waits for an operator.
        const S_Rollout before = *rollout;
        rollout->pausedBySiteHold = false;
        if (rollout->status == E_RolloutStatus::PAUSED)
        {
            rollout->status = E_RolloutStatus::RUNNING;
            rollout->reason.clear();
        }
        commitLocked(before, *rollout);
    }
    // A SCHEDULED rollout whose time came while held starts now.
    wakeLocked();
}

void CRolloutService::pauseForSiteHoldLocked(S_Rollout& rollout) const
{
    rollout.status = E_RolloutStatus::PAUSED;
    rollout.reason = "Site held: " + m_heldBy;
    rollout.pausedBySiteHold = true;
}

void CRolloutService::onOperatorAbort(std::uint32_t upgradeNo)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (S_Rollout& rollout : m_rollouts)
    {
        const S_Rollout before = rollout;
        if (noteOperatorAbort(rollout, upgradeNo))
        {
            commitLocked(before, rollout);
        }
    }
}

bool CRolloutService::removeLocked(const std::vector<std::uint32_t>& rolloutNos, std::string& error)
{
    if (rolloutNos.empty())
    {
        return true;
    }
    if (!m_store.remove(rolloutNos, error))
    {
        return false;
    }
    const std::unordered_set<std::uint32_t> removed(rolloutNos.begin(), rolloutNos.end());
    std::erase_if(m_rollouts,
                  [&](const S_Rollout& rollout) { return removed.count(rollout.rolloutNo) != 0; });
    return true;
}

bool CRolloutService::deleteFinished(std::uint32_t& deletedCount, std::string& error)
{
    deletedCount = 0;
    error.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::uint32_t> finished;
    for (const S_Rollout& rollout : m_rollouts)
    {
        if (isRolloutFinished(rollout.status))
        {
            finished.push_back(rollout.rolloutNo);
        }
    }
    if (!removeLocked(finished, error))
    {
        return false;
    }
    deletedCount = static_cast<std::uint32_t>(finished.size());
    return true;
}

void CRolloutService::deleteFinishedBefore(std::int64_t cutoff)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::uint32_t> expired;
    for (const S_Rollout& rollout : m_rollouts)
    {
        if (isRolloutFinished(rollout.status) && rollout.finishedAt < cutoff)
        {
            expired.push_back(rollout.rolloutNo);
        }
    }
    std::string error;
    if (!removeLocked(expired, error))
    {
        consoleErr("[WARN] [ROLLOUT] Rollout retention cleanup failed: " + error);
    }
    else if (!expired.empty())
    {
        consoleOut("[ROLLOUT] Retention cleanup deleted " + number(expired.size()) + " finished rollout(s)");
    }
}

}  // namespace ota::backend
