#include "app/health_report.h"

#include "common/json_text.h"

namespace ota::backend
{

std::string buildHealthJson(const S_BackendConfig& config, const S_HealthInputs& inputs)
{
    const S_DeviceTcpStatusSummary& tcp = inputs.deviceTcp;
    const nlohmann::json report = {
        {"service", "ota-backend"},
        {"status", "READY"},
        {"ready", true},
        {"operation", "HEALTH_CHECK"},
        {"apiVersion", 1},
        {"topologyConfigured", inputs.topologyConfigured},
        {"workspaceLoaded", inputs.topologyConfigured},
        {"sceneGeneration", inputs.sceneGeneration},
        {"directDeviceCount", inputs.directDeviceCount},
        {"httpHost", config.httpHost},
        {"httpPort", config.httpPort},
        {"deviceTcpEnabled", config.deviceTcpEnabled},
        {"features",
         {
             {"http", true},
             {"webSocket", true},
             {"deviceTcp", tcp.running},
             {"communicationFrameCapture", true},
             {"firmwareInspection", true},
             {"upgradePreview", true},
             {"upgradeStateMachine", true},
             {"historyPersistence", inputs.historyPersistence},
         }},
        {"deviceTcp",
         {
             {"configuredEnabled", config.deviceTcpEnabled},
             {"running", tcp.running},
             {"deviceCount", tcp.deviceCount},
             {"pendingDeviceCount", tcp.pendingDeviceCount},
             {"connectingDeviceCount", tcp.connectingDeviceCount},
             {"connectedDeviceCount", tcp.connectedDeviceCount},
             {"disconnectedDeviceCount", tcp.disconnectedDeviceCount},
             {"errorDeviceCount", tcp.errorDeviceCount},
             {"protocolRejectedDeviceCount", tcp.protocolRejectedDeviceCount},
             {"receivedFrameCount", tcp.receivedFrameCount},
             {"sentFrameCount", tcp.sentFrameCount},
             {"receivedByteCount", tcp.receivedByteCount},
             {"sentByteCount", tcp.sentByteCount},
             {"statusReportCount", tcp.statusReportCount},
             {"lastEventAt", tcp.lastEventAt},
             {"lastStatusAt", tcp.lastStatusAt},
         }},
    };
    return toJsonText(report);
}

}  // namespace ota::backend
