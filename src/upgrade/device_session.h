#pragma once

// One device of a running task, as the execution engine keeps it: its record (what the state
// document shows and the workflow's own bookkeeping), its one pending question, the queue of its
// answers, the waits of its worker, and its own lock and condition variable. The transport's
// callbacks put the device's events in here; the device's worker (one at a time) takes them out.
//
// Lock: `mutex` guards everything marked (mutex). It is taken by the transport's threads for one
// event or connection change at a time, by the device's worker, and by the publisher while it
// copies the record; never together with another session's. While it is held only the
// publisher's lock (CStatePublisher, a leaf) and a registry's own lock may be taken. The
// connection state, `ready` and `completed` are mirrored into atomics for the scheduler, which
// reads them without the lock.
//
// The in-flight registries note the entry time of every callback for this device still running:
// a callback is entered (and stamped) before it takes `mutex`, so a worker whose deadline has come
// can tell that an answer received in time is still on its way (it waits up to 10 ms for it).
//
// Lifetime: a session lives as long as the task it belongs to (S_TaskRun), which callbacks and
// workers hold by shared pointer; `targets` point into the task's snapshot, held by the same.
//
// File transfer: while the worker of the device transfers its files, a chunk pump (IChunkPump,
// chunk_pump.h) is attached to the session. A report of the chunk in flight is then offered to the
// pump first, on the thread that delivered it and under `mutex`; a pump that takes it has claimed
// the device's link, and the same thread sends the next chunk once `mutex` is released (the pump
// takes `mutex` again, briefly, to give the link back). The worker is not woken for such a report:
// it keeps waiting on the session (waitForEvent with the pump) with a deadline the pump's sends
// push forward, and is woken only for what it decides: a report the pump left (the last chunk, a
// failure, a mismatch), a failure of the pump's own send, abort, stop, the deadline. Whenever that
// wait returns the pump is disarmed and the link is back with the worker.

#include "common/clock.h"
#include "firmware/upgrade_task_snapshot.h"
#include "protocol/protocol_enums.h"
#include "protocol/protocol_event.h"
#include "upgrade/execution_state.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

using TimePoint = SteadyClock::time_point;
// "Never" for the steady-clock fields below; a real reading is never the clock's epoch.
inline constexpr TimePoint kNever{};

enum class E_WaitResult : std::uint8_t
{
    WAIT_MATCHED = 0,
    WAIT_TIMEOUT = 1,
    WAIT_STOPPED = 2,  // service stopping, or the device was completed meanwhile
    WAIT_ABORT_REQUESTED = 3,
    WAIT_EVENT_STREAM_FAILED = 4,
    WAIT_PUMP_STOPPED = 5,  // the chunk pump could not send its next chunk (it holds why)
};

inline constexpr std::size_t kDeviceEventQueueCapacity = 256;
inline constexpr std::uint16_t kTimeoutReasonCode = 17;
inline constexpr std::uint16_t kVersionVerifyReasonCode = 8;

// Lines are written after the lock is released; INFO and WARN to standard output, ERROR to
// standard error, each under the service's log mutex.
enum class E_LogLevel : std::uint8_t
{
    INFO,
    WARN,
    ERROR,
};

struct S_LogLine
{
    E_LogLevel level = E_LogLevel::INFO;
    std::string text;
};

// What the session tells the publisher; called with the session's lock held.
class IStateChangeSink
{
public:
    virtual ~IStateChangeSink() = default;
    // A structural change: stage, terminal state, counters, connection state.
    virtual void stateChanged() = 0;
    // Only a position or a percentage moved.
    virtual void progressChanged() = 0;
};

// Which queued events a wait takes or a purge removes: by message, and by stage, file or chunk
// where the message has them. Decided on codes and numbers only.
struct S_EventMatch
{
    enum class E_Kind : std::uint8_t
    {
        NOTHING,
        DEVICE_STATUS,
        ACK,
        STAGE_REPORT,
        CHUNK_REPORT,
        VERIFY_REPORT,
    };

    E_Kind kind = E_Kind::NOTHING;
    bool anyFile = false;  // VERIFY_REPORT: of every file
    std::uint8_t stage = 0;
    std::uint8_t fileNo = 0;
    std::uint16_t chunkNo = 0;

    static S_EventMatch nothing() { return {}; }
    static S_EventMatch deviceStatus() { return {E_Kind::DEVICE_STATUS}; }
    static S_EventMatch ack(std::uint8_t stage) { return {E_Kind::ACK, false, stage}; }
    static S_EventMatch stageReport(std::uint8_t stage) { return {E_Kind::STAGE_REPORT, false, stage}; }
    static S_EventMatch chunkReport(std::uint8_t fileNo, std::uint16_t chunkNo)
    {
        return {E_Kind::CHUNK_REPORT, false, 0, fileNo, chunkNo};
    }
    static S_EventMatch verifyReport(std::uint8_t fileNo)
    {
        return {E_Kind::VERIFY_REPORT, false, 0, fileNo};
    }
    static S_EventMatch anyVerifyReport() { return {E_Kind::VERIFY_REPORT, true}; }

    bool matches(const S_ProtocolEvent& event) const;
};

struct S_QueuedEvent
{
    S_ProtocolEvent event;
    TimePoint receivedAt;
};

struct S_PendingRequest
{
    bool present = false;
    bool acked = false;
    std::uint8_t stage = 0;
    const char* name = "";  // for logs and errors: a stage name or a question's own name
};

// What a component shows, plus the stage of its last accepted progress report.
struct S_ComponentRuntime
{
    std::uint8_t componentType = 0xFF;  // protocol code of the target's componentTypeId
    std::uint16_t componentIndex = 0;
    S_ComponentExecutionState shown;
    bool hasProgressStage = false;
    std::uint8_t progressStage = 0;
};

struct S_DeviceRuntime
{
    std::string nodeId;
    std::string nodeName;

    std::vector<const S_UpgradeTarget*> targets;  // into the task snapshot, snapshot order
    std::vector<std::uint8_t> fileNos;            // distinct, ascending
    std::vector<S_ComponentRuntime> components;   // one per target

    S_DeviceExecutionState shown;  // what the state document shows of the device

    bool targetListSent = false;

    std::uint64_t connectionChangeCount = 0;
    TimePoint lastConnectionChangeAt = kNever;
    E_DeviceConnectionState lastConnectionState = E_DeviceConnectionState::PENDING;
    std::uint64_t disconnectCount = 0;
    TimePoint lastDisconnectAt = kNever;
    TimePoint connectDeadline = kNever;

    std::uint64_t progressSequence = 0;
    TimePoint lastProgressAt = kNever;
    std::uint8_t progressStage = 0;

    std::uint64_t restartBaseline = 0;
    TimePoint restartCommandAt = kNever;
    TimePoint restartAcceptedAt = kNever;

    S_PendingRequest pendingRequest;
};

// Entry times of callbacks still running, by their own lock (taken with or without the session's).
class CInFlightRegistry
{
public:
    // Enters now; returns the entry time to leave with.
    TimePoint enter();
    void leave(TimePoint enteredAt);
    // A callback entered at or before the time is still running.
    bool runningSince(TimePoint enteredBy) const;

private:
    mutable std::mutex m_mutex;
    // Rarely more than one entry: a vector keeps its room, so entering costs no allocation.
    std::vector<TimePoint> m_entered;
};

// The task-wide flags a wait looks at; set with every session woken (CDeviceSession::wake).
struct S_TaskSignals
{
    const std::atomic<bool>& stopping;
    const std::atomic<bool>& abortRequested;
    // Counts every time a worker's event wait woke up (a test seam); null: not counted.
    std::atomic<std::uint64_t>* workerWakes = nullptr;
};

// The fast path of a device's file transfer, as the session sees it. Every operation runs with the
// session's lock held except pumpNext.
class IChunkPump
{
public:
    virtual ~IChunkPump() = default;

    // A chunk report of the device: true when the pump takes it and has claimed the link; the
    // caller then calls pumpNext without the lock. False: the report goes the usual way.
    virtual bool takeReportLocked(const S_ProtocolEventFileChunkReport& report, TimePoint receivedAt) = 0;
    // Sends the chunk the pump advanced to, on the calling thread, and gives the link back.
    virtual void pumpNext() = 0;

    // For the worker's wait: the report it waits for, when the last chunk was asked, whether the
    // pump stopped (its failure is the worker's to report), and the hand-back of the link.
    virtual S_EventMatch replyMatchLocked() const = 0;
    virtual TimePoint askedAtLocked() const = 0;
    virtual bool stoppedLocked() const = 0;
    virtual bool linkBusyLocked() const = 0;
    virtual void disarmLocked() = 0;
};

// A wait for one event: its inactivity timeout, whether an abort ends it, whether progress of
// `stage` extends it (up to 4 x the timeout), and an absolute cap.
struct S_EventWait
{
    S_EventMatch match;
    std::uint32_t timeoutMs = 0;
    bool abortable = false;
    bool extendable = false;
    std::uint8_t stage = 0;
    std::optional<TimePoint> absoluteDeadline;
    // The chunk pump of a transfer: the wait follows it (the report of the chunk it asked last, the
    // timeout counted from that chunk's send; absoluteDeadline alone caps it), and on its return
    // the pump is disarmed with the link given back.
    IChunkPump* pump = nullptr;
};

class CDeviceSession
{
public:
    CDeviceSession(S_DeviceRuntime device, IStateChangeSink& changes, S_TaskSignals signals);
    CDeviceSession(const CDeviceSession&) = delete;
    CDeviceSession& operator=(const CDeviceSession&) = delete;

    const std::string& nodeId() const { return m_nodeId; }

    // ---- intake (transport threads): one event or change of this device of this task
    void takeProtocolEvent(const S_ProtocolEvent& event, std::vector<S_LogLine>& lines);
    // At the task's start, from the transport's list: taken unless a change was delivered already.
    void takeInitialConnectionState(E_DeviceConnectionState state);
    // True when the device's claim may have changed (another state, or connected for the first
    // time): the scheduler is woken for it.
    bool takeConnectionState(E_DeviceConnectionState state);

    // ---- the worker's waits (the session's lock is taken inside)
    E_WaitResult waitForEvent(const S_EventWait& wait, S_ProtocolEvent& event,
                              TimePoint* receivedAt = nullptr);
    E_WaitResult waitConnectionState(E_DeviceConnectionState wanted, std::uint32_t timeoutMs, bool abortable);
    // Abort or stop was raised: every wait of this device looks again.
    void wake();

    // ---- the one-question rule (Part of the worker's sends)
    bool registerPendingRequest(std::uint8_t stage, const char* requestName, std::string& error);
    void clearPendingRequest();
    void purge(const S_EventMatch& match);
    std::string describeEventStreamFailure() const;  // takes the lock

    // ---- transitions of the record; each records its change and adds its log line
    void setStage(E_ProtocolStage stage, const char* text, std::uint8_t progress,
                  std::vector<S_LogLine>& lines);
    void fail(const std::string& detailText, std::uint16_t reasonCode, const char* resultCode,
              std::vector<S_LogLine>& lines);
    void complete(E_DeviceResult result, std::vector<S_LogLine>& lines);

    // ---- for the engine's own waits and steps, with the lock held by the caller
    std::mutex& mutex() { return m_mutex; }
    std::condition_variable& condition() { return m_wake; }
    S_DeviceRuntime& deviceLocked() { return m_device; }
    std::vector<S_QueuedEvent>& queueLocked() { return m_queue; }
    void failLocked(const std::string& detailText, std::uint16_t reasonCode, const char* resultCode,
                    std::vector<S_LogLine>& lines);
    void completeLocked(E_DeviceResult result, std::vector<S_LogLine>& lines);
    void purgeLocked(const S_EventMatch& match);
    std::string describeEventStreamFailureLocked() const;
    bool protocolCallbackRunning(TimePoint enteredBy) const
    {
        return m_protocolCallbacks.runningSince(enteredBy);
    }
    bool connectionCallbackRunning(TimePoint enteredBy) const
    {
        return m_connectionCallbacks.runningSince(enteredBy);
    }
    // When the workers start: a device counts as having been connected when it is connected now.
    void markReadyIfConnectedLocked()
    {
        m_ready.store(m_device.shown.connectionState == E_DeviceConnectionState::CONNECTED);
    }
    bool stoppingOrCompletedLocked() const { return m_device.shown.completed || m_signals.stopping.load(); }
    bool abortRequested() const { return m_signals.abortRequested.load(); }
    bool stopping() const { return m_signals.stopping.load(); }
    IStateChangeSink& changes() { return m_changes; }

    // ---- for the scheduler, without the lock
    E_DeviceConnectionState connection() const { return m_connection.load(); }
    bool ready() const { return m_ready.load(); }
    bool completed() const { return m_completed.load(); }

    // ---- the transfer's chunk pump: attached by the worker for the transfer and detached before it
    // ends; detaching disarms it and waits until a send of the pump in progress gave the link back.
    void attachChunkPump(IChunkPump& pump);
    void detachChunkPump();

    // Copies what the state document shows (the publisher, under the lock).
    void copyShown(S_DeviceExecutionState& device, S_ComponentExecutionState* components) const;

private:
    // A stage report with a result other than success, met while waiting: ends the device.
    void applyTerminalStageReportLocked(const S_ProtocolEventStageReport& report);
    bool applyProgressLocked(const S_ProtocolEventProgress& progress, TimePoint receivedAt);
    bool queueEventLocked(const S_ProtocolEvent& event, TimePoint receivedAt, std::vector<S_LogLine>& lines,
                          bool& wakeWorker);
    void mirrorLocked();

    const std::string m_nodeId;
    IStateChangeSink& m_changes;
    const S_TaskSignals m_signals;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;      // the device's worker waits here, woken once per event
    S_DeviceRuntime m_device;            // (mutex)
    std::vector<S_QueuedEvent> m_queue;  // (mutex) FIFO, at most kDeviceEventQueueCapacity
    CInFlightRegistry m_protocolCallbacks;
    CInFlightRegistry m_connectionCallbacks;
    std::atomic<E_DeviceConnectionState> m_connection{E_DeviceConnectionState::PENDING};
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_completed{false};
    IChunkPump* m_pump = nullptr;  // (mutex)
};

// Stage bands of workflowProgress used by stage reports.
void stageProgressBand(std::uint8_t stage, std::uint8_t& begin, std::uint8_t& end);
const char* stageName(std::uint8_t stage);

}  // namespace ota::backend
