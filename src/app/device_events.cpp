#include "app/device_events.h"

#include "app/application_state.h"
#include "common/clock.h"
#include "common/json_text.h"
#include "device/device_status_fingerprint.h"

#include <exception>

namespace ota::backend
{

namespace
{

using json = nlohmann::json;

const char* const DEVICE_STATUS_EVENT = "device.status";
const char* const COMMUNICATION_SNAPSHOT_EVENT = "communication.snapshot";

std::string deviceStatusFingerprint(CBackendApplication::S_Impl& app)
{
    std::uint64_t sceneGeneration = 0;
    std::vector<S_CommunicationNodeStatus> statuses;
    {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        sceneGeneration = app.sceneGeneration;
        statuses = app.deviceTcpManager->getCommunicationNodeStatuses();
    }
    return buildDeviceStatusFingerprint(sceneGeneration, statuses);
}

// The communication fingerprint, or empty while frame capture is off.
std::string communicationFingerprint(CBackendApplication::S_Impl& app, const std::string& statusFingerprint)
{
    std::uint64_t sceneGeneration = 0;
    std::uint64_t traceVersion = 0;
    {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        if (!app.deviceTcpManager->isFrameCaptureEnabled())
        {
            return {};
        }
        sceneGeneration = app.sceneGeneration;
        traceVersion = app.deviceTcpManager->getFrameTraceVersion();
    }
    return buildCommunicationFingerprint(sceneGeneration, true, traceVersion, statusFingerprint);
}

std::string deviceTypeOf(const json& node)
{
    const auto found = node.find("protocolNodeType");
    if (found != node.end() && found->is_string())
    {
        const std::string& type = found->get_ref<const std::string&>();
        if (type == "EMU" || type == "PCS" || type == "BMS")
        {
            return type;
        }
    }
    return "UNKNOWN";
}

template <typename T>
T memberOr(const json& object, const char* key, T fallback)
{
    const auto found = object.find(key);
    if (found == object.end() || found->is_null())
    {
        return fallback;
    }
    return found->get<T>();
}

json deviceOf(const json& node)
{
    return {
        {"deviceId", memberOr<std::string>(node, "nodeId", "")},
        {"deviceName", memberOr<std::string>(node, "nodeName", "")},
        {"deviceType", deviceTypeOf(node)},
        {"ip", memberOr<std::string>(node, "address", "")},
        {"port", memberOr<std::uint64_t>(node, "port", 0)},
        {"connectionState", memberOr<std::string>(node, "connectionState", "PENDING")},
        {"connected", memberOr<bool>(node, "connected", false)},
        {"receivedFrameCount", memberOr<std::uint64_t>(node, "receivedFrameCount", 0)},
        {"sentFrameCount", memberOr<std::uint64_t>(node, "sentFrameCount", 0)},
        {"lastError", memberOr<std::string>(node, "lastError", "")},
    };
}

}  // namespace

bool buildDeviceStatusJson(CBackendApplication::S_Impl& app, std::string& json, std::string& error)
{
    std::lock_guard<std::mutex> lock(app.applicationMutex);
    return app.deviceTcpManager->serializeCommunicationSnapshot(app.sceneGeneration,
                                                                app.config.deviceTcpEnabled, json, error);
}

bool buildFrameTraceJson(CBackendApplication::S_Impl& app, std::string& json, std::string& error)
{
    std::lock_guard<std::mutex> lock(app.applicationMutex);
    return app.deviceTcpManager->serializeFrameTrace(json, error);
}

bool buildCommunicationSnapshotJson(CBackendApplication::S_Impl& app, std::string& text, std::string& error)
{
    text.clear();
    error.clear();
    std::lock_guard<std::mutex> lock(app.applicationMutex);
    std::string statusText;
    std::string traceText;
    if (!app.deviceTcpManager->serializeCommunicationSnapshot(
            app.sceneGeneration, app.config.deviceTcpEnabled, statusText, error) ||
        !app.deviceTcpManager->serializeFrameTrace(traceText, error))
    {
        return false;
    }
    try
    {
        json status = json::parse(statusText);
        json trace = json::parse(traceText);
        json devices = json::array();
        for (const json& node : status.at("communicationNodes"))
        {
            devices.push_back(deviceOf(node));
        }
        const json snapshot = {
            {"communicationNodeCount", std::move(status.at("communicationNodeCount"))},
            {"communicationNodes", std::move(status.at("communicationNodes"))},
            {"status", std::move(status.at("status"))},
            {"receivedFrameCount", std::move(status.at("receivedFrameCount"))},
            {"sentFrameCount", std::move(status.at("sentFrameCount"))},
            {"maxRecordCount", std::move(trace.at("maxRecordCount"))},
            {"recordCount", std::move(trace.at("recordCount"))},
            {"records", std::move(trace.at("records"))},
            {"fetchedAt", currentUnixMs()},
            {"devices", std::move(devices)},
        };
        text = toJsonText(snapshot);
        return true;
    }
    catch (const std::exception& exception)
    {
        text.clear();
        error = std::string("Cannot build communication snapshot JSON: ") + exception.what();
        return false;
    }
}

std::chrono::steady_clock::duration deviceStatusSpacing(std::size_t bytes)
{
    if (bytes < kLargeDeviceStatus)
    {
        return std::chrono::steady_clock::duration::zero();
    }
    return timeAtRate(bytes, kDeviceStatusBytesPerSecond);
}

void publishDeviceStatus(CBackendApplication::S_Impl& app)
{
    std::string text;
    std::string error;
    if (buildDeviceStatusJson(app, text, error))
    {
        app.apiServer.publishCanonicalEvent(DEVICE_STATUS_EVENT, text);
        app.deviceStatusHeldUntil = std::chrono::steady_clock::now() + deviceStatusSpacing(text.size());
    }
}

void publishCommunicationSnapshot(CBackendApplication::S_Impl& app)
{
    std::string text;
    std::string error;
    if (buildCommunicationSnapshotJson(app, text, error))
    {
        app.apiServer.publishEvent(COMMUNICATION_SNAPSHOT_EVENT, text);
    }
}

void publishInitialDeviceEvents(CBackendApplication::S_Impl& app)
{
    app.deviceStatusFingerprint = deviceStatusFingerprint(app);
    publishDeviceStatus(app);
    app.communicationFingerprint = communicationFingerprint(app, app.deviceStatusFingerprint);
    if (!app.communicationFingerprint.empty())
    {
        publishCommunicationSnapshot(app);
    }
}

void publishChangedDeviceEvents(CBackendApplication::S_Impl& app)
{
    if (std::chrono::steady_clock::now() >= app.deviceStatusHeldUntil)
    {
        std::string statusFingerprint = deviceStatusFingerprint(app);
        if (statusFingerprint != app.deviceStatusFingerprint)
        {
            app.deviceStatusFingerprint = std::move(statusFingerprint);
            publishDeviceStatus(app);
        }
    }
    std::string fingerprint = communicationFingerprint(app, app.deviceStatusFingerprint);
    if (fingerprint.empty())
    {
        app.communicationFingerprint.clear();  // the first pass after capture is switched on publishes
        return;
    }
    if (fingerprint != app.communicationFingerprint)
    {
        app.communicationFingerprint = std::move(fingerprint);
        publishCommunicationSnapshot(app);
    }
}

}  // namespace ota::backend
