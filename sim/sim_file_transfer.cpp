// The file transfer of the device conversation: the announced files are declared, their chunks
// checked (CRC-32, order) and fed to a running digest, and the receipt confirmed against the
// declarations once the transfer is finished.
#include "sim/sim_conversation.h"

#include "common/digest.h"
#include "protocol/device_side_codec.h"
#include "sim/sim_conversation_terms.h"
#include "sim/sim_fault_rules.h"

#include <algorithm>

namespace ota::backend
{
namespace
{

using namespace sim_terms;

}  // namespace

void CSimConversation::handleStartTransfer(const S_ProtocolFrame& frame, const S_ProtocolCommand& command)
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
    m_replies.ack(E_SimRequest::START_TRANSFER, stage, SUCCESS, 0, frame.upgradeNo);
}

void CSimConversation::handleFileInfo(const S_ProtocolFrame& frame)
{
    const S_ProtocolFileInfo& info = std::get<S_ProtocolFileInfo>(frame.body);
    const std::uint8_t stage = stageByte(E_ProtocolStage::FILE_TRANSFER);
    if (!prologue(E_SimRequest::FILE_INFO, info.fileNo))
    {
        return;
    }
    const S_SimFault* refusal = m_faults.fire(E_SimFaultKind::REFUSE_COMMAND, [](const S_SimFault& fault)
                                              { return fault.request == E_SimRequest::FILE_INFO; });
    if (refusal != nullptr)
    {
        m_replies.ack(E_SimRequest::FILE_INFO, stage, FAILURE, effectiveReasonCode(*refusal),
                      frame.upgradeNo);
        return;
    }
    if (!contextMatches(frame.upgradeNo))
    {
        refuseOutOfSequence(E_SimRequest::FILE_INFO, stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID));
        return;
    }
    const bool duplicate =
        std::any_of(m_context->files.begin(), m_context->files.end(),
                    [&](const S_SimFileReceipt& receipt) { return receipt.info.fileNo == info.fileNo; });
    if (m_context->phase != E_SimUpgradePhase::AWAITING_FILE_INFO || duplicate)
    {
        refuseOutOfSequence(E_SimRequest::FILE_INFO, stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::FILE_INFO_INVALID));
        return;
    }
    S_SimFileReceipt& receipt = m_context->files.emplace_back();
    receipt.info = info;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(frame.upgradeNo) + ": file " +
                                   std::to_string(info.fileNo) + " declared: " + info.fileName + ", " +
                                   std::to_string(info.fileSize) + " bytes in " +
                                   std::to_string(info.totalChunks) + " chunk(s)");
    if (m_context->files.size() == m_context->declaredFileCount)
    {
        m_context->phase = E_SimUpgradePhase::RECEIVING;
        m_replies.ack(E_SimRequest::FILE_INFO, stage, SUCCESS, 0, frame.upgradeNo);
    }
}

void CSimConversation::handleFileChunk(S_ProtocolFrame& frame)
{
    S_ProtocolFileChunk& chunk = std::get<S_ProtocolFileChunk>(frame.body);
    if (!prologue(E_SimRequest::FILE_CHUNK, chunk.fileNo, chunk.chunkNo))
    {
        return;
    }
    const std::uint32_t computedCrc = crc32Of(chunk.data.data(), chunk.data.size());
    const auto report = [&](std::uint8_t result, std::uint8_t reasonCode, std::uint32_t crc)
    {
        m_replies.frame(E_SimRequest::FILE_CHUNK,
                        toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT), frame.upgradeNo,
                        makeFileChunkReport(chunk.fileNo, chunk.chunkNo, result, reasonCode, crc));
    };
    if (!contextMatches(frame.upgradeNo))
    {
        m_log.warn(m_spec.nodeId,
                   "refuses a chunk of upgrade " + std::to_string(frame.upgradeNo) + ": no such context");
        report(FAILURE, reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID), computedCrc);
        return;
    }
    auto receipt = std::find_if(m_context->files.begin(), m_context->files.end(),
                                [&](const S_SimFileReceipt& candidate)
                                { return candidate.info.fileNo == chunk.fileNo; });
    if (m_context->phase != E_SimUpgradePhase::RECEIVING || receipt == m_context->files.end())
    {
        m_log.warn(m_spec.nodeId, "refuses chunk " + std::to_string(chunk.chunkNo) + " of file " +
                                      std::to_string(chunk.fileNo) + " in phase " +
                                      phaseName(m_context->phase));
        report(FAILURE, reasonByte(E_ProtocolReasonCode::FILE_INFO_INVALID), computedCrc);
        return;
    }
    const S_SimFault* stageFailure =
        m_faults.fire(E_SimFaultKind::STAGE_FAILURE,
                      [&](const S_SimFault& fault)
                      {
                          return fault.stage == stageByte(E_ProtocolStage::FILE_TRANSFER) &&
                                 chunkMatches(fault, chunk.fileNo, chunk.chunkNo);
                      });
    if (stageFailure != nullptr)
    {
        receipt->spoiled = true;
        const auto progress =
            static_cast<std::uint8_t>(std::uint32_t{chunk.chunkNo} * 100 / chunk.totalChunks);
        m_replies.stageReport(E_SimRequest::FILE_CHUNK, stageByte(E_ProtocolStage::FILE_TRANSFER), FAILURE,
                              progress, effectiveReasonCode(*stageFailure), frame.upgradeNo);
        return;
    }
    if (computedCrc != chunk.crc32)
    {
        receipt->spoiled = true;
        m_log.warn(m_spec.nodeId, "chunk " + std::to_string(chunk.chunkNo) + " of file " +
                                      std::to_string(chunk.fileNo) +
                                      " fails its CRC-32; the file is spoiled");
        report(FAILURE, reasonByte(E_ProtocolReasonCode::CHUNK_CRC32_MISMATCH), computedCrc);
        return;
    }
    receipt->receivedBytes += chunk.data.size();
    const bool inOrder =
        chunk.chunkNo == receipt->nextChunkNo && chunk.totalChunks == receipt->info.totalChunks;
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
    const auto matches = [&](const S_SimFault& fault)
    { return chunkMatches(fault, chunk.fileNo, chunk.chunkNo); };
    if (const S_SimFault* failure = m_faults.fire(E_SimFaultKind::CHUNK_REPORT_FAILURE, matches))
    {
        result = FAILURE;
        reasonCode = effectiveReasonCode(*failure);
    }
    if (m_faults.fire(E_SimFaultKind::WRONG_CHUNK_CRC, matches) != nullptr)
    {
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

void CSimConversation::handleFinishTransfer(const S_ProtocolFrame& frame)
{
    const std::uint8_t stage = stageByte(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION);
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (m_context->phase != E_SimUpgradePhase::RECEIVING)
    {
        refuseOutOfSequence(E_SimRequest::FINISH_TRANSFER, stage, upgradeNo,
                            reasonByte(E_ProtocolReasonCode::FILE_INFO_INVALID));
        return;
    }
    m_replies.ack(E_SimRequest::FINISH_TRANSFER, stage, SUCCESS, 0, upgradeNo);
    bool allIntact = true;
    for (S_SimFileReceipt& receipt : m_context->files)
    {
        // Held until the hash worker had every queued chunk (holdForHashing).
        const S_ProtocolSha256 digest = receipt.digest->sha.finish();
        const auto receivedSize =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(receipt.receivedBytes, UINT32_MAX));
        const bool intact = !receipt.spoiled && receipt.nextChunkNo == receipt.info.totalChunks &&
                            receivedSize == receipt.info.fileSize && digest == receipt.info.sha256;
        allIntact = allIntact && intact;
        std::uint32_t reportedSize = receivedSize;
        S_ProtocolSha256 reportedDigest = digest;
        const std::uint8_t fileNo = receipt.info.fileNo;
        const auto matches = [fileNo](const S_SimFault& fault)
        { return !fault.fileNo || *fault.fileNo == fileNo; };
        if (m_faults.fire(E_SimFaultKind::WRONG_FILE_SIZE, matches) != nullptr)
        {
            reportedSize += 1;
        }
        if (m_faults.fire(E_SimFaultKind::WRONG_FILE_DIGEST, matches) != nullptr)
        {
            reportedDigest[0] ^= 0xFF;
        }
        m_log.event(m_spec.nodeId,
                    "upgrade " + std::to_string(upgradeNo) + ": file " + std::to_string(fileNo) +
                        (intact ? " verified: " : " does not match its declaration: ") +
                        std::to_string(receivedSize) + " bytes, SHA-256 " + toLowerHex(digest));
        m_replies.frame(
            E_SimRequest::FINISH_TRANSFER,
            toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT), upgradeNo,
            makeFileVerifyReport(fileNo, intact ? SUCCESS : FAILURE,
                                 intact ? 0 : reasonByte(E_ProtocolReasonCode::FILE_SHA256_MISMATCH),
                                 reportedSize, reportedDigest));
    }
    const S_SimFault* failure = m_faults.fire(
        E_SimFaultKind::STAGE_FAILURE, [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (failure != nullptr)
    {
        m_context->phase = E_SimUpgradePhase::FILES_REJECTED;
        m_replies.stageReport(E_SimRequest::FINISH_TRANSFER, stage, FAILURE, 100,
                              effectiveReasonCode(*failure), upgradeNo);
        return;
    }
    m_context->phase = allIntact ? E_SimUpgradePhase::FILES_VERIFIED : E_SimUpgradePhase::FILES_REJECTED;
    m_replies.stageReport(E_SimRequest::FINISH_TRANSFER, stage, allIntact ? SUCCESS : FAILURE, 100,
                          allIntact ? 0 : reasonByte(E_ProtocolReasonCode::FILE_SHA256_MISMATCH), upgradeNo);
}

}  // namespace ota::backend
