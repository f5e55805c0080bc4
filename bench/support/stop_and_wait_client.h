#pragma once

// A minimal stop-and-wait ota-v1 client for the benchmarks that drive a simulated device
// directly: one blocking loopback socket, the chunk frames of one file encoded in advance, and
// one chunk frame out at a time, each answered by its 26-byte chunk report. Also the processor
// placement and idle-state request those benchmarks measure under.
#include "protocol/protocol_adapter.h"

#include <sched.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ota::bench
{

inline constexpr std::size_t REPORT_FRAME_LENGTH = 26;  // 17 bytes of framing + 9 bytes of chunk report

// Blocking loopback client; TCP_NODELAY like the backend's connections.
class CStopAndWaitClient
{
public:
    explicit CStopAndWaitClient(std::uint16_t port);
    ~CStopAndWaitClient();
    CStopAndWaitClient(const CStopAndWaitClient&) = delete;
    CStopAndWaitClient& operator=(const CStopAndWaitClient&) = delete;

    void send(const std::vector<std::uint8_t>& bytes);
    void receiveExactly(std::uint8_t* data, std::size_t size);
    // Reads until the adapter yields an event (setup steps only).
    backend::S_ProtocolEvent nextEvent(backend::IDeviceProtocolAdapter& adapter);

private:
    int m_socket = -1;
    std::vector<backend::S_ProtocolEvent> m_pending;
};

struct S_ChunkFrames
{
    std::vector<std::vector<std::uint8_t>> frames;
    backend::S_ProtocolFileInfo info;
};

// A file of chunkCount chunks of chunkSize deterministic bytes, as encoded chunk frames.
S_ChunkFrames encodeChunkFrames(backend::IDeviceProtocolAdapter& adapter, std::uint32_t upgradeNo,
                                std::uint16_t chunkSize, std::uint16_t chunkCount);

// Brings a simulated EMU to the point where it expects chunk 0 of the file: target list,
// preparation, START_TRANSFER and the file declaration, each answer awaited. The device must
// not send anything of its own (no status on connect, no progress reports).
void openTransfer(CStopAndWaitClient& client, backend::IDeviceProtocolAdapter& adapter,
                  std::uint32_t upgradeNo, const backend::S_ProtocolFileInfo& info);

// The chunk frames of one upgrade after another on one connection to a simulated EMU.
class CChunkTransfer
{
public:
    CChunkTransfer(CStopAndWaitClient& client, backend::IDeviceProtocolAdapter& adapter,
                   std::uint16_t chunkSize, std::uint16_t chunkCount);

    bool fileSent() const { return m_chunkNo == m_chunkCount; }
    // A new upgrade number (a new target list replaces the device's context) and a new file.
    void openNextUpgrade();
    const std::vector<std::uint8_t>& nextFrame() { return m_file.frames[m_chunkNo++]; }
    // The next chunk frame and its report.
    void roundTrip();

private:
    void open();

    CStopAndWaitClient& m_client;
    backend::IDeviceProtocolAdapter& m_adapter;
    const std::uint16_t m_chunkSize;
    const std::uint16_t m_chunkCount;
    std::uint32_t m_upgradeNo = 1;
    S_ChunkFrames m_file;
    std::uint16_t m_chunkNo = 0;
};

// Pins the calling thread (and so the threads it starts afterwards) to one processor; restores
// the original set. Without pinning, whether client and server share a core decides the figure.
class CProcessorPlacement
{
public:
    CProcessorPlacement();
    int first() const;
    int last() const;
    void pinCallerTo(int cpu) const;
    void restoreCaller() const;

private:
    cpu_set_t m_original{};
};

// Idle processors wake up in about 100 us on the reference machine, more than a whole round
// trip costs; where allowed (root), asks for no deep idle states while the object lives, so the
// figures show the work of each side rather than the wake-ups.
class CLowLatencyRequest
{
public:
    CLowLatencyRequest();
    ~CLowLatencyRequest();
    CLowLatencyRequest(const CLowLatencyRequest&) = delete;
    CLowLatencyRequest& operator=(const CLowLatencyRequest&) = delete;
    bool held() const { return m_descriptor >= 0; }

private:
    int m_descriptor = -1;
};

}  // namespace ota::bench
