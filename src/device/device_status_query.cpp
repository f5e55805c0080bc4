#include "device/device_status_query.h"

#include "common/json_text.h"

#include <exception>

namespace ota::backend
{

bool serializeDeviceStatusQuerySummary(const S_DeviceStatusQuerySummary& summary, std::uint64_t sceneGeneration,
                                       std::string& json, std::string& error)
{
    json.clear();
    error.clear();
    if (summary.submittedCount + summary.skippedCount + summary.failedCount != summary.configuredCount)
    {
        error = "Device status query summary counts are inconsistent";
        return false;
    }
    try
    {
        const bool submitted = summary.submittedCount > 0;
        const bool incomplete = summary.skippedCount > 0 || summary.failedCount > 0;
        nlohmann::json errors = nlohmann::json::array();
        for (const S_DeviceStatusQueryResult& entry : summary.errors)
        {
            errors.push_back({{"nodeId", entry.nodeId},
                              {"nodeName", entry.nodeName},
                              {"connectionState", entry.connectionState},
                              {"category", entry.category},
                              {"code", entry.code},
                              {"message", entry.message}});
        }
        const nlohmann::json document = {
            {"status", !submitted ? "REJECTED" : (incomplete ? "PARTIAL" : "ACCEPTED")},
            {"ready", submitted},
            {"operation", "DEVICE_STATUS_QUERY"},
            {"sceneGeneration", sceneGeneration},
            {"requestedAt", summary.requestedAt},
            {"configuredCount", summary.configuredCount},
            {"submittedCount", summary.submittedCount},
            {"dispatchedCount", summary.dispatchedCount},
            {"skippedCount", summary.skippedCount},
            {"failedCount", summary.failedCount},
            {"errorCount", summary.errors.size()},
            {"errors", std::move(errors)},
            {"responseMode", "ASYNC_DEVICE_STATUS"},
            {"statusEndpoint", "/api/v1/devices/status"},
        };
        json = toJsonText(document);
        return true;
    }
    catch (const std::exception& exception)
    {
        json.clear();
        error = std::string("Cannot serialize device status query summary: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
