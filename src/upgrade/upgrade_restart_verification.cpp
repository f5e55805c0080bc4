#include "upgrade/upgrade_execution_impl.h"

// Restart verification: the device's session lock, released while waiting and around every send.

#include <algorithm>
#include <chrono>
#include <optional>

namespace ota::backend
{

namespace
{

constexpr auto kMaxWaitSlice = std::chrono::milliseconds(86'400'000);
constexpr auto kDrainWait = std::chrono::milliseconds(10);
// While the device is away, its reconnection is looked at this often.
constexpr auto kReconnectPoll = std::chrono::milliseconds(100);
constexpr int kMaxStatusQueries = 2;

}  // namespace

bool CUpgradeExecutionService::S_Impl::applyRestartStatus(const S_TaskRun& task,
                                                          const S_DeviceRuntime& device,
                                                          const S_ProtocolEventDeviceStatus& status,
                                                          std::string& text) const
{
    if (status.upgradeNo != task.upgradeNo)
    {
        text = "重启后状态上报的升级号不匹配";
        return false;
    }
    if (!status.isReady() || status.reasonCode != 0)
    {
        text = std::string("重启后装置未恢复到可升级状态: state=") + status.upgradeStateName() +
               ", reason=" + status.reasonName();
        return false;
    }
    for (const S_UpgradeTarget* target : device.targets)
    {
        const std::string key = target->componentTypeId + "#" + std::to_string(target->componentIndex);
        std::uint8_t componentType = 0;
        const bool known = componentTypeFromIdentifier(target->componentTypeId, componentType);
        const auto reported = std::find_if(status.components.begin(), status.components.end(),
                                           [&](const S_ProtocolEventComponent& component)
                                           {
                                               return known && component.componentType == componentType &&
                                                      component.componentIndex == target->componentIndex;
                                           });
        if (reported == status.components.end())
        {
            text = "重启后未上报目标部件: " + key;
            return false;
        }
        if (reported->version != target->targetVersion)
        {
            text = "重启后版本不匹配: " + key + ", expected=" + target->targetVersion +
                   ", actual=" + reported->version;
            return false;
        }
    }
    text.clear();
    return true;
}

// The device was told to restart and its acceptance time is known. Success needs a status that
// shows every target version, taken after the restart boundary: the acceptance when the device
// never went away, else its reconnection after the last disconnect. Activity (progress, the
// disconnect, the reconnection, a changed status outcome) extends the deadline up to 4 x T.
bool CUpgradeExecutionService::S_Impl::waitRestartVerified(S_TaskRun& task, std::size_t index,
                                                           std::string& detailText, std::uint16_t& reasonCode,
                                                           const char*& resultCode)
{
    reasonCode = kTimeoutReasonCode;
    resultCode = "TIMEOUT";
    const std::uint8_t restartStage = toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
    CDeviceSession& session = *task.sessions[index];
    std::unique_lock<std::mutex> lock(session.mutex());
    S_DeviceRuntime& device = session.deviceLocked();
    std::vector<S_QueuedEvent>& queue = session.queueLocked();
    if (device.restartAcceptedAt == kNever || device.restartAcceptedAt < device.restartCommandAt)
    {
        detailText = "重启验证命令缺少有效的接受时间边界";
        reasonCode = 0;
        resultCode = "INTERNAL_ERROR";
        return false;
    }
    const std::uint32_t restartTimeoutMs = task.options.restartTimeoutMs;
    const auto period = std::chrono::milliseconds(restartTimeoutMs);
    const auto quiet = std::chrono::milliseconds(
        std::min<std::uint32_t>(5000, restartTimeoutMs > 403 ? restartTimeoutMs / 4 : 100));
    const TimePoint begin = SteadyClock::now();
    const TimePoint hardCap = begin + 4 * period;
    TimePoint deadline = begin + period;
    TimePoint nextQueryAt = std::min(hardCap, device.restartAcceptedAt + quiet);

    bool restartObserved = false;
    bool reconnected = false;
    TimePoint reconnectedAt = kNever;
    bool verified = false;
    TimePoint verifiedAt = kNever;
    std::optional<std::string> mismatchText;
    std::optional<std::string> queryFailure;
    std::optional<std::string> lastOutcome;
    std::uint64_t seenDisconnects = device.restartBaseline;
    std::uint64_t seenProgress = 0;
    int queriesSent = 0;

    const auto activity = [&](TimePoint at)
    { deadline = std::max(deadline, std::min(hardCap, at + period)); };

    while (true)
    {
        if (device.shown.completed)
        {
            detailText = device.shown.detailText;
            reasonCode = device.shown.reasonCode;
            resultCode = device.shown.reasonName;
            return false;
        }
        if (session.stopping())
        {
            detailText = "重启验证时执行服务停止";
            reasonCode = 0;
            resultCode = "INTERNAL_ERROR";
            return false;
        }
        if (device.shown.eventStreamFailed)
        {
            detailText = session.describeEventStreamFailureLocked();
            reasonCode = 0;
            resultCode = "EVENT_QUEUE_OVERFLOW";
            return false;
        }
        if (device.progressStage == restartStage && device.progressSequence != seenProgress)
        {
            seenProgress = device.progressSequence;
            activity(device.lastProgressAt);
        }
        if (device.disconnectCount > seenDisconnects)
        {
            seenDisconnects = device.disconnectCount;
            restartObserved = true;
            reconnected = false;
            verified = false;
            mismatchText.reset();
            lastOutcome.reset();
            activity(device.lastDisconnectAt);
        }
        const bool connected = device.shown.connectionState == E_DeviceConnectionState::CONNECTED;
        if (restartObserved && !reconnected && connected &&
            device.lastConnectionChangeAt >= device.lastDisconnectAt)
        {
            reconnected = true;
            reconnectedAt = device.lastConnectionChangeAt;
            activity(reconnectedAt);
            nextQueryAt = std::min(hardCap, reconnectedAt + quiet);
        }
        const TimePoint effectiveDeadline = std::min(hardCap, deadline);

        if (verified && connected &&
            ((!restartObserved && device.disconnectCount == device.restartBaseline &&
              verifiedAt >= device.restartAcceptedAt) ||
             (restartObserved && reconnected && verifiedAt >= reconnectedAt)))
        {
            return true;
        }

        const bool awaitingReconnect = restartObserved && !reconnected;
        const bool mayQuery = connected && queriesSent < kMaxStatusQueries && !awaitingReconnect;
        TimePoint now = SteadyClock::now();
        if (mayQuery && now >= nextQueryAt)
        {
            ++queriesSent;
            nextQueryAt = std::min(hardCap, now + quiet);
            lock.unlock();
            std::string error;
            const bool sent = task.links[index]->sendUpgradeStatusQuery(task.upgradeNo, error);
            lock.lock();
            if (!sent)
            {
                queryFailure = "重启验证状态查询未成功: " + error;
            }
            continue;
        }

        // The statuses and failure reports that arrived meanwhile.
        bool evaluated = false;
        for (auto it = queue.begin(); it != queue.end();)
        {
            const S_ProtocolEventStageReport* failure = it->event.stageReport();
            if (failure != nullptr && !failure->succeeded())
            {
                const S_ProtocolEventStageReport report = *failure;
                queue.erase(it);
                detailText = std::string("装置重启验证失败: ") + report.reasonName();
                reasonCode = report.reasonCode;
                resultCode = report.reasonName();
                return false;
            }
            if (it->event.deviceStatus() == nullptr)
            {
                ++it;
                continue;
            }
            const TimePoint arrivedAt = it->receivedAt;
            const S_ProtocolEventDeviceStatus status = *it->event.deviceStatus();
            it = queue.erase(it);
            const TimePoint boundary = restartObserved ? reconnectedAt : device.restartAcceptedAt;
            if (awaitingReconnect || arrivedAt < boundary || arrivedAt > effectiveDeadline)
            {
                continue;  // from before the restart boundary (or too late): says nothing about the new
                           // firmware
            }
            std::string text;
            const bool matches = applyRestartStatus(task, device, status, text);
            if (!lastOutcome || *lastOutcome != text)
            {
                deadline = std::max(deadline, std::min(hardCap, arrivedAt + period));
            }
            lastOutcome = text;
            verified = matches;
            if (matches)
            {
                verifiedAt = arrivedAt;
                mismatchText.reset();
            }
            else
            {
                mismatchText = text;
            }
            evaluated = true;
        }
        if (evaluated)
        {
            continue;
        }

        now = SteadyClock::now();
        if (now < effectiveDeadline)
        {
            TimePoint wakeAt = effectiveDeadline;
            if (mayQuery)
            {
                wakeAt = std::min(wakeAt, nextQueryAt);
            }
            if (awaitingReconnect)
            {
                wakeAt = std::min(wakeAt, now + kReconnectPoll);
            }
            session.condition().wait_until(lock, std::min(wakeAt, now + kMaxWaitSlice));
            continue;
        }
        if (session.protocolCallbackRunning(effectiveDeadline) ||
            session.connectionCallbackRunning(effectiveDeadline))
        {
            session.condition().wait_for(lock, kDrainWait);
            continue;
        }
        reasonCode = kTimeoutReasonCode;
        resultCode = "TIMEOUT";
        const char* versionTimeout =
            restartObserved ? "等待重启后版本状态超时" : "等待装置重启验证状态上报超时";
        if (awaitingReconnect)
        {
            detailText = "等待装置重启后重新连接超时";
        }
        else if (verified)
        {
            detailText = versionTimeout;
        }
        else if (mismatchText)
        {
            detailText = *mismatchText;
            reasonCode = kVersionVerifyReasonCode;
            resultCode = "VERSION_VERIFY_FAILED";
        }
        else if (queryFailure)
        {
            detailText = *queryFailure;
        }
        else
        {
            detailText = versionTimeout;
        }
        return false;
    }
}

}  // namespace ota::backend
