#include "firmware/upgrade_task_snapshot_json.h"

#include "common/json_text.h"

namespace ota::backend
{

namespace
{

nlohmann::json pathItemToJson(const S_UpgradeTargetPathItem& item)
{
    nlohmann::json object = nlohmann::json::object();
    object["id"] = item.id;
    object["name"] = item.name;
    object["typeId"] = item.typeId;
    object["typeName"] = item.typeName;
    return object;
}

nlohmann::json targetToJson(const S_UpgradeTarget& target)
{
    nlohmann::json path = nlohmann::json::array();
    for (const S_UpgradeTargetPathItem& item : target.nodePath)
    {
        path.push_back(pathItemToJson(item));
    }
    nlohmann::json object = nlohmann::json::object();
    object["nodeId"] = target.nodeId;
    object["nodeName"] = target.nodeName;
    object["nodeTypeId"] = target.nodeTypeId;
    object["nodePath"] = std::move(path);
    object["protocolNodeType"] = target.protocolNodeType;
    object["address"] = target.address;
    object["port"] = target.port;
    object["componentTypeId"] = target.componentTypeId;
    object["componentIndex"] = target.componentIndex;
    object["currentVersion"] = target.currentVersion;
    object["targetVersion"] = target.targetVersion;
    object["force"] = target.force;
    object["fileNo"] = target.fileNo;
    object["fileSlotKey"] = target.fileSlotKey;
    return object;
}

}  // namespace

nlohmann::json snapshotToJson(const S_UpgradeTaskSnapshot& snapshot)
{
    nlohmann::json files = nlohmann::json::array();
    for (const S_FirmwareFileInfo& file : snapshot.files)
    {
        files.push_back(firmwareFileToJson(file));
    }
    nlohmann::json targets = nlohmann::json::array();
    for (const S_UpgradeTarget& target : snapshot.targets)
    {
        targets.push_back(targetToJson(target));
    }
    nlohmann::json object = nlohmann::json::object();
    object["upgradeNo"] = snapshot.upgradeNo;
    object["upgradeId"] = snapshot.upgradeId;
    object["sceneGeneration"] = snapshot.sceneGeneration;
    object["createdAt"] = snapshot.createdAt;
    object["fileCount"] = snapshot.files.size();
    object["targetCount"] = snapshot.targets.size();
    object["files"] = std::move(files);
    object["targets"] = std::move(targets);
    return object;
}

bool snapshotToJsonText(const S_UpgradeTaskSnapshot& snapshot, std::string& text, std::string& error)
{
    text.clear();
    error.clear();
    if (!tryToJsonText(snapshotToJson(snapshot), text, error))
    {
        text.clear();
        return false;
    }
    return true;
}

}  // namespace ota::backend
