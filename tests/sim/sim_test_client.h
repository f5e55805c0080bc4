#pragma once

#include "protocol/protocol_adapter.h"
#include "protocol/protocol_event.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ota::test
{

// The backend's side of one device connection, built from the protocol library: encodes
// requests with the adapter of the node type and decodes the device's answers into events.
// Blocking socket with bounded waits; one thread.
class CSimTestClient
{
public:
    explicit CSimTestClient(const std::string& protocolNodeType);
    ~CSimTestClient();
    CSimTestClient(const CSimTestClient&) = delete;
    CSimTestClient& operator=(const CSimTestClient&) = delete;

    // One attempt; false when refused (a rebooting device).
    bool connect(std::uint16_t port);
    // Retries until connected or the bound passes (a device coming back from its reboot).
    bool connectWithin(std::uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(20));
    void close();
    bool isConnected() const { return m_socket >= 0; }

    bool sendBytes(const std::vector<std::uint8_t>& bytes);
    bool queryStatus(std::uint32_t upgradeNo);
    bool command(std::uint32_t upgradeNo, std::uint8_t commandType, std::uint8_t stage, std::uint16_t commandParam = 0);
    bool targetList(std::uint32_t upgradeNo, const ota::backend::S_ProtocolTargetList& targets);
    bool fileInfo(std::uint32_t upgradeNo, const ota::backend::S_ProtocolFileInfo& info);
    bool fileChunk(std::uint32_t upgradeNo, const ota::backend::S_ProtocolFileChunk& chunk);

    // The next decoded event; nullopt when the bound passes or the device closed first.
    std::optional<ota::backend::S_ProtocolEvent> nextEvent(std::chrono::milliseconds bound = std::chrono::seconds(10));
    // The next event that is not a progress report (those are counted in progressCount()).
    std::optional<ota::backend::S_ProtocolEvent> nextNonProgress(std::chrono::milliseconds bound = std::chrono::seconds(10));
    // True once the device has closed the connection (buffered events are dropped).
    bool waitClosed(std::chrono::milliseconds bound = std::chrono::seconds(10));

    std::uint64_t progressCount() const { return m_progressCount; }
    std::uint64_t discardedByteCount() const { return m_discarded; }
    const std::vector<std::string>& decodeErrors() const { return m_errors; }
    bool rejected() const { return m_rejected; }
    const std::string& rejectionReason() const { return m_rejectionReason; }

private:
    bool readSome(std::chrono::milliseconds bound);

    std::unique_ptr<ota::backend::IDeviceProtocolAdapter> m_adapter;
    int m_socket = -1;
    bool m_peerClosed = false;
    std::deque<ota::backend::S_ProtocolEvent> m_events;
    std::uint64_t m_progressCount = 0;
    std::uint64_t m_discarded = 0;
    std::vector<std::string> m_errors;
    bool m_rejected = false;
    std::string m_rejectionReason;
};

// Raises the soft descriptor limit to the hard one (1,000 devices need ~3,000 descriptors in
// one test process); returns the limit in force.
std::uint64_t raiseOpenFileLimit();

}  // namespace ota::test
