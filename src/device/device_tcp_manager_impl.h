#pragma once

// Internal state of CDeviceTcpManager, shared by its implementation files.
//
// Locks, in the only order they are ever nested:
//   lifecycleMutex -> runLock (exclusive for start and stop, shared otherwise) -> statusQueryMutex
//   -> a node's sendMutex -> that node's mutex -> traceMutex.
// A node's adapterMutex is never held together with its mutex. The callback mutex and the console
// mutex are leaves; no callback is called and no blocking socket call is made with a node's mutex
// held. Per-frame work touches only the sending or receiving node's locks, never a manager-wide
// one (runLock is taken shared).
//
// Lifetimes: the run context lives from start until stop has joined the loop and the supervisor;
// its nodes are cleared only after that. A device link (CDeviceTcpLink) holds the manager's
// S_Impl by shared pointer and finds its node again under runLock whenever the run changed, so it
// outlives runs and even the manager object.

#include "device/chunk_transfer_log.h"
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
#include <functional>
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

// One communication node of a run. Every field below the atomic is guarded by the node's own
// mutex, except the client, adapter and the mutexes, which are fixed for the run. The identity in
// `status` (id, name, path, types, address, port) is fixed for the run too and read without a lock.
struct S_CommunicationNodeContext
{
    mutable std::mutex mutex;          // the node's state: status, connection, query and transfer bookkeeping
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
    CChunkTransferLog transferLog;  // which chunk frames and reports get a console line
    S_ProtocolDecodeResult decoded;  // event loop thread only: the last read's decode, reused

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
    std::uint64_t serial = 0;  // identifies the run; a new start gives a new one
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
    std::string transferSummary;  // the file transfer the disconnect stopped, if one was running
};

// What the submission of a file chunk frame tells the console log about the frame.
struct S_ChunkFrameInfo
{
    std::uint8_t fileNo = 0;
    std::uint16_t chunkNo = 0;
    std::uint16_t totalChunks = 0;
};

enum class E_NodeWriteOutcome : std::uint8_t
{
    REFUSED,  // the admission check said no; nothing was written
    WRITTEN,
    WRITE_FAILED,        // the channel refused the bytes (writeResult < 0)
    CONNECTION_CHANGED,  // the node's connection was replaced while the frame was written
};

struct S_NodeWriteResult
{
    E_NodeWriteOutcome outcome = E_NodeWriteOutcome::REFUSED;
    int writeResult = 0;
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
    std::uint64_t runSerial = 0;  // of the last run started (lifecycleMutex)

    // The frame trace: its own lock, never held while another is taken.
    mutable std::mutex traceMutex;
    CFrameTraceRing traceRing;
    std::uint64_t traceVersion = 0;
    std::atomic<bool> captureEnabled{false};  // written under traceMutex

    mutable std::mutex callbackMutex;
    std::shared_ptr<const ProtocolEventCallback> protocolEventCallback;
    std::shared_ptr<const ConnectionStateCallback> connectionStateCallback;

    std::mutex statusQueryMutex;

    // --- frame submission (device_tcp_transport.cpp); chunk is set for file chunk frames ---
    using FrameEncoder = std::function<bool(IDeviceProtocolAdapter& adapter, std::vector<std::uint8_t>& bytes,
                                            std::string& messageType, std::string& error)>;
    static FrameEncoder upgradeStatusQueryEncoder(std::uint32_t upgradeNo);
    // Steps of the upgrade frame submission: the node by id (run lock shared while encoding), the
    // encoder under the node's adapter mutex, then the encoded frame submission.
    bool encodeForNode(const std::string& deviceId, std::uint32_t upgradeNo, const FrameEncoder& encoder,
                       std::vector<std::uint8_t>& bytes, std::string& messageType, std::string& error);
    static bool encodeWith(S_CommunicationNodeContext& node, const FrameEncoder& encoder,
                           std::vector<std::uint8_t>& bytes, std::string& messageType, std::string& error);
    bool sendUpgradeFrame(const std::string& deviceId, std::uint32_t upgradeNo, const FrameEncoder& encoder,
                          std::string& error, const S_ChunkFrameInfo* chunk = nullptr);
    // The node of the current run by id (runLock held by the caller); null with the send's error.
    S_CommunicationNodeContext* findNodeLocked(const std::string& deviceId, std::string& error) const;
    bool submitFrame(const std::string& deviceId, const std::vector<std::uint8_t>& bytes,
                     std::string_view messageType, std::uint32_t upgradeNo, const S_ChunkFrameInfo* chunk,
                     std::string& error);
    // An encoded frame to a known node of the run (run lock held shared by the caller): the
    // connection checks, the write, counters, trace record and console line.
    bool submitToNode(S_DeviceTcpRunContext& run, S_CommunicationNodeContext& node,
                      const CDeviceTcpChannel::FramePointer& frame, std::string_view messageType,
                      std::uint32_t upgradeNo, const S_ChunkFrameInfo* chunk, std::string& error);
    // The one write sequence of every frame to a node: under the node's send mutex, `admit()` runs
    // with the node's mutex held and decides (and books) the write; the frame goes to the current
    // channel without the node's mutex; then `account(result)` runs with it held again. The
    // caller traces and logs by the outcome.
    template <typename Admit, typename Account>
    static S_NodeWriteResult writeToNode(S_CommunicationNodeContext& node,
                                         const CDeviceTcpChannel::FramePointer& frame, Admit&& admit,
                                         Account&& account)
    {
        S_NodeWriteResult result;
        std::lock_guard<std::mutex> sendLock(node.sendMutex);
        CDeviceTcpChannel::Pointer channel;
        std::uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(node.mutex);
            if (!admit())
            {
                return result;
            }
            channel = node.channel;
            generation = node.connectionGeneration;
        }
        result.writeResult = channel->write(frame);
        std::lock_guard<std::mutex> lock(node.mutex);
        if (!isCurrentLocked(node, channel.get(), generation))
        {
            result.outcome = E_NodeWriteOutcome::CONNECTION_CHANGED;
        }
        else
        {
            result.outcome =
                result.writeResult < 0 ? E_NodeWriteOutcome::WRITE_FAILED : E_NodeWriteOutcome::WRITTEN;
        }
        account(result);
        return result;
    }

    // --- callbacks and log (no manager lock may be held by the caller) ---
    void deliverProtocolEvent(const std::string& nodeId, const S_ProtocolEvent& event);
    void deliverConnectionState(const std::string& nodeId, E_DeviceConnectionState state);

    // --- frame trace (any node lock may be held) ---
    void recordFrameTrace(const S_CommunicationNodeContext& node, std::string_view direction,
                          std::string_view messageType, std::uint32_t upgradeNo, std::uint64_t frameLength,
                          std::string hexText, std::string errorSummary);
    void recordOutgoingFrameTrace(const S_CommunicationNodeContext& node, std::string_view direction,
                                  std::string_view messageType, std::uint32_t upgradeNo,
                                  const std::uint8_t* data, std::size_t size, std::string errorSummary);

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

enum class E_DeviceLogLevel : std::uint8_t
{
    INFO,
    WARN,
    ERROR,
};

// "[" + level + "] " + message; ERROR to standard error, the rest to standard output.
void logDeviceLine(E_DeviceLogLevel level, const std::string& message);
// The summary line of a file transfer (CChunkTransferLog), when there is one.
void logTransferSummary(const std::string& summary);

// Texts reported by a device may hold any bytes; JSON output needs valid UTF-8.
std::string toValidUtf8(std::string_view text);

}  // namespace ota::backend
