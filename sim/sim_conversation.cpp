// The device side of the ota-v1 upgrade conversation: what a simulated device does with each
// request, and where its configured faults bend the answer. The file transfer (declarations,
// chunks, the receipt check) is in sim_file_transfer.cpp.
#include "sim/sim_conversation.h"

#include "common/digest.h"
#include "protocol/device_side_codec.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_conversation_terms.h"
#include "sim/sim_fault_rules.h"

#include <algorithm>

namespace ota::backend
{
namespace
{

using namespace sim_terms;

E_SimRequest requestOfCommand(std::uint8_t commandType)
{
    switch (static_cast<E_ProtocolCommandType>(commandType))
    {
        case E_ProtocolCommandType::PREPARE_UPGRADE:
            return E_SimRequest::PREPARE_UPGRADE;
        case E_ProtocolCommandType::START_TRANSFER:
            return E_SimRequest::START_TRANSFER;
        case E_ProtocolCommandType::FINISH_TRANSFER:
            return E_SimRequest::FINISH_TRANSFER;
        case E_ProtocolCommandType::START_FLASH:
            return E_SimRequest::START_FLASH;
        case E_ProtocolCommandType::RESTART_VERIFY:
            return E_SimRequest::RESTART_VERIFY;
        case E_ProtocolCommandType::RESET_CONTEXT:
            break;
    }
    return E_SimRequest::RESET_CONTEXT;
}

std::string componentText(std::uint8_t componentType, std::uint8_t componentIndex)
{
    return std::string(componentTypeIdentifier(componentType)) + "#" + std::to_string(componentIndex);
}

}  // namespace

CSimConversation::CSimConversation(boost::asio::io_context& io, const S_SimDeviceSpec& spec,
                                   const CSimLog& log, S_SimDeviceCounters& counters, CSimFaultBook& faults,
                                   CSimOutbox& outbox, CSimHashWorker& hasher,
                                   std::shared_ptr<CSimHashLane> hashLane, S_Hooks hooks)
    : m_spec(spec),
      m_log(log),
      m_counters(counters),
      m_faults(faults),
      m_hasher(hasher),
      m_hashLane(std::move(hashLane)),
      m_hooks(std::move(hooks)),
      m_replies(spec, log, counters, faults, outbox),
      m_work(io, spec.timings.progressIntervalMs),
      m_components(effectiveComponents(spec))
{
}

std::optional<std::uint32_t> CSimConversation::contextUpgradeNo() const
{
    return m_context ? std::optional<std::uint32_t>(m_context->upgradeNo) : std::nullopt;
}

void CSimConversation::onConnected()
{
    if (prologue(E_SimRequest::CONNECT) && m_spec.statusOnConnect)
    {
        sendStatus(E_SimRequest::CONNECT, m_lastCompletedUpgradeNo);
    }
}

void CSimConversation::sendStatus(E_SimRequest cause, std::uint32_t upgradeNo)
{
    // A context of another upgrade number counts as abandoned: the next target list replaces
    // it, so it does not make the device look busy to that upgrade.
    const bool upgrading = m_context && (upgradeNo == 0 || m_context->upgradeNo == upgradeNo);
    m_replies.status(cause, upgradeNo, upgrading, m_faultReason, m_components);
}

bool CSimConversation::prologue(E_SimRequest request, std::optional<std::uint8_t> fileNo,
                                std::optional<std::uint16_t> chunkNo)
{
    const S_SimFault* disconnect = m_faults.fire(E_SimFaultKind::DISCONNECT,
                                                 [&](const S_SimFault& fault)
                                                 {
                                                     return fault.request == request &&
                                                            (!fault.fileNo || fault.fileNo == fileNo) &&
                                                            (!fault.chunkNo || fault.chunkNo == chunkNo);
                                                 });
    if (disconnect != nullptr)
    {
        m_hooks.dropLink(std::string("link lost at ") + simRequestName(request));
        return false;
    }
    const S_SimFault* garbage =
        m_faults.fire(E_SimFaultKind::GARBAGE_BYTES, [request](const S_SimFault& fault)
                      { return fault.request.value_or(E_SimRequest::CONNECT) == request; });
    if (garbage != nullptr)
    {
        m_replies.garbage(garbage->count != 0 ? garbage->count : DEFAULT_GARBAGE_BYTE_COUNT);
    }
    return true;
}

void CSimConversation::handleRequest(S_ProtocolFrame& frame)
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
                                      " addressed to device type " +
                                      protocolDeviceTypeName(frame.deviceType));
        const std::uint8_t unsupported = reasonByte(E_ProtocolReasonCode::UNSUPPORTED_DEVICE_TYPE);
        if (const auto* command = std::get_if<S_ProtocolCommand>(&frame.body))
        {
            m_replies.ack(requestOfCommand(command->commandType), command->stage, FAILURE, unsupported,
                          frame.upgradeNo);
        }
        else if (std::holds_alternative<S_ProtocolTargetItems>(frame.body))
        {
            m_replies.ack(E_SimRequest::TARGET_LIST, stageByte(E_ProtocolStage::PREPARATION), FAILURE,
                          unsupported, frame.upgradeNo);
        }
        else if (std::holds_alternative<S_ProtocolFileInfo>(frame.body))
        {
            m_replies.ack(E_SimRequest::FILE_INFO, stageByte(E_ProtocolStage::FILE_TRANSFER), FAILURE,
                          unsupported, frame.upgradeNo);
        }
        return;
    }
    switch (static_cast<E_ProtocolMessageType>(frame.messageType))
    {
        case E_ProtocolMessageType::MSG_QUERY_STATUS:
            handleStatusQuery(frame);
            break;
        case E_ProtocolMessageType::MSG_EMS_TARGET_LIST:
            handleTargetList(frame);
            break;
        case E_ProtocolMessageType::MSG_EMS_CMD:
            handleCommand(frame);
            break;
        case E_ProtocolMessageType::MSG_EMS_FILE_INFO:
            handleFileInfo(frame);
            break;
        case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK:
            handleFileChunk(frame);
            break;
        default:
            // The decoder hands over tool-to-device frames only.
            m_log.warn(m_spec.nodeId, std::string("ignores ") + protocolMessageTypeName(frame.messageType));
            break;
    }
}

bool CSimConversation::contextMatches(std::uint32_t upgradeNo) const
{
    return m_context && m_context->upgradeNo == upgradeNo;
}

void CSimConversation::refuseOutOfSequence(E_SimRequest request, std::uint8_t stage, std::uint32_t upgradeNo,
                                           std::uint8_t reasonCode)
{
    std::string where = m_context ? std::string("phase ") + phaseName(m_context->phase) + " of upgrade " +
                                        std::to_string(m_context->upgradeNo)
                                  : std::string("no upgrade context");
    m_log.warn(m_spec.nodeId, std::string("refuses ") + simRequestName(request) + " of upgrade " +
                                  std::to_string(upgradeNo) + " (" + where +
                                  "): " + protocolReasonCodeName(reasonCode));
    m_replies.ack(request, stage, FAILURE, reasonCode, upgradeNo);
}

void CSimConversation::handleStatusQuery(const S_ProtocolFrame& frame)
{
    if (prologue(E_SimRequest::STATUS_QUERY))
    {
        sendStatus(E_SimRequest::STATUS_QUERY, frame.upgradeNo);
    }
}

void CSimConversation::handleTargetList(const S_ProtocolFrame& frame)
{
    const auto& items = std::get<S_ProtocolTargetItems>(frame.body).items;
    const std::uint8_t stage = stageByte(E_ProtocolStage::PREPARATION);
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (!prologue(E_SimRequest::TARGET_LIST))
    {
        return;
    }
    const auto refuse = [&](std::uint8_t reasonCode, const std::string& why)
    {
        m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": refuses target list: " + why +
                                       " (" + protocolReasonCodeName(reasonCode) + ")");
        m_replies.ack(E_SimRequest::TARGET_LIST, stage, FAILURE, reasonCode, upgradeNo);
    };
    for (const E_SimFaultKind stateFault :
         {E_SimFaultKind::BUSY_STATE, E_SimFaultKind::FAULT_STATE, E_SimFaultKind::REFUSE_TARGET_LIST})
    {
        if (const S_SimFault* state = m_faults.fire(stateFault))
        {
            refuse(effectiveReasonCode(*state), simFaultKindName(stateFault));
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
        const bool present = std::any_of(m_components.begin(), m_components.end(),
                                         [&](const auto& component) {
                                             return component.componentType == item.componentType &&
                                                    component.componentIndex == item.componentIndex;
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
        m_log.event(m_spec.nodeId,
                    "drops the open context of upgrade " + std::to_string(m_context->upgradeNo));
        m_work.cancel();
    }
    m_context.emplace();
    m_context->upgradeNo = upgradeNo;
    m_context->targets = items;
    m_pendingVersions.clear();
    ++m_counters.upgradesStarted;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": accepted target list of " +
                                   std::to_string(items.size()) + " component(s)");
    m_replies.ack(E_SimRequest::TARGET_LIST, stage, SUCCESS, 0, upgradeNo);
}

void CSimConversation::handleCommand(const S_ProtocolFrame& frame)
{
    const S_ProtocolCommand& command = std::get<S_ProtocolCommand>(frame.body);
    const E_SimRequest request = requestOfCommand(command.commandType);
    if (!prologue(request))
    {
        return;
    }
    const S_SimFault* refusal =
        m_faults.fire(E_SimFaultKind::REFUSE_COMMAND,
                      [request](const S_SimFault& fault) { return fault.request == request; });
    if (refusal != nullptr)
    {
        m_replies.ack(request, command.stage, FAILURE, effectiveReasonCode(*refusal), frame.upgradeNo);
        return;
    }
    if (request == E_SimRequest::RESET_CONTEXT)
    {
        handleReset(frame, command);
        return;
    }
    if (!contextMatches(frame.upgradeNo))
    {
        refuseOutOfSequence(request, command.stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID));
        return;
    }
    switch (request)
    {
        case E_SimRequest::PREPARE_UPGRADE:
            handlePrepare(frame);
            break;
        case E_SimRequest::START_TRANSFER:
            handleStartTransfer(frame, command);
            break;
        case E_SimRequest::FINISH_TRANSFER:
            handleFinishTransfer(frame);
            break;
        case E_SimRequest::START_FLASH:
            handleStartFlash(frame);
            break;
        case E_SimRequest::RESTART_VERIFY:
            handleRestartVerify(frame);
            break;
        default:
            break;
    }
}

void CSimConversation::handlePrepare(const S_ProtocolFrame& frame)
{
    const std::uint8_t stage = stageByte(E_ProtocolStage::PREPARATION);
    if (m_context->phase != E_SimUpgradePhase::TARGETS_ACCEPTED)
    {
        refuseOutOfSequence(E_SimRequest::PREPARE_UPGRADE, stage, frame.upgradeNo,
                            reasonByte(E_ProtocolReasonCode::INTERNAL_ERROR));
        return;
    }
    m_replies.ack(E_SimRequest::PREPARE_UPGRADE, stage, SUCCESS, 0, frame.upgradeNo);
    m_context->phase = E_SimUpgradePhase::PREPARING;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(frame.upgradeNo) + ": preparing");

    const S_SimFault* flood = m_faults.fire(E_SimFaultKind::PROGRESS_FLOOD, [stage](const S_SimFault& fault)
                                            { return fault.stage.value_or(stage) == stage; });
    if (flood != nullptr)
    {
        sendProgressFlood(E_SimRequest::PREPARE_UPGRADE, stage, frame.upgradeNo, flood->count);
    }
    std::optional<std::uint8_t> failAtPercentage;
    std::uint8_t failReason = 0;
    const S_SimFault* failure = m_faults.fire(
        E_SimFaultKind::STAGE_FAILURE, [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (failure != nullptr)
    {
        failAtPercentage = 100;
        failReason = effectiveReasonCode(*failure);
    }
    const std::uint32_t upgradeNo = frame.upgradeNo;
    startStageWork(stage, upgradeNo, m_spec.timings.preparationMs, failAtPercentage, failReason,
                   [this, upgradeNo](bool succeeded) { preparationEnded(upgradeNo, succeeded); });
}

void CSimConversation::preparationEnded(std::uint32_t upgradeNo, bool succeeded)
{
    if (!contextMatches(upgradeNo))
    {
        return;  // reset or replaced meanwhile
    }
    m_context->phase = succeeded ? E_SimUpgradePhase::PREPARED : E_SimUpgradePhase::TARGETS_ACCEPTED;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) +
                                   (succeeded ? ": preparation done" : ": preparation failed"));
}

void CSimConversation::handleStartFlash(const S_ProtocolFrame& frame)
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
    m_replies.ack(E_SimRequest::START_FLASH, stage, SUCCESS, 0, upgradeNo);
    m_context->phase = E_SimUpgradePhase::FLASHING;
    m_log.event(m_spec.nodeId, "upgrade " + std::to_string(upgradeNo) + ": flashing");

    const S_SimFault* flood = m_faults.fire(
        E_SimFaultKind::PROGRESS_FLOOD, [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (flood != nullptr)
    {
        sendProgressFlood(E_SimRequest::START_FLASH, stage, upgradeNo, flood->count);
    }
    std::optional<std::uint8_t> failAtPercentage;
    std::uint8_t failReason = 0;
    if (const S_SimFault* flashFailure = m_faults.fire(E_SimFaultKind::FLASH_FAILURE))
    {
        failAtPercentage = flashFailure->percentage;
        failReason = effectiveReasonCode(*flashFailure);
    }
    else if (const S_SimFault* failure =
                 m_faults.fire(E_SimFaultKind::STAGE_FAILURE,
                               [stage](const S_SimFault& fault) { return fault.stage == stage; }))
    {
        failAtPercentage = 100;
        failReason = effectiveReasonCode(*failure);
    }
    startStageWork(stage, upgradeNo, m_spec.timings.flashMs, failAtPercentage, failReason,
                   [this, upgradeNo](bool succeeded) { flashingEnded(upgradeNo, succeeded); });
}

void CSimConversation::flashingEnded(std::uint32_t upgradeNo, bool succeeded)
{
    if (!contextMatches(upgradeNo))
    {
        return;  // reset or replaced meanwhile
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
}

void CSimConversation::handleRestartVerify(const S_ProtocolFrame& frame)
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
    const S_SimFault* failure = m_faults.fire(
        E_SimFaultKind::STAGE_FAILURE, [stage](const S_SimFault& fault) { return fault.stage == stage; });
    if (failure != nullptr)
    {
        m_replies.ack(E_SimRequest::RESTART_VERIFY, stage, SUCCESS, 0, upgradeNo);
        m_replies.stageReport(E_SimRequest::RESTART_VERIFY, stage, FAILURE, 0, effectiveReasonCode(*failure),
                              upgradeNo);
        return;
    }
    m_context->phase = E_SimUpgradePhase::RESTARTING;
    if (m_faults.fire(E_SimFaultKind::RESTART_WITHOUT_ACK) == nullptr)
    {
        m_replies.ack(E_SimRequest::RESTART_VERIFY, stage, SUCCESS, 0, upgradeNo);
    }
    m_hooks.restartAfterReplies();
}

void CSimConversation::handleReset(const S_ProtocolFrame& frame, const S_ProtocolCommand& command)
{
    const std::uint8_t stage = command.stage;
    const std::uint32_t upgradeNo = frame.upgradeNo;
    if (m_faults.fire(E_SimFaultKind::NO_RESET_ANSWER) != nullptr)
    {
        return;
    }
    if (m_context && m_context->upgradeNo != upgradeNo)
    {
        refuseOutOfSequence(E_SimRequest::RESET_CONTEXT, stage, upgradeNo,
                            reasonByte(E_ProtocolReasonCode::UPGRADE_NO_INVALID));
        return;
    }
    if (m_context &&
        (m_context->phase == E_SimUpgradePhase::FLASHING || m_context->phase == E_SimUpgradePhase::FLASHED ||
         m_context->phase == E_SimUpgradePhase::RESTARTING))
    {
        refuseOutOfSequence(E_SimRequest::RESET_CONTEXT, stage, upgradeNo,
                            reasonByte(E_ProtocolReasonCode::RESET_NOT_ALLOWED));
        return;
    }
    // Without a context there is nothing to drop; confirming keeps an abort idempotent.
    if (m_context)
    {
        m_work.cancel();
        m_context.reset();
        m_pendingVersions.clear();
        ++m_counters.contextResets;
    }
    m_log.event(m_spec.nodeId,
                "upgrade " + std::to_string(upgradeNo) + ": context reset at stage " + simStageName(stage));
    m_replies.ack(E_SimRequest::RESET_CONTEXT, stage, SUCCESS, 0, upgradeNo);
    m_replies.stageReport(E_SimRequest::RESET_CONTEXT, stage, ABORTED, 0,
                          reasonByte(E_ProtocolReasonCode::UPGRADE_CONTEXT_RESET), upgradeNo);
}

// ---- timed work and restart ----

void CSimConversation::sendProgressFlood(E_SimRequest cause, std::uint8_t stage, std::uint32_t upgradeNo,
                                         std::uint32_t count)
{
    const S_ProtocolTargetItem& target = m_context->targets.front();
    for (std::uint32_t index = 0, total = count != 0 ? count : DEFAULT_PROGRESS_FLOOD_COUNT; index < total;
         ++index)
    {
        m_replies.frame(cause, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_PROGRESS), upgradeNo,
                        makeProgress(stage, target.componentType, target.componentIndex,
                                     static_cast<std::uint8_t>(index % 100), 0, "flood"));
    }
}

void CSimConversation::startStageWork(std::uint8_t stage, std::uint32_t upgradeNo, std::uint32_t durationMs,
                                      std::optional<std::uint8_t> failAtPercentage, std::uint8_t failReason,
                                      std::function<void(bool succeeded)> onDone)
{
    const bool flashing = stage == stageByte(E_ProtocolStage::FLASHING);
    const E_SimRequest cause = flashing ? E_SimRequest::START_FLASH : E_SimRequest::PREPARE_UPGRADE;
    CSimTimedWork::S_Job job;
    job.durationMs = durationMs;
    job.failAtPercentage = failAtPercentage;
    job.progress = [this, stage, upgradeNo, cause, flashing](std::uint8_t percentage)
    {
        if (!m_spec.progressReports || !m_context)
        {
            return;
        }
        for (const S_ProtocolTargetItem& target : m_context->targets)
        {
            m_replies.frame(cause, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_PROGRESS), upgradeNo,
                            makeProgress(stage, target.componentType, target.componentIndex, percentage, 0,
                                         flashing ? "flashing" : "preparing"));
        }
    };
    job.finished = [this, stage, upgradeNo, cause, failReason, onDone = std::move(onDone)](
                       bool succeeded, std::uint8_t percentage)
    {
        m_replies.stageReport(cause, stage, succeeded ? SUCCESS : FAILURE, percentage,
                              succeeded ? 0 : failReason, upgradeNo);
        onDone(succeeded);
    };
    m_work.start(std::move(job));
}

void CSimConversation::beginRestart()
{
    m_work.cancel();
    if (m_context)
    {
        m_context->phase = E_SimUpgradePhase::RESTARTING;
    }
}

void CSimConversation::finishRestart()
{
    const std::uint32_t upgradeNo = m_context ? m_context->upgradeNo : 0;
    m_versionsBeforeUpgrade = m_components;
    if (m_faults.fire(E_SimFaultKind::OLD_VERSION_AFTER_RESTART) == nullptr && !m_pendingVersions.empty())
    {
        m_components = m_pendingVersions;
        ++m_counters.upgradesCompleted;
    }
    m_pendingVersions.clear();
    m_lastCompletedUpgradeNo = upgradeNo;
    m_context.reset();
    m_log.event(m_spec.nodeId,
                "restarted after upgrade " + std::to_string(upgradeNo) + ": " + versionsText());
}

void CSimConversation::finishRollback()
{
    // The upgrade number of the last completed upgrade stays: the device went through it.
    m_components = m_versionsBeforeUpgrade;
    m_pendingVersions.clear();
    m_context.reset();
    m_log.event(m_spec.nodeId, "fell back to the versions before upgrade " +
                                   std::to_string(m_lastCompletedUpgradeNo) + ": " + versionsText());
}

void CSimConversation::reportFaultFromNowOn(std::uint8_t reasonCode)
{
    m_faultReason = reasonCode;
}

std::string CSimConversation::versionsText() const
{
    std::string versions;
    for (const S_ProtocolComponentVersion& component : m_components)
    {
        versions += std::string(versions.empty() ? "" : " ") +
                    componentText(component.componentType, component.componentIndex) + "=" +
                    component.version;
    }
    return versions;
}

void CSimConversation::stop()
{
    m_work.cancel();
}

}  // namespace ota::backend
