#include "history/history_contracts.h"

#include "common/json_text.h"
#include "history/state_vocabulary.h"

namespace ota::backend
{

namespace
{

using nlohmann::json;

bool containsProgressKey(const json& value)
{
    if (value.is_object())
    {
        if (value.contains("progress"))
        {
            return true;
        }
        for (const auto& member : value)
        {
            if (containsProgressKey(member))
            {
                return true;
            }
        }
    }
    else if (value.is_array())
    {
        for (const auto& item : value)
        {
            if (containsProgressKey(item))
            {
                return true;
            }
        }
    }
    return false;
}

bool isNonEmptyString(const json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() && !found->get_ref<const std::string&>().empty();
}

bool sameString(const json& left, const char* leftKey, const json& right, const char* rightKey)
{
    const auto first = left.find(leftKey);
    const auto second = right.find(rightKey);
    return first != left.end() && second != right.end() && first->is_string() && second->is_string() &&
           *first == *second;
}

bool checkSnapshotTargets(const json& snapshot, std::string& reason)
{
    const auto targets = snapshot.find("targets");
    if (targets == snapshot.end() || !targets->is_array() || targets->empty())
    {
        reason = "snapshot targets must be a non-empty array";
        return false;
    }
    for (const json& target : *targets)
    {
        if (!target.is_object())
        {
            reason = "snapshot target must be an object";
            return false;
        }
        const auto nodePath = target.find("nodePath");
        if (nodePath == target.end() || !nodePath->is_array() || nodePath->empty())
        {
            reason = "snapshot target is missing a non-empty nodePath";
            return false;
        }
        for (const json& item : *nodePath)
        {
            if (!item.is_object())
            {
                reason = "snapshot nodePath item must be an object";
                return false;
            }
            if (!isNonEmptyString(item, "id") || !isNonEmptyString(item, "name") ||
                !isNonEmptyString(item, "typeId") || !isNonEmptyString(item, "typeName"))
            {
                reason = "snapshot nodePath item is incomplete";
                return false;
            }
        }
        const json& tail = nodePath->back();
        if (!sameString(tail, "id", target, "nodeId") || !sameString(tail, "name", target, "nodeName") ||
            !sameString(tail, "typeId", target, "nodeTypeId"))
        {
            reason = "snapshot nodePath tail does not match target device";
            return false;
        }
    }
    return true;
}

bool checkFinalFields(const S_UpgradeHistoryRecord& record, json& report, std::string& reason)
{
    if (!record.isFinal)
    {
        if (record.completedAt.has_value() || record.reportJson.has_value())
        {
            reason = "unfinished record unexpectedly contains final report fields";
            return false;
        }
        return true;
    }
    if (!record.completedAt.has_value() || !record.reportJson.has_value())
    {
        reason = "finalized record is missing completedAt or reportJson";
        return false;
    }
    std::string parseError;
    if (!parseJsonText(*record.reportJson, report, parseError) || !report.is_object())
    {
        reason = "final report JSON must be an object";
        return false;
    }
    if (containsProgressKey(report))
    {
        reason = "deprecated progress field detected in final report";
        return false;
    }
    std::string stateReason;
    if (!validateExecutionStateDocument(report, stateReason))
    {
        reason = "final report contract mismatch: " + stateReason;
        return false;
    }
    return true;
}

bool validateRecord(const S_UpgradeHistoryRecord& record, S_ParsedHistoryRecord& parsed, std::string& reason)
{
    if (!isKnownRecordStatus(record.status) || record.isFinal != isFinalStatus(record.status))
    {
        reason = "record lifecycle fields are inconsistent";
        return false;
    }
    json& snapshot = parsed.snapshot;
    json& state = parsed.state;
    std::string parseError;
    if (!parseJsonText(record.snapshotJson, snapshot, parseError) ||
        !parseJsonText(record.stateJson, state, parseError))
    {
        reason = "cannot parse persisted history JSON: " + parseError;
        return false;
    }
    if (!snapshot.is_object() || !state.is_object())
    {
        reason = "snapshot or state JSON must be an object";
        return false;
    }
    if (!checkSnapshotTargets(snapshot, reason))
    {
        return false;
    }
    if (containsProgressKey(snapshot) || containsProgressKey(state))
    {
        reason = "deprecated progress field detected";
        return false;
    }
    if (record.status == "PREVIEW_READY")
    {
        if (!state.empty())
        {
            reason = "preview state must be an empty object";
            return false;
        }
    }
    else if (!(record.isFinal && state.empty()))
    {
        // A finished record may still hold the empty preview state: the task can end before any
        // running state was recorded (a coalesced first document, or a dropped write), and the
        // record stays a valid part of the history through its final report.
        std::string stateReason;
        if (!validateExecutionStateDocument(state, stateReason))
        {
            reason = "state contract mismatch: " + stateReason;
            return false;
        }
    }
    return checkFinalFields(record, parsed.report, reason);
}

}  // namespace

bool validateHistoryRecord(const S_UpgradeHistoryRecord& record, std::string& reason)
{
    S_ParsedHistoryRecord parsed;
    return validateHistoryRecord(record, reason, parsed);
}

bool validateHistoryRecord(const S_UpgradeHistoryRecord& record, std::string& reason, S_ParsedHistoryRecord& parsed)
{
    reason.clear();
    parsed = S_ParsedHistoryRecord{};
    try
    {
        return validateRecord(record, parsed, reason);
    }
    catch (const std::exception& exception)
    {
        reason = std::string("cannot validate persisted history record: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
