#pragma once

// Internal state of CDeviceTcpManager, shared by its implementation files.

#include "device/device_tcp_channel.h"
#include "device/device_tcp_client.h"
#include "device/device_tcp_manager.h"
#include "device/frame_trace.h"
#include "protocol/protocol_adapter.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ota::backend
{

// One communication node of a run. Every field below the atomic is guarded by the manager's
// state mutex, except the client, adapter and the two mutexes, which are fixed for the run.
struct S_CommunicationNodeContext
{
    S_CommunicationNodeStatus status;  // identity, state, counters, times, last device status
    std::size_t position = 0;          // index in topology order
    std::atomic<bool> autoReconnect{true};

    std::uint64_t connectionGeneration = 0;
    bool hasConnection = false;
    CDeviceTcpChannel::Pointer channel;
    bool connectTaskQueued = false;

    bool replyPending = false;
    std::int64_t replyDeadline = 0;
    bool closeOnTimeout = false;
    bool closing = false;
    std::int64_t initialQueryAt = 0;
    bool initialQuerySent = false;
    std::uint64_t querySerial = 0;  // identifies the pending query

    std::unique_ptr<CDeviceTcpClient> client;
    std::unique_ptr<IDeviceProtocolAdapter> adapter;
    std::mutex adapterMutex;
    std::mutex sendMutex;
    std::uint32_t reconnectIntervalMs = 0;
    std::uint32_t initialStatusQueryDelayMs = 0;
    std::uint32_t statusReplyTimeoutMs = 0;
    std::int32_t keepAliveIdleSeconds = 0;
};

struct S_DeviceTcpRunContext
{
    // Declared first so that it is destroyed last: channels and timers refer to it.
    boost::asio::io_context loop;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> loopWork;
    std::thread loopThread;
    std::atomic<std::thread::id> loopThreadId{};
    std::atomic<bool> loopRunning{false};
    std::thread supervisorThread;

    std::vector<std::unique_ptr<S_CommunicationNodeContext>> nodes;
    std::unordered_map<std::string, S_CommunicationNodeContext*> nodesById;
    S_DeviceTcpOptions options;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};

    std::mutex wakeMutex;
    std::condition_variable wakeCondition;
    bool wake = false;

    std::size_t rotatingStartIndex = 0;  // supervisor thread only
    std::atomic<std::uint32_t> queuedConnectCount{0};
    std::atomic<std::uint32_t> maxQueuedConnectCount{0};
    std::atomic<std::uint64_t> nextChannelId{1};

    bool isLoopThread() const { return loopThreadId.load() == std::this_thread::get_id(); }
};

using DeviceTcpRunPointer = std::shared_ptr<S_DeviceTcpRunContext>;

// Result of the disconnect handling, acted on after the state mutex is released.
struct S_DisconnectOutcome
{
    E_DeviceConnectionState previousState = E_DeviceConnectionState::PENDING;
    E_DeviceConnectionState currentState = E_DeviceConnectionState::PENDING;
};

enum class E_StatusQuerySubmission : int
{
    SUBMITTED = 0,
    SKIPPED = 1,
    FAILED = 2,
};

struct CDeviceTcpManager::S_Impl
{
    // Serialises start and stop as a whole; no other operation takes it.
    std::mutex lifecycleMutex;
    // Exclusive while start publishes the run context and while stop withdraws it, shared for
    // every other public operation. Stop waits for the loop and supervisor threads only after it
    // has released the lock, so a callback on those threads may call back into the manager.
    mutable std::shared_mutex runLock;
    DeviceTcpRunPointer run;  // null when stopped; written under runLock exclusively

    mutable std::mutex stateMutex;
    CFrameTraceRing traceRing;
    bool captureEnabled = false;
    std::uint64_t traceVersion = 0;

    mutable std::mutex callbackMutex;
    ProtocolEventCallback protocolEventCallback;
    ConnectionStateCallback connectionStateCallback;

    std::mutex statusQueryMutex;

    // --- callbacks and log (no manager lock may be held by the caller) ---
    void deliverProtocolEvent(const std::string& nodeId, const S_ProtocolEvent& event);
    void deliverConnectionState(const std::string& nodeId, E_DeviceConnectionState state);

    // --- frame trace ---
    void recordFrameTraceLocked(const S_CommunicationNodeContext& node, std::string_view direction,
                                std::string_view messageType, std::uint32_t upgradeNo, std::uint64_t frameLength,
                                std::string hexText, std::string errorSummary);
    void recordFrameTrace(const S_CommunicationNodeContext& node, std::string_view direction,
                          std::string_view messageType, std::uint32_t upgradeNo, std::uint64_t frameLength,
                          std::string hexText, std::string errorSummary);
    void recordOutgoingFrameTrace(const S_CommunicationNodeContext& node, std::string_view direction,
                                  std::string_view messageType, std::uint32_t upgradeNo,
                                  const std::vector<std::uint8_t>& bytes, std::string errorSummary);

    // --- connection state machine (device_tcp_connection.cpp) ---
    void postConnectTask(const DeviceTcpRunPointer& run, S_CommunicationNodeContext& node);
    void runConnectTask(S_DeviceTcpRunContext& run, S_CommunicationNodeContext& node);
    void onChannelConnected(S_CommunicationNodeContext& node, const CDeviceTcpChannel::Pointer& channel,
                            std::uint64_t generation);
    void onChannelClosed(S_CommunicationNodeContext& node, const CDeviceTcpChannel::Pointer& channel,
                         std::uint64_t generation);
    S_DisconnectOutcome disconnectLocked(S_CommunicationNodeContext& node, std::int64_t now);
    void finishDisconnect(S_CommunicationNodeContext& node, const S_DisconnectOutcome& outcome);
    static void scheduleReconnectLocked(S_CommunicationNodeContext& node, std::int64_t now);
    static void clearStatusQueryLocked(S_CommunicationNodeContext& node);
    static bool isCurrentLocked(const S_CommunicationNodeContext& node, const CDeviceTcpChannel* channel,
                                std::uint64_t generation);

    // --- receive path (device_tcp_receive.cpp) ---
    void onChannelData(S_CommunicationNodeContext& node, const CDeviceTcpChannel::Pointer& channel,
                       std::uint64_t generation, const std::uint8_t* data, std::size_t size);

    // --- supervisor (device_tcp_supervisor.cpp) ---
    void runSupervisor(const DeviceTcpRunPointer& run);
    void supervisePass(const DeviceTcpRunPointer& run);

    // --- status query (device_tcp_status_query.cpp) ---
    E_StatusQuerySubmission submitStatusQuery(S_DeviceTcpRunContext& run, S_CommunicationNodeContext* node,
                                              bool closeOnTimeout, bool withLog, S_DeviceStatusQueryResult& result);
};

// "[" + level + "] " + message; ERROR to standard error, the rest to standard output.
void logDeviceLine(std::string_view level, const std::string& message);

// Texts reported by a device may hold any bytes; JSON output needs valid UTF-8.
std::string toValidUtf8(std::string_view text);

}  // namespace ota::backend
