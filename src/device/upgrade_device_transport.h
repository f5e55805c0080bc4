#pragma once

#include "device/communication_node_status.h"
#include "device/device_connection_state.h"
#include "protocol/protocol_bodies.h"
#include "protocol/protocol_event.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ota::backend
{

using ProtocolEventCallback = std::function<void(const std::string& deviceId, const S_ProtocolEvent& event)>;
using ConnectionStateCallback =
    std::function<void(const std::string& deviceId, E_DeviceConnectionState state)>;

// The execution service's only way to the devices. The device id is the communication node id.
// Callbacks run on the transport's own threads; an empty callable removes the registration.
class IUpgradeDeviceTransport
{
public:
    virtual ~IUpgradeDeviceTransport() = default;

    virtual bool sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                        std::string& error) = 0;
    virtual bool sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                                    const S_ProtocolCommand& command, std::string& error) = 0;
    virtual bool sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                                       const S_ProtocolTargetList& targetList, std::string& error) = 0;
    virtual bool sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                                     const S_ProtocolFileInfo& fileInfo, std::string& error) = 0;
    virtual bool sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                                      const S_ProtocolFileChunk& fileChunk, std::string& error) = 0;
    virtual void setProtocolEventCallback(ProtocolEventCallback callback) = 0;
    virtual void setConnectionStateCallback(ConnectionStateCallback callback) = 0;
    // One entry per communication node in topology order; empty while stopped.
    virtual std::vector<S_CommunicationNodeStatus> getCommunicationNodeStatuses() const = 0;
};

}  // namespace ota::backend
