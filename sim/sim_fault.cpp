#include "sim/sim_fault.h"

#include "protocol/protocol_enums.h"
#include "sim/sim_fault_rules.h"

#include <array>

namespace ota::backend
{
namespace
{

constexpr std::array<const char*, SIM_FAULT_KIND_COUNT> FAULT_KIND_NAMES = {
    "SILENT",
    "BUSY_STATE",
    "FAULT_STATE",
    "WRONG_DEVICE_TYPE",
    "REFUSE_TARGET_LIST",
    "REFUSE_COMMAND",
    "MISSING_ACK",
    "DUPLICATE_ACK",
    "LATE_ACK",
    "WRONG_STAGE_ACK",
    "WRONG_CHUNK_CRC",
    "CHUNK_REPORT_FAILURE",
    "WRONG_FILE_DIGEST",
    "WRONG_FILE_SIZE",
    "STAGE_FAILURE",
    "FLASH_FAILURE",
    "RESTART_WITHOUT_ACK",
    "OLD_VERSION_AFTER_RESTART",
    "DISCONNECT",
    "NO_RESET_ANSWER",
    "PROGRESS_FLOOD",
    "GARBAGE_BYTES",
    "FAULT_AFTER_RESTART",
    "ROLLBACK_AFTER_RESTART",
    "DISCONNECT_AFTER_RESTART",
};

constexpr std::array<const char*, 11> REQUEST_NAMES = {
    "CONNECT",    "STATUS_QUERY",    "TARGET_LIST", "PREPARE_UPGRADE", "START_TRANSFER", "FILE_INFO",
    "FILE_CHUNK", "FINISH_TRANSFER", "START_FLASH", "RESTART_VERIFY",  "RESET_CONTEXT",
};

constexpr std::array<const char*, 7> STAGE_NAMES = {
    "CONNECTION_SYNC",           "STATUS_SYNCED", "PREPARATION",          "FILE_TRANSFER",
    "FILE_RECEIPT_CONFIRMATION", "FLASHING",      "RESTART_VERIFICATION",
};

constexpr std::array<E_SimFaultField, 10> ALL_FIELDS = {
    FIELD_REQUEST,  FIELD_STAGE,     FIELD_FILE_NO,     FIELD_CHUNK_NO, FIELD_REASON_CODE,
    FIELD_DELAY_MS, FIELD_ACK_STAGE, FIELD_DEVICE_TYPE, FIELD_COUNT,    FIELD_PERCENTAGE,
};

bool isAckedRequest(E_SimRequest request)
{
    return request != E_SimRequest::CONNECT && request != E_SimRequest::STATUS_QUERY &&
           request != E_SimRequest::FILE_CHUNK;
}

bool isFieldSet(const S_SimFault& fault, E_SimFaultField field)
{
    switch (field)
    {
        case FIELD_REQUEST:
            return fault.request.has_value();
        case FIELD_STAGE:
            return fault.stage.has_value();
        case FIELD_FILE_NO:
            return fault.fileNo.has_value();
        case FIELD_CHUNK_NO:
            return fault.chunkNo.has_value();
        case FIELD_REASON_CODE:
            return fault.reasonCode != 0;
        case FIELD_DELAY_MS:
            return fault.delayMs != 0;
        case FIELD_ACK_STAGE:
            return fault.ackStage.has_value();
        case FIELD_DEVICE_TYPE:
            return fault.deviceType.has_value();
        case FIELD_COUNT:
            return fault.count != 0;
        case FIELD_PERCENTAGE:
            return fault.percentage != 50;
    }
    return false;
}

}  // namespace

const char* simFaultKindName(E_SimFaultKind kind)
{
    const auto index = static_cast<std::size_t>(kind);
    return index < FAULT_KIND_NAMES.size() ? FAULT_KIND_NAMES[index] : "UNKNOWN_FAULT";
}

bool simFaultKindFromName(std::string_view name, E_SimFaultKind& kind)
{
    for (std::size_t index = 0; index < FAULT_KIND_NAMES.size(); ++index)
    {
        if (name == FAULT_KIND_NAMES[index])
        {
            kind = static_cast<E_SimFaultKind>(index);
            return true;
        }
    }
    return false;
}

const char* simRequestName(E_SimRequest request)
{
    const auto index = static_cast<std::size_t>(request);
    return index < REQUEST_NAMES.size() ? REQUEST_NAMES[index] : "UNKNOWN_REQUEST";
}

bool simRequestFromName(std::string_view name, E_SimRequest& request)
{
    for (std::size_t index = 0; index < REQUEST_NAMES.size(); ++index)
    {
        if (name == REQUEST_NAMES[index])
        {
            request = static_cast<E_SimRequest>(index);
            return true;
        }
    }
    return false;
}

const char* simStageName(std::uint8_t stage)
{
    return stage < STAGE_NAMES.size() ? STAGE_NAMES[stage] : "UNKNOWN_STAGE";
}

bool simStageFromName(std::string_view name, std::uint8_t& stage)
{
    for (std::size_t index = 0; index < STAGE_NAMES.size(); ++index)
    {
        if (name == STAGE_NAMES[index])
        {
            stage = static_cast<std::uint8_t>(index);
            return true;
        }
    }
    return false;
}

S_SimFaultFieldRule simFaultFieldRule(E_SimFaultKind kind)
{
    switch (kind)
    {
        case E_SimFaultKind::SILENT:
        case E_SimFaultKind::RESTART_WITHOUT_ACK:
        case E_SimFaultKind::OLD_VERSION_AFTER_RESTART:
        case E_SimFaultKind::NO_RESET_ANSWER:
            return {};
        case E_SimFaultKind::BUSY_STATE:
        case E_SimFaultKind::FAULT_STATE:
        case E_SimFaultKind::REFUSE_TARGET_LIST:
            return {FIELD_REASON_CODE, 0};
        case E_SimFaultKind::WRONG_DEVICE_TYPE:
            return {FIELD_REQUEST | FIELD_DEVICE_TYPE, 0};
        case E_SimFaultKind::REFUSE_COMMAND:
            return {FIELD_REQUEST | FIELD_REASON_CODE, FIELD_REQUEST};
        case E_SimFaultKind::MISSING_ACK:
        case E_SimFaultKind::DUPLICATE_ACK:
            return {FIELD_REQUEST, 0};
        case E_SimFaultKind::LATE_ACK:
            return {FIELD_REQUEST | FIELD_DELAY_MS, FIELD_DELAY_MS};
        case E_SimFaultKind::WRONG_STAGE_ACK:
            return {FIELD_REQUEST | FIELD_ACK_STAGE, 0};
        case E_SimFaultKind::WRONG_CHUNK_CRC:
            return {FIELD_FILE_NO | FIELD_CHUNK_NO, 0};
        case E_SimFaultKind::CHUNK_REPORT_FAILURE:
            return {FIELD_FILE_NO | FIELD_CHUNK_NO | FIELD_REASON_CODE, 0};
        case E_SimFaultKind::WRONG_FILE_DIGEST:
        case E_SimFaultKind::WRONG_FILE_SIZE:
            return {FIELD_FILE_NO, 0};
        case E_SimFaultKind::STAGE_FAILURE:
            return {FIELD_STAGE | FIELD_FILE_NO | FIELD_CHUNK_NO | FIELD_REASON_CODE, FIELD_STAGE};
        case E_SimFaultKind::FLASH_FAILURE:
            return {FIELD_PERCENTAGE | FIELD_REASON_CODE, 0};
        case E_SimFaultKind::DISCONNECT:
            return {FIELD_REQUEST | FIELD_FILE_NO | FIELD_CHUNK_NO, FIELD_REQUEST};
        case E_SimFaultKind::PROGRESS_FLOOD:
            return {FIELD_STAGE | FIELD_COUNT, 0};
        case E_SimFaultKind::GARBAGE_BYTES:
            return {FIELD_REQUEST | FIELD_COUNT, 0};
        case E_SimFaultKind::FAULT_AFTER_RESTART:
            return {FIELD_DELAY_MS | FIELD_REASON_CODE, FIELD_DELAY_MS};
        case E_SimFaultKind::ROLLBACK_AFTER_RESTART:
        case E_SimFaultKind::DISCONNECT_AFTER_RESTART:
            return {FIELD_DELAY_MS, FIELD_DELAY_MS};
    }
    return {};
}

const char* simFaultFieldKey(E_SimFaultField field)
{
    switch (field)
    {
        case FIELD_REQUEST:
            return "request";
        case FIELD_STAGE:
            return "stage";
        case FIELD_FILE_NO:
            return "fileNo";
        case FIELD_CHUNK_NO:
            return "chunkNo";
        case FIELD_REASON_CODE:
            return "reasonCode";
        case FIELD_DELAY_MS:
            return "delayMs";
        case FIELD_ACK_STAGE:
            return "ackStage";
        case FIELD_DEVICE_TYPE:
            return "deviceType";
        case FIELD_COUNT:
            return "count";
        case FIELD_PERCENTAGE:
            return "percentage";
    }
    return "unknown";
}

bool isRequestAllowedForFault(E_SimFaultKind kind, E_SimRequest request)
{
    switch (kind)
    {
        case E_SimFaultKind::REFUSE_COMMAND:
            // The target list has its own fault; the status query is not acknowledged.
            return isAckedRequest(request) && request != E_SimRequest::TARGET_LIST;
        case E_SimFaultKind::MISSING_ACK:
        case E_SimFaultKind::DUPLICATE_ACK:
        case E_SimFaultKind::LATE_ACK:
        case E_SimFaultKind::WRONG_STAGE_ACK:
            return isAckedRequest(request);
        case E_SimFaultKind::WRONG_DEVICE_TYPE:
        case E_SimFaultKind::DISCONNECT:
        case E_SimFaultKind::GARBAGE_BYTES:
            return true;
        default:
            return false;
    }
}

bool isStageAllowedForFault(E_SimFaultKind kind, std::uint8_t stage)
{
    const auto is = [stage](E_ProtocolStage wanted) { return stage == toProtocolByte(wanted); };
    switch (kind)
    {
        case E_SimFaultKind::STAGE_FAILURE:
            return is(E_ProtocolStage::PREPARATION) || is(E_ProtocolStage::FILE_TRANSFER) ||
                   is(E_ProtocolStage::FILE_RECEIPT_CONFIRMATION) || is(E_ProtocolStage::FLASHING) ||
                   is(E_ProtocolStage::RESTART_VERIFICATION);
        case E_SimFaultKind::PROGRESS_FLOOD:
            return is(E_ProtocolStage::PREPARATION) || is(E_ProtocolStage::FLASHING);
        default:
            return false;
    }
}

std::uint8_t defaultReasonCode(E_SimFaultKind kind)
{
    switch (kind)
    {
        case E_SimFaultKind::BUSY_STATE:
            return toProtocolByte(E_ProtocolReasonCode::DEVICE_BUSY);
        case E_SimFaultKind::REFUSE_TARGET_LIST:
            return toProtocolByte(E_ProtocolReasonCode::UNSUPPORTED_COMPONENT);
        case E_SimFaultKind::CHUNK_REPORT_FAILURE:
            return toProtocolByte(E_ProtocolReasonCode::CHUNK_CRC32_MISMATCH);
        case E_SimFaultKind::FLASH_FAILURE:
            return toProtocolByte(E_ProtocolReasonCode::FLASH_FAILED);
        default:
            return toProtocolByte(E_ProtocolReasonCode::INTERNAL_ERROR);
    }
}

std::uint8_t effectiveReasonCode(const S_SimFault& fault)
{
    return fault.reasonCode != 0 ? fault.reasonCode : defaultReasonCode(fault.kind);
}

bool validateSimFault(const S_SimFault& fault, std::string& error)
{
    error.clear();
    const std::string name = simFaultKindName(fault.kind);
    if (static_cast<std::size_t>(fault.kind) >= SIM_FAULT_KIND_COUNT)
    {
        error = "Fault kind is unknown";
        return false;
    }
    const S_SimFaultFieldRule rule = simFaultFieldRule(fault.kind);
    for (const E_SimFaultField field : ALL_FIELDS)
    {
        const bool set = isFieldSet(fault, field);
        if (set && (rule.allowed & field) == 0)
        {
            error = std::string("Fault ") + name + " does not take " + simFaultFieldKey(field);
            return false;
        }
        if (!set && (rule.required & field) != 0)
        {
            error = std::string("Fault ") + name + " needs " + simFaultFieldKey(field);
            return false;
        }
    }
    if (fault.request && !isRequestAllowedForFault(fault.kind, *fault.request))
    {
        error = std::string("Fault ") + name + " cannot be triggered by request " +
                simRequestName(*fault.request);
        return false;
    }
    if (fault.stage && !isStageAllowedForFault(fault.kind, *fault.stage))
    {
        error = std::string("Fault ") + name + " does not apply to stage " + simStageName(*fault.stage);
        return false;
    }
    if (fault.kind == E_SimFaultKind::STAGE_FAILURE && (fault.fileNo || fault.chunkNo) &&
        fault.stage != toProtocolByte(E_ProtocolStage::FILE_TRANSFER))
    {
        error = "Fault STAGE_FAILURE takes fileNo and chunkNo only for stage FILE_TRANSFER";
        return false;
    }
    if (fault.kind == E_SimFaultKind::DISCONNECT && (fault.fileNo || fault.chunkNo) &&
        fault.request != E_SimRequest::FILE_CHUNK)
    {
        error = "Fault DISCONNECT takes fileNo and chunkNo only for request FILE_CHUNK";
        return false;
    }
    if (fault.fileNo && (*fault.fileNo < 1 || *fault.fileNo > MAX_FILE_NO))
    {
        error = "Fault fileNo must be 1..32";
        return false;
    }
    if (fault.reasonCode > MAX_REASON_CODE)
    {
        error = "Fault reasonCode must be 1..19";
        return false;
    }
    if (fault.delayMs > MAX_FAULT_DELAY_MS)
    {
        error = "Fault delayMs must be 1..600000";
        return false;
    }
    if (fault.ackStage && *fault.ackStage > MAX_STAGE)
    {
        error = "Fault ackStage must be a stage";
        return false;
    }
    if (fault.deviceType && (*fault.deviceType < 1 || *fault.deviceType > 3))
    {
        error = "Fault deviceType must be EMU, PCS or BMS";
        return false;
    }
    if (fault.kind == E_SimFaultKind::PROGRESS_FLOOD && fault.count > MAX_PROGRESS_FLOOD_COUNT)
    {
        error = "Fault PROGRESS_FLOOD count must be 1..100000";
        return false;
    }
    if (fault.kind == E_SimFaultKind::GARBAGE_BYTES && fault.count > MAX_GARBAGE_BYTE_COUNT)
    {
        error = "Fault GARBAGE_BYTES count must be 1..65536";
        return false;
    }
    if (fault.percentage > 100)
    {
        error = "Fault percentage must be 0..100";
        return false;
    }
    return true;
}

std::string describeSimFault(const S_SimFault& fault)
{
    std::string text = simFaultKindName(fault.kind);
    if (fault.request)
    {
        text += std::string(" request=") + simRequestName(*fault.request);
    }
    if (fault.stage)
    {
        text += std::string(" stage=") + simStageName(*fault.stage);
    }
    if (fault.fileNo)
    {
        text += " fileNo=" + std::to_string(*fault.fileNo);
    }
    if (fault.chunkNo)
    {
        text += " chunkNo=" + std::to_string(*fault.chunkNo);
    }
    if (fault.reasonCode != 0)
    {
        text += std::string(" reason=") + protocolReasonCodeName(fault.reasonCode);
    }
    if (fault.delayMs != 0)
    {
        text += " delayMs=" + std::to_string(fault.delayMs);
    }
    if (fault.ackStage)
    {
        text += std::string(" ackStage=") + simStageName(*fault.ackStage);
    }
    if (fault.deviceType)
    {
        text += std::string(" deviceType=") + protocolDeviceTypeName(*fault.deviceType);
    }
    if (fault.count != 0)
    {
        text += " count=" + std::to_string(fault.count);
    }
    if (fault.kind == E_SimFaultKind::FLASH_FAILURE)
    {
        text += " percentage=" + std::to_string(fault.percentage);
    }
    if (fault.times != 0)
    {
        text += " times=" + std::to_string(fault.times);
    }
    return text;
}

}  // namespace ota::backend
