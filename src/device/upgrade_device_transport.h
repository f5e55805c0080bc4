#pragma once

#include "device/communication_node_status.h"
#include "device/device_connection_state.h"
#include "protocol/chunk_frame.h"
#include "protocol/protocol_bodies.h"
#include "protocol/protocol_event.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ota::backend
{

using ProtocolEventCallback = std::function<void(const std::string& deviceId, const S_ProtocolEvent& event)>;
using ConnectionStateCallback =
    std::function<void(const std::string& deviceId, E_DeviceConnectionState state)>;

// One device of a task, resolved once: the same sends as IUpgradeDeviceTransport without a look-up
// by id each time, and a file chunk built in place. A link stays valid across reconnects of its
// node; once the node is gone (the transport stopped, or started again without it) every send
// fails cleanly with the transport's error text. One thread uses a link at a time.
class IUpgradeDeviceLink
{
public:
    virtual ~IUpgradeDeviceLink() = default;

    virtual const std::string& deviceId() const = 0;
    virtual bool sendUpgradeStatusQuery(std::uint32_t upgradeNo, std::string& error) = 0;
    virtual bool sendUpgradeCommand(std::uint32_t upgradeNo, const S_ProtocolCommand& command,
                                    std::string& error) = 0;
    virtual bool sendUpgradeTargetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targetList,
                                       std::string& error) = 0;
    virtual bool sendUpgradeFileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& fileInfo,
                                     std::string& error) = 0;
    // Where the data of the next chunk goes (dataLength 1 to MAX_CHUNK_DATA_LENGTH bytes): the
    // caller reads the file straight into it, then sends the chunk. The area stays the link's
    // own; it is valid until the next call of either operation. Null for a length outside that
    // range: the area holds no more.
    virtual std::uint8_t* chunkPayload(std::size_t dataLength) = 0;
    // Sends the chunk whose data is in chunkPayload: the frame is completed around it and its
    // CRC-32 (crc32 out) computed where the data lies. Checks and error texts as
    // sendUpgradeFileChunk of the transport.
    virtual bool sendUpgradeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                                      std::uint32_t& crc32, std::string& error) = 0;
    // The same in two steps, so that the next chunk can be read and sealed while the device still
    // works on the one before: prepare completes the frame around the data in chunkPayload
    // (crc32 out) and keeps it; sendPreparedChunk sends the frame kept. The next chunkPayload
    // drops it. A link that cannot keep a frame answers false with an empty error (the default),
    // and the caller sends the usual way.
    virtual bool prepareUpgradeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                                         std::uint32_t& crc32, std::string& error)
    {
        (void)upgradeNo;
        (void)header;
        crc32 = 0;
        error.clear();
        return false;
    }
    virtual bool sendPreparedChunk(std::uint32_t upgradeNo, std::string& error)
    {
        (void)upgradeNo;
        error = "No chunk frame is prepared";
        return false;
    }
};

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
    // A link to one device for a task. This one forwards every call to the operations above by
    // id, with the chunk data copied into a S_ProtocolFileChunk; a transport overrides it to do
    // better. The transport must outlive the link.
    virtual std::unique_ptr<IUpgradeDeviceLink> resolveDevice(const std::string& deviceId);
};

}  // namespace ota::backend
