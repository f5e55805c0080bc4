#include "sim/sim_device.h"

#include "protocol/device_side_codec.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_fault_rules.h"

#include <boost/asio/socket_base.hpp>

#include <algorithm>

namespace ota::backend
{
namespace
{

constexpr std::chrono::milliseconds LISTEN_RETRY_INTERVAL{200};
constexpr std::chrono::milliseconds ACCEPT_RETRY_INTERVAL{50};
constexpr std::size_t MAX_OUTBOX_ENTRIES = 200000;
constexpr std::size_t DEVICE_TYPE_OFFSET = 6;  // magic (4), protocol version (1), message type (1)
// Chunk data a device lets wait for the hash worker before it stops reading: four 32 KiB chunks.
constexpr std::size_t MAX_HASH_BACKLOG_BYTES = 128u * 1024u;

std::string endpointText(const boost::asio::ip::tcp::endpoint& endpoint)
{
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(endpoint.port());
}

}  // namespace

CSimDevice::CSimDevice(boost::asio::io_context& io, CSimHashWorker& hasher, S_SimDeviceSpec spec,
                       const CSimLog& log)
    : m_io(io), m_hasher(hasher), m_hashLane(hasher.createLane()), m_spec(std::move(spec)), m_log(log),
      m_components(effectiveComponents(m_spec)), m_acceptor(io), m_workTimer(io), m_rebootTimer(io), m_retryTimer(io),
      m_outboxTimer(io)
{
    for (const S_SimFault& fault : m_spec.faults)
    {
        m_faults.push_back({fault, 0});
    }
    boost::system::error_code ignored;
    m_endpoint = boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(m_spec.address, ignored), m_spec.port);
}

CSimDevice::~CSimDevice() = default;

bool CSimDevice::listen(std::string& error)
{
    error.clear();
    boost::system::error_code code;
    boost::asio::ip::tcp::acceptor acceptor(m_io);
    const char* step = "open";
    acceptor.open(m_endpoint.protocol(), code);
    if (!code)
    {
        // A rebooting device must get its old port back even while old connections linger.
        step = "set SO_REUSEADDR on";
        acceptor.set_option(boost::asio::socket_base::reuse_address(true), code);
    }
    if (!code)
    {
        step = "bind";
        acceptor.bind(m_endpoint, code);
    }
    if (!code)
    {
        step = "listen on";
        acceptor.listen(boost::asio::socket_base::max_listen_connections, code);
    }
    if (code)
    {
        error = std::string("Cannot ") + step + " " + endpointText(m_endpoint) + " for simulated device " +
                m_spec.nodeId + ": " + code.message();
        return false;
    }
    m_endpoint = acceptor.local_endpoint(code);
    m_acceptor = std::move(acceptor);
    m_listening = true;
    ++m_listenGeneration;
    return true;
}

void CSimDevice::startAccepting()
{
    m_log.event(m_spec.nodeId, std::string("listening on ") + endpointText(m_endpoint) + " as " +
                                   protocolDeviceTypeName(m_spec.deviceType));
    acceptNext();
}

void CSimDevice::acceptNext()
{
    if (m_stopped || !m_listening)
    {
        return;
    }
    const std::uint64_t listenGeneration = m_listenGeneration;
    m_acceptor.async_accept([this, listenGeneration](const boost::system::error_code& code,
                                                     boost::asio::ip::tcp::socket socket) {
        if (m_stopped || !m_listening || listenGeneration != m_listenGeneration)
        {
            return;
        }
        if (code)
        {
            // Typically out of file descriptors: try again shortly instead of spinning.
            m_log.warn(m_spec.nodeId, "accept failed: " + code.message());
            m_retryTimer.expires_after(ACCEPT_RETRY_INTERVAL);
            m_retryTimer.async_wait([this, listenGeneration](const boost::system::error_code& waitCode) {
                if (!waitCode && listenGeneration == m_listenGeneration)
                {
                    acceptNext();
                }
            });
            return;
        }
        onAccepted(std::move(socket));
        acceptNext();
    });
}

void CSimDevice::onAccepted(boost::asio::ip::tcp::socket socket)
{
    if (m_connection)
    {
        dropConnection(false, "replaced by a new connection");
    }
    const std::uint64_t generation = ++m_generation;
    m_connection = std::make_shared<CSimConnection>(
        std::move(socket), generation,
        [this](std::uint64_t connectionGeneration, std::size_t byteCount, S_DeviceSideDecodeResult& decoded) {
            onDecoded(connectionGeneration, byteCount, decoded);
        },
        [this](std::uint64_t connectionGeneration) { onConnectionClosed(connectionGeneration); });
    ++m_counters.connectionsAccepted;
    m_log.event(m_spec.nodeId, "accepted connection from " + m_connection->peerText());
    m_connection->start();
    if (!prologue(E_SimRequest::CONNECT))
    {
        return;
    }
    if (m_spec.statusOnConnect)
    {
        sendStatus(E_SimRequest::CONNECT, m_lastCompletedUpgradeNo);
    }
}

bool CSimDevice::connectionIs(std::uint64_t generation) const
{
    return m_connection && m_connection->generation() == generation && m_connection->isOpen();
}

void CSimDevice::onDecoded(std::uint64_t generation, std::size_t byteCount, S_DeviceSideDecodeResult& decoded)
{
    if (!connectionIs(generation))
    {
        return;
    }
    m_counters.bytesReceived += byteCount;
    m_counters.discardedBytes += decoded.discardedByteCount;
    m_counters.invalidFramesReceived += decoded.errors.size();
    for (const std::string& error : decoded.errors)
    {
        m_log.warn(m_spec.nodeId, "received invalid stream data: " + error);
    }
    for (S_ProtocolFrame& frame : decoded.frames)
    {
        if (!connectionIs(generation))
        {
            break;  // a fault closed the link: the rest of this read is lost with it
        }
        if (frame.messageType < m_counters.framesReceived.size())
        {
            ++m_counters.framesReceived[frame.messageType];
        }
        if (!m_heldFrames.empty() || holdForHashing(frame))
        {
            // Requests are handled in order: everything behind a held frame waits with it.
            m_heldFrames.push_back(std::move(frame));
            m_connection->pauseReading();
            continue;
        }
        handleFrame(frame);
    }
}

// A FINISH_TRANSFER reads the digests, so it waits until every queued chunk is hashed; a chunk
// waits while the backlog is full, which bounds the memory of a device whose peer sends faster
// than the worker hashes.
bool CSimDevice::holdForHashing(const S_ProtocolFrame& frame)
{
    std::size_t allowedBacklog = 0;
    if (const auto* chunk = std::get_if<S_ProtocolFileChunk>(&frame.body))
    {
        allowedBacklog = MAX_HASH_BACKLOG_BYTES - std::min(chunk->data.size(), MAX_HASH_BACKLOG_BYTES);
    }
    else if (const auto* command = std::get_if<S_ProtocolCommand>(&frame.body);
             command == nullptr || command->commandType != toProtocolByte(E_ProtocolCommandType::FINISH_TRANSFER))
    {
        return false;
    }
    const std::uint64_t holdToken = ++m_holdToken;
    return !m_hasher.backlogAtMost(*m_hashLane, allowedBacklog,
                                   [this, holdToken] { resumeHeldFrames(holdToken); });
}

void CSimDevice::resumeHeldFrames(std::uint64_t holdToken)
{
    if (m_stopped || holdToken != m_holdToken || !m_connection)
    {
        return;  // the connection that held these frames is gone
    }
    const std::uint64_t generation = m_connection->generation();
    // The front frame waited for exactly this; the ones behind it may have to wait again.
    bool waited = true;
    while (!m_heldFrames.empty())
    {
        if (!waited && holdForHashing(m_heldFrames.front()))
        {
            return;
        }
        waited = false;
        S_ProtocolFrame frame = std::move(m_heldFrames.front());
        m_heldFrames.pop_front();
        handleFrame(frame);
        if (!connectionIs(generation))
        {
            return;
        }
    }
    m_connection->resumeReading();
}

void CSimDevice::onConnectionClosed(std::uint64_t generation)
{
    if (!m_connection || m_connection->generation() != generation)
    {
        return;
    }
    ++m_counters.disconnects;
    m_log.event(m_spec.nodeId, "connection closed by peer " + m_connection->peerText());
    detachConnection();
}

void CSimDevice::dropConnection(bool flushFirst, const std::string& why)
{
    if (!m_connection)
    {
        return;
    }
    ++m_counters.disconnects;
    m_log.event(m_spec.nodeId, "closing connection to " + m_connection->peerText() + ": " + why);
    if (flushFirst)
    {
        m_connection->closeAfterFlush();
    }
    else
    {
        m_connection->closeNow();
    }
    detachConnection();
}

void CSimDevice::detachConnection()
{
    m_connection.reset();
    // Held requests belonged to the lost link; a wake-up for them is stale from now on.
    m_heldFrames.clear();
    ++m_holdToken;
    // Frames queued for the lost link go with it; pending actions (a reboot) still happen.
    std::erase_if(m_outbox, [](const S_Outgoing& outgoing) { return !outgoing.action; });
    for (S_Outgoing& outgoing : m_outbox)
    {
        outgoing.bytes.clear();
    }
}

void CSimDevice::shutdown()
{
    m_stopped = true;
    m_listening = false;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    if (m_connection)
    {
        m_connection->closeNow();
        m_connection.reset();
    }
    m_outbox.clear();
    m_heldFrames.clear();
    ++m_holdToken;
    m_work.reset();
    m_workTimer.cancel();
    m_rebootTimer.cancel();
    m_retryTimer.cancel();
    m_outboxTimer.cancel();
}

void CSimDevice::addFault(const S_SimFault& fault)
{
    m_faults.push_back({fault, 0});
    m_log.event(m_spec.nodeId, "fault armed: " + describeSimFault(fault));
}

void CSimDevice::clearFaults()
{
    m_faults.clear();
    m_log.event(m_spec.nodeId, "faults cleared");
}

S_SimDeviceSnapshot CSimDevice::snapshot() const
{
    S_SimDeviceSnapshot snapshot;
    snapshot.nodeId = m_spec.nodeId;
    snapshot.deviceType = m_spec.deviceType;
    snapshot.address = m_spec.address;
    snapshot.port = m_endpoint.port();
    snapshot.listening = m_listening;
    snapshot.connected = m_connection != nullptr;
    snapshot.upgradeContextOpen = m_context.has_value();
    snapshot.contextUpgradeNo = m_context ? m_context->upgradeNo : 0;
    snapshot.lastCompletedUpgradeNo = m_lastCompletedUpgradeNo;
    snapshot.components = m_components;
    snapshot.counters = m_counters;
    return snapshot;
}

// ---- faults ----

CSimDevice::S_FaultState* CSimDevice::findFault(E_SimFaultKind kind,
                                                const std::function<bool(const S_SimFault&)>& matches)
{
    for (S_FaultState& state : m_faults)
    {
        const bool retired = state.fault.times != 0 && state.fired >= state.fault.times;
        if (!retired && state.fault.kind == kind && (!matches || matches(state.fault)))
        {
            return &state;
        }
    }
    return nullptr;
}

void CSimDevice::fire(S_FaultState& state)
{
    ++state.fired;
    ++m_counters.faultsFired[static_cast<std::size_t>(state.fault.kind)];
    m_log.event(m_spec.nodeId, "fault fired: " + describeSimFault(state.fault));
}

std::uint8_t CSimDevice::frameDeviceType(E_SimRequest cause)
{
    S_FaultState* state = findFault(E_SimFaultKind::WRONG_DEVICE_TYPE, [cause](const S_SimFault& fault) {
        return !fault.request || *fault.request == cause;
    });
    if (state == nullptr)
    {
        return m_spec.deviceType;
    }
    fire(*state);
    if (state->fault.deviceType && *state->fault.deviceType != m_spec.deviceType)
    {
        return *state->fault.deviceType;
    }
    return static_cast<std::uint8_t>(m_spec.deviceType % 3 + 1);  // EMU -> PCS -> BMS -> EMU
}

bool CSimDevice::prologue(E_SimRequest request, std::optional<std::uint8_t> fileNo,
                          std::optional<std::uint16_t> chunkNo)
{
    S_FaultState* disconnect = findFault(E_SimFaultKind::DISCONNECT, [&](const S_SimFault& fault) {
        return fault.request == request && (!fault.fileNo || fault.fileNo == fileNo) &&
               (!fault.chunkNo || fault.chunkNo == chunkNo);
    });
    if (disconnect != nullptr)
    {
        fire(*disconnect);
        dropConnection(false, std::string("link lost at ") + simRequestName(request));
        return false;
    }
    S_FaultState* garbage = findFault(E_SimFaultKind::GARBAGE_BYTES, [request](const S_SimFault& fault) {
        return fault.request.value_or(E_SimRequest::CONNECT) == request;
    });
    if (garbage != nullptr)
    {
        fire(*garbage);
        sendGarbage(garbage->fault.count != 0 ? garbage->fault.count : DEFAULT_GARBAGE_BYTE_COUNT);
    }
    return true;
}

// ---- output ----

void CSimDevice::sendFrame(E_SimRequest cause, std::uint8_t messageType, std::uint32_t upgradeNo,
                           S_ProtocolFrameBody body, std::uint32_t extraDelayMs)
{
    S_ProtocolFrame frame;
    frame.messageType = messageType;
    frame.deviceType = m_spec.deviceType;
    frame.upgradeNo = upgradeNo;
    frame.body = std::move(body);
    S_Outgoing outgoing;
    std::string error;
    if (!encodeFrame(frame, outgoing.bytes, error))
    {
        m_log.error(m_spec.nodeId, std::string("cannot encode ") + protocolMessageTypeName(messageType) + ": " + error);
        return;
    }
    // A frame in another device type would not pass the encoder's checks (a status lists the
    // components of its own type), so the fault rewrites the type byte of the finished frame.
    const std::uint8_t wireDeviceType = frameDeviceType(cause);
    if (wireDeviceType != m_spec.deviceType)
    {
        outgoing.bytes[DEVICE_TYPE_OFFSET] = wireDeviceType;
    }
    outgoing.messageType = messageType;
    enqueue(std::move(outgoing), extraDelayMs);
}

void CSimDevice::sendGarbage(std::uint32_t byteCount)
{
    // A broken header first ("ZZZZ" with protocol version 7) so the peer must resynchronise,
    // then noise without 0x5A so no second candidate appears by accident.
    S_Outgoing outgoing;
    outgoing.bytes = {0x5A, 0x5A, 0x5A, 0x5A, 0x07};
    outgoing.bytes.resize(std::min<std::size_t>(outgoing.bytes.size(), byteCount));
    std::uint32_t state = 0x2545F491u ^ static_cast<std::uint32_t>(m_counters.totalFaultsFired());
    while (outgoing.bytes.size() < byteCount)
    {
        state = state * 1664525u + 1013904223u;
        const auto byte = static_cast<std::uint8_t>(state >> 24);
        outgoing.bytes.push_back(byte == 0x5A ? 0x00 : byte);
    }
    enqueue(std::move(outgoing), 0);
}

void CSimDevice::sendStatus(E_SimRequest cause, std::uint32_t upgradeNo)
{
    if (S_FaultState* silent = findFault(E_SimFaultKind::SILENT))
    {
        fire(*silent);
        return;
    }
    std::uint8_t state = toProtocolByte(E_DeviceUpgradeState::READY);
    std::uint8_t reason = 0;
    if (S_FaultState* busy = findFault(E_SimFaultKind::BUSY_STATE))
    {
        fire(*busy);
        state = toProtocolByte(E_DeviceUpgradeState::BUSY);
        reason = effectiveReasonCode(busy->fault);
    }
    else if (S_FaultState* faulty = findFault(E_SimFaultKind::FAULT_STATE))
    {
        fire(*faulty);
        state = toProtocolByte(E_DeviceUpgradeState::FAULT);
        reason = effectiveReasonCode(faulty->fault);
    }
    else if (m_context && (upgradeNo == 0 || m_context->upgradeNo == upgradeNo))
    {
        // A context of another upgrade number counts as abandoned: the next target list
        // replaces it, so it does not make the device look busy to that upgrade.
        state = toProtocolByte(E_DeviceUpgradeState::UPGRADING);
    }
    sendFrame(cause, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STATUS), upgradeNo,
              makeDeviceStatus(state, reason, m_components));
}

void CSimDevice::sendAck(E_SimRequest cause, std::uint8_t stage, std::uint8_t result, std::uint8_t reasonCode,
                         std::uint32_t upgradeNo)
{
    const auto matches = [cause](const S_SimFault& fault) { return !fault.request || *fault.request == cause; };
    if (S_FaultState* missing = findFault(E_SimFaultKind::MISSING_ACK, matches))
    {
        fire(*missing);
        return;
    }
    std::uint8_t ackStage = stage;
    if (S_FaultState* wrongStage = findFault(E_SimFaultKind::WRONG_STAGE_ACK, matches))
    {
        fire(*wrongStage);
        ackStage = wrongStage->fault.ackStage.value_or(static_cast<std::uint8_t>((stage + 1) % (MAX_STAGE + 1)));
    }
    std::uint32_t delayMs = 0;
    if (S_FaultState* late = findFault(E_SimFaultKind::LATE_ACK, matches))
    {
        fire(*late);
        delayMs = late->fault.delayMs;
    }
    const std::uint8_t ackType = toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_ACK);
    sendFrame(cause, ackType, upgradeNo, makeDeviceAck(ackStage, result, reasonCode), delayMs);
    if (S_FaultState* duplicate = findFault(E_SimFaultKind::DUPLICATE_ACK, matches))
    {
        fire(*duplicate);
        sendFrame(cause, ackType, upgradeNo, makeDeviceAck(ackStage, result, reasonCode));
    }
}

void CSimDevice::sendStageReport(E_SimRequest cause, std::uint8_t stage, std::uint8_t result, std::uint8_t progress,
                                 std::uint8_t reasonCode, std::uint32_t upgradeNo)
{
    sendFrame(cause, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT), upgradeNo,
              makeStageReport(stage, result, progress, reasonCode));
}

void CSimDevice::enqueue(S_Outgoing outgoing, std::uint32_t extraDelayMs)
{
    const auto now = std::chrono::steady_clock::now();
    outgoing.due = now + std::chrono::milliseconds(m_spec.timings.replyLatencyMs + extraDelayMs);
    if (m_outbox.empty() && outgoing.due <= now)
    {
        writeOut(outgoing);  // the fast path of stop-and-wait traffic: no timer round trip
        return;
    }
    // The device answers in order: nothing overtakes an answer that is still delayed.
    if (!m_outbox.empty())
    {
        outgoing.due = std::max(outgoing.due, m_outbox.back().due);
    }
    if (m_outbox.size() >= MAX_OUTBOX_ENTRIES)
    {
        // Requests keep coming while answers are held back: bound the backlog.
        dropConnection(false, "too many answers held back by the reply delay");
        if (!outgoing.action)
        {
            return;
        }
        outgoing.bytes.clear();
    }
    m_outbox.push_back(std::move(outgoing));
    if (!m_outboxTimerArmed)
    {
        m_outboxTimerArmed = true;
        m_outboxTimer.expires_at(m_outbox.front().due);
        m_outboxTimer.async_wait([this](const boost::system::error_code& code) {
            m_outboxTimerArmed = false;
            if (!code && !m_stopped)
            {
                flushOutbox();
            }
        });
    }
}

void CSimDevice::runAfterQueued(std::function<void()> action)
{
    S_Outgoing outgoing;
    outgoing.action = std::move(action);
    enqueue(std::move(outgoing), 0);
}

void CSimDevice::flushOutbox()
{
    while (!m_outbox.empty() && m_outbox.front().due <= std::chrono::steady_clock::now())
    {
        S_Outgoing outgoing = std::move(m_outbox.front());
        m_outbox.pop_front();
        writeOut(outgoing);
        if (m_stopped)
        {
            return;
        }
    }
    if (!m_outbox.empty() && !m_outboxTimerArmed)
    {
        m_outboxTimerArmed = true;
        m_outboxTimer.expires_at(m_outbox.front().due);
        m_outboxTimer.async_wait([this](const boost::system::error_code& code) {
            m_outboxTimerArmed = false;
            if (!code && !m_stopped)
            {
                flushOutbox();
            }
        });
    }
}

void CSimDevice::writeOut(S_Outgoing& outgoing)
{
    if (!outgoing.bytes.empty())
    {
        if (m_connection && m_connection->isOpen())
        {
            m_counters.bytesSent += outgoing.bytes.size();
            if (outgoing.messageType != 0 && outgoing.messageType < m_counters.framesSent.size())
            {
                ++m_counters.framesSent[outgoing.messageType];
            }
            if (m_log.framesEnabled())
            {
                m_log.frame(m_spec.nodeId, std::string("TX ") +
                                               (outgoing.messageType != 0 ? protocolMessageTypeName(outgoing.messageType)
                                                                          : "RAW") +
                                               " bytes=" + std::to_string(outgoing.bytes.size()));
            }
            m_connection->send(std::move(outgoing.bytes));
        }
        else if (m_log.framesEnabled())
        {
            m_log.frame(m_spec.nodeId, "dropped output: no connection");
        }
    }
    if (outgoing.action)
    {
        outgoing.action();
    }
}

// ---- reboot ----

void CSimDevice::beginReboot()
{
    if (m_stopped)
    {
        return;
    }
    cancelWork();
    ++m_counters.reboots;
    if (m_context)
    {
        m_context->phase = E_SimUpgradePhase::RESTARTING;
    }
    // The listening socket goes first: a peer that reconnects as soon as it sees the close must
    // find the port refusing, not a backlog that the closing acceptor then resets.
    m_listening = false;
    ++m_listenGeneration;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    dropConnection(true, "restarting");
    m_log.event(m_spec.nodeId, "restarting: refusing connections for " + std::to_string(m_spec.timings.rebootMs) + " ms");
    m_rebootTimer.expires_after(std::chrono::milliseconds(m_spec.timings.rebootMs));
    m_rebootTimer.async_wait([this](const boost::system::error_code& code) {
        if (!code && !m_stopped)
        {
            finishReboot();
        }
    });
}

void CSimDevice::finishReboot()
{
    const std::uint32_t upgradeNo = m_context ? m_context->upgradeNo : 0;
    if (S_FaultState* oldVersion = findFault(E_SimFaultKind::OLD_VERSION_AFTER_RESTART))
    {
        fire(*oldVersion);
    }
    else if (!m_pendingVersions.empty())
    {
        m_components = m_pendingVersions;
        ++m_counters.upgradesCompleted;
    }
    m_pendingVersions.clear();
    m_lastCompletedUpgradeNo = upgradeNo;
    m_context.reset();
    std::string versions;
    for (const S_ProtocolComponentVersion& component : m_components)
    {
        versions += std::string(versions.empty() ? "" : " ") + componentTypeIdentifier(component.componentType) +
                    "#" + std::to_string(component.componentIndex) + "=" + component.version;
    }
    m_log.event(m_spec.nodeId, "restarted after upgrade " + std::to_string(upgradeNo) + ": " + versions);
    retryListen();
}

void CSimDevice::retryListen()
{
    if (m_stopped)
    {
        return;
    }
    std::string error;
    if (listen(error))
    {
        acceptNext();
        return;
    }
    m_log.warn(m_spec.nodeId, error + "; retrying");
    m_retryTimer.expires_after(LISTEN_RETRY_INTERVAL);
    m_retryTimer.async_wait([this](const boost::system::error_code& code) {
        if (!code)
        {
            retryListen();
        }
    });
}

// ---- timed work ----

void CSimDevice::startWork(S_WorkJob job)
{
    cancelWork();
    m_work = std::move(job);
    scheduleWorkTick();
}

void CSimDevice::scheduleWorkTick()
{
    S_WorkJob& job = *m_work;
    const std::uint32_t remaining = job.durationMs > job.elapsedMs ? job.durationMs - job.elapsedMs : 0;
    job.stepMs = std::min(remaining, m_spec.timings.progressIntervalMs);
    if (job.stepMs == 0)
    {
        workTick();
        return;
    }
    const std::uint64_t generation = m_workGeneration;
    m_workTimer.expires_after(std::chrono::milliseconds(job.stepMs));
    m_workTimer.async_wait([this, generation](const boost::system::error_code& code) {
        if (!code && !m_stopped && generation == m_workGeneration && m_work)
        {
            workTick();
        }
    });
}

void CSimDevice::workTick()
{
    S_WorkJob& job = *m_work;
    job.elapsedMs += job.stepMs;
    const std::uint8_t percentage =
        job.durationMs == 0 ? 100
                            : static_cast<std::uint8_t>(std::min<std::uint64_t>(
                                  100, std::uint64_t{job.elapsedMs} * 100 / job.durationMs));
    if (job.failAtPercentage && percentage >= *job.failAtPercentage)
    {
        sendProgressRound(job, *job.failAtPercentage);
        sendStageReport(job.stage == toProtocolByte(E_ProtocolStage::FLASHING) ? E_SimRequest::START_FLASH
                                                                                 : E_SimRequest::PREPARE_UPGRADE,
                        job.stage, toProtocolByte(E_ProtocolResult::FAILURE), *job.failAtPercentage, job.failReason,
                        job.upgradeNo);
        finishWork(false);
        return;
    }
    sendProgressRound(job, percentage);
    if (job.elapsedMs >= job.durationMs)
    {
        sendStageReport(job.stage == toProtocolByte(E_ProtocolStage::FLASHING) ? E_SimRequest::START_FLASH
                                                                                 : E_SimRequest::PREPARE_UPGRADE,
                        job.stage, toProtocolByte(E_ProtocolResult::SUCCESS), 100, 0, job.upgradeNo);
        finishWork(true);
        return;
    }
    scheduleWorkTick();
}

void CSimDevice::finishWork(bool succeeded)
{
    S_WorkJob job = std::move(*m_work);
    m_work.reset();
    ++m_workGeneration;
    if (job.onDone)
    {
        job.onDone(succeeded);
    }
}

void CSimDevice::cancelWork()
{
    ++m_workGeneration;
    m_work.reset();
    m_workTimer.cancel();
}

void CSimDevice::sendProgressRound(const S_WorkJob& job, std::uint8_t percentage)
{
    if (!m_spec.progressReports || !m_context)
    {
        return;
    }
    const E_SimRequest cause = job.stage == toProtocolByte(E_ProtocolStage::FLASHING) ? E_SimRequest::START_FLASH
                                                                                       : E_SimRequest::PREPARE_UPGRADE;
    const char* detail = job.stage == toProtocolByte(E_ProtocolStage::FLASHING) ? "flashing" : "preparing";
    for (const S_ProtocolTargetItem& target : m_context->targets)
    {
        sendFrame(cause, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_PROGRESS), job.upgradeNo,
                  makeProgress(job.stage, target.componentType, target.componentIndex, percentage, 0, detail));
    }
}

}  // namespace ota::backend
