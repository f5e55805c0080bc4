#pragma once

#include "protocol/device_side_codec.h"

#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace ota::backend
{

// One accepted TCP connection of a simulated device, driven on the simulator's event loop:
// reads into a fixed buffer, decodes the tool-to-device frames, and writes queued bytes in
// order. The device sees it only through the two callbacks, which carry the connection's
// generation so that a replaced connection's late completions are recognised.
// Unwritten bytes a connection may hold (a progress flood of 100,000 frames fits).
inline constexpr std::size_t MAX_QUEUED_BYTES = 32u * 1024u * 1024u;

class CSimConnection : public std::enable_shared_from_this<CSimConnection>
{
public:
    using DecodedHandler = std::function<void(std::uint64_t generation, std::size_t byteCount,
                                              S_DeviceSideDecodeResult& decoded)>;
    using ClosedHandler = std::function<void(std::uint64_t generation)>;

    CSimConnection(boost::asio::ip::tcp::socket socket, std::uint64_t generation, DecodedHandler onDecoded,
                   ClosedHandler onClosed);
    CSimConnection(const CSimConnection&) = delete;
    CSimConnection& operator=(const CSimConnection&) = delete;

    void start();
    // Queues bytes behind everything queued before; ignored once closing. A peer that lets more
    // than MAX_QUEUED_BYTES pile up is disconnected (reported through the closed handler).
    void send(std::vector<std::uint8_t> bytes);
    // Closes once every queued byte has been written (a device that says goodbye first).
    void closeAfterFlush();
    // Closes at once, dropping unwritten bytes (a device that loses its link). Does not call
    // the closed handler: the caller already knows.
    void closeNow();
    // Stops reading after the current read (the peer then meets TCP flow control) until resumed.
    void pauseReading() { m_readPaused = true; }
    void resumeReading();

    bool isOpen() const { return !m_closing; }
    std::uint64_t generation() const { return m_generation; }
    const std::string& peerText() const { return m_peerText; }

private:
    void readMore();
    void writeNext();
    void finishClose();

    boost::asio::ip::tcp::socket m_socket;
    std::uint64_t m_generation;
    DecodedHandler m_onDecoded;
    ClosedHandler m_onClosed;
    CDeviceSideFrameDecoder m_decoder;
    std::array<std::uint8_t, 65536> m_readBuffer{};  // a whole 32 KiB chunk frame per read
    std::deque<std::vector<std::uint8_t>> m_writeQueue;
    std::size_t m_queuedBytes = 0;
    bool m_writing = false;
    bool m_reading = false;
    bool m_readPaused = false;
    bool m_closing = false;
    bool m_closeWhenFlushed = false;
    bool m_closedReported = false;
    std::string m_peerText;
};

}  // namespace ota::backend
