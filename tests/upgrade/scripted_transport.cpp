#include "upgrade/scripted_transport.h"

#include <gtest/gtest.h>

#include <exception>

namespace ota::test
{
namespace
{

using backend::E_DeviceConnectionState;

// Bounds for the waits of the double itself: long enough for a loaded machine, short enough that
// a service that never lets go fails the test instead of hanging it.
constexpr std::chrono::seconds kDeliveryBound(20);
constexpr std::chrono::seconds kHoldBound(60);

std::int64_t unixMillisecondsNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

const char* sendKindName(E_SendKind kind)
{
    switch (kind)
    {
        case E_SendKind::STATUS_QUERY:
            return "STATUS_QUERY";
        case E_SendKind::COMMAND:
            return "COMMAND";
        case E_SendKind::TARGET_LIST:
            return "TARGET_LIST";
        case E_SendKind::FILE_INFO:
            return "FILE_INFO";
        case E_SendKind::FILE_CHUNK:
            return "FILE_CHUNK";
    }
    return "UNKNOWN";
}

bool S_RecordedSend::isCommand(backend::E_ProtocolCommandType type) const
{
    return kind == E_SendKind::COMMAND && command.commandType == backend::toProtocolByte(type);
}

CScriptedTransport::CScriptedTransport()
{
    m_deliveryThread = std::thread([this] { runDeliveries(); });
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_deliveryThreadId != std::thread::id(); });
}

CScriptedTransport::~CScriptedTransport()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_holdPredicate = nullptr;
        ++m_releaseGeneration;
    }
    m_deliveryWake.notify_all();
    m_changed.notify_all();
    m_deliveryThread.join();
}

bool CScriptedTransport::sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                                std::string& error)
{
    S_RecordedSend send;
    send.kind = E_SendKind::STATUS_QUERY;
    send.nodeId = deviceId;
    send.upgradeNo = upgradeNo;
    return submit(std::move(send), error);
}

bool CScriptedTransport::sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                                            const backend::S_ProtocolCommand& command, std::string& error)
{
    S_RecordedSend send;
    send.kind = E_SendKind::COMMAND;
    send.nodeId = deviceId;
    send.upgradeNo = upgradeNo;
    send.command = command;
    return submit(std::move(send), error);
}

bool CScriptedTransport::sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                                               const backend::S_ProtocolTargetList& targetList,
                                               std::string& error)
{
    S_RecordedSend send;
    send.kind = E_SendKind::TARGET_LIST;
    send.nodeId = deviceId;
    send.upgradeNo = upgradeNo;
    send.targetList = targetList;
    return submit(std::move(send), error);
}

bool CScriptedTransport::sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                                             const backend::S_ProtocolFileInfo& fileInfo, std::string& error)
{
    S_RecordedSend send;
    send.kind = E_SendKind::FILE_INFO;
    send.nodeId = deviceId;
    send.upgradeNo = upgradeNo;
    send.fileInfo = fileInfo;
    return submit(std::move(send), error);
}

bool CScriptedTransport::sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                                              const backend::S_ProtocolFileChunk& fileChunk,
                                              std::string& error)
{
    S_RecordedSend send;
    send.kind = E_SendKind::FILE_CHUNK;
    send.nodeId = deviceId;
    send.upgradeNo = upgradeNo;
    send.fileChunk = fileChunk;
    return submit(std::move(send), error);
}

bool CScriptedTransport::submit(S_RecordedSend send, std::string& error)
{
    error.clear();
    std::unique_lock lock(m_mutex);
    send.sequence = ++m_sendSequence;
    send.sentAt = std::chrono::steady_clock::now();
    send.sentAtUnixMs = unixMillisecondsNow();
    const S_Node* node = findNode(send.nodeId);
    const auto failure = m_failures.find({send.nodeId, send.kind});
    if (send.nodeId.empty())
    {
        send.error = "Communication node ID is empty";
    }
    else if (send.upgradeNo == 0)
    {
        send.error = "Upgrade number must not be zero";
    }
    else if (node == nullptr)
    {
        send.error = "Communication node does not exist: " + send.nodeId;
    }
    else if (failure != m_failures.end())
    {
        send.error = failure->second;
    }
    else if (node->state != E_DeviceConnectionState::CONNECTED)
    {
        send.error = "Communication node is not connected: " + send.nodeId;
    }
    send.accepted = send.error.empty();
    m_sends.push_back(send);
    m_changed.notify_all();
    if (!send.accepted)
    {
        error = send.error;
        return false;
    }

    if (m_holdPredicate && m_holdPredicate(send))
    {
        const std::uint64_t generation = m_releaseGeneration;
        ++m_heldCount;
        ++m_holdingNow;
        m_changed.notify_all();
        const bool released =
            m_changed.wait_for(lock, kHoldBound, [&] { return m_releaseGeneration != generation; });
        --m_holdingNow;
        if (!released)
        {
            ADD_FAILURE() << "A held " << sendKindName(send.kind) << " to " << send.nodeId
                          << " was never released";
        }
    }

    if (!m_responder || m_stopping)
    {
        return true;
    }
    // A send made while a delivery runs (the service answering a report on the transport's own
    // thread) cannot see its answer before it returns: the answer is queued behind that delivery.
    const bool waitForAnswer = m_answersBeforeSendReturns && !onDeliveryThread();
    lock.unlock();
    const std::uint64_t id = schedule(std::chrono::milliseconds(0), [this, send] { runResponder(send); });
    if (waitForAnswer && !waitDone(id, kDeliveryBound))
    {
        ADD_FAILURE() << "The device answer to " << sendKindName(send.kind) << " was not delivered in time";
    }
    return true;
}

void CScriptedTransport::setProtocolEventCallback(backend::ProtocolEventCallback callback)
{
    std::lock_guard lock(m_callbackMutex);
    m_protocolCallback = std::move(callback);
}

void CScriptedTransport::setConnectionStateCallback(backend::ConnectionStateCallback callback)
{
    std::lock_guard lock(m_callbackMutex);
    m_connectionCallback = std::move(callback);
}

std::vector<backend::S_CommunicationNodeStatus> CScriptedTransport::getCommunicationNodeStatuses() const
{
    std::lock_guard lock(m_mutex);
    std::vector<backend::S_CommunicationNodeStatus> statuses;
    for (const auto& node : m_nodes)
    {
        backend::S_CommunicationNodeStatus status;
        status.nodeId = node.nodeId;
        status.nodeName = node.nodeId;
        status.protocolAdapterId = "ota-v1";
        status.connectionState = node.state;
        statuses.push_back(std::move(status));
    }
    return statuses;
}

void CScriptedTransport::setNodeConnection(const std::string& nodeId, E_DeviceConnectionState state)
{
    std::lock_guard lock(m_mutex);
    if (S_Node* node = findNode(nodeId))
    {
        node->state = state;
        return;
    }
    m_nodes.push_back({nodeId, state});
}

E_DeviceConnectionState CScriptedTransport::nodeConnection(const std::string& nodeId) const
{
    std::lock_guard lock(m_mutex);
    const S_Node* node = findNode(nodeId);
    return node == nullptr ? E_DeviceConnectionState::PENDING : node->state;
}

void CScriptedTransport::deliverEvent(const std::string& nodeId, const backend::S_ProtocolEvent& event,
                                      std::chrono::milliseconds delay)
{
    schedule(delay, [this, nodeId, event] { callProtocolCallback(nodeId, event); });
}

void CScriptedTransport::deliverConnectionState(const std::string& nodeId, E_DeviceConnectionState state,
                                                std::chrono::milliseconds delay)
{
    schedule(delay, [this, nodeId, state] { deliverConnectionStateNow(nodeId, state); });
}

bool CScriptedTransport::deliverEventAndWait(const std::string& nodeId, const backend::S_ProtocolEvent& event)
{
    const auto id = schedule(std::chrono::milliseconds(0),
                             [this, nodeId, event] { callProtocolCallback(nodeId, event); });
    return waitDone(id, kDeliveryBound);
}

bool CScriptedTransport::deliverConnectionStateAndWait(const std::string& nodeId,
                                                       E_DeviceConnectionState state)
{
    const auto id = schedule(std::chrono::milliseconds(0),
                             [this, nodeId, state] { deliverConnectionStateNow(nodeId, state); });
    return waitDone(id, kDeliveryBound);
}

void CScriptedTransport::deliverEventNow(const std::string& nodeId, const backend::S_ProtocolEvent& event)
{
    EXPECT_TRUE(onDeliveryThread()) << "deliverEventNow outside the delivery thread";
    callProtocolCallback(nodeId, event);
}

void CScriptedTransport::deliverConnectionStateNow(const std::string& nodeId, E_DeviceConnectionState state)
{
    EXPECT_TRUE(onDeliveryThread()) << "deliverConnectionStateNow outside the delivery thread";
    setNodeConnection(nodeId, state);
    callConnectionCallback(nodeId, state);
}

bool CScriptedTransport::onDeliveryThread() const
{
    return std::this_thread::get_id() == m_deliveryThreadId;
}

std::uint64_t CScriptedTransport::lostDeliveryCount() const
{
    std::lock_guard lock(m_mutex);
    return m_lostDeliveries;
}

void CScriptedTransport::setResponder(Responder responder)
{
    std::unique_lock lock(m_mutex);
    m_responder = std::move(responder);
    if (!onDeliveryThread())
    {
        m_changed.wait(lock, [this] { return !m_responderRunning; });
    }
}

void CScriptedTransport::setAnswersBeforeSendReturns(bool enabled)
{
    std::lock_guard lock(m_mutex);
    m_answersBeforeSendReturns = enabled;
}

std::vector<S_RecordedSend> CScriptedTransport::sends() const
{
    std::lock_guard lock(m_mutex);
    return m_sends;
}

std::vector<S_RecordedSend> CScriptedTransport::sendsTo(const std::string& nodeId) const
{
    std::lock_guard lock(m_mutex);
    std::vector<S_RecordedSend> result;
    for (const auto& send : m_sends)
    {
        if (send.nodeId == nodeId)
        {
            result.push_back(send);
        }
    }
    return result;
}

bool CScriptedTransport::waitForSend(const SendPredicate& predicate, std::chrono::milliseconds bound,
                                     S_RecordedSend* found)
{
    std::unique_lock lock(m_mutex);
    std::size_t checked = 0;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (true)
    {
        for (; checked < m_sends.size(); ++checked)
        {
            if (predicate(m_sends[checked]))
            {
                if (found != nullptr)
                {
                    *found = m_sends[checked];
                }
                return true;
            }
        }
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout && checked == m_sends.size())
        {
            return false;
        }
    }
}

void CScriptedTransport::injectSendFailure(const std::string& nodeId, E_SendKind kind,
                                           const std::string& errorText)
{
    std::lock_guard lock(m_mutex);
    m_failures[{nodeId, kind}] = errorText;
}

void CScriptedTransport::clearSendFailures()
{
    std::lock_guard lock(m_mutex);
    m_failures.clear();
}

void CScriptedTransport::holdSends(SendPredicate predicate)
{
    std::lock_guard lock(m_mutex);
    m_holdPredicate = std::move(predicate);
    m_heldCount = 0;
}

bool CScriptedTransport::waitForHeldSends(std::size_t count, std::chrono::milliseconds bound)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] { return m_heldCount >= count; });
}

std::size_t CScriptedTransport::heldSendCount() const
{
    std::lock_guard lock(m_mutex);
    return m_heldCount;
}

void CScriptedTransport::releaseHeldSends()
{
    {
        std::lock_guard lock(m_mutex);
        m_holdPredicate = nullptr;
        ++m_releaseGeneration;
    }
    m_changed.notify_all();
}

std::uint64_t CScriptedTransport::schedule(std::chrono::milliseconds delay, std::function<void()> work)
{
    std::uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = ++m_deliverySequence;
        if (m_stopping)
        {
            return id;
        }
        const auto due = std::chrono::steady_clock::now() + delay;
        m_deliveries.emplace(std::make_pair(due, id), S_Delivery{id, std::move(work)});
        m_unfinished.insert(id);
    }
    m_deliveryWake.notify_all();
    return id;
}

bool CScriptedTransport::waitDone(std::uint64_t id, std::chrono::milliseconds bound)
{
    if (onDeliveryThread())
    {
        ADD_FAILURE() << "The delivery thread cannot wait for its own deliveries";
        return false;
    }
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] { return m_unfinished.count(id) == 0; });
}

void CScriptedTransport::runDeliveries()
{
    std::unique_lock lock(m_mutex);
    m_deliveryThreadId = std::this_thread::get_id();
    m_changed.notify_all();
    while (!m_stopping)
    {
        if (m_deliveries.empty())
        {
            m_deliveryWake.wait(lock);
            continue;
        }
        const auto first = m_deliveries.begin();
        if (first->first.first > std::chrono::steady_clock::now())
        {
            m_deliveryWake.wait_until(lock, first->first.first);
            continue;
        }
        S_Delivery delivery = std::move(first->second);
        m_deliveries.erase(first);
        lock.unlock();
        try
        {
            delivery.work();
        }
        catch (const std::exception& exception)
        {
            ADD_FAILURE() << "A delivery threw: " << exception.what();
        }
        lock.lock();
        m_unfinished.erase(delivery.id);
        m_changed.notify_all();
    }
    m_deliveries.clear();
    m_unfinished.clear();
    m_changed.notify_all();
}

void CScriptedTransport::callProtocolCallback(const std::string& nodeId,
                                              const backend::S_ProtocolEvent& event)
{
    backend::ProtocolEventCallback callback;
    {
        std::lock_guard lock(m_callbackMutex);
        callback = m_protocolCallback;
    }
    if (!callback)
    {
        std::lock_guard lock(m_mutex);
        ++m_lostDeliveries;
        return;
    }
    callback(nodeId, event);
}

void CScriptedTransport::callConnectionCallback(const std::string& nodeId, E_DeviceConnectionState state)
{
    backend::ConnectionStateCallback callback;
    {
        std::lock_guard lock(m_callbackMutex);
        callback = m_connectionCallback;
    }
    if (!callback)
    {
        std::lock_guard lock(m_mutex);
        ++m_lostDeliveries;
        return;
    }
    callback(nodeId, state);
}

void CScriptedTransport::runResponder(const S_RecordedSend& send)
{
    Responder responder;
    {
        std::lock_guard lock(m_mutex);
        if (!m_responder)
        {
            return;
        }
        responder = m_responder;
        m_responderRunning = true;
    }
    // Marks the responder idle however the call ends, so setResponder never waits forever.
    struct S_IdleMark
    {
        CScriptedTransport& transport;
        ~S_IdleMark()
        {
            {
                std::lock_guard lock(transport.m_mutex);
                transport.m_responderRunning = false;
            }
            transport.m_changed.notify_all();
        }
    } idleMark{*this};
    responder(send, *this);
}

CScriptedTransport::S_Node* CScriptedTransport::findNode(const std::string& nodeId)
{
    for (auto& node : m_nodes)
    {
        if (node.nodeId == nodeId)
        {
            return &node;
        }
    }
    return nullptr;
}

const CScriptedTransport::S_Node* CScriptedTransport::findNode(const std::string& nodeId) const
{
    for (const auto& node : m_nodes)
    {
        if (node.nodeId == nodeId)
        {
            return &node;
        }
    }
    return nullptr;
}

}  // namespace ota::test
