#pragma once

#include "device/communication_node_status.h"
#include "device/communication_snapshot.h"
#include "device/device_connection_state.h"
#include "device/device_status_query.h"
#include "device/device_tcp_options.h"
#include "device/upgrade_device_transport.h"
#include "scenario/scene_topology.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ota::backend
{

// One TCP connection per communication node of a topology, all on one shared event loop thread:
// staggered connects, protocol verification by MSG_DEVICE_STATUS, capped exponential reconnect,
// decoding through each node's protocol adapter, the upgrade transport, status queries, manual
// reconnect and the frame trace. Every public operation may be called from any thread.
// Callbacks are delivered without any manager lock held, on the loop thread (CONNECTING from the
// supervisor thread); they may call any operation except stop(), also while a stop is under way.
class CDeviceTcpManager final : public IUpgradeDeviceTransport
{
public:
    CDeviceTcpManager();
    ~CDeviceTcpManager() override;
    CDeviceTcpManager(const CDeviceTcpManager&) = delete;
    CDeviceTcpManager& operator=(const CDeviceTcpManager&) = delete;

    bool start(const scenario::S_SceneTopology& topology, const S_DeviceTcpOptions& options,
               std::string& error);
    // Idempotent; closes every connection within the close barrier.
    void stop();
    bool isRunning() const;

    // IUpgradeDeviceTransport
    bool sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                std::string& error) override;
    bool sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                            const S_ProtocolCommand& command, std::string& error) override;
    bool sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                               const S_ProtocolTargetList& targetList, std::string& error) override;
    bool sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                             const S_ProtocolFileInfo& fileInfo, std::string& error) override;
    bool sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                              const S_ProtocolFileChunk& fileChunk, std::string& error) override;
    void setProtocolEventCallback(ProtocolEventCallback callback) override;
    void setConnectionStateCallback(ConnectionStateCallback callback) override;
    std::vector<S_CommunicationNodeStatus> getCommunicationNodeStatuses() const override;
    // A link that finds its node again after a restart of the manager and fails with the send
    // texts while the manager is stopped or the node is not part of the run.
    std::unique_ptr<IUpgradeDeviceLink> resolveDevice(const std::string& deviceId) override;

    // Writes an already encoded frame to a CONNECTED node (the path behind the five sends).
    bool submitEncodedFrame(const std::string& deviceId, const std::vector<std::uint8_t>& bytes,
                            const std::string& messageType, std::uint32_t upgradeNo, std::string& error);

    // MSG_QUERY_STATUS to every node, in batches of 24; true when at least one was submitted.
    bool requestDeviceStatusQuery(S_DeviceStatusQuerySummary& summary, std::string& error);
    static bool serializeDeviceStatusQuerySummary(const S_DeviceStatusQuerySummary& summary,
                                                  std::uint64_t sceneGeneration, std::string& json,
                                                  std::string& error);
    // Reconnects every idle node within one supervisor pass; never revives ERROR or PROTOCOL_REJECTED.
    bool requestManualReconnect(S_DeviceReconnectSummary& summary, std::string& error);

    // Frame capture: switching off empties the trace; every change and every record advances the
    // trace version. The flag survives stop and start.
    void setFrameCaptureEnabled(bool enabled);
    bool isFrameCaptureEnabled() const;
    std::uint64_t getFrameTraceVersion() const;
    bool serializeFrameTrace(std::string& json, std::string& error) const;
    // The device status document of GET /api/v1/devices/status and of "device.status".
    bool serializeCommunicationSnapshot(std::uint64_t sceneGeneration, bool deviceTcpEnabled,
                                        std::string& json, std::string& error) const;
    // The health report's "deviceTcp" figures.
    S_DeviceTcpStatusSummary getStatusSummary() const;
    // The metrics endpoint's figures, counted under each node's lock without copying its status.
    S_DeviceTcpMetrics getMetrics() const;

    struct S_Impl;

private:
    void shutdownImplementation();

    // Shared with the device links, which may outlive a run and the manager itself.
    std::shared_ptr<S_Impl> m_impl;
};

}  // namespace ota::backend
