#include "common/clock.h"
#include "device/device_tcp_manager_impl.h"
#include "device/device_tcp_timing.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace ota::backend
{

using State = E_DeviceConnectionState;

namespace
{

constexpr std::uint32_t MAX_QUEUED_CONNECTS = 32;
constexpr std::uint32_t MAX_CONNECTS_PER_PASS = 16;
constexpr std::uint32_t MAX_INITIAL_QUERIES_PER_PASS = 24;
constexpr std::size_t START_INDEX_STEP = 16;

}  // namespace

void CDeviceTcpManager::S_Impl::runSupervisor(const DeviceTcpRunPointer& run)
{
    for (;;)
    {
        {
            std::unique_lock<std::mutex> lock(run->wakeMutex);
            run->wakeCondition.wait_for(
                lock, std::chrono::milliseconds(supervisorPassIntervalMs(run->nodes.size())),
                [&] { return run->stopRequested || run->wake; });
            run->wake = false;
        }
        if (run->stopRequested)
        {
            return;
        }
        try
        {
            supervisePass(run);
        }
        catch (const std::exception& exception)
        {
            logDeviceLine(E_DeviceLogLevel::ERROR,
                          std::string("Device TCP supervisor pass failed: ") + exception.what());
        }
        catch (...)
        {
            logDeviceLine(E_DeviceLogLevel::ERROR, "Device TCP supervisor pass failed: unknown exception");
        }
    }
}

void CDeviceTcpManager::S_Impl::supervisePass(const DeviceTcpRunPointer& run)
{
    const std::size_t nodeCount = run->nodes.size();
    if (nodeCount == 0)
    {
        return;
    }
    const std::uint32_t queued = run->queuedConnectCount.load();
    std::uint32_t connectBudget =
        queued >= MAX_QUEUED_CONNECTS ? 0 : std::min(MAX_QUEUED_CONNECTS - queued, MAX_CONNECTS_PER_PASS);
    std::uint32_t initialQueryBudget = MAX_INITIAL_QUERIES_PER_PASS;

    for (std::size_t visited = 0; visited < nodeCount && !run->stopRequested; ++visited)
    {
        S_CommunicationNodeContext& node = *run->nodes[(run->rotatingStartIndex + visited) % nodeCount];
        bool connect = false;
        bool sendInitialQuery = false;
        bool timedOutClose = false;
        std::string timeoutError;
        CDeviceTcpChannel::Pointer closingChannel;
        S_DisconnectOutcome outcome;
        std::uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(node.mutex);
            S_CommunicationNodeStatus& status = node.status;
            const std::int64_t now = currentUnixMs();
            const State state = status.connectionState;
            if (node.autoReconnect && (state == State::PENDING || state == State::DISCONNECTED) &&
                !node.connectTaskQueued && now >= status.nextReconnectAt && connectBudget > 0)
            {
                node.connectTaskQueued = true;
                status.connectionState = State::CONNECTING;
                status.lastEventAt = now;
                const std::uint32_t nowQueued = ++run->queuedConnectCount;
                std::uint32_t recorded = run->maxQueuedConnectCount.load();
                while (nowQueued > recorded && !run->maxQueuedConnectCount.compare_exchange_weak(recorded, nowQueued))
                {
                }
                --connectBudget;
                connect = true;
            }
            else if ((state == State::VERIFYING || state == State::CONNECTED) && node.replyPending &&
                     now >= node.replyDeadline)
            {
                timeoutError = state == State::VERIFYING
                                   ? "OTA protocol verification timed out: no valid MSG_DEVICE_STATUS reply"
                                   : "MSG_DEVICE_STATUS reply timed out";
                status.lastError = timeoutError;
                status.lastEventAt = now;
                node.replyPending = false;
                node.replyDeadline = 0;
                if (node.closeOnTimeout)
                {
                    node.closing = true;
                    closingChannel = node.channel;
                    outcome = disconnectLocked(node, now);
                    if (status.connectionState == State::DISCONNECTED)
                    {
                        status.lastError = timeoutError;
                    }
                    timedOutClose = true;
                }
                else
                {
                    node.closeOnTimeout = false;
                }
            }
            else if (state == State::VERIFYING && !node.replyPending && !node.closing && !node.initialQuerySent &&
                     node.initialQueryAt != 0 && now >= node.initialQueryAt && initialQueryBudget > 0)
            {
                --initialQueryBudget;
                node.initialQuerySent = true;
                node.initialQueryAt = 0;
                generation = node.connectionGeneration;
                sendInitialQuery = true;
            }
        }

        if (connect)
        {
            deliverConnectionState(node.status.nodeId, State::CONNECTING);
            postConnectTask(run, node);
        }
        else if (timedOutClose)
        {
            finishDisconnect(node, outcome);
            logDeviceLine(E_DeviceLogLevel::WARN,
                          timeoutError + "; closing TCP connection: " + node.status.nodeId);
            if (closingChannel)
            {
                closingChannel->close();
            }
        }
        else if (sendInitialQuery)
        {
            S_DeviceStatusQueryResult result;
            if (submitStatusQuery(*run, &node, true, false, result) != E_StatusQuerySubmission::FAILED)
            {
                continue;
            }
            const std::string failure = "Initial status fallback query failed: " + result.message;
            {
                std::lock_guard<std::mutex> lock(node.mutex);
                // Only the connection the query was meant for is closed.
                if (node.connectionGeneration != generation || !node.hasConnection)
                {
                    continue;
                }
                closingChannel = node.channel;
                outcome = disconnectLocked(node, currentUnixMs());
                if (node.status.connectionState == State::DISCONNECTED)
                {
                    node.status.lastError = failure;
                }
            }
            finishDisconnect(node, outcome);
            logDeviceLine(E_DeviceLogLevel::WARN,
                          failure + "; closing TCP connection: " + node.status.nodeId);
            if (closingChannel)
            {
                closingChannel->close();
            }
        }
    }
    run->rotatingStartIndex = (run->rotatingStartIndex + START_INDEX_STEP) % nodeCount;
}

}  // namespace ota::backend
