#pragma once

#include "upgrade/scripted_transport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ota::test
{

// One thing a device does in answer to a send: deliver an event or change its connection state,
// after an optional delay (counted from the send).
struct S_DeviceReply
{
    bool isConnectionChange = false;
    backend::S_ProtocolEvent event;
    backend::E_DeviceConnectionState state = backend::E_DeviceConnectionState::CONNECTED;
    std::chrono::milliseconds delay{0};

    static S_DeviceReply of(backend::S_ProtocolEvent event, std::chrono::milliseconds delay = {});
    static S_DeviceReply connection(backend::E_DeviceConnectionState state,
                                    std::chrono::milliseconds delay = {});
};

// Edits the answers of one device before they are delivered: drop, duplicate, delay, change or add.
using DeviceReplyHook = std::function<void(const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)>;

// A well-behaved device: it answers every question of the upgrade workflow the way a real device
// does, and keeps what it received (targets, declared files, chunk data) so that its reports are
// computed from what actually arrived.
//
//   status query       -> status with the query's upgrade number, its upgrade state, its components
//   target list        -> ACK PREPARATION
//   PREPARE_UPGRADE    -> ACK + PREPARATION stage report (result 1, progress 100)
//   START_TRANSFER     -> ACK; after as many file declarations as it announced: one ACK FILE_TRANSFER
//   file chunk         -> chunk report (result 1, CRC-32 of the data received)
//   FINISH_TRANSFER    -> ACK + one verify report per declared file (size and SHA-256 received)
//                         + FILE_RECEIPT_CONFIRMATION stage report
//   START_FLASH        -> ACK + FLASHING stage report
//   RESTART_VERIFY     -> ACK, DISCONNECTED, CONNECTED; from then on its components carry the
//                         target versions (unless applyTargetsOnRestart is off)
//   RESET_CONTEXT (S)  -> ACK S + stage report S, result 3, reason UPGRADE_CONTEXT_RESET
class CScriptedDevice
{
public:
    CScriptedDevice(std::string nodeId, std::vector<backend::S_ProtocolEventComponent> components);

    const std::string& nodeId() const { return m_nodeId; }
    void setHook(DeviceReplyHook hook);
    void setUpgradeState(const std::string& upgradeState, std::uint16_t reasonCode);
    void setApplyTargetsOnRestart(bool apply);

    // What the device holds now.
    std::vector<backend::S_ProtocolEventComponent> components() const;
    std::string receivedFile(std::uint8_t fileNo) const;
    bool restarted() const;

    // The answers to one send, after the hook (called by the site on the delivery thread).
    std::vector<S_DeviceReply> answer(const S_RecordedSend& send);

private:
    std::vector<S_DeviceReply> defaultAnswer(const S_RecordedSend& send);
    void applyTargets();

    struct S_ReceivedFile
    {
        backend::S_ProtocolFileInfo info;
        std::string data;
    };

    const std::string m_nodeId;
    mutable std::mutex m_mutex;
    DeviceReplyHook m_hook;
    std::string m_upgradeState = "READY";
    std::uint16_t m_reasonCode = 0;
    bool m_applyTargetsOnRestart = true;
    bool m_restarted = false;
    std::vector<backend::S_ProtocolEventComponent> m_components;
    backend::S_ProtocolTargetList m_targets;
    std::uint16_t m_announcedFiles = 0;
    std::vector<std::uint8_t> m_declarationOrder;
    std::map<std::uint8_t, S_ReceivedFile> m_files;
};

// The devices of a site, answering through one transport. Installs itself as the transport's
// responder for its lifetime; sends to nodes it does not know get no answer.
class CScriptedSite
{
public:
    explicit CScriptedSite(CScriptedTransport& transport);
    ~CScriptedSite();
    CScriptedSite(const CScriptedSite&) = delete;
    CScriptedSite& operator=(const CScriptedSite&) = delete;

    // Adds a device and lists its node with the given connection state.
    CScriptedDevice& addDevice(
        const std::string& nodeId, std::vector<backend::S_ProtocolEventComponent> components,
        backend::E_DeviceConnectionState state = backend::E_DeviceConnectionState::CONNECTED);
    CScriptedDevice& device(const std::string& nodeId);

private:
    void respond(const S_RecordedSend& send, CScriptedTransport& transport);

    CScriptedTransport& m_transport;
    std::mutex m_mutex;
    std::map<std::string, std::unique_ptr<CScriptedDevice>> m_devices;
};

}  // namespace ota::test
