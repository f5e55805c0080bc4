#include "history/history_contracts.h"

#include "history/state_vocabulary.h"

#include <cstdint>
#include <map>
#include <optional>

namespace ota::backend
{

namespace
{

using nlohmann::json;

// A non-negative integer member; anything else takes no part in the comparison.
std::optional<std::uint64_t> readCount(const json& object, const char* key)
{
    if (!object.is_object())
    {
        return std::nullopt;
    }
    const auto found = object.find(key);
    if (found == object.end())
    {
        return std::nullopt;
    }
    if (found->is_number_unsigned())
    {
        return found->get<std::uint64_t>();
    }
    if (found->is_number_integer() && found->get<std::int64_t>() >= 0)
    {
        return static_cast<std::uint64_t>(found->get<std::int64_t>());
    }
    return std::nullopt;
}

bool decreased(const json& newObject, const json& oldObject, const char* key)
{
    const std::optional<std::uint64_t> newValue = readCount(newObject, key);
    const std::optional<std::uint64_t> oldValue = readCount(oldObject, key);
    return newValue.has_value() && oldValue.has_value() && *newValue < *oldValue;
}

std::string readText(const json& object, const char* key)
{
    if (!object.is_object())
    {
        return {};
    }
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool readFlag(const json& object, const char* key)
{
    if (!object.is_object())
    {
        return false;
    }
    const auto found = object.find(key);
    return found != object.end() && found->is_boolean() && found->get<bool>();
}

const json& arrayMember(const json& object, const char* key)
{
    static const json kEmpty = json::array();
    if (!object.is_object())
    {
        return kEmpty;
    }
    const auto found = object.find(key);
    return found != object.end() && found->is_array() ? *found : kEmpty;
}

std::map<std::string, const json*> devicesById(const json& state)
{
    std::map<std::string, const json*> devices;
    for (const json& device : arrayMember(state, "devices"))
    {
        devices.emplace(readText(device, "nodeId"), &device);
    }
    return devices;
}

std::string targetKey(const json& target)
{
    const std::optional<std::uint64_t> index = readCount(target, "componentIndex");
    return readText(target, "componentTypeId") + "#" + (index.has_value() ? std::to_string(*index) : std::string());
}

bool checkDevice(const json& newDevice, const json& oldDevice, const std::string& prefix, std::string& reason)
{
    if (decreased(newDevice, oldDevice, "workflowProgress"))
    {
        reason = prefix + "进度发生回退";
        return false;
    }
    if (readFlag(oldDevice, "completed") && !readFlag(newDevice, "completed"))
    {
        reason = prefix + "完成标志发生回退";
        return false;
    }
    const std::string oldResult = readText(oldDevice, "result");
    if ((oldResult == "SUCCESS" || oldResult == "FAILED" || oldResult == "ABORTED") &&
        readText(newDevice, "result") != oldResult)
    {
        reason = prefix + "终态结果发生改变";
        return false;
    }
    const int newStage = stageLevel(readText(newDevice, "stage"));
    const int oldStage = stageLevel(readText(oldDevice, "stage"));
    if (newStage != 0 && oldStage != 0 && newStage < oldStage)
    {
        reason = prefix + "协议阶段发生回退";
        return false;
    }
    if (decreased(newDevice, oldDevice, "currentFileNo"))
    {
        reason = prefix + "当前文件编号发生回退";
        return false;
    }
    return true;
}

bool checkTargets(const json& newDevice, const json& oldDevice, const std::string& prefix, std::string& reason)
{
    std::map<std::string, const json*> newTargets;
    for (const json& target : arrayMember(newDevice, "targets"))
    {
        newTargets.emplace(targetKey(target), &target);
    }
    for (const json& oldTarget : arrayMember(oldDevice, "targets"))
    {
        const std::string key = targetKey(oldTarget);
        const auto found = newTargets.find(key);
        if (found == newTargets.end())
        {
            reason = prefix + "缺少已有升级部件";
            return false;
        }
        const json& newTarget = *found->second;
        const int newLevel = stageLevel(readText(newTarget, "state"));
        const int oldLevel = stageLevel(readText(oldTarget, "state"));
        if (newLevel != 0 && oldLevel != 0 && newLevel < oldLevel)
        {
            reason = prefix + "的部件" + key + "协议阶段发生回退";
            return false;
        }
        // A device that has just ended shows its components with the terminal text (no stage
        // level) and the progress of the stage it ended in, which may be below a stage recorded
        // earlier when the progress documents in between were coalesced away. Its end must still
        // be recorded; the terminal result itself is guarded by the device rules.
        const bool endsNow = readFlag(newDevice, "completed") && !readFlag(oldDevice, "completed");
        if (!endsNow && !(newLevel > oldLevel) && decreased(newTarget, oldTarget, "componentStageProgress"))
        {
            reason = prefix + "的部件" + key + "同阶段进度发生回退";
            return false;
        }
    }
    return true;
}

bool checkMonotonic(const json& newState, const json& persistedState, std::string& reason)
{
    for (const char* key : {"deviceCount", "completedCount", "successCount", "failedCount", "abortedCount"})
    {
        if (decreased(newState, persistedState, key))
        {
            reason = std::string("状态字段") + key + "发生回退";
            return false;
        }
    }
    const std::string newStatus = readText(newState, "status");
    if (readFlag(persistedState, "active") && !readFlag(newState, "active") && !isFinalStatus(newStatus))
    {
        reason = "运行态active标志发生回退";
        return false;
    }
    const int newLevel = statusLevel(newStatus);
    const int oldLevel = statusLevel(readText(persistedState, "status"));
    if (newLevel != 0 && oldLevel != 0 && newLevel < oldLevel)
    {
        reason = "任务状态阶段发生回退";
        return false;
    }
    if (decreased(newState, persistedState, "startedAt"))
    {
        reason = "startedAt发生回退";
        return false;
    }
    if (decreased(newState, persistedState, "finishedAt"))
    {
        reason = "finishedAt发生回退";
        return false;
    }
    const std::map<std::string, const json*> newDevices = devicesById(newState);
    const json& oldDevices = arrayMember(persistedState, "devices");
    for (const json& oldDevice : oldDevices)
    {
        const std::string nodeId = readText(oldDevice, "nodeId");
        const auto found = newDevices.find(nodeId);
        if (found == newDevices.end())
        {
            reason = "状态快照缺少已有装置" + nodeId;
            return false;
        }
        if (!checkDevice(*found->second, oldDevice, "装置" + nodeId, reason))
        {
            return false;
        }
    }
    for (const json& oldDevice : oldDevices)
    {
        const std::string nodeId = readText(oldDevice, "nodeId");
        if (!checkTargets(*newDevices.at(nodeId), oldDevice, "装置" + nodeId, reason))
        {
            return false;
        }
    }
    return true;
}

}  // namespace

bool checkStateMonotonic(const json& newState, const json& persistedState, std::string& reason)
{
    reason.clear();
    try
    {
        return checkMonotonic(newState, persistedState, reason);
    }
    catch (const std::exception& exception)
    {
        reason = std::string("cannot compare execution states: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
