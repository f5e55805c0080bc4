#include "rollout/rollout_document.h"

#include "rollout/name_table.h"
#include "rollout/rollout_approval.h"
#include "rollout/rollout_machine.h"

#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace ota::backend
{

namespace
{

using nlohmann::json;

json countsToJson(const S_RolloutCounts& counts, json object)
{
    object["successCount"] = counts.successCount;
    object["failedCount"] = counts.failedCount;
    object["abortedCount"] = counts.abortedCount;
    object["skippedCount"] = counts.skippedCount;
    return object;
}

constexpr NameTable<E_RolloutTaskKind, 3> kTaskKindNames{{
    {E_RolloutTaskKind::NONE, "NONE"},
    {E_RolloutTaskKind::GROUP, "GROUP"},
    {E_RolloutTaskKind::RETRY_ROUND, "RETRY_ROUND"},
}};

constexpr NameTable<E_RolloutAbortIntent, 5> kAbortIntentNames{{
    {E_RolloutAbortIntent::NONE, "NONE"},
    {E_RolloutAbortIntent::THRESHOLD, "THRESHOLD"},
    {E_RolloutAbortIntent::CANCEL, "CANCEL"},
    {E_RolloutAbortIntent::OPERATOR, "OPERATOR"},
    {E_RolloutAbortIntent::SITE_HOLD, "SITE_HOLD"},
}};

// A stored enumeration text; an unknown one makes the stored state unreadable.
template <typename Enum>
Enum parsedOrThrow(std::optional<Enum> value, const std::string& text)
{
    if (!value)
    {
        throw std::runtime_error("unknown value " + text);
    }
    return *value;
}

}  // namespace

json rolloutPolicyToJson(const S_RolloutPolicy& policy)
{
    json document{
        {"groupSizes", policy.groupSizes},
        {"successPercent", policy.successPercent},
        {"maxFailedDevices", policy.maxFailedDevices},
        {"manualAdvance", policy.manualAdvance},
        {"startAt", policy.startAt},
        {"windowEndAt", policy.windowEndAt},
        {"retryRounds", policy.retryRounds},
    };
    // Written only when set, so rollouts without them are shown and stored as before.
    if (policy.soakSeconds != 0)
    {
        document["soakSeconds"] = policy.soakSeconds;
    }
    if (!policy.maxConcurrentPerType.empty())
    {
        document["maxConcurrentPerType"] = policy.maxConcurrentPerType;
    }
    if (policy.soakQueryIntervalMs != S_RolloutPolicy::kDefaultSoakQueryIntervalMs)
    {
        document["soakQueryIntervalMs"] = policy.soakQueryIntervalMs;
    }
    return document;
}

json rolloutDocument(const S_Rollout& rollout)
{
    json groups = json::array();
    for (const S_RolloutGroup& group : rollout.groups)
    {
        json entry = countsToJson(countGroupDevices(rollout, group.groupNo), json::object());
        entry["groupNo"] = group.groupNo;
        entry["nodeIds"] = group.nodeIds;
        entry["status"] = rolloutGroupStatusName(group.status);
        entry["upgradeNos"] = group.upgradeNos;
        groups.push_back(std::move(entry));
    }
    json devices = json::array();
    for (const S_RolloutDevice& device : rollout.devices)
    {
        devices.push_back(json{
            {"nodeId", device.nodeId},
            {"groupNo", device.groupNo},
            {"result", rolloutDeviceResultName(device.result)},
            {"upgradeNo", device.upgradeNo},
            {"error", device.error},
        });
    }
    const S_RolloutCounts counts = countRolloutDevices(rollout);
    json document = countsToJson(counts, json::object());
    document["rolloutNo"] = rollout.rolloutNo;
    document["rolloutId"] = rollout.plan ? rollout.plan->rolloutId : std::string();
    document["status"] = rolloutStatusName(rollout.status);
    document["reason"] = rollout.reason;
    document["policy"] = rolloutPolicyToJson(rollout.plan ? rollout.plan->policy : S_RolloutPolicy{});
    document["createdAt"] = rollout.createdAt;
    document["startedAt"] = rollout.startedAt;
    document["finishedAt"] = rollout.finishedAt;
    document["deviceCount"] = counts.deviceCount;
    document["currentGroupNo"] = rollout.currentGroupNo;
    document["groups"] = std::move(groups);
    document["devices"] = std::move(devices);
    // Only where the service names actors, so every other document stays as it was.
    if (rollout.actors)
    {
        const S_RolloutActors& actors = *rollout.actors;
        document["planDigest"] = rollout.plan ? rolloutPlanDigest(*rollout.plan) : std::string();
        document["createdBy"] = actors.createdBy;
        document["approvedBy"] = actors.approvedBy;
        document["rejectedBy"] = actors.rejectedBy;
        document["rejectReason"] = actors.rejectReason;
        document["startedBy"] = actors.startedBy;
        document["pausedBy"] = actors.pausedBy;
        document["resumedBy"] = actors.resumedBy;
        document["cancelledBy"] = actors.cancelledBy;
    }
    return document;
}

json rolloutPlanToJson(const S_RolloutPlan& plan)
{
    json targets = json::array();
    for (const S_RolloutTarget& target : plan.targets)
    {
        targets.push_back(json{
            {"nodeId", target.nodeId},
            {"componentTypeId", target.componentTypeId},
            {"componentIndex", target.componentIndex},
            {"currentVersion", target.currentVersion},
            {"fileSlotKey", target.fileSlotKey},
            {"force", target.force},
        });
    }
    json files = json::array();
    for (const S_RolloutFile& file : plan.files)
    {
        files.push_back(json{
            {"fileSlotKey", file.fileSlotKey},
            {"filePath", file.filePath},
            {"targetVersion", file.targetVersion},
            {"sha256", file.sha256},
        });
    }
    return json{{"rolloutId", plan.rolloutId},
                {"targets", std::move(targets)},
                {"files", std::move(files)},
                {"policy", rolloutPolicyToJson(plan.policy)}};
}

bool rolloutPlanFromJson(const json& value, S_RolloutPlan& plan, std::string& error)
{
    error.clear();
    try
    {
        S_RolloutPlan parsed;
        parsed.rolloutId = value.at("rolloutId").get<std::string>();
        for (const json& entry : value.at("targets"))
        {
            S_RolloutTarget target;
            target.nodeId = entry.at("nodeId").get<std::string>();
            target.componentTypeId = entry.at("componentTypeId").get<std::string>();
            target.componentIndex = entry.at("componentIndex").get<std::uint16_t>();
            target.currentVersion = entry.at("currentVersion").get<std::string>();
            target.fileSlotKey = entry.at("fileSlotKey").get<std::string>();
            target.force = entry.at("force").get<bool>();
            parsed.targets.push_back(std::move(target));
        }
        for (const json& entry : value.at("files"))
        {
            S_RolloutFile file;
            file.fileSlotKey = entry.at("fileSlotKey").get<std::string>();
            file.filePath = entry.at("filePath").get<std::string>();
            file.targetVersion = entry.at("targetVersion").get<std::string>();
            file.sha256 = entry.at("sha256").get<std::string>();
            parsed.files.push_back(std::move(file));
        }
        const json& policy = value.at("policy");
        parsed.policy.groupSizes = policy.at("groupSizes").get<std::vector<std::uint32_t>>();
        parsed.policy.successPercent = policy.at("successPercent").get<std::uint32_t>();
        parsed.policy.maxFailedDevices = policy.at("maxFailedDevices").get<std::uint32_t>();
        parsed.policy.manualAdvance = policy.at("manualAdvance").get<bool>();
        parsed.policy.startAt = policy.at("startAt").get<std::int64_t>();
        parsed.policy.windowEndAt = policy.at("windowEndAt").get<std::int64_t>();
        parsed.policy.retryRounds = policy.at("retryRounds").get<std::uint32_t>();
        parsed.policy.soakSeconds = policy.value("soakSeconds", 0u);
        parsed.policy.maxConcurrentPerType =
            policy.value("maxConcurrentPerType", std::map<std::string, std::uint32_t>{});
        parsed.policy.soakQueryIntervalMs =
            policy.value("soakQueryIntervalMs", S_RolloutPolicy::kDefaultSoakQueryIntervalMs);
        if (parsed.rolloutId.empty() || parsed.targets.empty() || parsed.files.empty())
        {
            error = "the stored plan has no identifier, targets or files";
            return false;
        }
        plan = std::move(parsed);
        return true;
    }
    catch (const std::exception& exception)
    {
        error = std::string("the stored plan is unreadable: ") + exception.what();
        return false;
    }
}

json rolloutStateToJson(const S_Rollout& rollout)
{
    json state = rolloutDocument(rollout);
    state["runtime"] = rolloutRuntimeToJson(rollout);
    return state;
}

json rolloutRuntimeToJson(const S_Rollout& rollout)
{
    json flashed = json::array();
    for (const S_RolloutDevice& device : rollout.devices)
    {
        if (device.flashMayHaveStarted)
        {
            flashed.push_back(device.nodeId);
        }
    }
    const S_RolloutActiveTask& task = rollout.activeTask;
    json runtime = json{
        {"phase", rollout.phase == E_RolloutPhase::RETRIES ? "RETRIES" : "GROUPS"},
        {"failedSinceResume", rollout.failedSinceResume},
        {"retryRoundsRun", rollout.retryRoundsRun},
        {"windowWaived", rollout.windowWaived},
        {"flashMayHaveStarted", std::move(flashed)},
        {"activeTask",
         {{"upgradeNo", task.upgradeNo},
          {"kind", nameIn(kTaskKindNames, task.kind)},
          {"groupNo", task.groupNo},
          {"abortIntent", nameIn(kAbortIntentNames, task.abortIntent)},
          {"abortRequested", task.abortRequested}}},
    };
    // Written only when set, so the state of every other rollout is stored as before.
    if (rollout.pausedBySiteHold)
    {
        runtime["pausedBySiteHold"] = true;
    }
    if (rollout.soak.groupNo != 0)
    {
        runtime["soak"] = {{"groupNo", rollout.soak.groupNo},
                           {"startedAt", rollout.soak.startedAt},
                           {"endsAt", rollout.soak.endsAt}};
    }
    return runtime;
}

bool rolloutStateFromJson(const json& value, S_Rollout& rollout, std::string& error)
{
    error.clear();
    try
    {
        S_Rollout parsed;
        parsed.status = parsedOrThrow(parseRolloutStatus(value.at("status").get<std::string>()),
                                      value.at("status").get<std::string>());
        parsed.reason = value.at("reason").get<std::string>();
        parsed.createdAt = value.at("createdAt").get<std::int64_t>();
        parsed.startedAt = value.at("startedAt").get<std::int64_t>();
        parsed.finishedAt = value.at("finishedAt").get<std::int64_t>();
        parsed.currentGroupNo = value.at("currentGroupNo").get<std::uint32_t>();
        for (const json& entry : value.at("groups"))
        {
            S_RolloutGroup group;
            group.groupNo = entry.at("groupNo").get<std::uint32_t>();
            group.nodeIds = entry.at("nodeIds").get<std::vector<std::string>>();
            const std::string status = entry.at("status").get<std::string>();
            group.status = parsedOrThrow(parseRolloutGroupStatus(status), status);
            group.upgradeNos = entry.at("upgradeNos").get<std::vector<std::uint32_t>>();
            if (group.groupNo != parsed.groups.size() + 1)
            {
                throw std::runtime_error("groups are not numbered in order");
            }
            parsed.groups.push_back(std::move(group));
        }
        const json& runtime = value.at("runtime");
        std::unordered_set<std::string> flashed;
        for (const json& nodeId : runtime.at("flashMayHaveStarted"))
        {
            flashed.insert(nodeId.get<std::string>());
        }
        for (const json& entry : value.at("devices"))
        {
            S_RolloutDevice device;
            device.nodeId = entry.at("nodeId").get<std::string>();
            device.groupNo = entry.at("groupNo").get<std::uint32_t>();
            const std::string result = entry.at("result").get<std::string>();
            device.result = parsedOrThrow(parseRolloutDeviceResult(result), result);
            device.upgradeNo = entry.at("upgradeNo").get<std::uint32_t>();
            device.error = entry.at("error").get<std::string>();
            device.flashMayHaveStarted = flashed.count(device.nodeId) != 0;
            if (device.groupNo == 0 || device.groupNo > parsed.groups.size())
            {
                throw std::runtime_error("device " + device.nodeId + " names no group");
            }
            parsed.devices.push_back(std::move(device));
        }
        parsed.phase = runtime.at("phase").get<std::string>() == "RETRIES" ? E_RolloutPhase::RETRIES
                                                                           : E_RolloutPhase::GROUPS;
        parsed.failedSinceResume = runtime.at("failedSinceResume").get<std::uint32_t>();
        parsed.retryRoundsRun = runtime.at("retryRoundsRun").get<std::uint32_t>();
        parsed.windowWaived = runtime.at("windowWaived").get<bool>();
        parsed.pausedBySiteHold = runtime.value("pausedBySiteHold", false);
        if (runtime.contains("soak"))
        {
            const json& soak = runtime.at("soak");
            parsed.soak.groupNo = soak.at("groupNo").get<std::uint32_t>();
            parsed.soak.startedAt = soak.at("startedAt").get<std::int64_t>();
            parsed.soak.endsAt = soak.at("endsAt").get<std::int64_t>();
        }
        const json& task = runtime.at("activeTask");
        parsed.activeTask.upgradeNo = task.at("upgradeNo").get<std::uint32_t>();
        const std::string kind = task.at("kind").get<std::string>();
        parsed.activeTask.kind = parsedOrThrow(valueIn(kTaskKindNames, kind), kind);
        parsed.activeTask.groupNo = task.at("groupNo").get<std::uint32_t>();
        const std::string intent = task.at("abortIntent").get<std::string>();
        parsed.activeTask.abortIntent = parsedOrThrow(valueIn(kAbortIntentNames, intent), intent);
        parsed.activeTask.abortRequested = task.at("abortRequested").get<bool>();
        if (parsed.groups.empty() || parsed.devices.empty() || parsed.currentGroupNo > parsed.groups.size())
        {
            throw std::runtime_error("the groups, devices or current group are inconsistent");
        }
        if (value.contains("createdBy"))
        {
            S_RolloutActors& actors = parsed.actors.emplace();
            actors.createdBy = value.at("createdBy").get<std::string>();
            actors.approvedBy = value.value("approvedBy", std::string());
            actors.rejectedBy = value.value("rejectedBy", std::string());
            actors.rejectReason = value.value("rejectReason", std::string());
            actors.startedBy = value.value("startedBy", std::string());
            actors.pausedBy = value.value("pausedBy", std::string());
            actors.resumedBy = value.value("resumedBy", std::string());
            actors.cancelledBy = value.value("cancelledBy", std::string());
        }
        parsed.rolloutNo = rollout.rolloutNo;
        parsed.plan = rollout.plan;
        rollout = std::move(parsed);
        return true;
    }
    catch (const std::exception& exception)
    {
        error = std::string("the stored state is unreadable: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
