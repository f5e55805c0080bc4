// A device link, resolved once for a task: it reaches its node across reconnects, puts the chunk
// frame it built in place on the wire byte for byte as the codec encodes it, and fails with the
// manager's texts while its node is gone, finding it again once a new run has it.
#include "common/digest.h"
#include "device/device_test_site.h"
#include "device/raw_device_peer.h"
#include "protocol/protocol_frame.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace ota::backend
{
namespace
{

using ota::test::CRawConnection;
using ota::test::CRawDevicePeer;
using ota::test::quickOptions;
using ota::test::waitForState;
using ota::test::waitUntil;
using State = E_DeviceConnectionState;

// An EMU that reports its status on every connection and records what each connection received.
class CRecordingDevice
{
public:
    CRecordingDevice()
        : m_peer(
              [this](CRawConnection& connection)
              {
                  const std::size_t index = open();
                  if (!connection.send(ota::test::deviceStatusFrame("EMU")))
                  {
                      return;
                  }
                  std::vector<std::uint8_t> bytes;
                  while (!connection.stopping() && !closeRequested(index))
                  {
                      bytes.clear();
                      if (!connection.receive(bytes, std::chrono::milliseconds(20)))
                      {
                          return;
                      }
                      append(index, bytes);
                  }
              })
    {
    }

    std::uint16_t port() const { return m_peer.port(); }
    // Bytes received so far on connection `index` (0-based, in accept order).
    std::vector<std::uint8_t> received(std::size_t index) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return index < m_connections.size() ? m_connections[index].bytes : std::vector<std::uint8_t>{};
    }
    // The device drops connection `index` (as a restarting device does).
    void drop(std::size_t index)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dropped.push_back(index);
    }
    void stop() { m_peer.stop(); }

private:
    struct S_Connection
    {
        std::vector<std::uint8_t> bytes;
    };

    std::size_t open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.emplace_back();
        return m_connections.size() - 1;
    }
    bool closeRequested(std::size_t index) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_dropped.begin(), m_dropped.end(), index) != m_dropped.end();
    }
    void append(std::size_t index, const std::vector<std::uint8_t>& bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& target = m_connections[index].bytes;
        target.insert(target.end(), bytes.begin(), bytes.end());
    }

    mutable std::mutex m_mutex;
    std::vector<S_Connection> m_connections;
    std::vector<std::size_t> m_dropped;
    CRawDevicePeer m_peer;  // last: its thread uses the members above
};

// What a connection received ends with the frame (a status query of the manager's own may come first
// when the device's status is slow to arrive on a loaded machine).
bool endsWith(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& tail)
{
    return bytes.size() >= tail.size() && std::equal(tail.begin(), tail.end(), bytes.end() - tail.size());
}

std::vector<std::uint8_t> encoded(const S_ProtocolFrame& frame)
{
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(encodeFrame(frame, bytes, error)) << error;
    return bytes;
}

TEST(DeviceTcpLink, ReachesItsNodeAcrossReconnectsAndRunsAndFailsWhileTheNodeIsGone)
{
    CRecordingDevice device;
    CDeviceTcpManager manager;
    const auto topology = ota::test::makeDeviceTopology({{"emu-1", "EMU", device.port()}});
    std::string error;
    ASSERT_TRUE(manager.start(topology, quickOptions(), error)) << error;
    ASSERT_TRUE(waitForState(manager, "emu-1", State::CONNECTED));
    const std::unique_ptr<IUpgradeDeviceLink> link = manager.resolveDevice("emu-1");
    EXPECT_EQ(link->deviceId(), "emu-1");

    // A chunk built in place: on the wire exactly as the codec encodes the same chunk.
    std::vector<std::uint8_t> data(5000);
    for (std::size_t i = 0; i < data.size(); ++i)
    {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    std::copy(data.begin(), data.end(), link->chunkPayload(data.size()));
    std::uint32_t crc32 = 0;
    ASSERT_TRUE(link->sendUpgradeFileChunk(9, {1, 2, 4, data.size()}, crc32, error)) << error;
    EXPECT_EQ(crc32, crc32Of(data.data(), data.size()));
    S_ProtocolFrame chunkFrame;
    chunkFrame.messageType = toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK);
    chunkFrame.deviceType = toProtocolByte(E_ProtocolDeviceType::EMU);
    chunkFrame.upgradeNo = 9;
    chunkFrame.body = S_ProtocolFileChunk{1, 2, 4, crc32, data};
    const std::vector<std::uint8_t> expectedChunk = encoded(chunkFrame);
    ASSERT_TRUE(waitUntil([&] { return endsWith(device.received(0), expectedChunk); }))
        << device.received(0).size();

    // The same chunk sealed first and sent later goes out the same; the sealed frame is sent once,
    // only for its own upgrade, and a new payload area drops it.
    std::copy(data.begin(), data.end(), link->chunkPayload(data.size()));
    std::uint32_t preparedCrc32 = 0;
    ASSERT_TRUE(link->prepareUpgradeFileChunk(9, {1, 2, 4, data.size()}, preparedCrc32, error)) << error;
    EXPECT_EQ(preparedCrc32, crc32);
    EXPECT_FALSE(link->sendPreparedChunk(10, error));
    const std::size_t before = device.received(0).size();
    ASSERT_TRUE(link->sendPreparedChunk(9, error)) << error;
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const std::vector<std::uint8_t> received = device.received(0);
            return std::search(received.begin() + static_cast<std::ptrdiff_t>(before), received.end(),
                               expectedChunk.begin(), expectedChunk.end()) != received.end();
        }));
    EXPECT_FALSE(link->sendPreparedChunk(9, error));
    std::copy(data.begin(), data.end(), link->chunkPayload(data.size()));
    ASSERT_TRUE(link->prepareUpgradeFileChunk(9, {1, 2, 4, data.size()}, preparedCrc32, error)) << error;
    EXPECT_NE(link->chunkPayload(data.size()), nullptr);
    EXPECT_FALSE(link->sendPreparedChunk(9, error));

    // A length the frame buffer cannot hold gets no area, and the chunk is not sent.
    for (const std::size_t length : {std::size_t{0}, MAX_CHUNK_DATA_LENGTH + 1, std::size_t{1} << 20})
    {
        EXPECT_EQ(link->chunkPayload(length), nullptr) << length;
    }
    EXPECT_FALSE(link->sendUpgradeFileChunk(9, {1, 3, 4, MAX_CHUNK_DATA_LENGTH + 1}, crc32, error));
    EXPECT_NE(link->chunkPayload(MAX_CHUNK_DATA_LENGTH), nullptr);

    // The device restarts: the same link reaches it on its new connection.
    device.drop(0);
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const auto status = ota::test::nodeStatus(manager, "emu-1");
            return status && status->successfulConnectionCount == 2 &&
                   status->connectionState == State::CONNECTED;
        }));
    ASSERT_TRUE(link->sendUpgradeStatusQuery(9, error)) << error;
    S_ProtocolFrame query;
    query.deviceType = toProtocolByte(E_ProtocolDeviceType::EMU);
    query.upgradeNo = 9;
    const std::vector<std::uint8_t> expectedQuery = encoded(query);
    ASSERT_TRUE(waitUntil([&] { return endsWith(device.received(1), expectedQuery); }));
    EXPECT_GE(ota::test::nodeStatus(manager, "emu-1")->sentFrameCount, 2u);

    // Stopped, the manager has no node; started without this one, neither.
    manager.stop();
    EXPECT_FALSE(link->sendUpgradeStatusQuery(9, error));
    EXPECT_EQ(error, "Device TCP manager is not running");
    EXPECT_FALSE(link->sendUpgradeFileChunk(9, {1, 3, 4, 10}, crc32, error));
    EXPECT_EQ(error, "Device TCP manager is not running");
    const auto without = ota::test::makeDeviceTopology({{"emu-2", "EMU", device.port()}});
    ASSERT_TRUE(manager.start(without, quickOptions(), error)) << error;
    EXPECT_FALSE(link->sendUpgradeStatusQuery(9, error));
    EXPECT_EQ(error, "Communication node does not exist: emu-1");
    manager.stop();

    // A run that has the node again: the link finds it.
    ASSERT_TRUE(manager.start(topology, quickOptions(), error)) << error;
    ASSERT_TRUE(waitForState(manager, "emu-1", State::CONNECTED));
    std::copy(data.begin(), data.end(), link->chunkPayload(data.size()));
    const std::uint64_t sentBefore = ota::test::nodeStatus(manager, "emu-1")->sentFrameCount;
    ASSERT_TRUE(link->sendUpgradeFileChunk(9, {1, 2, 4, data.size()}, crc32, error)) << error;
    EXPECT_EQ(ota::test::nodeStatus(manager, "emu-1")->sentFrameCount, sentBefore + 1);
    EXPECT_FALSE(link->sendUpgradeStatusQuery(0, error));
    EXPECT_EQ(error, "Upgrade number must not be zero");
    manager.stop();
    device.stop();
}

}  // namespace
}  // namespace ota::backend
