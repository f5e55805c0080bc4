#include "upgrade/upgrade_execution_impl.h"

// The transport's callbacks, and the commands whose answers they bring. A callback finds the
// device's session of the current task (no engine-wide lock: the task is taken from an atomic
// pointer) and hands the event over; everything else happens under the session's own lock.

namespace ota::backend
{

void CUpgradeExecutionService::S_Impl::onProtocolEvent(const std::string& nodeId,
                                                       const S_ProtocolEvent& event)
{
    const TaskRunPointer run = currentTask.load();
    if (!run || !run->active.load() || event.upgradeNo != run->upgradeNo)
    {
        return;
    }
    const auto found = run->deviceIndex.find(nodeId);
    if (found == run->deviceIndex.end())
    {
        return;
    }
    std::vector<S_LogLine> lines;
    run->sessions[found->second]->takeProtocolEvent(event, lines);
    log(lines);
}

void CUpgradeExecutionService::S_Impl::onConnectionStateChanged(const std::string& nodeId,
                                                                E_DeviceConnectionState state)
{
    const TaskRunPointer run = currentTask.load();
    if (!run || !run->active.load())
    {
        return;
    }
    const auto found = run->deviceIndex.find(nodeId);
    if (found == run->deviceIndex.end())
    {
        return;
    }
    if (run->sessions[found->second]->takeConnectionState(state))
    {
        // Workers waiting to claim a device care about connections too.
        scheduler.wake();
    }
}

bool CUpgradeExecutionService::S_Impl::sendCommand(S_TaskRun& task, std::size_t index,
                                                   E_ProtocolCommandType commandType, std::uint8_t stage,
                                                   std::uint16_t commandParam, std::string& error)
{
    CDeviceSession& session = *task.sessions[index];
    const bool restart = commandType == E_ProtocolCommandType::RESTART_VERIFY;
    {
        std::lock_guard<std::mutex> lock(session.mutex());
        session.purgeLocked(S_EventMatch::stageReport(stage));
        if (restart)
        {
            session.purgeLocked(S_EventMatch::deviceStatus());
            S_DeviceRuntime& device = session.deviceLocked();
            device.restartBaseline = device.disconnectCount;
            device.restartCommandAt = SteadyClock::now();
            device.restartAcceptedAt = kNever;
        }
    }
    if (!session.registerPendingRequest(stage, stageName(stage), error))
    {
        log(E_LogLevel::ERROR, error);
        return false;
    }
    S_ProtocolCommand command;
    command.commandType = toProtocolByte(commandType);
    command.stage = stage;
    command.commandParam = commandParam;
    const bool sent = task.links[index]->sendUpgradeCommand(task.upgradeNo, command, error);
    if (!sent)
    {
        session.clearPendingRequest();
    }
    return sent;
}

}  // namespace ota::backend
