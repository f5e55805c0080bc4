#pragma once

#include "protocol/protocol_frame.h"
#include "sim/sim_connection.h"
#include "sim/sim_counters.h"
#include "sim/sim_device_spec.h"
#include "sim/sim_hash_worker.h"
#include "sim/sim_log.h"
#include "sim/sim_upgrade_context.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// One simulated EMU, PCS or BMS: its listening socket, its current connection, its component
// versions and upgrade context, its faults and counters. Every member is used on the
// simulator's event loop thread only (listen() before that loop runs); received chunks are
// hashed on the simulator's hash worker.
class CSimDevice
{
public:
    CSimDevice(boost::asio::io_context& io, CSimHashWorker& hasher, S_SimDeviceSpec spec, const CSimLog& log);
    CSimDevice(const CSimDevice&) = delete;
    CSimDevice& operator=(const CSimDevice&) = delete;
    ~CSimDevice();

    // Opens, binds and listens on the device's configured endpoint (port 0: an ephemeral one).
    bool listen(std::string& error);
    void startAccepting();
    // Closes everything and cancels every timer; nothing is re-armed afterwards.
    void shutdown();

    void addFault(const S_SimFault& fault);
    void clearFaults();
    S_SimDeviceSnapshot snapshot() const;
    const std::string& nodeId() const { return m_spec.nodeId; }

private:
    struct S_FaultState
    {
        S_SimFault fault;
        std::uint32_t fired = 0;
    };

    // One entry of the device's serial output: bytes to write and/or an action to run once
    // everything before it has been written.
    struct S_Outgoing
    {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> bytes;
        std::uint8_t messageType = 0;         // 0: raw bytes
        std::function<void()> action;
    };

    // A timed piece of work with progress reports (preparation or flashing).
    struct S_WorkJob
    {
        std::uint8_t stage = 0;
        std::uint32_t upgradeNo = 0;
        std::uint32_t durationMs = 0;
        std::uint32_t elapsedMs = 0;
        std::uint32_t stepMs = 0;
        std::optional<std::uint8_t> failAtPercentage;
        std::uint8_t failReason = 0;
        std::uint8_t successResult = 1;
        std::function<void(bool succeeded)> onDone;
    };

    // Connection life.
    void acceptNext();
    void onAccepted(boost::asio::ip::tcp::socket socket);
    void onDecoded(std::uint64_t generation, std::size_t byteCount, S_DeviceSideDecodeResult& decoded);
    void onConnectionClosed(std::uint64_t generation);
    void dropConnection(bool flushFirst, const std::string& why);
    void detachConnection();
    bool connectionIs(std::uint64_t generation) const;
    bool holdForHashing(const S_ProtocolFrame& frame);
    void resumeHeldFrames(std::uint64_t holdToken);

    // Conversation.
    void handleFrame(S_ProtocolFrame& frame);
    void handleStatusQuery(const S_ProtocolFrame& frame);
    void handleTargetList(const S_ProtocolFrame& frame);
    void handleCommand(const S_ProtocolFrame& frame);
    void handlePrepare(const S_ProtocolFrame& frame);
    void handleStartTransfer(const S_ProtocolFrame& frame, const S_ProtocolCommand& command);
    void handleFileInfo(const S_ProtocolFrame& frame);
    void handleFileChunk(S_ProtocolFrame& frame);
    void handleFinishTransfer(const S_ProtocolFrame& frame);
    void handleStartFlash(const S_ProtocolFrame& frame);
    void handleRestartVerify(const S_ProtocolFrame& frame);
    void handleReset(const S_ProtocolFrame& frame, const S_ProtocolCommand& command);
    bool prologue(E_SimRequest request, std::optional<std::uint8_t> fileNo = {},
                  std::optional<std::uint16_t> chunkNo = {});
    bool contextMatches(std::uint32_t upgradeNo) const;
    void refuseOutOfSequence(E_SimRequest request, std::uint8_t stage, std::uint32_t upgradeNo,
                             std::uint8_t reasonCode);

    // Timed work, reboot.
    void startWork(S_WorkJob job);
    void scheduleWorkTick();
    void workTick();
    void cancelWork();
    void beginReboot();
    void finishReboot();
    void retryListen();
    void finishWork(bool succeeded);

    // Output.
    void sendStatus(E_SimRequest cause, std::uint32_t upgradeNo);
    void sendAck(E_SimRequest cause, std::uint8_t stage, std::uint8_t result, std::uint8_t reasonCode,
                 std::uint32_t upgradeNo);
    void sendStageReport(E_SimRequest cause, std::uint8_t stage, std::uint8_t result, std::uint8_t progress,
                         std::uint8_t reasonCode, std::uint32_t upgradeNo);
    void sendProgressRound(const S_WorkJob& job, std::uint8_t percentage);
    void sendFrame(E_SimRequest cause, std::uint8_t messageType, std::uint32_t upgradeNo, S_ProtocolFrameBody body,
                   std::uint32_t extraDelayMs = 0);
    void sendGarbage(std::uint32_t byteCount);
    void enqueue(S_Outgoing outgoing, std::uint32_t extraDelayMs);
    void runAfterQueued(std::function<void()> action);
    void flushOutbox();
    void writeOut(S_Outgoing& outgoing);

    // Faults.
    S_FaultState* findFault(E_SimFaultKind kind, const std::function<bool(const S_SimFault&)>& matches = {});
    void fire(S_FaultState& state);
    std::uint8_t frameDeviceType(E_SimRequest cause);

    boost::asio::io_context& m_io;
    CSimHashWorker& m_hasher;
    std::shared_ptr<CSimHashLane> m_hashLane;
    S_SimDeviceSpec m_spec;
    const CSimLog& m_log;
    std::vector<S_ProtocolComponentVersion> m_components;
    std::vector<S_FaultState> m_faults;
    S_SimDeviceCounters m_counters;

    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::ip::tcp::endpoint m_endpoint;
    bool m_listening = false;
    bool m_stopped = false;
    std::shared_ptr<CSimConnection> m_connection;
    std::uint64_t m_generation = 0;

    // Frames of the current connection waiting, in arrival order, for the hash worker (reading
    // is paused meanwhile); a token tells a stale wake-up from the current one.
    std::deque<S_ProtocolFrame> m_heldFrames;
    std::uint64_t m_holdToken = 0;

    std::optional<S_SimUpgradeContext> m_context;
    std::uint32_t m_lastCompletedUpgradeNo = 0;
    std::vector<S_ProtocolComponentVersion> m_pendingVersions;

    std::optional<S_WorkJob> m_work;
    std::uint64_t m_workGeneration = 0;
    boost::asio::steady_timer m_workTimer;
    boost::asio::steady_timer m_rebootTimer;
    std::uint64_t m_listenGeneration = 0;
    boost::asio::steady_timer m_retryTimer;

    std::deque<S_Outgoing> m_outbox;
    boost::asio::steady_timer m_outboxTimer;
    bool m_outboxTimerArmed = false;
};

}  // namespace ota::backend
