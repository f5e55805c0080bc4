#include "upgrade/execution_state.h"

#include "common/json_writer.h"
#include "protocol/protocol_enums.h"

namespace ota::backend
{

const char* upgradeTaskStatusName(E_UpgradeTaskStatus status)
{
    switch (status)
    {
        case E_UpgradeTaskStatus::RUNNING:
            return "RUNNING";
        case E_UpgradeTaskStatus::ABORTING:
            return "ABORTING";
        case E_UpgradeTaskStatus::SUCCESS:
            return "SUCCESS";
        case E_UpgradeTaskStatus::FAILED:
            return "FAILED";
        case E_UpgradeTaskStatus::ABORTED:
            return "ABORTED";
        case E_UpgradeTaskStatus::STOPPED:
            return "STOPPED";
        case E_UpgradeTaskStatus::IDLE:
            break;
    }
    return "IDLE";
}

bool isFinalTaskStatus(E_UpgradeTaskStatus status)
{
    return status == E_UpgradeTaskStatus::SUCCESS || status == E_UpgradeTaskStatus::FAILED ||
           status == E_UpgradeTaskStatus::ABORTED || status == E_UpgradeTaskStatus::STOPPED;
}

const char* deviceResultName(E_DeviceResult result)
{
    switch (result)
    {
        case E_DeviceResult::SUCCESS:
            return "SUCCESS";
        case E_DeviceResult::FAILED:
            return "FAILED";
        case E_DeviceResult::ABORTED:
            return "ABORTED";
        case E_DeviceResult::PENDING:
            break;
    }
    return "PENDING";
}

const char* executionStageName(std::uint8_t stage)
{
    return protocolStageDisplayName(stage);
}

S_ExecutionCounts countExecutionState(const S_ExecutionState& state)
{
    S_ExecutionCounts counts;
    for (const S_DeviceExecutionState& device : state.devices)
    {
        if (device.completed)
        {
            ++counts.completed;
        }
        else if (device.startedAt != 0)
        {
            ++counts.running;
        }
        else if (device.connectionState == E_DeviceConnectionState::CONNECTED)
        {
            ++counts.ready;
        }
        else
        {
            ++counts.delayed;
        }
        counts.success += device.result == E_DeviceResult::SUCCESS ? 1 : 0;
        counts.failed += device.result == E_DeviceResult::FAILED ? 1 : 0;
        counts.aborted += device.result == E_DeviceResult::ABORTED ? 1 : 0;
    }
    return counts;
}

namespace
{

// Members in ascending byte order of their keys: the order the JSON library writes them in, so
// the text is the one a JSON value of the same content renders to.
void renderComponent(std::string& out, const S_ComponentIdentity& identity,
                     const S_ComponentExecutionState& state)
{
    CJsonObjectWriter writer(out);
    writer.number("componentIndex", identity.componentIndex)
        .number("componentStageProgress", state.componentStageProgress)
        .text("componentTypeId", identity.componentTypeId)
        .text("currentVersion", state.versionConfirmed ? identity.targetVersion : identity.currentVersion)
        .text("detailText", state.detailText)
        .number("reasonCode", state.reasonCode)
        .text("reasonName", state.reasonName)
        .text("state", state.state)
        .text("targetVersion", identity.targetVersion);
    writer.close();
}

void renderDevice(std::string& out, const S_ExecutionState& state, std::size_t index)
{
    const S_DeviceIdentity& identity = state.task->devices[index];
    const S_DeviceExecutionState& device = state.devices[index];
    CJsonObjectWriter writer(out);
    writer.boolean("abortAllowed", device.abortAllowed)
        .text("address", identity.address)
        .boolean("completed", device.completed)
        .number("connectionEventDropCount", device.connectionEventDropCount)
        .text("connectionState", deviceConnectionStateName(device.connectionState))
        .number("currentChunkNo", device.currentChunkNo)
        .number("currentFileNo", device.currentFileNo)
        .number("duplicateAckCount", device.duplicateAckCount)
        .text("error", device.detailText)
        .boolean("eventStreamFailed", device.eventStreamFailed)
        .number("finishedAt", device.finishedAt)
        .number("mismatchedAckCount", device.mismatchedAckCount)
        .text("nodeId", identity.nodeId)
        .text("nodeName", identity.nodeName)
        .text("nodeTypeId", identity.nodeTypeId)
        .number("port", identity.port)
        .number("protocolEventDropCount", device.protocolEventDropCount)
        .number("reasonCode", device.reasonCode)
        .text("reasonName", device.reasonName)
        .text("result", deviceResultName(device.result))
        .text("stage", executionStageName(device.stage))
        .number("startedAt", device.startedAt)
        .text("state", device.state);
    std::string& targets = writer.member("targets");
    targets += '[';
    for (std::size_t i = 0; i < identity.componentCount; ++i)
    {
        if (i != 0)
        {
            targets += ',';
        }
        const std::size_t component = identity.firstComponent + i;
        renderComponent(targets, state.task->components[component], state.components[component]);
    }
    targets += ']';
    writer.number("unexpectedAckCount", device.unexpectedAckCount)
        .number("workflowProgress", device.workflowProgress);
    writer.close();
}

// appendDevice(devices, i) appends device i's object to the document's text.
template <typename AppendDevice>
void renderDocument(const S_ExecutionState& state, std::string_view statusText, bool active,
                    std::int64_t finishedAt, std::string& out, AppendDevice&& appendDevice)
{
    const S_ExecutionTaskIdentity& task = *state.task;
    const S_ExecutionCounts counts = countExecutionState(state);
    out.clear();
    // About 780 bytes per device with one target; reserved once, so the text is not copied while it grows.
    out.reserve(1024 + state.devices.size() * 640 + state.components.size() * 256);
    CJsonObjectWriter writer(out);
    writer.number("abortedCount", counts.aborted)
        .boolean("active", active)
        .number("completedCount", counts.completed)
        .number("configuredDeviceConcurrency", task.configuredDeviceConcurrency)
        .number("delayedDeviceCount", counts.delayed)
        .number("deviceConcurrency", task.workerCount)
        .number("deviceCount", static_cast<std::uint64_t>(state.devices.size()));
    std::string& devices = writer.member("devices");
    devices += '[';
    for (std::size_t i = 0; i < state.devices.size(); ++i)
    {
        if (i != 0)
        {
            devices += ',';
        }
        appendDevice(devices, i);
    }
    devices += ']';
    writer.number("effectiveWorkerCount", task.workerCount)
        .text("error", state.error)
        .number("failedCount", counts.failed)
        .number("finishedAt", finishedAt)
        .number("readyDeviceCount", counts.ready)
        .number("recommendedDeviceConcurrency", task.recommendedDeviceConcurrency)
        .number("runningDeviceCount", counts.running)
        .number("sceneGeneration", task.sceneGeneration)
        .number("startedAt", state.startedAt)
        .text("status", statusText)
        .number("successCount", counts.success)
        .text("upgradeId", task.upgradeId)
        .number("upgradeNo", task.upgradeNo);
    writer.close();
}

void renderDocument(const S_ExecutionState& state, std::string_view statusText, bool active,
                    std::int64_t finishedAt, std::string& out)
{
    renderDocument(state, statusText, active, finishedAt, out,
                   [&state](std::string& devices, std::size_t index)
                   { renderDevice(devices, state, index); });
}

}  // namespace

bool executionDeviceChanged(const S_ExecutionState& previous, const S_ExecutionState& state,
                            std::size_t index)
{
    if (previous.devices[index] != state.devices[index])
    {
        return true;
    }
    const S_DeviceIdentity& identity = state.task->devices[index];
    for (std::size_t i = identity.firstComponent; i < identity.firstComponent + identity.componentCount; ++i)
    {
        if (previous.components[i] != state.components[i])
        {
            return true;
        }
    }
    return false;
}

void CExecutionStateRenderer::render(const ExecutionStatePtr& state, std::string& out)
{
    const S_ExecutionState* previous = m_last && m_last->task == state->task ? m_last.get() : nullptr;
    std::vector<S_Span> spans;
    spans.reserve(state->devices.size());
    try
    {
        renderDocument(*state, upgradeTaskStatusName(state->status), state->active, state->finishedAt, out,
                       [&](std::string& devices, std::size_t index)
                       {
                           const std::size_t begin = devices.size();
                           if (previous != nullptr && !executionDeviceChanged(*previous, *state, index))
                           {
                               devices.append(m_lastText, m_spans[index].offset, m_spans[index].length);
                           }
                           else
                           {
                               renderDevice(devices, *state, index);
                           }
                           spans.push_back(S_Span{begin, devices.size() - begin});
                       });
    }
    catch (...)
    {
        forget();
        throw;
    }
    m_last = state;
    m_lastText = out;
    m_spans = std::move(spans);
}

void CExecutionStateRenderer::forget()
{
    m_last.reset();
    m_lastText.clear();
    m_spans.clear();
}

void renderExecutionDevice(const S_ExecutionState& state, std::size_t index, std::string& out)
{
    renderDevice(out, state, index);
}

void renderExecutionState(const S_ExecutionState& state, std::string& out)
{
    renderDocument(state, upgradeTaskStatusName(state.status), state.active, state.finishedAt, out);
}

std::string renderExecutionState(const S_ExecutionState& state)
{
    std::string out;
    renderExecutionState(state, out);
    return out;
}

std::string renderFinalReport(const S_ExecutionState& state, std::string_view statusText,
                              std::int64_t finishedAt)
{
    std::string out;
    renderDocument(state, statusText, false, finishedAt, out);
    return out;
}

}  // namespace ota::backend
