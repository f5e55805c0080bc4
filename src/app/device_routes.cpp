#include "app/device_routes.h"

#include "app/application_state.h"
#include "app/device_events.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"

#include <exception>

namespace ota::backend
{

namespace
{

using json = nlohmann::json;

bool switchFrameCapture(CBackendApplication::S_Impl& app, bool enabled, std::string& response,
                        std::string& error)
{
    response.clear();
    error.clear();
    {
        std::lock_guard<std::mutex> sceneLock(app.sceneOperationMutex);
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        app.deviceTcpManager->setFrameCaptureEnabled(enabled);
        std::string traceText;
        if (!app.deviceTcpManager->serializeFrameTrace(traceText, error))
        {
            return false;
        }
        try
        {
            const json trace = json::parse(traceText);
            response = toJsonText(json{{"status", "READY"},
                                       {"enabled", trace.at("enabled")},
                                       {"recordCount", trace.at("recordCount")}});
        }
        catch (const std::exception& exception)
        {
            response.clear();
            error = std::string("Cannot build frame capture state JSON: ") + exception.what();
            return false;
        }
    }
    // Published after both locks are released: the publisher takes the application mutex itself.
    publishCommunicationSnapshot(app);
    return true;
}

void addQueryError(S_DeviceStatusQuerySummary& summary, const char* state, const char* code,
                   const char* message)
{
    summary.errors.push_back(S_DeviceStatusQueryResult{"", "", state, "SKIPPED", code, message});
}

bool queryDeviceStatus(CBackendApplication::S_Impl& app, std::string& response, std::string& error)
{
    response.clear();
    error.clear();
    consoleOut("[STATUS_QUERY] Request received");
    S_DeviceStatusQuerySummary summary;
    summary.requestedAt = currentUnixMs();
    std::uint64_t sceneGeneration = 0;
    std::string queryError;
    {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        sceneGeneration = app.sceneGeneration;
        const std::uint64_t nodeCount = app.workspace.snapshot().directDeviceCount();
        summary.configuredCount = nodeCount;
        if (!app.config.deviceTcpEnabled)
        {
            summary.skippedCount = summary.configuredCount;
            queryError = "Device TCP is disabled by configuration";
            addQueryError(summary, "DISABLED", "DEVICE_TCP_DISABLED",
                          "Device TCP is disabled by configuration");
        }
        else if (nodeCount == 0)
        {
            queryError = "No communication device is configured";
            addQueryError(summary, "NOT_CONFIGURED", "NO_COMMUNICATION_DEVICE",
                          "No communication device is configured");
        }
        else
        {
            app.deviceTcpManager->requestDeviceStatusQuery(summary, queryError);
            if (summary.configuredCount == 0)
            {
                summary.configuredCount = nodeCount;
                summary.failedCount = nodeCount;
            }
        }
    }

    std::string serializeError;
    if (!CDeviceTcpManager::serializeDeviceStatusQuerySummary(summary, sceneGeneration, response,
                                                              serializeError))
    {
        response.clear();
        error = serializeError;
        consoleErr("[STATUS_QUERY] Response serialization failed: " + error);
        return false;
    }
    const std::string counts = "configured=" + std::to_string(summary.configuredCount) +
                               ", submitted=" + std::to_string(summary.submittedCount) +
                               ", skipped=" + std::to_string(summary.skippedCount) +
                               ", failed=" + std::to_string(summary.failedCount);
    if (summary.submittedCount > 0)
    {
        consoleOut("[STATUS_QUERY] Submission accepted: " + counts);
        return true;
    }
    // The summary stays in the response: the error envelope carries it as details.
    error = queryError.empty() ? std::string("No device status query was submitted") : queryError;
    consoleErr("[STATUS_QUERY] Submission rejected: " + counts + ", error=" + error);
    return false;
}

bool reconnectDevices(CBackendApplication::S_Impl& app, std::string& response, std::string& error)
{
    std::lock_guard<std::mutex> sceneLock(app.sceneOperationMutex);
    std::lock_guard<std::mutex> lock(app.applicationMutex);
    response.clear();
    error.clear();
    consoleOut("[RECONNECT] Batch reconnect requested");
    if (!app.config.deviceTcpEnabled)
    {
        error = "Device TCP is disabled by configuration";
        return false;
    }
    S_DeviceReconnectSummary summary;
    if (!app.deviceTcpManager->requestManualReconnect(summary, error))
    {
        consoleErr("[RECONNECT] Request rejected: " + error);
        return false;
    }
    response = toJsonText(json{
        {"status", summary.submittedCount > 0 ? "ACCEPTED" : "NO_ACTION"},
        {"requestedAt", summary.requestedAt},
        {"sceneGeneration", app.sceneGeneration},
        {"configuredCount", summary.configuredCount},
        {"submittedCount", summary.submittedCount},
        {"skippedConnectedCount", summary.skippedConnectedCount},
        {"skippedConnectingCount", summary.skippedConnectingCount},
        {"skippedUnavailableCount", summary.skippedUnavailableCount},
    });
    consoleOut(
        "[RECONNECT] Batch reconnect scheduled: configured=" + std::to_string(summary.configuredCount) +
        ", submitted=" + std::to_string(summary.submittedCount));
    return true;
}

}  // namespace

void addDeviceRoutes(CBackendApplication::S_Impl& app, S_ApiCallbacks& callbacks)
{
    callbacks.deviceStatus = [&app](std::string& response, std::string& error)
    { return buildDeviceStatusJson(app, response, error); };
    callbacks.deviceFrames = [&app](std::string& response, std::string& error)
    { return buildFrameTraceJson(app, response, error); };
    callbacks.frameCapture = [&app](bool enabled, std::string& response, std::string& error)
    { return switchFrameCapture(app, enabled, response, error); };
    callbacks.deviceStatusQuery = [&app](std::string& response, std::string& error)
    { return queryDeviceStatus(app, response, error); };
    callbacks.deviceReconnect = [&app](std::string& response, std::string& error)
    { return reconnectDevices(app, response, error); };
}

}  // namespace ota::backend
