#pragma once

#include "device/upgrade_device_transport.h"
#include "protocol/protocol_enums.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ota::test
{

enum class E_SendKind
{
    STATUS_QUERY,
    COMMAND,
    TARGET_LIST,
    FILE_INFO,
    FILE_CHUNK,
};

const char* sendKindName(E_SendKind kind);

// One call of a send operation, as the transport received it. Only the body of its kind is filled.
struct S_RecordedSend
{
    std::uint64_t sequence = 0;  // 1, 2, ... over all nodes, in call order
    E_SendKind kind = E_SendKind::STATUS_QUERY;
    std::string nodeId;
    std::uint32_t upgradeNo = 0;
    backend::S_ProtocolCommand command;
    backend::S_ProtocolTargetList targetList;
    backend::S_ProtocolFileInfo fileInfo;
    backend::S_ProtocolFileChunk fileChunk;
    bool accepted = true;  // false: the send returned false with error
    std::string error;
    std::chrono::steady_clock::time_point sentAt;
    std::int64_t sentAtUnixMs = 0;

    bool isCommand(backend::E_ProtocolCommandType type) const;
};

// A deterministic in-process transport for the execution service.
//
// Sends are recorded in call order and refused as the real transport refuses them (empty id,
// upgrade number 0, unknown node, node not CONNECTED) or by an injected failure. Node connection
// states are kept in a list that getCommunicationNodeStatuses returns.
//
// One delivery thread (the "transport thread") runs the registered callbacks: deliverEvent and
// deliverConnectionState queue a delivery, optionally delayed, and deliveries run in order of
// their due time (then of queueing). A responder, if set, is called on the delivery thread after
// every accepted send, so a test can play the device; from there deliverEventNow and
// deliverConnectionStateNow deliver at once. With answersBeforeSendReturns the send call itself
// waits until the responder has run, so the answer reaches the service before the send returns
// (except a send made on the delivery thread itself). A held send blocks its caller (a worker of
// the service, or the delivery thread for a send the service makes there) until released.
class CScriptedTransport final : public backend::IUpgradeDeviceTransport
{
public:
    using Responder = std::function<void(const S_RecordedSend&, CScriptedTransport&)>;
    using SendPredicate = std::function<bool(const S_RecordedSend&)>;

    CScriptedTransport();
    ~CScriptedTransport() override;
    CScriptedTransport(const CScriptedTransport&) = delete;
    CScriptedTransport& operator=(const CScriptedTransport&) = delete;

    bool sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                std::string& error) override;
    bool sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                            const backend::S_ProtocolCommand& command, std::string& error) override;
    bool sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                               const backend::S_ProtocolTargetList& targetList, std::string& error) override;
    bool sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                             const backend::S_ProtocolFileInfo& fileInfo, std::string& error) override;
    bool sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                              const backend::S_ProtocolFileChunk& fileChunk, std::string& error) override;
    void setProtocolEventCallback(backend::ProtocolEventCallback callback) override;
    void setConnectionStateCallback(backend::ConnectionStateCallback callback) override;
    std::vector<backend::S_CommunicationNodeStatus> getCommunicationNodeStatuses() const override;

    // Node list. Adds the node (at the end) when it is not listed; never calls a callback.
    void setNodeConnection(const std::string& nodeId, backend::E_DeviceConnectionState state);
    backend::E_DeviceConnectionState nodeConnection(const std::string& nodeId) const;

    // Queued deliveries on the delivery thread. A connection delivery updates the node list right
    // before it calls the callback. A delivery without a registered callback is counted as lost.
    void deliverEvent(const std::string& nodeId, const backend::S_ProtocolEvent& event,
                      std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    void deliverConnectionState(const std::string& nodeId, backend::E_DeviceConnectionState state,
                                std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // Queue, then wait until the callback has returned (false if that took longer than the bound).
    bool deliverEventAndWait(const std::string& nodeId, const backend::S_ProtocolEvent& event);
    bool deliverConnectionStateAndWait(const std::string& nodeId, backend::E_DeviceConnectionState state);
    // On the delivery thread only (from the responder): deliver at once.
    void deliverEventNow(const std::string& nodeId, const backend::S_ProtocolEvent& event);
    void deliverConnectionStateNow(const std::string& nodeId, backend::E_DeviceConnectionState state);
    bool onDeliveryThread() const;
    std::uint64_t lostDeliveryCount() const;

    // Replaces the responder; unless called on the delivery thread, waits until a running
    // responder call has returned.
    void setResponder(Responder responder);
    void setAnswersBeforeSendReturns(bool enabled);

    std::vector<S_RecordedSend> sends() const;
    std::vector<S_RecordedSend> sendsTo(const std::string& nodeId) const;
    // Waits for a recorded send (earlier ones count) that satisfies the predicate.
    bool waitForSend(const SendPredicate& predicate, std::chrono::milliseconds bound,
                     S_RecordedSend* found = nullptr);

    // Every later send of that kind to that node fails with errorText.
    void injectSendFailure(const std::string& nodeId, E_SendKind kind, const std::string& errorText);
    void clearSendFailures();

    // Later accepted sends that satisfy the predicate block their caller until releaseHeldSends.
    void holdSends(SendPredicate predicate);
    bool waitForHeldSends(std::size_t count, std::chrono::milliseconds bound);
    std::size_t heldSendCount() const;
    void releaseHeldSends();

private:
    struct S_Node
    {
        std::string nodeId;
        backend::E_DeviceConnectionState state = backend::E_DeviceConnectionState::PENDING;
    };

    struct S_Delivery
    {
        std::uint64_t id = 0;
        std::function<void()> work;
    };

    bool submit(S_RecordedSend send, std::string& error);
    std::uint64_t schedule(std::chrono::milliseconds delay, std::function<void()> work);
    bool waitDone(std::uint64_t id, std::chrono::milliseconds bound);
    void runDeliveries();
    void callProtocolCallback(const std::string& nodeId, const backend::S_ProtocolEvent& event);
    void callConnectionCallback(const std::string& nodeId, backend::E_DeviceConnectionState state);
    void runResponder(const S_RecordedSend& send);
    S_Node* findNode(const std::string& nodeId);
    const S_Node* findNode(const std::string& nodeId) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;  // sends, holds, deliveries done, responder idle
    std::condition_variable m_deliveryWake;
    std::vector<S_Node> m_nodes;
    std::vector<S_RecordedSend> m_sends;
    std::uint64_t m_sendSequence = 0;
    std::map<std::pair<std::string, E_SendKind>, std::string> m_failures;
    SendPredicate m_holdPredicate;
    std::uint64_t m_releaseGeneration = 0;
    std::size_t m_heldCount = 0;
    std::size_t m_holdingNow = 0;
    bool m_answersBeforeSendReturns = false;

    std::mutex m_callbackMutex;
    backend::ProtocolEventCallback m_protocolCallback;
    backend::ConnectionStateCallback m_connectionCallback;
    std::uint64_t m_lostDeliveries = 0;  // guarded by m_mutex

    Responder m_responder;  // guarded by m_mutex
    bool m_responderRunning = false;

    std::multimap<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>, S_Delivery> m_deliveries;
    std::set<std::uint64_t> m_unfinished;
    std::uint64_t m_deliverySequence = 0;
    bool m_stopping = false;
    std::thread::id m_deliveryThreadId;
    std::thread m_deliveryThread;  // last: started after every other member exists
};

}  // namespace ota::test
