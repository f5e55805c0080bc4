#include "common/clock.h"
#include "common/digest.h"
#include "device/device_tcp_manager_impl.h"
#include "device/device_tcp_timing.h"

#include <chrono>
#include <thread>

namespace ota::backend
{

using State = E_DeviceConnectionState;

namespace
{

constexpr std::size_t STATUS_QUERY_BATCH_SIZE = 24;

bool isLinked(State state) { return state == State::VERIFYING || state == State::CONNECTED; }

E_StatusQuerySubmission outcome(S_DeviceStatusQueryResult& result, E_StatusQuerySubmission submission,
                                const char* category, const char* code, std::string message)
{
    result.category = category;
    result.code = code;
    result.message = std::move(message);
    return submission;
}

E_StatusQuerySubmission skipped(S_DeviceStatusQueryResult& result, const char* code, const char* message)
{
    return outcome(result, E_StatusQuerySubmission::SKIPPED, "SKIPPED", code, message);
}

E_StatusQuerySubmission failed(S_DeviceStatusQueryResult& result, const char* code, std::string message)
{
    return outcome(result, E_StatusQuerySubmission::FAILED, "FAILED", code, std::move(message));
}

}  // namespace

E_StatusQuerySubmission CDeviceTcpManager::S_Impl::submitStatusQuery(S_DeviceTcpRunContext& run,
                                                                      S_CommunicationNodeContext* node,
                                                                      bool closeOnTimeout, bool withLog,
                                                                      S_DeviceStatusQueryResult& result)
{
    result = S_DeviceStatusQueryResult{};
    if (node == nullptr || !node->client || !run.running || !run.loopRunning)
    {
        if (node != nullptr)
        {
            result.nodeId = node->status.nodeId;
            result.nodeName = node->status.nodeName;
        }
        result.connectionState = "UNAVAILABLE";
        return failed(result, "DEVICE_TCP_CONTEXT_UNAVAILABLE", "Device TCP connection context is unavailable");
    }
    const auto isLive = [&] { return isLinked(node->status.connectionState) && node->hasConnection && node->channel; };
    {
        std::lock_guard<std::mutex> lock(node->mutex);
        result.nodeId = node->status.nodeId;
        result.nodeName = node->status.nodeName;
        result.connectionState = deviceConnectionStateName(node->status.connectionState);
        if (!isLive())
        {
            return skipped(result, "DEVICE_NOT_CONNECTED", "Device TCP connection is not connected");
        }
        if (node->replyPending || node->closing)
        {
            return skipped(result, "STATUS_QUERY_ALREADY_PENDING", "A device status query is already awaiting a reply");
        }
    }

    std::vector<std::uint8_t> bytes;
    std::string messageType;
    std::uint32_t encodedUpgradeNo = 0;
    {
        std::lock_guard<std::mutex> lock(node->adapterMutex);
        if (!node->adapter)
        {
            return failed(result, "PROTOCOL_ADAPTER_UNAVAILABLE", "Protocol adapter is unavailable");
        }
        std::string encodeError;
        if (!node->adapter->encodeStatusQuery(bytes, messageType, encodedUpgradeNo, encodeError))
        {
            return failed(result, "STATUS_QUERY_ENCODE_FAILED", encodeError);
        }
    }
    const CDeviceTcpChannel::FramePointer frame = CFrameBuffer::copyOf(bytes);

    std::uint64_t serial = 0;
    E_StatusQuerySubmission refusal = E_StatusQuerySubmission::SUBMITTED;
    std::string writeError;
    const S_NodeWriteResult written = writeToNode(
        *node, frame,
        [&]
        {
            if (!isLive())
            {
                result.connectionState = deviceConnectionStateName(node->status.connectionState);
                refusal = skipped(result, "DEVICE_DISCONNECTED_BEFORE_SEND",
                                  "Device disconnected before status query submission");
                return false;
            }
            if (node->replyPending || node->closing)
            {
                refusal = skipped(result, "STATUS_QUERY_ALREADY_PENDING",
                                  "A device status query is already awaiting a reply");
                return false;
            }
            const std::int64_t now = currentUnixMs();
            node->status.lastQueryAt = now;
            node->status.lastEventAt = now;
            node->replyPending = true;
            node->replyDeadline = now + node->statusReplyTimeoutMs;
            node->closeOnTimeout = closeOnTimeout || node->status.connectionState == State::VERIFYING;
            node->closing = false;
            serial = ++node->querySerial;
            return true;
        },
        [&](const S_NodeWriteResult& outcome)
        {
            if (outcome.outcome != E_NodeWriteOutcome::CONNECTION_CHANGED)
            {
                node->status.lastEventAt = currentUnixMs();
                if (outcome.writeResult < 0)
                {
                    node->status.lastError = "libhv failed to submit MSG_QUERY_STATUS, result=" +
                                             std::to_string(outcome.writeResult);
                    writeError = node->status.lastError;
                    if (node->replyPending && node->querySerial == serial)
                    {
                        node->replyPending = false;
                        node->replyDeadline = 0;
                    }
                }
                else
                {
                    ++node->status.sentFrameCount;
                    node->status.sentByteCount += frame->size();
                    if (node->status.connectionState == State::VERIFYING)
                    {
                        node->initialQuerySent = true;
                    }
                }
            }
            result.connectionState = deviceConnectionStateName(node->status.connectionState);
        });

    const std::string& nodeId = node->status.nodeId;
    switch (written.outcome)
    {
        case E_NodeWriteOutcome::REFUSED:
            return refusal;
        case E_NodeWriteOutcome::CONNECTION_CHANGED:
            failed(result, "STATUS_QUERY_CONNECTION_CHANGED",
                   "Device connection changed during status query submission");
            recordOutgoingFrameTrace(*node, "ERROR", messageType, encodedUpgradeNo, frame->data(),
                                     frame->size(), result.message);
            logDeviceLine(E_DeviceLogLevel::WARN,
                          "Status query submission became stale: " + nodeId + ", " + result.message);
            return E_StatusQuerySubmission::FAILED;
        case E_NodeWriteOutcome::WRITE_FAILED:
            failed(result, "STATUS_QUERY_SEND_FAILED", writeError);
            recordOutgoingFrameTrace(*node, "ERROR", messageType, encodedUpgradeNo, frame->data(),
                                     frame->size(), result.message);
            logDeviceLine(E_DeviceLogLevel::WARN,
                          "Status query submission failed: " + nodeId + ", " + result.message);
            return E_StatusQuerySubmission::FAILED;
        case E_NodeWriteOutcome::WRITTEN:
            break;
    }
    recordOutgoingFrameTrace(*node, "TX", messageType, encodedUpgradeNo, frame->data(), frame->size(), {});
    if (withLog)
    {
        logDeviceLine(E_DeviceLogLevel::INFO, "Status query submitted: " + nodeId);
    }
    return E_StatusQuerySubmission::SUBMITTED;
}

bool CDeviceTcpManager::requestDeviceStatusQuery(S_DeviceStatusQuerySummary& summary, std::string& error)
{
    error.clear();
    std::shared_lock<std::shared_mutex> runLock(m_impl->runLock);
    std::lock_guard<std::mutex> queryLock(m_impl->statusQueryMutex);
    summary = S_DeviceStatusQuerySummary{};
    summary.requestedAt = currentUnixMs();
    const DeviceTcpRunPointer& run = m_impl->run;
    if (!run || !run->running)
    {
        error = "Device TCP manager is not running";
        summary.errors.push_back(S_DeviceStatusQueryResult{"", "", "NOT_RUNNING", "FAILED",
                                                           "DEVICE_TCP_MANAGER_NOT_RUNNING", error});
        return false;
    }
    const std::size_t nodeCount = run->nodes.size();
    summary.configuredCount = nodeCount;
    logDeviceLine(E_DeviceLogLevel::INFO,
                  "Status query submission started; configured=" + std::to_string(nodeCount));

    for (std::size_t batchStart = 0; batchStart < nodeCount; batchStart += STATUS_QUERY_BATCH_SIZE)
    {
        const std::size_t batchEnd = std::min(nodeCount, batchStart + STATUS_QUERY_BATCH_SIZE);
        for (std::size_t i = batchStart; i < batchEnd; ++i)
        {
            S_DeviceStatusQueryResult result;
            switch (m_impl->submitStatusQuery(*run, run->nodes[i].get(), false, false, result))
            {
            case E_StatusQuerySubmission::SUBMITTED: ++summary.submittedCount; break;
            case E_StatusQuerySubmission::SKIPPED:
                ++summary.skippedCount;
                summary.errors.push_back(std::move(result));
                break;
            case E_StatusQuerySubmission::FAILED:
                ++summary.failedCount;
                summary.errors.push_back(std::move(result));
                break;
            }
        }
        if (batchEnd < nodeCount)
        {
            const auto batchIndex = static_cast<std::uint32_t>(batchStart / STATUS_QUERY_BATCH_SIZE);
            const std::uint32_t firstNodeHash = fnv1a32(run->nodes[batchStart]->status.nodeId);
            std::this_thread::sleep_for(std::chrono::milliseconds(statusQueryBatchPauseMs(batchIndex, firstNodeHash)));
        }
    }

    summary.dispatchedCount = summary.submittedCount;
    logDeviceLine(summary.submittedCount > 0 ? E_DeviceLogLevel::INFO : E_DeviceLogLevel::WARN,
                  "Status query submission completed; configured=" + std::to_string(nodeCount) +
                      ", submitted=" + std::to_string(summary.submittedCount) +
                      ", skipped=" + std::to_string(summary.skippedCount) +
                      ", failed=" + std::to_string(summary.failedCount));
    if (summary.submittedCount > 0)
    {
        return true;
    }
    if (nodeCount == 0)
    {
        error = "No communication device is configured";
    }
    else if (summary.failedCount == 0)
    {
        error = "No configured device is currently connected";
    }
    else if (summary.skippedCount == 0)
    {
        error = "All configured device status queries failed to submit";
    }
    else
    {
        error = "No configured device status query could be submitted";
    }
    return false;
}

bool CDeviceTcpManager::requestManualReconnect(S_DeviceReconnectSummary& summary, std::string& error)
{
    error.clear();
    std::shared_lock<std::shared_mutex> runLock(m_impl->runLock);
    summary = S_DeviceReconnectSummary{};
    const DeviceTcpRunPointer& run = m_impl->run;
    if (!run || !run->running || !run->loopRunning)
    {
        error = "Device TCP manager is not running";
        return false;
    }
    summary.requestedAt = currentUnixMs();
    summary.configuredCount = run->nodes.size();
    {
        for (const auto& node : run->nodes)
        {
            std::lock_guard<std::mutex> lock(node->mutex);
            S_CommunicationNodeStatus& status = node->status;
            const State state = status.connectionState;
            if (state == State::CONNECTING || state == State::VERIFYING)
            {
                ++summary.skippedConnectingCount;
            }
            else if (state == State::CONNECTED)
            {
                ++summary.skippedConnectedCount;
            }
            else if (node->autoReconnect && node->client)
            {
                status.connectionState = State::DISCONNECTED;
                status.nextReconnectAt =
                    summary.requestedAt +
                    static_cast<std::int64_t>(staggeredStartOffsetMs(status.nodeId, summary.submittedCount));
                status.lastEventAt = summary.requestedAt;
                ++summary.submittedCount;
            }
            else
            {
                ++summary.skippedUnavailableCount;
            }
        }
    }
    if (summary.submittedCount > 0)
    {
        {
            std::lock_guard<std::mutex> lock(run->wakeMutex);
            run->wake = true;
        }
        run->wakeCondition.notify_all();
    }
    logDeviceLine(E_DeviceLogLevel::INFO,
                  "Manual reconnect scheduled; configured=" + std::to_string(summary.configuredCount) +
                      ", submitted=" + std::to_string(summary.submittedCount) +
                      ", connected=" + std::to_string(summary.skippedConnectedCount) +
                      ", connecting=" + std::to_string(summary.skippedConnectingCount) +
                      ", unavailable=" + std::to_string(summary.skippedUnavailableCount));
    return true;
}

}  // namespace ota::backend
