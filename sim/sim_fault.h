#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ota::backend
{

// Every misbehaviour the simulator can play. The scenario file names them by these enumerator
// texts (sim/README.md documents each one).
enum class E_SimFaultKind : std::uint8_t
{
    SILENT,
    BUSY_STATE,
    FAULT_STATE,
    WRONG_DEVICE_TYPE,
    REFUSE_TARGET_LIST,
    REFUSE_COMMAND,
    MISSING_ACK,
    DUPLICATE_ACK,
    LATE_ACK,
    WRONG_STAGE_ACK,
    WRONG_CHUNK_CRC,
    CHUNK_REPORT_FAILURE,
    WRONG_FILE_DIGEST,
    WRONG_FILE_SIZE,
    STAGE_FAILURE,
    FLASH_FAILURE,
    RESTART_WITHOUT_ACK,
    OLD_VERSION_AFTER_RESTART,
    DISCONNECT,
    NO_RESET_ANSWER,
    PROGRESS_FLOOD,
    GARBAGE_BYTES,
    FAULT_AFTER_RESTART,
    ROLLBACK_AFTER_RESTART,
    DISCONNECT_AFTER_RESTART,
};
inline constexpr std::size_t SIM_FAULT_KIND_COUNT =
    static_cast<std::size_t>(E_SimFaultKind::DISCONNECT_AFTER_RESTART) + 1;

// What a device is asked or does, as the trigger of a fault: the frame that arrives, or
// CONNECT for the moment a connection has been accepted.
enum class E_SimRequest : std::uint8_t
{
    CONNECT,
    STATUS_QUERY,
    TARGET_LIST,
    PREPARE_UPGRADE,
    START_TRANSFER,
    FILE_INFO,
    FILE_CHUNK,
    FINISH_TRANSFER,
    START_FLASH,
    RESTART_VERIFY,
    RESET_CONTEXT,
};

// One configured fault. Only the fields that apply to the kind are set (checked by
// validateSimFault); an unset trigger field matches everything.
struct S_SimFault
{
    E_SimFaultKind kind = E_SimFaultKind::SILENT;
    std::optional<E_SimRequest> request;     // trigger: the request being answered
    std::optional<std::uint8_t> stage;       // trigger or target stage (E_ProtocolStage)
    std::optional<std::uint8_t> fileNo;      // trigger: file of a chunk or verify report
    std::optional<std::uint16_t> chunkNo;    // trigger: chunk number
    std::uint8_t reasonCode = 0;             // 0: the kind's default reason
    std::uint32_t delayMs = 0;               // LATE_ACK; FAULT_, ROLLBACK_, DISCONNECT_AFTER_RESTART
    std::optional<std::uint8_t> ackStage;    // WRONG_STAGE_ACK: the stage written in the ACK
    std::optional<std::uint8_t> deviceType;  // WRONG_DEVICE_TYPE: the type written in frames
    std::uint32_t count = 0;                 // PROGRESS_FLOOD frames, GARBAGE_BYTES bytes
    std::uint8_t percentage = 50;            // FLASH_FAILURE: progress where flashing stops
    std::uint32_t times = 0;                 // firings before the fault retires; 0 = no limit
};

const char* simFaultKindName(E_SimFaultKind kind);
bool simFaultKindFromName(std::string_view name, E_SimFaultKind& kind);
const char* simRequestName(E_SimRequest request);
bool simRequestFromName(std::string_view name, E_SimRequest& request);

// Stage enumerator texts ("CONNECTION_SYNC" .. "RESTART_VERIFICATION") of the scenario file.
const char* simStageName(std::uint8_t stage);
bool simStageFromName(std::string_view name, std::uint8_t& stage);

// The reason code a kind uses when none is configured.
std::uint8_t defaultReasonCode(E_SimFaultKind kind);
// The reason code in effect for this fault.
std::uint8_t effectiveReasonCode(const S_SimFault& fault);

// Checks the combination of fields of a fault built through the library API (the scenario
// parser applies the same rules with located messages).
bool validateSimFault(const S_SimFault& fault, std::string& error);

// One-line description for logs: "LATE_ACK request=START_FLASH delayMs=2000".
std::string describeSimFault(const S_SimFault& fault);

}  // namespace ota::backend
