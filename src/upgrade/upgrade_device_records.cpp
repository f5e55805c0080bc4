#include "upgrade/upgrade_execution_impl.h"

#include <algorithm>

namespace ota::backend
{

void CUpgradeExecutionService::S_Impl::setDeviceStage(std::size_t index, E_ProtocolStage stage,
                                                      const std::string& text, std::uint8_t progress)
{
    std::string name;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        S_DeviceRuntime& device = devices[index];
        if (device.completed)
        {
            return;
        }
        device.stage = toProtocolByte(stage);
        device.progressStage = device.stage;
        device.progressSequence = 0;
        device.lastProgressAt = kNever;
        device.state = text;
        device.workflowProgress = progress;
        if (device.startedAt == 0)
        {
            device.startedAt = currentUnixMs();
        }
        markStateChanged();
        name = device.nodeName;
    }
    notifyCondition.notify_all();
    log(E_LogLevel::INFO, name + " -> " + text);
}

void CUpgradeExecutionService::S_Impl::failDeviceLocked(S_DeviceRuntime& device,
                                                        const std::string& detailText,
                                                        std::uint16_t reasonCode,
                                                        const std::string& resultCode,
                                                        std::vector<S_LogLine>& lines)
{
    if (device.completed)
    {
        return;
    }
    device.state = "执行失败";
    device.result = "FAILED";
    device.completed = true;
    device.abortAllowed = false;
    device.finishedAt = currentUnixMs();
    device.reasonCode = reasonCode;
    device.reasonName = resultCode;
    device.detailText = detailText;
    for (S_ComponentRuntime& component : device.components)
    {
        component.state = "执行失败";
        component.reasonCode = reasonCode;
        component.reasonName = resultCode;
        component.detailText = detailText;
    }
    device.pendingRequest = {};
    markStateChanged();
    lines.push_back({E_LogLevel::ERROR, device.nodeName + " 执行失败: " + detailText});
}

void CUpgradeExecutionService::S_Impl::failDevice(std::size_t index, const std::string& detailText,
                                                  std::uint16_t reasonCode, const std::string& resultCode)
{
    std::vector<S_LogLine> lines;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        failDeviceLocked(devices[index], detailText, reasonCode, resultCode, lines);
    }
    if (!lines.empty())
    {
        workerCondition.notify_all();
        notifyCondition.notify_all();
        log(lines);
    }
}

void CUpgradeExecutionService::S_Impl::completeDeviceLocked(S_DeviceRuntime& device,
                                                            const std::string& result,
                                                            std::vector<S_LogLine>& lines)
{
    if (device.completed)
    {
        return;
    }
    device.completed = true;
    device.abortAllowed = false;
    device.finishedAt = currentUnixMs();
    device.result = result;
    device.pendingRequest = {};
    if (result == "SUCCESS")
    {
        device.stage = toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
        device.workflowProgress = 100;
        device.state = "升级成功";
        device.reasonCode = 0;
        device.reasonName = "OK";
        device.detailText.clear();
        for (S_ComponentRuntime& component : device.components)
        {
            component.componentStageProgress = 100;
            component.currentVersion = component.targetVersion;
            component.state = "重启验证完成";
            component.reasonCode = 0;
            component.reasonName = "OK";
            component.detailText = "版本已在重连后确认";
        }
    }
    else
    {
        device.state = "已终止";
        device.reasonCode = 0;
        device.reasonName = "UPGRADE_CONTEXT_RESET";
        device.detailText = "用户终止升级";
        for (S_ComponentRuntime& component : device.components)
        {
            component.state = "已终止";
            component.reasonCode = 0;
            component.reasonName = "UPGRADE_CONTEXT_RESET";
            component.detailText = "用户终止升级";
        }
    }
    markStateChanged();
    lines.push_back({E_LogLevel::INFO, device.nodeName + " -> " + device.state});
}

void CUpgradeExecutionService::S_Impl::completeDevice(std::size_t index, const std::string& result)
{
    std::vector<S_LogLine> lines;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        completeDeviceLocked(devices[index], result, lines);
    }
    if (!lines.empty())
    {
        workerCondition.notify_all();
        notifyCondition.notify_all();
        log(lines);
    }
}

bool CUpgradeExecutionService::S_Impl::failDeviceOnWaitResult(std::size_t index, E_WaitResult result,
                                                              const std::string& timeoutText,
                                                              const std::string& stoppedText)
{
    if (result == E_WaitResult::WAIT_TIMEOUT)
    {
        failDevice(index, timeoutText, kTimeoutReasonCode, "TIMEOUT");
    }
    else if (result == E_WaitResult::WAIT_EVENT_STREAM_FAILED)
    {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            text = describeEventStreamFailure(devices[index]);
        }
        failDevice(index, text, 0, "EVENT_QUEUE_OVERFLOW");
    }
    else
    {
        failDevice(index, stoppedText, 0, "INTERNAL_ERROR");
    }
    return false;
}

// A stage report with a result other than success, met while waiting: the device ends with the
// report's reason (result 3 is a context reset, anything else a failure).
void CUpgradeExecutionService::S_Impl::applyTerminalStageReport(std::size_t index,
                                                                const S_ProtocolEventStageReport& report)
{
    S_DeviceRuntime& device = devices[index];
    if (device.completed)
    {
        return;
    }
    device.stage = report.stage;
    std::uint8_t begin = 0;
    std::uint8_t end = 0;
    stageProgressBand(report.stage, begin, end);
    const unsigned reached =
        begin + static_cast<unsigned>(std::min<std::uint8_t>(report.progress, 100)) * (end - begin) / 100;
    device.workflowProgress = static_cast<std::uint8_t>(std::max<unsigned>(device.workflowProgress, reached));
    const bool reset = report.result == toProtocolByte(E_ProtocolResult::ABORTED);
    device.result = reset ? "ABORTED" : "FAILED";
    device.state = reset ? "已终止" : "执行失败";
    device.detailText = (reset ? "装置升级上下文已复位: " : "装置阶段执行失败: ") + report.reasonName;
    device.completed = true;
    device.abortAllowed = false;
    device.finishedAt = currentUnixMs();
    device.reasonCode = report.reasonCode;
    device.reasonName = report.reasonName;
    for (S_ComponentRuntime& component : device.components)
    {
        component.state = device.state;
        component.reasonCode = report.reasonCode;
        component.reasonName = report.reasonName;
        component.detailText = device.detailText;
    }
    device.pendingRequest = {};
    queues[index].clear();
    markStateChanged();
}

bool CUpgradeExecutionService::S_Impl::applyDeviceProgress(S_DeviceRuntime& device,
                                                           const S_ProtocolEventProgress& progress,
                                                           TimePoint receivedAt)
{
    if (device.completed || progress.stage != device.stage || progress.percentage > 100)
    {
        return false;
    }
    const auto component = std::find_if(device.components.begin(), device.components.end(),
                                        [&](const S_ComponentRuntime& candidate)
                                        {
                                            return candidate.componentTypeId == progress.componentTypeId &&
                                                   candidate.componentIndex == progress.componentIndex;
                                        });
    if (component == device.components.end())
    {
        return false;
    }
    const bool sameStage = component->hasProgressStage && component->progressStage == progress.stage;
    if (sameStage && progress.percentage < component->componentStageProgress)
    {
        return false;
    }
    const bool advance = !sameStage || progress.percentage > component->componentStageProgress;
    const std::string stateText = stageName(progress.stage);
    const bool visible =
        advance || component->state != stateText || component->reasonCode != progress.reasonCode ||
        component->reasonName != progress.reasonName || component->detailText != progress.detailText;
    component->componentStageProgress = progress.percentage;
    component->state = stateText;
    component->reasonCode = progress.reasonCode;
    component->reasonName = progress.reasonName;
    component->detailText = progress.detailText;
    component->hasProgressStage = true;
    component->progressStage = progress.stage;
    if (advance)
    {
        device.lastProgressAt = receivedAt;
        ++device.progressSequence;
        device.progressStage = progress.stage;
    }
    if (visible)
    {
        markProgressChanged();
    }
    return visible;
}

}  // namespace ota::backend
