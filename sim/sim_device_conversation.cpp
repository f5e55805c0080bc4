// The device side of the ota-v1 upgrade conversation: what a simulated device does with each
// request, and where its configured faults bend the answer.
#include "sim/sim_device.h"

#include "common/digest.h"
#include "protocol/device_side_codec.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_fault_rules.h"

#include <algorithm>

namespace ota::backend
{
namespace
{

constexpr std::uint8_t stageByte(E_ProtocolStage stage)
{
    return toProtocolByte(stage);
}

constexpr std::uint8_t reasonByte(E_ProtocolReasonCode reason)
{
    return toProtocolByte(reason);
}

constexpr std::uint8_t SUCCESS = toProtocolByte(E_ProtocolResult::SUCCESS);
constexpr std::uint8_t FAILURE = toProtocolByte(E_ProtocolResult::FAILURE);
constexpr std::uint8_t ABORTED = toProtocolByte(E_ProtocolResult::ABORTED);

const char* phaseName(E_SimUpgradePhase phase)
{
    switch (phase)
    {
    case E_SimUpgradePhase::TARGETS_ACCEPTED: return "TARGETS_ACCEPTED";
    case E_SimUpgradePhase::PREPARING: return "PREPARING";
    case E_SimUpgradePhase::PREPARED: return "PREPARED";
    case E_SimUpgradePhase::AWAITING_FILE_INFO: return "AWAITING_FILE_INFO";
    case E_SimUpgradePhase::RECEIVING: return "RECEIVING";
    case E_SimUpgradePhase::FILES_VERIFIED: return "FILES_VERIFIED";
    case E_SimUpgradePhase::FILES_REJECTED: return "FILES_REJECTED";
    case E_SimUpgradePhase::FLASHING: return "FLASHING";
    case E_SimUpgradePhase::FLASH_FAILED: return "FLASH_FAILED";
    case E_SimUpgradePhase::FLASHED: return "FLASHED";
    case E_SimUpgradePhase::RESTARTING: return "RESTARTING";
    }
    return "UNKNOWN";
}

E_SimRequest requestOfCommand(std::uint8_t commandType)
{
    switch (static_cast<E_ProtocolCommandType>(commandType))
    {
    case E_ProtocolCommandType::PREPARE_UPGRADE: return E_SimRequest::PREPARE_UPGRADE;
    case E_ProtocolCommandType::START_TRANSFER: return E_SimRequest::START_TRANSFER;
    case E_ProtocolCommandType::FINISH_TRANSFER: return E_SimRequest::FINISH_TRANSFER;
    case E_ProtocolCommandType::START_FLASH: return E_SimRequest::START_FLASH;
    case E_ProtocolCommandType::RESTART_VERIFY: return E_SimRequest::RESTART_VERIFY;
    case E_ProtocolCommandType::RESET_CONTEXT: break;
    }
    return E_SimRequest::RESET_CONTEXT;
}

std::string componentText(std::uint8_t componentType, std::uint8_t componentIndex)
{
    return std::string(componentTypeIdentifier(componentType)) + "#" + std::to_string(componentIndex);
}

bool chunkMatches(const S_SimFault& fault, std::uint8_t fileNo, std::uint16_t chunkNo)
{
    return (!fault.fileNo || *fault.fileNo == fileNo) && (!fault.chunkNo || *fault.chunkNo == chunkNo);
}

}  // namespace

void CSimDevice::handleFrame(S_ProtocolFrame& frame)
{
    if (m_log.framesEnabled())
    {
        m_log.frame(m_spec.nodeId, std::string("RX ") + protocolMessageTypeName(frame.messageType) +
                                       " upgradeNo=" + std::to_string(frame.upgradeNo) +
                                       " bodyLength=" + std::to_string(frame.bodyLength));
    }
    if (frame.deviceType != m_spec.deviceType)
    {
        m_log.warn(m_spec.nodeId, std::string("refuses ") + protocolMessageTypeName(frame.messageType) +
                                      " addressed to device type " + protocolDeviceTypeName(frame.deviceType));
        const std::uint8_t unsupported = reasonByte(E_ProtocolReasonCode::UNSUPPORTED_DEVICE_TYPE);
        if (const auto* command = std::get_if<S_ProtocolCommand>(&frame.body))
        {
            sendAck(requestOfCommand(command->commandType), command->stage, FAILURE, unsupported, frame.upgradeNo);
        }
        else if (std::holds_alternative<S_ProtocolTargetItems>(frame.body))
        {
            sendAck(E_SimRequest::TARGET_LIST, stageByte(E_ProtocolStage::PREPARATION), FAILURE, unsupported,
                    frame.upgradeNo);
        }
        else if (std::holds_alternative<S_ProtocolFileInfo>(frame.body))
        {
            sendAck(E_SimRequest::FILE_INFO, stageByte(E_ProtocolStage::FILE_TRANSFER), FAILURE, unsupported,
                    frame.upgradeNo);
        }
        return;
    }
    switch (static_cast<E_ProtocolMessageType>(frame.messageType))
    {
    case E_ProtocolMessageType::MSG_QUERY_STATUS: handleStatusQuery(frame); break;
    case E_ProtocolMessageType::MSG_EMS_TARGET_LIST: handleTargetList(frame); break;
    case E_ProtocolMessageType::MSG_EMS_CMD: handleCommand(frame); break;
    case E_ProtocolMessageType::MSG_EMS_FILE_INFO: handleFileInfo(frame); break;
    case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK: handleFileChunk(frame); break;
    default:
        // The decoder hands over tool-to-device frames only.
        m_log.warn(m_spec.nodeId, std::string("ignores ") + protocolMessageTypeName(frame.messageType));
        break;
    }
}

bool CSimDevice::contextMatches(std::uint32_t upgradeNo) const
{
    return m_context && m_context->upgradeNo == upgradeNo;
}

void CSimDevice::refuseOutOfSequence(E_SimRequest request, std::uint8_t stage, std::uint32_t upgradeNo,
                                     std::uint8_t reasonCode)
{
    std::string where = m_context ? std::string("phase ") + phaseName(m_context->phase) + " of upgrade " +
                                        std::to_string(m_context->upgradeNo)
                                  : std::string("no upgrade context");
    m_log.warn(m_spec.nodeId, std::string("refuses ") + simRequestName(request) + " of upgrade " +
                                  std::to_string(upgradeNo) + " (" + where + "): " + protocolReasonCodeName(reasonCode));
    sendAck(request, stage, FAILURE, reasonCode, upgradeNo);
}

void CSimDevice::handleStatusQuery(const S_ProtocolFrame& frame)
{
    if (prologue(E_SimRequest::STATUS_QUERY))
    {
        sendStatus(E_SimRequest::STATUS_QUERY, frame.upgradeNo);
    }
}

void CSimDevice::handleTargetList(const S_ProtocolFrame& frame)
{
    const auto& items = std::get<S_ProtocolTargetItems>(frame.body).items;
    const std::uint8_t stage = stageByte(E_ProtocolStage::PREPARATION);
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (!prologue(E_SimRequest::TARGET_LIST))
    {
        return;
    }
    const auto refuse = [&](std::uint8_t reasonCode, const std::string& why) {
        m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": refuses target list: " + why + " (" +
                                       protocolReasonCodeName(reasonCode) + ")");
        sendAck(E_SimRequest::TARGET_LIST, stage, FAILURE, reasonCode, upgradeNo);
    };
    for (const E_SimFaultKind stateFault : {E_SimFaultKind::BUSY_STATE, E_SimFaultKind::FAULT_STATE,
                                            E_SimFaultKind::REFUSE_TARGET_LIST})
    {
        if (S_FaultState* state = findFault(stateFault))
        {
            fire(*state);
            refuse(effectiveReasonCode(state->fault), simFaultKindName(stateFault));
            return;
        }
    }
    if (m_context && m_context->phase == E_SimUpgradePhase::FLASHING)
    {
        refuse(reasonByte(E_ProtocolReasonCode::DEVICE_BUSY), "flashing is in progress");
        return;
    }
    for (const S_ProtocolTargetItem& item : items)
    {
        const bool present = std::any_of(m_components.begin(), m_components.end(), [&](const auto& component) {
            return component.componentType == item.componentType && component.componentIndex == item.componentIndex;
        });
        if (!present)
        {
            refuse(reasonByte(E_ProtocolReasonCode::UNSUPPORTED_COMPONENT),
                   "no component " + componentText(item.componentType, item.componentIndex));
            return;
        }
        if (item.version.empty())
        {
            refuse(reasonByte(E_ProtocolReasonCode::COMPONENT_INFO_INVALID),
                   "empty target version for " + componentText(item.componentType, item.componentIndex));
            return;
        }
    }
    if (m_context)
    {
        m_log.event(m_spec.nodeId, "drops the open context of upgrade " + std::to_string(m_context->upgradeNo));
        cancelWork();
    }
    m_context.emplace();
    m_context->upgradeNo = upgradeNo;
    m_context->targets = items;
    m_pendingVersions.clear();
    ++m_counters.upgradesStarted;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": accepted target list of " +
                                   std::to_string(items.size()) + " component(s)");
    sendAck(E_SimRequest::TARGET_LIST, stage, SUCCESS, 0, upgradeNo);
}

void CSimDevice::handleCommand(const S_ProtocolFrame& frame)
{
    const S_ProtocolCommand& command = std::get<S_ProtocolCommand>(frame.body);
    const E_SimRequest request = requestOfCommand(command.commandType);
    if (!prologue(request))
    {
        return;
    }
    S_FaultState* refusal = findFault(E_SimFaultKind::REFUSE_COMMAND,
                                      [request](const S_SimFault& fault) { return fault.request == request; });
    if (refusal != nullptr)
    {
        fire(*refusal);
        sendAck(request, command.stage, FAILURE, effectiveReasonCode(refusal->fault), frame.upgradeNo);
        return;
    }
    if (request == E_SimRequest::RESET_CONTEXT)
    {
        handleReset(frame, command);
        return;
    }
    if (!contextMatches(frame.upgradeNo))
    {
        refuseOutOfSequence(request, command.stage, frame.upgradeNo, reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID));
        return;
    }
    switch (request)
    {
    case E_SimRequest::PREPARE_UPGRADE: handlePrepare(frame); break;
    case E_SimRequest::START_TRANSFER: handleStartTransfer(frame, command); break;
    case E_SimRequest::FINISH_TRANSFER: handleFinishTransfer(frame); break;
    case E_SimRequest::START_FLASH: handleStartFlash(frame); break;
    case E_SimRequest::RESTART_VERIFY: handleRestartVerify(frame); break;
    default: break;
    }
}

void CSimDevice::handlePrepare(const S_ProtocolFrame& frame)
{
    const std::uint8_t stage = stageByte(E_ProtocolStage::PREPARATION);
    if (m_context->phase != E_SimUpgradePhase::TARGETS_ACCEPTED)
    {
        refuseOutOfSequence(E_SimRequest::PREPARE_UPGRADE, stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::INTERNAL_ERROR));
        return;
    }
    sendAck(E_SimRequest::PREPARE_UPGRADE, stage, SUCCESS, 0, frame.upgradeNo);
    m_context->phase = E_SimUpgradePhase::PREPARING;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(frame.upgradeNo) + ": preparing");

    S_WorkJob job;
    job.stage = stage;
    job.upgradeNo = frame.upgradeNo;
    job.durationMs = m_spec.timings.preparationMs;
    S_FaultState* flood = findFault(E_SimFaultKind::PROGRESS_FLOOD, [stage](const S_SimFault& fault) {
        return fault.stage.value_or(stageByte(E_ProtocolStage::PREPARATION)) == stage;
    });
    if (flood != nullptr)
    {
        fire(*flood);
        const std::uint32_t count = flood->fault.count != 0 ? flood->fault.count : DEFAULT_PROGRESS_FLOOD_COUNT;
        const S_ProtocolTargetItem& target = m_context->targets.front();
        for (std::uint32_t index = 0; index < count; ++index)
        {
            sendFrame(E_SimRequest::PREPARE_UPGRADE, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_PROGRESS),
                      frame.upgradeNo,
                      makeProgress(stage, target.componentType, target.componentIndex,
                                   static_cast<std::uint8_t>(index % 100), 0, "flood"));
        }
    }
    S_FaultState* failure = findFault(E_SimFaultKind::STAGE_FAILURE,
                                      [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (failure != nullptr)
    {
        fire(*failure);
        job.failAtPercentage = 100;
        job.failReason = effectiveReasonCode(failure->fault);
    }
    const std::uint32_t upgradeNo = frame.upgradeNo;
    job.onDone = [this, upgradeNo](bool succeeded) {
        if (!contextMatches(upgradeNo))
        {
            return;
        }
        m_context->phase = succeeded ? E_SimUpgradePhase::PREPARED : E_SimUpgradePhase::TARGETS_ACCEPTED;
        m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) +
                                       (succeeded ? ": preparation done" : ": preparation failed"));
    };
    startWork(std::move(job));
}

void CSimDevice::handleStartTransfer(const S_ProtocolFrame& frame, const S_ProtocolCommand& command)
{
    const std::uint8_t stage = stageByte(E_ProtocolStage::FILE_TRANSFER);
    if (m_context->phase != E_SimUpgradePhase::PREPARED)
    {
        refuseOutOfSequence(E_SimRequest::START_TRANSFER, stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::INTERNAL_ERROR));
        return;
    }
    m_context->phase = E_SimUpgradePhase::AWAITING_FILE_INFO;
    m_context->declaredFileCount = command.commandParam;
    m_context->files.clear();
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(frame.upgradeNo) + ": transfer of " +
                                   std::to_string(command.commandParam) + " file(s) announced");
    sendAck(E_SimRequest::START_TRANSFER, stage, SUCCESS, 0, frame.upgradeNo);
}

void CSimDevice::handleFileInfo(const S_ProtocolFrame& frame)
{
    const S_ProtocolFileInfo& info = std::get<S_ProtocolFileInfo>(frame.body);
    const std::uint8_t stage = stageByte(E_ProtocolStage::FILE_TRANSFER);
    if (!prologue(E_SimRequest::FILE_INFO, info.fileNo))
    {
        return;
    }
    S_FaultState* refusal = findFault(E_SimFaultKind::REFUSE_COMMAND, [](const S_SimFault& fault) {
        return fault.request == E_SimRequest::FILE_INFO;
    });
    if (refusal != nullptr)
    {
        fire(*refusal);
        sendAck(E_SimRequest::FILE_INFO, stage, FAILURE, effectiveReasonCode(refusal->fault), frame.upgradeNo);
        return;
    }
    if (!contextMatches(frame.upgradeNo))
    {
        refuseOutOfSequence(E_SimRequest::FILE_INFO, stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID));
        return;
    }
    const bool duplicate = std::any_of(m_context->files.begin(), m_context->files.end(),
                                       [&](const S_SimFileReceipt& receipt) { return receipt.info.fileNo == info.fileNo; });
    if (m_context->phase != E_SimUpgradePhase::AWAITING_FILE_INFO || duplicate)
    {
        refuseOutOfSequence(E_SimRequest::FILE_INFO, stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::FILE_INFO_INVALID));
        return;
    }
    S_SimFileReceipt& receipt = m_context->files.emplace_back();
    receipt.info = info;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(frame.upgradeNo) + ": file " + std::to_string(info.fileNo) +
                                   " declared: " + info.fileName + ", " + std::to_string(info.fileSize) + " bytes in " +
                                   std::to_string(info.totalChunks) + " chunk(s)");
    if (m_context->files.size() == m_context->declaredFileCount)
    {
        m_context->phase = E_SimUpgradePhase::RECEIVING;
        sendAck(E_SimRequest::FILE_INFO, stage, SUCCESS, 0, frame.upgradeNo);
    }
}

void CSimDevice::handleFileChunk(S_ProtocolFrame& frame)
{
    S_ProtocolFileChunk& chunk = std::get<S_ProtocolFileChunk>(frame.body);
    if (!prologue(E_SimRequest::FILE_CHUNK, chunk.fileNo, chunk.chunkNo))
    {
        return;
    }
    const std::uint32_t computedCrc = crc32Of(chunk.data.data(), chunk.data.size());
    const auto report = [&](std::uint8_t result, std::uint8_t reasonCode, std::uint32_t crc) {
        sendFrame(E_SimRequest::FILE_CHUNK, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT),
                  frame.upgradeNo, makeFileChunkReport(chunk.fileNo, chunk.chunkNo, result, reasonCode, crc));
    };
    if (!contextMatches(frame.upgradeNo))
    {
        m_log.warn(m_spec.nodeId, "refuses a chunk of upgrade " + std::to_string(frame.upgradeNo) + ": no such context");
        report(FAILURE, reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID), computedCrc);
        return;
    }
    auto receipt = std::find_if(m_context->files.begin(), m_context->files.end(),
                                [&](const S_SimFileReceipt& candidate) { return candidate.info.fileNo == chunk.fileNo; });
    if (m_context->phase != E_SimUpgradePhase::RECEIVING || receipt == m_context->files.end())
    {
        m_log.warn(m_spec.nodeId, "refuses chunk " + std::to_string(chunk.chunkNo) + " of file " +
                                      std::to_string(chunk.fileNo) + " in phase " + phaseName(m_context->phase));
        report(FAILURE, reasonByte(E_ProtocolReasonCode::FILE_INFO_INVALID), computedCrc);
        return;
    }
    S_FaultState* stageFailure = findFault(E_SimFaultKind::STAGE_FAILURE, [&](const S_SimFault& fault) {
        return fault.stage == stageByte(E_ProtocolStage::FILE_TRANSFER) &&
               chunkMatches(fault, chunk.fileNo, chunk.chunkNo);
    });
    if (stageFailure != nullptr)
    {
        fire(*stageFailure);
        receipt->spoiled = true;
        const auto progress = static_cast<std::uint8_t>(std::uint32_t{chunk.chunkNo} * 100 / chunk.totalChunks);
        sendStageReport(E_SimRequest::FILE_CHUNK, stageByte(E_ProtocolStage::FILE_TRANSFER), FAILURE, progress,
                        effectiveReasonCode(stageFailure->fault), frame.upgradeNo);
        return;
    }
    if (computedCrc != chunk.crc32)
    {
        receipt->spoiled = true;
        m_log.warn(m_spec.nodeId, "chunk " + std::to_string(chunk.chunkNo) + " of file " + std::to_string(chunk.fileNo) +
                                      " fails its CRC-32; the file is spoiled");
        report(FAILURE, reasonByte(E_ProtocolReasonCode::CHUNK_CRC32_MISMATCH), computedCrc);
        return;
    }
    receipt->receivedBytes += chunk.data.size();
    const bool inOrder = chunk.chunkNo == receipt->nextChunkNo && chunk.totalChunks == receipt->info.totalChunks;
    if (!inOrder)
    {
        if (!receipt->spoiled)
        {
            m_log.warn(m_spec.nodeId, "chunk " + std::to_string(chunk.chunkNo) + " of file " +
                                          std::to_string(chunk.fileNo) + " arrived out of order (expected " +
                                          std::to_string(receipt->nextChunkNo) + "); the file is spoiled");
        }
        receipt->spoiled = true;
    }
    else
    {
        ++receipt->nextChunkNo;
        if (receipt->nextChunkNo == receipt->info.totalChunks)
        {
            m_log.event(m_spec.nodeId, "upgrade " + std::to_string(frame.upgradeNo) + ": file " +
                                           std::to_string(chunk.fileNo) + " received in " +
                                           std::to_string(receipt->info.totalChunks) + " chunk(s)");
        }
    }
    std::uint8_t result = SUCCESS;
    std::uint8_t reasonCode = 0;
    std::uint32_t reportedCrc = computedCrc;
    const auto matches = [&](const S_SimFault& fault) { return chunkMatches(fault, chunk.fileNo, chunk.chunkNo); };
    if (S_FaultState* failure = findFault(E_SimFaultKind::CHUNK_REPORT_FAILURE, matches))
    {
        fire(*failure);
        result = FAILURE;
        reasonCode = effectiveReasonCode(failure->fault);
    }
    if (S_FaultState* wrongCrc = findFault(E_SimFaultKind::WRONG_CHUNK_CRC, matches))
    {
        fire(*wrongCrc);
        reportedCrc = ~computedCrc;
    }
    report(result, reasonCode, reportedCrc);
    // The digest is fed on the hash worker after the report has been handed to the socket: the
    // backend waits for the report only, so the hashing overlaps with its turnaround.
    if (inOrder)
    {
        m_hasher.hash(m_hashLane, receipt->digest, std::move(chunk.data));
    }
}

void CSimDevice::handleFinishTransfer(const S_ProtocolFrame& frame)
{
    const std::uint8_t stage = stageByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION);
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (m_context->phase != E_SimUpgradePhase::RECEIVING)
    {
        refuseOutOfSequence(E_SimRequest::FINISH_TRANSFER, stage, upgradeNo,
                            reasonByte(E_ProtocolReasonCode::FILE_INFO_INVALID));
        return;
    }
    sendAck(E_SimRequest::FINISH_TRANSFER, stage, SUCCESS, 0, upgradeNo);
    bool allIntact = true;
    for (S_SimFileReceipt& receipt : m_context->files)
    {
        // Held until the hash worker had every queued chunk (holdForHashing).
        const S_ProtocolSha256 digest = receipt.digest->sha.finish();
        const auto receivedSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(receipt.receivedBytes, UINT32_MAX));
        const bool intact = !receipt.spoiled && receipt.nextChunkNo == receipt.info.totalChunks &&
                            receivedSize == receipt.info.fileSize && digest == receipt.info.sha256;
        allIntact = allIntact && intact;
        std::uint32_t reportedSize = receivedSize;
        S_ProtocolSha256 reportedDigest = digest;
        const std::uint8_t fileNo = receipt.info.fileNo;
        const auto matches = [fileNo](const S_SimFault& fault) { return !fault.fileNo || *fault.fileNo == fileNo; };
        if (S_FaultState* wrongSize = findFault(E_SimFaultKind::WRONG_FILE_SIZE, matches))
        {
            fire(*wrongSize);
            reportedSize += 1;
        }
        if (S_FaultState* wrongDigest = findFault(E_SimFaultKind::WRONG_FILE_DIGEST, matches))
        {
            fire(*wrongDigest);
            reportedDigest[0] ^= 0xFF;
        }
        m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": file " + std::to_string(fileNo) +
                                       (intact ? " verified: " : " does not match its declaration: ") +
                                       std::to_string(receivedSize) + " bytes, SHA-256 " + toLowerHex(digest));
        sendFrame(E_SimRequest::FINISH_TRANSFER, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT),
                  upgradeNo,
                  makeFileVerifyReport(fileNo, intact ? SUCCESS : FAILURE,
                                       intact ? 0 : reasonByte(E_ProtocolReasonCode::FILE_SHA256_MISMATCH),
                                       reportedSize, reportedDigest));
    }
    S_FaultState* failure = findFault(E_SimFaultKind::STAGE_FAILURE,
                                      [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (failure != nullptr)
    {
        fire(*failure);
        m_context->phase = E_SimUpgradePhase::FILES_REJECTED;
        sendStageReport(E_SimRequest::FINISH_TRANSFER, stage, FAILURE, 100, effectiveReasonCode(failure->fault),
                        upgradeNo);
        return;
    }
    m_context->phase = allIntact ? E_SimUpgradePhase::FILES_VERIFIED : E_SimUpgradePhase::FILES_REJECTED;
    sendStageReport(E_SimRequest::FINISH_TRANSFER, stage, allIntact ? SUCCESS : FAILURE, 100,
                    allIntact ? 0 : reasonByte(E_ProtocolReasonCode::FILE_SHA256_MISMATCH), upgradeNo);
}

void CSimDevice::handleStartFlash(const S_ProtocolFrame& frame)
{
    const std::uint8_t stage = stageByte(E_ProtocolStage::FLASHING);
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (m_context->phase != E_SimUpgradePhase::FILES_VERIFIED)
    {
        refuseOutOfSequence(E_SimRequest::START_FLASH, stage, upgradeNo,
                            m_context->phase == E_SimUpgradePhase::FILES_REJECTED
                                ? reasonByte(E_ProtocolReasonCode::FILE_SHA256_MISMATCH)
                                : reasonByte(E_ProtocolReasonCode::INTERNAL_ERROR));
        return;
    }
    sendAck(E_SimRequest::START_FLASH, stage, SUCCESS, 0, upgradeNo);
    m_context->phase = E_SimUpgradePhase::FLASHING;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": flashing");

    S_WorkJob job;
    job.stage = stage;
    job.upgradeNo = upgradeNo;
    job.durationMs = m_spec.timings.flashMs;
    S_FaultState* flood = findFault(E_SimFaultKind::PROGRESS_FLOOD,
                                    [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (flood != nullptr)
    {
        fire(*flood);
        const std::uint32_t count = flood->fault.count != 0 ? flood->fault.count : DEFAULT_PROGRESS_FLOOD_COUNT;
        const S_ProtocolTargetItem& target = m_context->targets.front();
        for (std::uint32_t index = 0; index < count; ++index)
        {
            sendFrame(E_SimRequest::START_FLASH, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_PROGRESS), upgradeNo,
                      makeProgress(stage, target.componentType, target.componentIndex,
                                   static_cast<std::uint8_t>(index % 100), 0, "flood"));
        }
    }
    if (S_FaultState* flashFailure = findFault(E_SimFaultKind::FLASH_FAILURE))
    {
        fire(*flashFailure);
        job.failAtPercentage = flashFailure->fault.percentage;
        job.failReason = effectiveReasonCode(flashFailure->fault);
    }
    else if (S_FaultState* failure = findFault(E_SimFaultKind::STAGE_FAILURE,
                                               [stage](const S_SimFault& fault) { return fault.stage == stage; }))
    {
        fire(*failure);
        job.failAtPercentage = 100;
        job.failReason = effectiveReasonCode(failure->fault);
    }
    job.onDone = [this, upgradeNo](bool succeeded) {
        if (!contextMatches(upgradeNo))
        {
            return;
        }
        if (!succeeded)
        {
            m_context->phase = E_SimUpgradePhase::FLASH_FAILED;
            m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": flashing failed");
            return;
        }
        m_context->phase = E_SimUpgradePhase::FLASHED;
        // The new versions run only after the restart.
        m_pendingVersions = m_components;
        for (const S_ProtocolTargetItem& target : m_context->targets)
        {
            for (S_ProtocolComponentVersion& component : m_pendingVersions)
            {
                if (component.componentType == target.componentType &&
                    component.componentIndex == target.componentIndex)
                {
                    component.version = target.version;
                }
            }
        }
        m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": flashing done");
    };
    startWork(std::move(job));
}

void CSimDevice::handleRestartVerify(const S_ProtocolFrame& frame)
{
    const std::uint8_t stage = stageByte(E_ProtocolStage::RESTART_VERIFICATION);
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (m_context->phase != E_SimUpgradePhase::FLASHED)
    {
        refuseOutOfSequence(E_SimRequest::RESTART_VERIFY, stage, upgradeNo,
                            m_context->phase == E_SimUpgradePhase::FLASH_FAILED
                                ? reasonByte(E_ProtocolReasonCode::FLASH_FAILED)
                                : reasonByte(E_ProtocolReasonCode::INTERNAL_ERROR));
        return;
    }
    S_FaultState* failure = findFault(E_SimFaultKind::STAGE_FAILURE,
                                      [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (failure != nullptr)
    {
        fire(*failure);
        sendAck(E_SimRequest::RESTART_VERIFY, stage, SUCCESS, 0, upgradeNo);
        sendStageReport(E_SimRequest::RESTART_VERIFY, stage, FAILURE, 0, effectiveReasonCode(failure->fault), upgradeNo);
        return;
    }
    m_context->phase = E_SimUpgradePhase::RESTARTING;
    if (S_FaultState* withoutAck = findFault(E_SimFaultKind::RESTART_WITHOUT_ACK))
    {
        fire(*withoutAck);
    }
    else
    {
        sendAck(E_SimRequest::RESTART_VERIFY, stage, SUCCESS, 0, upgradeNo);
    }
    runAfterQueued([this] { beginReboot(); });
}

void CSimDevice::handleReset(const S_ProtocolFrame& frame, const S_ProtocolCommand& command)
{
    const std::uint8_t stage = command.stage;
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (S_FaultState* silent = findFault(E_SimFaultKind::NO_RESET_ANSWER))
    {
        fire(*silent);
        return;
    }
    if (m_context && m_context->upgradeNo != upgradeNo)
    {
        refuseOutOfSequence(E_SimRequest::RESET_CONTEXT, stage, upgradeNo,
                            reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID));
        return;
    }
    if (m_context && (m_context->phase == E_SimUpgradePhase::FLASHING || m_context->phase == E_SimUpgradePhase::FLASHED ||
                      m_context->phase == E_SimUpgradePhase::RESTARTING))
    {
        refuseOutOfSequence(E_SimRequest::RESET_CONTEXT, stage, upgradeNo,
                            reasonByte(E_ProtocolReasonCode::RESET_NOT_ALLOWED));
        return;
    }
    // Without a context there is nothing to drop; confirming keeps an abort idempotent.
    if (m_context)
    {
        cancelWork();
        m_context.reset();
        m_pendingVersions.clear();
        ++m_counters.contextResets;
    }
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": context reset at stage " + simStageName(stage));
    sendAck(E_SimRequest::RESET_CONTEXT, stage, SUCCESS, 0, upgradeNo);
    sendStageReport(E_SimRequest::RESET_CONTEXT, stage, ABORTED, 0,
                    reasonByte(E_ProtocolReasonCode::UPGRADE_CONTEXT_RESET), upgradeNo);
}

}  // namespace ota::backend
