#pragma once

#include "protocol/protocol_frame.h"
#include "sim/sim_counters.h"
#include "sim/sim_device_spec.h"
#include "sim/sim_fault_book.h"
#include "sim/sim_hash_worker.h"
#include "sim/sim_log.h"
#include "sim/sim_replies.h"
#include "sim/sim_timed_work.h"
#include "sim/sim_upgrade_context.h"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// The device side of the ota-v1 upgrade conversation: what a device does with each request in
// each phase of its upgrade context, where its faults bend the answer, its preparation and
// flashing, and what a restart changes (the staged versions become the running ones). The
// context belongs to the device, not to a connection: it survives reconnects.
//
// Lifetime: owned by its device, with its timed work (and so its only timer). The hooks reach
// back into the device, which outlives the conversation's every call. Used on the simulator's
// event loop only.
class CSimConversation
{
public:
    struct S_Hooks
    {
        std::function<void(const std::string& why)> dropLink;  // a DISCONNECT fault
        std::function<void()> restartAfterReplies;             // RESTART_VERIFY accepted
    };

    CSimConversation(boost::asio::io_context& io, const S_SimDeviceSpec& spec, const CSimLog& log,
                     S_SimDeviceCounters& counters, CSimFaultBook& faults, CSimOutbox& outbox,
                     CSimHashWorker& hasher, std::shared_ptr<CSimHashLane> hashLane, S_Hooks hooks);

    // A connection was accepted: the CONNECT faults, then the greeting status.
    void onConnected();
    void handleRequest(S_ProtocolFrame& frame);
    // The restart begins: running work stops.
    void beginRestart();
    // The restart is over: the staged versions run (unless a fault keeps the old ones), the
    // context is gone and the upgrade counts as completed.
    void finishRestart();
    // The fallback restart is over: the versions from before the last upgrade run again (an A/B
    // device whose watchdog returned to the old slot); any context is gone with the reboot.
    void finishRollback();
    // From now on every status reports FAULT with this reason.
    void reportFaultFromNowOn(std::uint8_t reasonCode);
    void stop();

    const std::vector<S_ProtocolComponentVersion>& components() const { return m_components; }
    std::optional<std::uint32_t> contextUpgradeNo() const;
    std::uint32_t lastCompletedUpgradeNo() const { return m_lastCompletedUpgradeNo; }

private:
    void handleStatusQuery(const S_ProtocolFrame& frame);
    void handleTargetList(const S_ProtocolFrame& frame);
    void handleCommand(const S_ProtocolFrame& frame);
    void handlePrepare(const S_ProtocolFrame& frame);
    void handleStartTransfer(const S_ProtocolFrame& frame, const S_ProtocolCommand& command);
    void handleFileInfo(const S_ProtocolFrame& frame);
    void handleFileChunk(S_ProtocolFrame& frame);
    void handleFinishTransfer(const S_ProtocolFrame& frame);
    void handleStartFlash(const S_ProtocolFrame& frame);
    void preparationEnded(std::uint32_t upgradeNo, bool succeeded);
    void flashingEnded(std::uint32_t upgradeNo, bool succeeded);
    void handleRestartVerify(const S_ProtocolFrame& frame);
    void handleReset(const S_ProtocolFrame& frame, const S_ProtocolCommand& command);

    // The faults of the moment a request arrives (DISCONNECT, GARBAGE_BYTES); false when the
    // link is gone and the request is not answered.
    bool prologue(E_SimRequest request, std::optional<std::uint8_t> fileNo = {},
                  std::optional<std::uint16_t> chunkNo = {});
    bool contextMatches(std::uint32_t upgradeNo) const;
    std::string versionsText() const;
    void sendStatus(E_SimRequest cause, std::uint32_t upgradeNo);
    void refuseOutOfSequence(E_SimRequest request, std::uint8_t stage, std::uint32_t upgradeNo,
                             std::uint8_t reasonCode);
    void sendProgressFlood(E_SimRequest cause, std::uint8_t stage, std::uint32_t upgradeNo,
                           std::uint32_t count);
    // Preparation or flashing: progress for every target, then the stage report; onDone runs
    // once the work has ended (not when it is cancelled).
    void startStageWork(std::uint8_t stage, std::uint32_t upgradeNo, std::uint32_t durationMs,
                        std::optional<std::uint8_t> failAtPercentage, std::uint8_t failReason,
                        std::function<void(bool succeeded)> onDone);

    const S_SimDeviceSpec& m_spec;
    const CSimLog& m_log;
    S_SimDeviceCounters& m_counters;
    CSimFaultBook& m_faults;
    CSimHashWorker& m_hasher;
    std::shared_ptr<CSimHashLane> m_hashLane;
    S_Hooks m_hooks;
    CSimReplies m_replies;
    CSimTimedWork m_work;

    std::vector<S_ProtocolComponentVersion> m_components;
    std::optional<S_SimUpgradeContext> m_context;
    std::uint32_t m_lastCompletedUpgradeNo = 0;
    std::vector<S_ProtocolComponentVersion> m_pendingVersions;        // flashed, running after the restart
    std::vector<S_ProtocolComponentVersion> m_versionsBeforeUpgrade;  // what a fallback returns to
    std::optional<std::uint8_t> m_faultReason;                        // reporting FAULT for good
};

}  // namespace ota::backend
