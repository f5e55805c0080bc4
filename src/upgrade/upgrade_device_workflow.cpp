#include "upgrade/chunk_pump.h"
#include "upgrade/upgrade_execution_impl.h"

// The per-device workflow, step by step, run by one worker for its device. Every step asks at most
// one question through the device's link and waits for its answer in the device's session; the
// only locks taken are that session's (device_session.h).

#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace ota::backend
{

namespace
{

// The transfer phase allows 32 KiB/s and 250 ms per chunk; the verification 1 MiB/s and 1 s per file.
constexpr std::uint64_t kTransferBytesPerSecond = 32768;
constexpr std::uint64_t kTransferMsPerChunk = 250;
constexpr std::uint64_t kVerifyBytesPerSecond = 1048576;
constexpr std::uint64_t kVerifyMsPerFile = 1000;

constexpr std::uint8_t kFileTransferStage = toProtocolByte(E_ProtocolStage::FILE_TRANSFER);

TimePoint deadlineAfter(std::int64_t budgetMs)
{
    const TimePoint now = SteadyClock::now();
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(TimePoint::max() - now).count();
    return budgetMs >= room ? TimePoint::max() : now + std::chrono::milliseconds(budgetMs);
}

bool readFully(int descriptor, std::uint8_t* data, std::size_t length, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < length)
    {
        const ssize_t count =
            ::pread(descriptor, data + done, length - done, static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR)
        {
            continue;
        }
        if (count <= 0)
        {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

bool CUpgradeExecutionService::S_Impl::readFirmwareChunk(S_TaskRun& task, std::size_t index,
                                                         std::uint8_t fileNo, std::uint16_t chunkNo,
                                                         S_ProtocolFileChunkHeader& chunk, std::string& error,
                                                         CFirmwareStreamCache& streams)
{
    // The map is filled before the workers start and emptied only after they ended.
    const auto found = task.firmware.find(fileNo);
    if (found == task.firmware.end())
    {
        error = "任务固件不存在，fileNo=" + std::to_string(fileNo);
        return false;
    }
    const S_TaskFirmwareFile& file = found->second;
    if (chunkNo >= file.chunkCount)
    {
        error = "固件分片编号越界";
        return false;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(chunkNo) * file.chunkSize;
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(file.chunkSize, file.fileSize - offset));
    const int descriptor = streams.descriptorFor(fileNo, file.filePath);
    if (descriptor < 0)
    {
        error = "Worker无法打开固件文件: " + file.shownPath.string();
        return false;
    }
    chunk.fileNo = fileNo;
    chunk.chunkNo = chunkNo;
    chunk.totalChunks = file.chunkCount;
    chunk.dataLength = length;
    // Straight into the frame the link sends; its CRC-32 is computed there when it is sent.
    std::uint8_t* payload = task.links[index]->chunkPayload(length);
    if (payload == nullptr)
    {
        error = "固件分片长度超出帧容量，fileNo=" + std::to_string(fileNo) +
                ", chunkNo=" + std::to_string(chunkNo);
        return false;
    }
    if (!readFully(descriptor, payload, length, offset))
    {
        error = "固件分片读取失败，fileNo=" + std::to_string(fileNo) + ", chunkNo=" + std::to_string(chunkNo);
        return false;
    }
    return true;
}

void CUpgradeExecutionService::S_Impl::executeDevice(S_TaskRun& task, std::size_t index,
                                                     CFirmwareStreamCache& streams)
{
    CDeviceSession& session = *task.sessions[index];
    IUpgradeDeviceLink& link = *task.links[index];
    const S_UpgradeExecutionOptions& timing = task.options;
    const auto fail = [&](const std::string& text) { failDevice(task, index, text, 0, "INTERNAL_ERROR"); };
    std::vector<std::uint8_t> fileNos;
    S_ProtocolTargetList targetList;
    std::string deviceType;
    {
        std::lock_guard<std::mutex> lock(session.mutex());
        const S_DeviceRuntime& device = session.deviceLocked();
        fileNos = device.fileNos;
        deviceType = device.targets.empty() ? std::string() : device.targets.front()->protocolNodeType;
        std::uint8_t targetNo = 1;
        for (const S_UpgradeTarget* target : device.targets)
        {
            targetList.targets.push_back({targetNo++, target->componentTypeId, target->componentIndex,
                                          target->force, target->targetVersion});
        }
    }
    if (stopping.load() || abortRequested.load())
    {
        completeDevice(task, index, E_DeviceResult::ABORTED);
        return;
    }

    // Connection.
    setDeviceStage(task, index, E_ProtocolStage::CONNECTION_SYNC, "等待装置连接", 0);
    const E_WaitResult connection =
        session.waitConnectionState(E_DeviceConnectionState::CONNECTED, timing.connectTimeoutMs, true);
    if (connection == E_WaitResult::WAIT_ABORT_REQUESTED)
    {
        completeDevice(task, index, E_DeviceResult::ABORTED);
        return;
    }
    if (!continueAfterWait(task, index, connection, "等待装置TCP连接超时", "等待装置TCP连接时执行服务停止"))
    {
        return;
    }

    // A capped device type: the slot is held from before the status that admits the device until
    // its workflow has ended (restart verified, failed or aborted).
    if (!task.typeSlots.acquire(deviceType, [this] { return stopping.load() || abortRequested.load(); }))
    {
        if (abortRequested.load())
        {
            performUpgradeContextReset(task, index);
        }
        else
        {
            fail("等待设备类型并发名额时执行服务停止");
        }
        return;
    }
    const CDeviceTypeSlot typeSlot(task.typeSlots, deviceType);

    if (!synchronizeDeviceStatus(task, index))
    {
        return;
    }

    // Target list.
    const std::uint8_t preparation = toProtocolByte(E_ProtocolStage::PREPARATION);
    session.purge(S_EventMatch::stageReport(preparation));
    setDeviceStage(task, index, E_ProtocolStage::PREPARATION, "下发升级目标并等待确认", 10);
    if (abortRequested.load())
    {
        performUpgradeContextReset(task, index);
        return;
    }
    std::string error;
    if (!session.registerPendingRequest(preparation, "升级目标清单确认", error))
    {
        fail(error);
        return;
    }
    if (!link.sendUpgradeTargetList(task.upgradeNo, targetList, error))
    {
        session.clearPendingRequest();
        fail("升级目标清单发送失败: " + error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(session.mutex());
        session.deviceLocked().targetListSent = true;
    }
    if (!waitTargetListAccepted(task, index, timing.ackTimeoutMs, true))
    {
        return;
    }

    // Preparation.
    setDeviceStage(task, index, E_ProtocolStage::PREPARATION, "执行升级准备", 15);
    if (!sendCommand(task, index, E_ProtocolCommandType::PREPARE_UPGRADE, preparation, 0, error))
    {
        fail("升级准备命令发送失败: " + error);
        return;
    }
    if (!waitAcceptedAck(task, index, preparation, timing.ackTimeoutMs, true) ||
        !waitSuccessfulStage(task, index, preparation, timing.stageTimeoutMs, true))
    {
        return;
    }

    // File declarations.
    const std::uint8_t transfer = toProtocolByte(E_ProtocolStage::FILE_TRANSFER);
    setDeviceStage(task, index, E_ProtocolStage::FILE_TRANSFER, "声明升级文件", 20);
    if (!sendCommand(task, index, E_ProtocolCommandType::START_TRANSFER, transfer,
                     static_cast<std::uint16_t>(fileNos.size()), error))
    {
        fail("开始传输命令发送失败: " + error);
        return;
    }
    if (!waitAcceptedAck(task, index, transfer, timing.ackTimeoutMs, true))
    {
        return;
    }
    if (!session.registerPendingRequest(transfer, "固件文件声明确认", error))
    {
        fail(error);
        return;
    }
    std::uint64_t totalBytes = 0;
    std::uint64_t totalChunks = 0;
    for (const std::uint8_t fileNo : fileNos)
    {
        const auto found = task.firmware.find(fileNo);
        if (found == task.firmware.end())
        {
            session.clearPendingRequest();
            fail("装置引用了不存在的任务固件");
            return;
        }
        S_ProtocolFileInfo info;
        info.fileNo = fileNo;
        info.fileName = found->second.fileName;
        info.fileSize = found->second.fileSize;
        info.chunkSize = found->second.chunkSize;
        info.totalChunks = found->second.chunkCount;
        info.sha256 = found->second.sha256;
        if (!link.sendUpgradeFileInfo(task.upgradeNo, info, error))
        {
            session.clearPendingRequest();
            fail("固件文件声明发送失败: " + error);
            return;
        }
        totalBytes += info.fileSize;
        totalChunks += info.totalChunks;
    }
    setDeviceStage(task, index, E_ProtocolStage::FILE_TRANSFER, "等待文件声明确认", 20);
    if (!waitAcceptedAck(task, index, transfer, timing.ackTimeoutMs, true))
    {
        return;
    }

    if (!transferFiles(task, index, streams, totalBytes, totalChunks) ||
        !confirmFiles(task, index, totalBytes))
    {
        return;
    }

    // Flashing: once the device accepted the command it can no longer be interrupted.
    const std::uint8_t flashing = toProtocolByte(E_ProtocolStage::FLASHING);
    setDeviceStage(task, index, E_ProtocolStage::FLASHING, "执行固件烧写", 65);
    if (!sendCommand(task, index, E_ProtocolCommandType::START_FLASH, flashing, 0, error))
    {
        fail("固件烧写命令发送失败: " + error);
        return;
    }
    if (!waitAcceptedAck(task, index, flashing, timing.ackTimeoutMs, true))
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(session.mutex());
        S_DeviceExecutionState& shown = session.deviceLocked().shown;
        shown.abortAllowed = false;
        shown.flashAccepted = true;
        session.changes().stateChanged();
    }
    if (!waitSuccessfulStage(task, index, flashing, timing.flashTimeoutMs, false))
    {
        return;
    }

    // Restart and verification of the new versions.
    const std::uint8_t restart = toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
    setDeviceStage(task, index, E_ProtocolStage::RESTART_VERIFICATION, "等待重启验证", 90);
    if (sendCommand(task, index, E_ProtocolCommandType::RESTART_VERIFY, restart, 0, error))
    {
        if (!waitRestartAccepted(task, index, timing.ackTimeoutMs))
        {
            return;
        }
    }
    else if (!restartBegunDespiteSendFailure(task, index, timing.ackTimeoutMs))
    {
        fail("重启验证命令发送失败: " + error);
        return;
    }
    std::string detail;
    std::uint16_t reasonCode = 0;
    const char* resultCode = "";
    if (waitRestartVerified(task, index, detail, reasonCode, resultCode))
    {
        completeDevice(task, index, E_DeviceResult::SUCCESS);
    }
    else
    {
        failDevice(task, index, detail, reasonCode, resultCode);
    }
}

// A device restarts the moment its restart ACK is written, and the transport may then report the
// restart command itself as failed (the connection changed while the frame was being submitted)
// although the device got it. When the device drops its connection within the ACK timeout after
// the command, the restart is taken as begun and the verification decides, as for a device that
// restarts without its ACK.
bool CUpgradeExecutionService::S_Impl::restartBegunDespiteSendFailure(S_TaskRun& task, std::size_t index,
                                                                      std::uint32_t timeoutMs)
{
    CDeviceSession& session = *task.sessions[index];
    std::unique_lock<std::mutex> lock(session.mutex());
    S_DeviceRuntime& device = session.deviceLocked();
    const TimePoint deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!session.stoppingOrCompletedLocked())
    {
        if (device.disconnectCount > device.restartBaseline && device.lastDisconnectAt <= deadline)
        {
            device.restartAcceptedAt = device.lastDisconnectAt;
            lock.unlock();
            log(E_LogLevel::INFO,
                "装置在重启确认ACK前断线，按已开始重启继续验证: nodeId=" + session.nodeId());
            return true;
        }
        if (SteadyClock::now() >= deadline)
        {
            return false;
        }
        session.condition().wait_until(lock, deadline);
    }
    return false;
}

// Stop-and-wait: one chunk outstanding, each answered by its chunk report, all within a work
// budget for the whole transfer on top of the per-chunk inactivity timeout. The chunk pump
// (chunk_pump.h) answers the reports it can on their own thread; this loop runs for the first
// chunk and for every report the pump leaves to the worker.
bool CUpgradeExecutionService::S_Impl::transferFiles(S_TaskRun& task, std::size_t index,
                                                     CFirmwareStreamCache& streams, std::uint64_t totalBytes,
                                                     std::uint64_t totalChunks)
{
    CDeviceSession& session = *task.sessions[index];
    const std::uint32_t stageTimeoutMs = task.options.stageTimeoutMs;
    std::vector<std::pair<std::uint8_t, std::uint16_t>> files;
    {
        std::lock_guard<std::mutex> lock(session.mutex());
        for (const std::uint8_t fileNo : session.deviceLocked().fileNos)
        {
            const auto file = task.firmware.find(fileNo);
            files.emplace_back(fileNo, file == task.firmware.end() ? 0 : file->second.chunkCount);
        }
    }
    const TimePoint transferDeadline = deadlineAfter(computeWorkBudgetMs(
        stageTimeoutMs, totalBytes, totalChunks, kTransferBytesPerSecond, kTransferMsPerChunk));
    const auto failed = [&](const CChunkPump::S_Failure& failure)
    {
        if (failure.budgetExhausted)
        {
            failDevice(task, index, "文件传输工作量总预算耗尽", kTimeoutReasonCode, "TIMEOUT");
        }
        else
        {
            failDevice(task, index, failure.text, 0, "INTERNAL_ERROR");
        }
        return false;
    };
    CChunkPump pump(*this, task, index, streams, std::move(files), totalChunks, transferDeadline);
    while (pump.hasNext())
    {
        CChunkPump::S_Failure failure;
        if (!pump.sendByWorker(failure))
        {
            return failed(failure);
        }
        S_ProtocolEvent event;
        bool ended = false;
        S_EventWait wait{S_EventMatch::nothing(), stageTimeoutMs,  true, false,
                         kFileTransferStage,      transferDeadline};
        wait.pump = &pump;
        const E_WaitResult result = waitForReply(task, index, wait, event, ended);
        if (ended)
        {
            return false;
        }
        if (result == E_WaitResult::WAIT_PUMP_STOPPED)
        {
            return failed(pump.failure());
        }
        if (result != E_WaitResult::WAIT_MATCHED)
        {
            const char* timeoutText = SteadyClock::now() < transferDeadline ? "等待文件分片确认连续无响应超时"
                                                                            : "文件传输工作量总预算耗尽";
            return failDeviceOnWaitResult(task, index, result, timeoutText, "等待文件分片确认时执行服务停止");
        }
        const S_ProtocolEventFileChunkReport& received = *event.fileChunkReport();
        std::uint8_t fileNo = 0;
        std::uint16_t chunkNo = 0;
        if (!pump.acceptByWorker(received, fileNo, chunkNo))
        {
            failDevice(
                task, index,
                "文件分片校验失败: fileNo=" + std::to_string(fileNo) + ", chunkNo=" + std::to_string(chunkNo),
                received.reasonCode, received.reasonName());
            return false;
        }
    }
    return true;
}

// Whole-file integrity: the FINISH_TRANSFER command, one verify report per file, then the stage
// result, all within a verification budget.
bool CUpgradeExecutionService::S_Impl::confirmFiles(S_TaskRun& task, std::size_t index,
                                                    std::uint64_t totalBytes)
{
    CDeviceSession& session = *task.sessions[index];
    const std::uint8_t confirmation = toProtocolByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION);
    setDeviceStage(task, index, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION, "确认文件完整性", 55);
    session.purge(S_EventMatch::anyVerifyReport());
    std::vector<std::uint8_t> fileNos;
    {
        std::lock_guard<std::mutex> lock(session.mutex());
        fileNos = session.deviceLocked().fileNos;
    }
    const S_UpgradeExecutionOptions& timing = task.options;
    std::string error;
    if (!sendCommand(task, index, E_ProtocolCommandType::FINISH_TRANSFER, confirmation, 0, error))
    {
        failDevice(task, index, "传输完成命令发送失败: " + error, 0, "INTERNAL_ERROR");
        return false;
    }
    if (!waitAcceptedAck(task, index, confirmation, timing.ackTimeoutMs, true))
    {
        return false;
    }
    const TimePoint verifyDeadline = deadlineAfter(computeWorkBudgetMs(
        timing.stageTimeoutMs, totalBytes, fileNos.size(), kVerifyBytesPerSecond, kVerifyMsPerFile));
    for (const std::uint8_t fileNo : fileNos)
    {
        if (verifyDeadline - SteadyClock::now() < std::chrono::milliseconds(1))
        {
            failDevice(task, index, "等待整文件校验结果超时", kTimeoutReasonCode, "TIMEOUT");
            return false;
        }
        S_ProtocolEvent event;
        bool ended = false;
        const E_WaitResult result = waitForReply(task, index,
                                                 {S_EventMatch::verifyReport(fileNo), timing.stageTimeoutMs,
                                                  true, false, confirmation, verifyDeadline},
                                                 event, ended);
        if (ended)
        {
            return false;
        }
        if (result != E_WaitResult::WAIT_MATCHED)
        {
            return failDeviceOnWaitResult(task, index, result, "等待整文件校验结果超时",
                                          "等待整文件校验结果时执行服务停止");
        }
        const S_ProtocolEventFileVerifyReport& report = *event.fileVerifyReport();
        const auto file = task.firmware.find(fileNo);
        if (!report.succeeded() || file == task.firmware.end() || report.fileSize != file->second.fileSize ||
            report.sha256 != file->second.sha256)
        {
            failDevice(task, index, "整文件SHA256校验失败: fileNo=" + std::to_string(fileNo),
                       report.reasonCode, report.reasonName());
            return false;
        }
    }
    if (SteadyClock::now() >= verifyDeadline)
    {
        failDevice(task, index, "等待文件完整性确认阶段结果超时", kTimeoutReasonCode, "TIMEOUT");
        return false;
    }
    return waitSuccessfulStage(task, index, confirmation, timing.stageTimeoutMs, true, verifyDeadline);
}

}  // namespace ota::backend
