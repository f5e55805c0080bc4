#include "common/digest.h"
#include "upgrade/upgrade_execution_impl.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace ota::backend
{

namespace
{

constexpr const char* kChunkReport = "MSG_DEVICE_FILE_CHUNK_REPORT";
constexpr const char* kVerifyReport = "MSG_DEVICE_FILE_VERIFY_REPORT";
constexpr const char* kStageReport = "MSG_DEVICE_STAGE_REPORT";

// The transfer phase allows 32 KiB/s and 250 ms per chunk; the verification 1 MiB/s and 1 s per file.
constexpr std::uint64_t kTransferBytesPerSecond = 32768;
constexpr std::uint64_t kTransferMsPerChunk = 250;
constexpr std::uint64_t kVerifyBytesPerSecond = 1048576;
constexpr std::uint64_t kVerifyMsPerFile = 1000;

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

bool CUpgradeExecutionService::S_Impl::readFirmwareChunk(std::uint8_t fileNo, std::uint16_t chunkNo,
                                                         S_ProtocolFileChunk& chunk, std::string& error,
                                                         CFirmwareStreamCache& streams)
{
    const S_TaskFirmwareFile* file = nullptr;
    {
        // The map is filled before the workers start and emptied only after they ended.
        std::lock_guard<std::mutex> lock(stateMutex);
        const auto found = firmware.find(fileNo);
        if (found != firmware.end())
        {
            file = &found->second;
        }
    }
    if (file == nullptr)
    {
        error = "任务固件不存在，fileNo=" + std::to_string(fileNo);
        return false;
    }
    if (chunkNo >= file->chunkCount)
    {
        error = "固件分片编号越界";
        return false;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(chunkNo) * file->chunkSize;
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(file->chunkSize, file->fileSize - offset));
    const int descriptor = streams.descriptorFor(fileNo, file->filePath);
    if (descriptor < 0)
    {
        error = "Worker无法打开固件文件: " + file->filePath.string();
        return false;
    }
    chunk.fileNo = fileNo;
    chunk.chunkNo = chunkNo;
    chunk.totalChunks = file->chunkCount;
    chunk.data.resize(length);
    if (!readFully(descriptor, chunk.data.data(), length, offset))
    {
        error = "固件分片读取失败，fileNo=" + std::to_string(fileNo) + ", chunkNo=" + std::to_string(chunkNo);
        return false;
    }
    chunk.crc32 = crc32Of(chunk.data.data(), chunk.data.size());
    return true;
}

void CUpgradeExecutionService::S_Impl::executeDevice(std::size_t index, CFirmwareStreamCache& streams)
{
    const auto fail = [&](const std::string& text) { failDevice(index, text, 0, "INTERNAL_ERROR"); };
    std::string nodeId;
    std::vector<std::uint8_t> fileNos;
    S_ProtocolTargetList targetList;
    S_UpgradeExecutionOptions timing;
    bool abortAtOnce = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        const S_DeviceRuntime& device = devices[index];
        nodeId = device.nodeId;
        fileNos = device.fileNos;
        timing = options;
        std::uint8_t targetNo = 1;
        for (const S_UpgradeTarget* target : device.targets)
        {
            targetList.targets.push_back({targetNo++, target->componentTypeId, target->componentIndex,
                                          target->force, target->targetVersion});
        }
        abortAtOnce = stopping || abortRequested;
    }
    if (abortAtOnce)
    {
        completeDevice(index, "ABORTED");
        return;
    }

    // Connection.
    setDeviceStage(index, E_ProtocolStage::CONNECTION_SYNC, "等待装置连接", 0);
    const E_WaitResult connection =
        waitConnectionState(index, E_DeviceConnectionState::CONNECTED, timing.connectTimeoutMs, true);
    if (connection == E_WaitResult::WAIT_ABORT_REQUESTED)
    {
        completeDevice(index, "ABORTED");
        return;
    }
    if (!continueAfterWait(index, connection, "等待装置TCP连接超时", "等待装置TCP连接时执行服务停止"))
    {
        return;
    }

    if (!synchronizeDeviceStatus(index))
    {
        return;
    }

    // Target list.
    const std::uint8_t preparation = toProtocolByte(E_ProtocolStage::PREPARATION);
    purgeQueuedEvents(
        index, [&](const S_ProtocolEvent& queued)
        { return queued.messageType == kStageReport && queued.stageReport.stage == preparation; });
    setDeviceStage(index, E_ProtocolStage::PREPARATION, "下发升级目标并等待确认", 10);
    bool abortNow = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        abortNow = abortRequested;
    }
    if (abortNow)
    {
        performUpgradeContextReset(index);
        return;
    }
    std::string error;
    if (!registerPendingRequest(index, preparation, "升级目标清单确认", error))
    {
        fail(error);
        return;
    }
    if (!transport->sendUpgradeTargetList(nodeId, upgradeNo, targetList, error))
    {
        clearPendingRequest(index);
        fail("升级目标清单发送失败: " + error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        devices[index].targetListSent = true;
    }
    if (!waitTargetListAccepted(index, timing.ackTimeoutMs, true))
    {
        return;
    }

    // Preparation.
    setDeviceStage(index, E_ProtocolStage::PREPARATION, "执行升级准备", 15);
    if (!sendCommand(index, E_ProtocolCommandType::PREPARE_UPGRADE, preparation, 0, error))
    {
        fail("升级准备命令发送失败: " + error);
        return;
    }
    if (!waitAcceptedAck(index, preparation, timing.ackTimeoutMs, true) ||
        !waitSuccessfulStage(index, preparation, timing.stageTimeoutMs, true))
    {
        return;
    }

    // File declarations.
    const std::uint8_t transfer = toProtocolByte(E_ProtocolStage::FILE_TRANSFER);
    setDeviceStage(index, E_ProtocolStage::FILE_TRANSFER, "声明升级文件", 20);
    if (!sendCommand(index, E_ProtocolCommandType::START_TRANSFER, transfer,
                     static_cast<std::uint16_t>(fileNos.size()), error))
    {
        fail("开始传输命令发送失败: " + error);
        return;
    }
    if (!waitAcceptedAck(index, transfer, timing.ackTimeoutMs, true))
    {
        return;
    }
    if (!registerPendingRequest(index, transfer, "固件文件声明确认", error))
    {
        fail(error);
        return;
    }
    std::uint64_t totalBytes = 0;
    std::uint64_t totalChunks = 0;
    for (const std::uint8_t fileNo : fileNos)
    {
        S_ProtocolFileInfo info;
        bool exists = false;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            const auto found = firmware.find(fileNo);
            if (found != firmware.end())
            {
                exists = true;
                info.fileNo = fileNo;
                info.fileName = found->second.fileName;
                info.fileSize = found->second.fileSize;
                info.chunkSize = found->second.chunkSize;
                info.totalChunks = found->second.chunkCount;
                info.sha256 = found->second.sha256;
            }
        }
        if (!exists)
        {
            clearPendingRequest(index);
            fail("装置引用了不存在的任务固件");
            return;
        }
        if (!transport->sendUpgradeFileInfo(nodeId, upgradeNo, info, error))
        {
            clearPendingRequest(index);
            fail("固件文件声明发送失败: " + error);
            return;
        }
        totalBytes += info.fileSize;
        totalChunks += info.totalChunks;
    }
    setDeviceStage(index, E_ProtocolStage::FILE_TRANSFER, "等待文件声明确认", 20);
    if (!waitAcceptedAck(index, transfer, timing.ackTimeoutMs, true))
    {
        return;
    }

    if (!transferFiles(index, streams, totalBytes, totalChunks) || !confirmFiles(index, totalBytes))
    {
        return;
    }

    // Flashing: once the device accepted the command it can no longer be interrupted.
    const std::uint8_t flashing = toProtocolByte(E_ProtocolStage::FLASHING);
    setDeviceStage(index, E_ProtocolStage::FLASHING, "执行固件烧写", 65);
    if (!sendCommand(index, E_ProtocolCommandType::START_FLASH, flashing, 0, error))
    {
        fail("固件烧写命令发送失败: " + error);
        return;
    }
    if (!waitAcceptedAck(index, flashing, timing.ackTimeoutMs, true))
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        devices[index].abortAllowed = false;
        markStateChanged();
    }
    notifyCondition.notify_all();
    workerCondition.notify_all();
    if (!waitSuccessfulStage(index, flashing, timing.flashTimeoutMs, false))
    {
        return;
    }

    // Restart and verification of the new versions.
    const std::uint8_t restart = toProtocolByte(E_ProtocolStage::RESTART_VERIFICATION);
    setDeviceStage(index, E_ProtocolStage::RESTART_VERIFICATION, "等待重启验证", 90);
    if (sendCommand(index, E_ProtocolCommandType::RESTART_VERIFY, restart, 0, error))
    {
        if (!waitRestartAccepted(index, timing.ackTimeoutMs))
        {
            return;
        }
    }
    else if (!restartBegunDespiteSendFailure(index, timing.ackTimeoutMs))
    {
        fail("重启验证命令发送失败: " + error);
        return;
    }
    std::string detail;
    std::uint16_t reasonCode = 0;
    std::string resultCode;
    if (waitRestartVerified(index, detail, reasonCode, resultCode))
    {
        completeDevice(index, "SUCCESS");
    }
    else
    {
        failDevice(index, detail, reasonCode, resultCode);
    }
}

// A device restarts the moment its restart ACK is written, and the transport may then report the
// restart command itself as failed (the connection changed while the frame was being submitted)
// although the device got it. When the device drops its connection within the ACK timeout after
// the command, the restart is taken as begun and the verification decides, as for a device that
// restarts without its ACK.
bool CUpgradeExecutionService::S_Impl::restartBegunDespiteSendFailure(std::size_t index,
                                                                      std::uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(stateMutex);
    S_DeviceRuntime& device = devices[index];
    const TimePoint deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!device.completed && !stopping)
    {
        if (device.disconnectCount > device.restartBaseline && device.lastDisconnectAt <= deadline)
        {
            device.restartAcceptedAt = device.lastDisconnectAt;
            const std::string nodeId = device.nodeId;
            lock.unlock();
            log(E_LogLevel::INFO, "装置在重启确认ACK前断线，按已开始重启继续验证: nodeId=" + nodeId);
            return true;
        }
        if (SteadyClock::now() >= deadline)
        {
            return false;
        }
        deviceCondition(index).wait_until(lock, deadline);
    }
    return false;
}

// Stop-and-wait: one chunk outstanding, each answered by its chunk report, all within a work
// budget for the whole transfer on top of the per-chunk inactivity timeout.
bool CUpgradeExecutionService::S_Impl::transferFiles(std::size_t index, CFirmwareStreamCache& streams,
                                                     std::uint64_t totalBytes, std::uint64_t totalChunks)
{
    std::string nodeId;
    std::vector<std::uint8_t> fileNos;
    std::uint32_t stageTimeoutMs = 0;
    std::map<std::uint8_t, std::uint16_t> chunkCounts;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        nodeId = devices[index].nodeId;
        fileNos = devices[index].fileNos;
        stageTimeoutMs = options.stageTimeoutMs;
        for (const std::uint8_t fileNo : fileNos)
        {
            const auto found = firmware.find(fileNo);
            chunkCounts[fileNo] = found == firmware.end() ? 0 : found->second.chunkCount;
        }
    }
    const TimePoint transferDeadline = deadlineAfter(computeWorkBudgetMs(
        stageTimeoutMs, totalBytes, totalChunks, kTransferBytesPerSecond, kTransferMsPerChunk));
    const auto budgetExhausted = [&]
    {
        failDevice(index, "文件传输工作量总预算耗尽", kTimeoutReasonCode, "TIMEOUT");
        return false;
    };
    std::uint64_t chunksDone = 0;
    S_ProtocolFileChunk chunk;
    std::string error;
    for (const std::uint8_t fileNo : fileNos)
    {
        for (std::uint16_t chunkNo = 0; chunkNo < chunkCounts[fileNo]; ++chunkNo)
        {
            if (SteadyClock::now() >= transferDeadline)
            {
                return budgetExhausted();
            }
            if (!readFirmwareChunk(fileNo, chunkNo, chunk, error, streams))
            {
                failDevice(index, error, 0, "INTERNAL_ERROR");
                return false;
            }
            if (SteadyClock::now() >= transferDeadline)
            {
                return budgetExhausted();
            }
            bool wakeNotifier = false;
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                S_DeviceRuntime& device = devices[index];
                device.state = "发送文件分片";
                device.currentFileNo = fileNo;
                device.currentChunkNo = chunkNo;
                // Drop a stale report of this chunk still waiting from an earlier attempt.
                purgeQueuedEventsLocked(index,
                                        [&](const S_ProtocolEvent& queued)
                                        {
                                            return queued.messageType == kChunkReport &&
                                                   queued.fileChunkReport.fileNo == fileNo &&
                                                   queued.fileChunkReport.chunkNo == chunkNo;
                                        });
                wakeNotifier = markProgressChanged();
            }
            if (wakeNotifier)
            {
                notifyCondition.notify_all();
            }
            if (!transport->sendUpgradeFileChunk(nodeId, upgradeNo, chunk, error))
            {
                failDevice(index, "固件分片发送失败: " + error, 0, "INTERNAL_ERROR");
                return false;
            }
            S_ProtocolEvent event;
            bool ended = false;
            E_WaitResult result = E_WaitResult::WAIT_MATCHED;
            while (true)
            {
                result = waitForDeviceEvent(
                    index, stageTimeoutMs, !ended,
                    [&](const S_ProtocolEvent& candidate)
                    {
                        return candidate.messageType == kChunkReport && candidate.fileChunkReport.present &&
                               candidate.fileChunkReport.fileNo == fileNo &&
                               candidate.fileChunkReport.chunkNo == chunkNo;
                    },
                    event, false, toProtocolByte(E_ProtocolStage::FILE_TRANSFER), nullptr, transferDeadline);
                if (result != E_WaitResult::WAIT_ABORT_REQUESTED)
                {
                    break;
                }
                if (!performUpgradeContextReset(index))
                {
                    return false;
                }
                ended = true;  // the device ignored the abort: wait on without it
            }
            if (result != E_WaitResult::WAIT_MATCHED)
            {
                const char* timeoutText = SteadyClock::now() < transferDeadline
                                              ? "等待文件分片确认连续无响应超时"
                                              : "文件传输工作量总预算耗尽";
                return failDeviceOnWaitResult(index, result, timeoutText, "等待文件分片确认时执行服务停止");
            }
            const S_ProtocolEventFileChunkReport& report = event.fileChunkReport;
            if (report.result != toProtocolByte(E_ProtocolResult::SUCCESS) || report.crc32 != chunk.crc32)
            {
                failDevice(index,
                           "文件分片校验失败: fileNo=" + std::to_string(fileNo) +
                               ", chunkNo=" + std::to_string(chunkNo),
                           report.reasonCode, report.reasonName);
                return false;
            }
            ++chunksDone;
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                devices[index].workflowProgress =
                    totalChunks == 0 ? 55 : static_cast<std::uint8_t>(20 + (35 * chunksDone) / totalChunks);
                wakeNotifier = markProgressChanged();
            }
            if (wakeNotifier)
            {
                notifyCondition.notify_all();
            }
        }
    }
    return true;
}

// Whole-file integrity: the FINISH_TRANSFER command, one verify report per file, then the stage
// result, all within a verification budget.
bool CUpgradeExecutionService::S_Impl::confirmFiles(std::size_t index, std::uint64_t totalBytes)
{
    const std::uint8_t confirmation = toProtocolByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION);
    setDeviceStage(index, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION, "确认文件完整性", 55);
    purgeQueuedEvents(index,
                      [](const S_ProtocolEvent& queued) { return queued.messageType == kVerifyReport; });
    std::vector<std::uint8_t> fileNos;
    S_UpgradeExecutionOptions timing;
    std::map<std::uint8_t, S_TaskFirmwareFile> files;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        fileNos = devices[index].fileNos;
        timing = options;
        files = firmware;
    }
    std::string error;
    if (!sendCommand(index, E_ProtocolCommandType::FINISH_TRANSFER, confirmation, 0, error))
    {
        failDevice(index, "传输完成命令发送失败: " + error, 0, "INTERNAL_ERROR");
        return false;
    }
    if (!waitAcceptedAck(index, confirmation, timing.ackTimeoutMs, true))
    {
        return false;
    }
    const TimePoint verifyDeadline = deadlineAfter(computeWorkBudgetMs(
        timing.stageTimeoutMs, totalBytes, fileNos.size(), kVerifyBytesPerSecond, kVerifyMsPerFile));
    for (const std::uint8_t fileNo : fileNos)
    {
        if (verifyDeadline - SteadyClock::now() < std::chrono::milliseconds(1))
        {
            failDevice(index, "等待整文件校验结果超时", kTimeoutReasonCode, "TIMEOUT");
            return false;
        }
        S_ProtocolEvent event;
        bool ended = false;
        E_WaitResult result = E_WaitResult::WAIT_MATCHED;
        while (true)
        {
            result = waitForDeviceEvent(
                index, timing.stageTimeoutMs, !ended,
                [fileNo](const S_ProtocolEvent& candidate)
                {
                    return candidate.messageType == kVerifyReport && candidate.fileVerifyReport.present &&
                           candidate.fileVerifyReport.fileNo == fileNo;
                },
                event, false, confirmation, nullptr, verifyDeadline);
            if (result != E_WaitResult::WAIT_ABORT_REQUESTED)
            {
                break;
            }
            if (!performUpgradeContextReset(index))
            {
                return false;
            }
            ended = true;
        }
        if (result != E_WaitResult::WAIT_MATCHED)
        {
            return failDeviceOnWaitResult(index, result, "等待整文件校验结果超时",
                                          "等待整文件校验结果时执行服务停止");
        }
        const S_ProtocolEventFileVerifyReport& report = event.fileVerifyReport;
        const auto file = files.find(fileNo);
        if (report.result != toProtocolByte(E_ProtocolResult::SUCCESS) || file == files.end() ||
            report.fileSize != file->second.fileSize || report.sha256 != file->second.sha256)
        {
            failDevice(index, "整文件SHA256校验失败: fileNo=" + std::to_string(fileNo), report.reasonCode,
                       report.reasonName);
            return false;
        }
    }
    if (SteadyClock::now() >= verifyDeadline)
    {
        failDevice(index, "等待文件完整性确认阶段结果超时", kTimeoutReasonCode, "TIMEOUT");
        return false;
    }
    return waitSuccessfulStage(index, confirmation, timing.stageTimeoutMs, true, verifyDeadline);
}

}  // namespace ota::backend
