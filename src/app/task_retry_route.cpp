#include "app/task_retry_route.h"

#include "common/console_log.h"
#include "common/json_text.h"
#include "firmware/request_fields.h"

#include <exception>
#include <set>
#include <unordered_set>

namespace ota::backend
{

namespace
{

using nlohmann::json;

bool rejectRetry(const std::string& message, std::string& error)
{
    error = message;
    consoleErr("[UPGRADE] Retry rejected: " + message);
    return false;
}

// The preview request of the retry from the finished task's snapshot and final report.
bool buildRetryRequest(const S_UpgradeHistoryRecord& record, const std::string& upgradeId, json& request,
                       S_ExpectedFileDigests& expected, std::string& error)
{
    const std::string task = "Upgrade task " + std::to_string(record.upgradeNo);
    json snapshot;
    json report;
    std::string parseError;
    if (!parseJsonText(record.snapshotJson, snapshot, parseError) || !record.reportJson ||
        !parseJsonText(*record.reportJson, report, parseError))
    {
        error = task + " cannot be retried: its history record cannot be read";
        return false;
    }
    try
    {
        std::unordered_set<std::string> retried;
        for (const json& device : report.at("devices"))
        {
            if (device.at("result").get_ref<const std::string&>() != "SUCCESS")
            {
                retried.insert(device.at("nodeId").get<std::string>());
            }
        }
        json targets = json::array();
        std::set<std::uint64_t> fileNos;
        for (const json& target : snapshot.at("targets"))
        {
            if (retried.count(target.at("nodeId").get<std::string>()) == 0)
            {
                continue;
            }
            targets.push_back(json{{"nodeId", target.at("nodeId")},
                                   {"componentTypeId", target.at("componentTypeId")},
                                   {"componentIndex", target.at("componentIndex")},
                                   {"currentVersion", target.at("currentVersion")},
                                   {"fileSlotKey", target.at("fileSlotKey")},
                                   {"force", target.at("force")}});
            fileNos.insert(target.at("fileNo").get<std::uint64_t>());
        }
        if (targets.empty())
        {
            error = task + " has nothing to retry: every device ended SUCCESS";
            return false;
        }
        json files = json::array();
        for (const json& file : snapshot.at("files"))
        {
            if (fileNos.count(file.at("fileNo").get<std::uint64_t>()) != 0)
            {
                files.push_back(json{{"fileSlotKey", file.at("fileSlotKey")},
                                     {"filePath", file.at("filePath")},
                                     {"targetVersion", file.at("targetVersion")}});
                expected.sha256BySlot[file.at("fileSlotKey").get<std::string>()] =
                    file.at("sha256").get<std::string>();
            }
        }
        expected.changedFileMessage = "Firmware file changed since upgrade task " +
                                      std::to_string(record.upgradeNo) + " was previewed: ";
        request =
            json{{"upgradeId", upgradeId}, {"targets", std::move(targets)}, {"files", std::move(files)}};
        return true;
    }
    catch (const std::exception&)
    {
        error = task + " cannot be retried: its history record cannot be read";
        return false;
    }
}

bool retryTask(const S_UpgradeRouteServices& services, std::uint32_t upgradeNo,
               const std::string& requestJson, std::string& response, std::string& error)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    response.clear();
    error.clear();
    const std::string task = "Upgrade task " + std::to_string(upgradeNo);
    consoleOut("[UPGRADE] Retry request received: upgradeNo=" + std::to_string(upgradeNo));
    std::string upgradeId;
    std::string message;
    if (!readRetryBody(requestJson, upgradeId, message))
    {
        return rejectRetry(message, error);
    }
    std::optional<S_UpgradeHistoryRecord> record;
    if (!services.historyRepository.findRecord(upgradeNo, record, message))
    {
        return rejectRetry(message, error);
    }
    if (!record)
    {
        return rejectRetry(task + " is not in the history", error);
    }
    if (!record->isFinal)
    {
        return rejectRetry(task + " has not finished; only a finished task can be retried", error);
    }
    json request;
    S_ExpectedFileDigests expected;
    if (!buildRetryRequest(*record, upgradeId, request, expected, message))
    {
        return rejectRetry(message, error);
    }
    S_TaskPreviewOptions options;
    options.expectedDigests = &expected;
    if (!previewTaskLocked(services, toJsonText(request), options, response, error))
    {
        return false;
    }
    recordOperatorPreview(services, response);
    return true;
}

}  // namespace

bool readRetryBody(const std::string& requestJson, std::string& upgradeId, std::string& error)
{
    json body;
    if (!parseRequestObject(requestJson, body, error) ||
        !validateExactFields(body, "request", {"upgradeId"}, error))
    {
        return false;
    }
    if (!body.at("upgradeId").is_string())
    {
        error = "request.upgradeId must be a string";
        return false;
    }
    upgradeId = body.at("upgradeId").get<std::string>();
    return true;
}

void addTaskRetryRoute(const S_UpgradeRouteServices& services, S_ApiCallbacks& callbacks)
{
    callbacks.upgradeRetry = [services](std::uint32_t upgradeNo, const std::string& request,
                                        std::string& response, std::string& error)
    { return retryTask(services, upgradeNo, request, response, error); };
}

}  // namespace ota::backend
