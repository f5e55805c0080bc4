#include "device/device_tcp_manager_impl.h"

#include <optional>

// CDeviceTcpLink: one node of the manager, resolved once per task by the execution engine.
//
// Locks: every send takes the manager's run lock shared for its whole length (so the run and its
// node stay put), then the node's locks as any frame does (device_tcp_manager_impl.h). The link's
// own fields are used by one thread at a time (the worker that owns the task's device).
// Lifetime: the link holds the manager's S_Impl by shared pointer; its node pointer is valid
// only while the run it was found in is the current one, which every send checks first.

namespace ota::backend
{

namespace
{

constexpr std::string_view kFileChunkMessage = "MSG_EMS_FILE_CHUNK";

class CDeviceTcpLink final : public IUpgradeDeviceLink
{
public:
    CDeviceTcpLink(std::shared_ptr<CDeviceTcpManager::S_Impl> impl, std::string deviceId)
        : m_impl(std::move(impl)), m_deviceId(std::move(deviceId))
    {
    }

    const std::string& deviceId() const override { return m_deviceId; }

    bool sendUpgradeStatusQuery(std::uint32_t upgradeNo, std::string& error) override
    {
        return sendEncoded(upgradeNo, CDeviceTcpManager::S_Impl::upgradeStatusQueryEncoder(upgradeNo), error);
    }
    bool sendUpgradeCommand(std::uint32_t upgradeNo, const S_ProtocolCommand& command,
                            std::string& error) override
    {
        return sendEncoded(
            upgradeNo,
            [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
                std::string& encodeError)
            { return adapter.encodeCommand(upgradeNo, command, bytes, messageType, encodeError); },
            error);
    }
    bool sendUpgradeTargetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targetList,
                               std::string& error) override
    {
        return sendEncoded(
            upgradeNo,
            [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
                std::string& encodeError)
            { return adapter.encodeTargetList(upgradeNo, targetList, bytes, messageType, encodeError); },
            error);
    }
    bool sendUpgradeFileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& fileInfo,
                             std::string& error) override
    {
        return sendEncoded(
            upgradeNo,
            [&](IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes, std::string& messageType,
                std::string& encodeError)
            { return adapter.encodeFileInfo(upgradeNo, fileInfo, bytes, messageType, encodeError); },
            error);
    }

    std::uint8_t* chunkPayload(std::size_t dataLength) override
    {
        m_chunkFrame.reset();  // the frame handed out last is free again once the loop let go of it
        m_prepared.reset();
        // Every frame buffer holds the largest chunk the protocol allows and no more: a longer
        // request is refused here rather than trusted to whoever checked the chunk size.
        if (dataLength == 0 || dataLength > MAX_CHUNK_FRAME_LENGTH - CHUNK_PAYLOAD_OFFSET - FRAME_TAIL_LENGTH)
        {
            return nullptr;
        }
        m_chunkFrame = freeFrame();
        return chunkPayloadArea(*m_chunkFrame);
    }

    bool sendUpgradeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                              std::uint32_t& crc32, std::string& error) override
    {
        crc32 = 0;
        std::shared_lock<std::shared_mutex> runLock;
        S_CommunicationNodeContext* node = bind(upgradeNo, runLock, error);
        if (node == nullptr || !seal(*node, upgradeNo, header, crc32, error))
        {
            return false;
        }
        const S_ChunkFrameInfo chunk{header.fileNo, header.chunkNo, header.totalChunks};
        return m_impl->submitToNode(*m_impl->run, *node, m_chunkFrame, kFileChunkMessage, upgradeNo, &chunk,
                                    error);
    }

    bool prepareUpgradeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                                 std::uint32_t& crc32, std::string& error) override
    {
        crc32 = 0;
        m_prepared.reset();
        std::shared_lock<std::shared_mutex> runLock;
        S_CommunicationNodeContext* node = bind(upgradeNo, runLock, error);
        if (node == nullptr || !seal(*node, upgradeNo, header, crc32, error))
        {
            return false;
        }
        m_prepared =
            S_Prepared{upgradeNo, S_ChunkFrameInfo{header.fileNo, header.chunkNo, header.totalChunks}};
        return true;
    }

    bool sendPreparedChunk(std::uint32_t upgradeNo, std::string& error) override
    {
        if (!m_prepared || m_prepared->upgradeNo != upgradeNo || !m_chunkFrame)
        {
            error = "No chunk frame is prepared";
            return false;
        }
        const S_ChunkFrameInfo chunk = m_prepared->chunk;
        m_prepared.reset();
        std::shared_lock<std::shared_mutex> runLock;
        S_CommunicationNodeContext* node = bind(upgradeNo, runLock, error);
        if (node == nullptr)
        {
            return false;
        }
        return m_impl->submitToNode(*m_impl->run, *node, m_chunkFrame, kFileChunkMessage, upgradeNo, &chunk,
                                    error);
    }

private:
    struct S_Prepared
    {
        std::uint32_t upgradeNo;
        S_ChunkFrameInfo chunk;
    };

    // Completes the frame of m_chunkFrame around its data (the run lock held).
    bool seal(S_CommunicationNodeContext& node, std::uint32_t upgradeNo,
              const S_ProtocolFileChunkHeader& header, std::uint32_t& crc32, std::string& error)
    {
        if (!m_chunkFrame)
        {
            error = "Upgrade frame encoder is empty";
            return false;
        }
        if (!node.adapter)
        {
            error = "Protocol adapter is unavailable for communication node: " + m_deviceId;
            return false;
        }
        std::lock_guard<std::mutex> adapterLock(node.adapterMutex);
        if (!node.adapter->encodeFileChunkInPlace(upgradeNo, header, *m_chunkFrame, crc32, error))
        {
            if (error.empty())
            {
                error = "Protocol adapter failed to encode upgrade frame";
            }
            return false;
        }
        return true;
    }

    // The node of the current run, with the run lock held shared; null with the send's error text.
    S_CommunicationNodeContext* bind(std::uint32_t upgradeNo, std::shared_lock<std::shared_mutex>& runLock,
                                     std::string& error)
    {
        error.clear();
        if (m_deviceId.empty())
        {
            error = "Communication node ID is empty";
            return nullptr;
        }
        if (upgradeNo == 0)
        {
            error = "Upgrade number must not be zero";
            return nullptr;
        }
        runLock = std::shared_lock<std::shared_mutex>(m_impl->runLock);
        const DeviceTcpRunPointer& run = m_impl->run;
        if (!run || !run->running)
        {
            error = "Device TCP manager is not running";
            return nullptr;
        }
        if (run->serial != m_runSerial)
        {
            // A new run (or the first send): its node of that id, if it has one.
            m_node = m_impl->findNodeLocked(m_deviceId, error);
            m_runSerial = m_node != nullptr ? run->serial : 0;
        }
        return m_node;
    }

    bool sendEncoded(std::uint32_t upgradeNo, const CDeviceTcpManager::S_Impl::FrameEncoder& encoder,
                     std::string& error)
    {
        std::shared_lock<std::shared_mutex> runLock;
        S_CommunicationNodeContext* node = bind(upgradeNo, runLock, error);
        if (node == nullptr)
        {
            return false;
        }
        std::vector<std::uint8_t> bytes;
        std::string messageType;
        if (!CDeviceTcpManager::S_Impl::encodeWith(*node, encoder, bytes, messageType, error))
        {
            return false;
        }
        return m_impl->submitToNode(*m_impl->run, *node, CFrameBuffer::copyOf(bytes), messageType, upgradeNo,
                                    nullptr, error);
    }

    // A chunk frame buffer the event loop no longer holds (a queued frame is shared with the
    // channel until written); a new one only when all are in use. In stop-and-wait the frame of
    // the last chunk is free again: its report came back, so the device had all of it.
    std::shared_ptr<CFrameBuffer> freeFrame()
    {
        for (const std::shared_ptr<CFrameBuffer>& frame : m_frames)
        {
            if (frame.use_count() == 1)
            {
                return frame;
            }
        }
        m_frames.push_back(std::make_shared<CFrameBuffer>(MAX_CHUNK_FRAME_LENGTH));
        return m_frames.back();
    }

    const std::shared_ptr<CDeviceTcpManager::S_Impl> m_impl;
    const std::string m_deviceId;
    std::uint64_t m_runSerial = 0;
    S_CommunicationNodeContext* m_node = nullptr;  // of run m_runSerial
    std::vector<std::shared_ptr<CFrameBuffer>> m_frames;
    std::shared_ptr<CFrameBuffer> m_chunkFrame;  // the frame chunkPayload handed out
    std::optional<S_Prepared> m_prepared;        // m_chunkFrame is sealed and not yet sent
};

}  // namespace

std::unique_ptr<IUpgradeDeviceLink> CDeviceTcpManager::resolveDevice(const std::string& deviceId)
{
    return std::make_unique<CDeviceTcpLink>(m_impl, deviceId);
}

}  // namespace ota::backend
