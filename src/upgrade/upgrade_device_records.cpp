#include "upgrade/upgrade_execution_impl.h"

// The device's terminal and stage transitions as the workflow uses them: each takes the device's
// session lock (device_session.cpp) and writes its log line after it was released.

namespace ota::backend
{

void CUpgradeExecutionService::S_Impl::setDeviceStage(S_TaskRun& task, std::size_t index,
                                                      E_ProtocolStage stage, const char* text,
                                                      std::uint8_t progress)
{
    std::vector<S_LogLine> lines;
    task.sessions[index]->setStage(stage, text, progress, lines);
    log(lines);
}

void CUpgradeExecutionService::S_Impl::failDevice(S_TaskRun& task, std::size_t index,
                                                  const std::string& detailText, std::uint16_t reasonCode,
                                                  const char* resultCode)
{
    std::vector<S_LogLine> lines;
    task.sessions[index]->fail(detailText, reasonCode, resultCode, lines);
    log(lines);
}

void CUpgradeExecutionService::S_Impl::completeDevice(S_TaskRun& task, std::size_t index,
                                                      E_DeviceResult result)
{
    std::vector<S_LogLine> lines;
    task.sessions[index]->complete(result, lines);
    log(lines);
}

bool CUpgradeExecutionService::S_Impl::failDeviceOnWaitResult(S_TaskRun& task, std::size_t index,
                                                              E_WaitResult result,
                                                              const std::string& timeoutText,
                                                              const std::string& stoppedText)
{
    if (result == E_WaitResult::WAIT_TIMEOUT)
    {
        failDevice(task, index, timeoutText, kTimeoutReasonCode, "TIMEOUT");
    }
    else if (result == E_WaitResult::WAIT_EVENT_STREAM_FAILED)
    {
        failDevice(task, index, task.sessions[index]->describeEventStreamFailure(), 0,
                   "EVENT_QUEUE_OVERFLOW");
    }
    else
    {
        failDevice(task, index, stoppedText, 0, "INTERNAL_ERROR");
    }
    return false;
}

bool CUpgradeExecutionService::S_Impl::continueAfterWait(S_TaskRun& task, std::size_t index,
                                                         E_WaitResult result, const std::string& timeoutText,
                                                         const std::string& stoppedText)
{
    if (result == E_WaitResult::WAIT_MATCHED)
    {
        return true;
    }
    return failDeviceOnWaitResult(task, index, result, timeoutText, stoppedText);
}

}  // namespace ota::backend
