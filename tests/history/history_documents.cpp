#include "history_documents.h"

#include "common/json_text.h"

namespace ota::test
{

using nlohmann::json;

std::string taskId(std::uint32_t upgradeNo)
{
    std::string id = "T";
    id += std::to_string(upgradeNo);
    return id;
}

json makeSnapshotDocument(std::uint32_t upgradeNo, const std::string& upgradeId, std::size_t deviceCount)
{
    json targets = json::array();
    for (std::size_t index = 1; index <= deviceCount; ++index)
    {
        const std::string nodeId = "node" + std::to_string(index);
        targets.push_back({{"nodeId", nodeId},
                           {"nodeName", "PCS " + std::to_string(index)},
                           {"nodeTypeId", "PCS"},
                           {"nodePath",
                            json::array({{{"id", "site"}, {"name", "站点"}, {"typeId", "SITE"}, {"typeName", "站点"}},
                                         {{"id", nodeId},
                                          {"name", "PCS " + std::to_string(index)},
                                          {"typeId", "PCS"},
                                          {"typeName", "储能变流器"}}})},
                           {"protocolNodeType", "PCS"},
                           {"address", "127.0.0.1"},
                           {"port", 9000 + index},
                           {"componentTypeId", "PCS_DSP1"},
                           {"componentIndex", 1},
                           {"currentVersion", "1.0.0"},
                           {"targetVersion", "2.0.0"},
                           {"force", false},
                           {"fileNo", 1},
                           {"fileSlotKey", "pcs:dsp1"}});
    }
    return {{"upgradeNo", upgradeNo},
            {"upgradeId", upgradeId},
            {"sceneGeneration", 1},
            {"createdAt", 1'700'000'000'000},
            {"fileCount", 1},
            {"targetCount", deviceCount},
            {"files", json::array({{{"fileNo", 1},
                                    {"fileSlotKey", "pcs:dsp1"},
                                    {"filePath", "/srv/firmware/dsp1.bin"},
                                    {"fileName", "dsp1.bin"},
                                    {"targetVersion", "2.0.0"},
                                    {"fileSize", 20480},
                                    {"chunkSize", 10240},
                                    {"totalChunks", 2},
                                    {"sha256", std::string(64, 'a')}}})},
            {"targets", targets}};
}

json makeStateDocument(std::uint32_t upgradeNo, const std::string& upgradeId, std::size_t deviceCount,
                       std::int64_t startedAt)
{
    json devices = json::array();
    for (std::size_t index = 1; index <= deviceCount; ++index)
    {
        devices.push_back({{"nodeId", "node" + std::to_string(index)},
                           {"nodeName", "PCS " + std::to_string(index)},
                           {"nodeTypeId", "PCS"},
                           {"address", "127.0.0.1"},
                           {"port", 9000 + index},
                           {"connectionState", "CONNECTED"},
                           {"stage", "连接与状态同步"},
                           {"state", "排队等待"},
                           {"result", "PENDING"},
                           {"workflowProgress", 0},
                           {"currentFileNo", 0},
                           {"currentChunkNo", 0},
                           {"abortAllowed", true},
                           {"completed", false},
                           {"eventStreamFailed", false},
                           {"protocolEventDropCount", 0},
                           {"connectionEventDropCount", 0},
                           {"unexpectedAckCount", 0},
                           {"duplicateAckCount", 0},
                           {"mismatchedAckCount", 0},
                           {"startedAt", 0},
                           {"finishedAt", 0},
                           {"reasonCode", 0},
                           {"reasonName", "OK"},
                           {"error", ""},
                           {"targets", json::array({{{"componentTypeId", "PCS_DSP1"},
                                                     {"componentIndex", 1},
                                                     {"currentVersion", "1.0.0"},
                                                     {"targetVersion", "2.0.0"},
                                                     {"componentStageProgress", 0},
                                                     {"state", "连接与状态同步"},
                                                     {"reasonCode", 0},
                                                     {"reasonName", "OK"},
                                                     {"detailText", ""}}})}});
    }
    return {{"status", "RUNNING"},
            {"active", true},
            {"upgradeNo", upgradeNo},
            {"upgradeId", upgradeId},
            {"sceneGeneration", 1},
            {"configuredDeviceConcurrency", 8},
            {"recommendedDeviceConcurrency", 4},
            {"deviceConcurrency", 4},
            {"effectiveWorkerCount", 4},
            {"readyDeviceCount", deviceCount},
            {"runningDeviceCount", 0},
            {"delayedDeviceCount", 0},
            {"deviceCount", deviceCount},
            {"completedCount", 0},
            {"successCount", 0},
            {"failedCount", 0},
            {"abortedCount", 0},
            {"startedAt", startedAt},
            {"finishedAt", 0},
            {"error", ""},
            {"devices", devices}};
}

void recountStateDocument(json& state)
{
    std::uint64_t completed = 0;
    std::uint64_t succeeded = 0;
    std::uint64_t failed = 0;
    std::uint64_t aborted = 0;
    for (const json& device : state["devices"])
    {
        completed += device["completed"].get<bool>() ? 1 : 0;
        const std::string result = device["result"];
        succeeded += result == "SUCCESS" ? 1 : 0;
        failed += result == "FAILED" ? 1 : 0;
        aborted += result == "ABORTED" ? 1 : 0;
    }
    state["completedCount"] = completed;
    state["successCount"] = succeeded;
    state["failedCount"] = failed;
    state["abortedCount"] = aborted;
}

void finishStateDocument(json& state, const std::string& status, const std::string& deviceResult,
                         std::int64_t finishedAt)
{
    for (json& device : state["devices"])
    {
        device["completed"] = true;
        device["result"] = deviceResult;
        device["stage"] = "重启验证";
        device["state"] = deviceResult == "SUCCESS" ? "升级成功" : "执行失败";
        device["workflowProgress"] = 100;
        device["abortAllowed"] = false;
        for (json& target : device["targets"])
        {
            target["state"] = "重启验证";
            target["componentStageProgress"] = 100;
        }
    }
    state["status"] = status;
    state["active"] = false;
    state["finishedAt"] = finishedAt;
    state["readyDeviceCount"] = 0;
    recountStateDocument(state);
}

ota::backend::S_TaskSnapshotWrite makeSnapshotWrite(std::uint32_t upgradeNo, const std::string& upgradeId,
                                                    std::int64_t startedAt, std::size_t deviceCount)
{
    return {upgradeNo, upgradeId, startedAt, startedAt, "PREVIEW_READY",
            ota::backend::toJsonText(makeSnapshotDocument(upgradeNo, upgradeId, deviceCount))};
}

}  // namespace ota::test
