#pragma once

// Shorthands of the two files of the device conversation (sim_conversation.cpp and
// sim_file_transfer.cpp).

#include "protocol/protocol_enums.h"
#include "sim/sim_fault.h"
#include "sim/sim_upgrade_context.h"

#include <cstdint>

namespace ota::backend::sim_terms
{

constexpr std::uint8_t stageByte(E_ProtocolStage stage)
{
    return toProtocolByte(stage);
}

constexpr std::uint8_t reasonByte(E_ProtocolReasonCode reason)
{
    return toProtocolByte(reason);
}

inline constexpr std::uint8_t SUCCESS = toProtocolByte(E_ProtocolResult::SUCCESS);
inline constexpr std::uint8_t FAILURE = toProtocolByte(E_ProtocolResult::FAILURE);
inline constexpr std::uint8_t ABORTED = toProtocolByte(E_ProtocolResult::ABORTED);

inline const char* phaseName(E_SimUpgradePhase phase)
{
    switch (phase)
    {
        case E_SimUpgradePhase::TARGETS_ACCEPTED:
            return "TARGETS_ACCEPTED";
        case E_SimUpgradePhase::PREPARING:
            return "PREPARING";
        case E_SimUpgradePhase::PREPARED:
            return "PREPARED";
        case E_SimUpgradePhase::AWAITING_FILE_INFO:
            return "AWAITING_FILE_INFO";
        case E_SimUpgradePhase::RECEIVING:
            return "RECEIVING";
        case E_SimUpgradePhase::FILES_VERIFIED:
            return "FILES_VERIFIED";
        case E_SimUpgradePhase::FILES_REJECTED:
            return "FILES_REJECTED";
        case E_SimUpgradePhase::FLASHING:
            return "FLASHING";
        case E_SimUpgradePhase::FLASH_FAILED:
            return "FLASH_FAILED";
        case E_SimUpgradePhase::FLASHED:
            return "FLASHED";
        case E_SimUpgradePhase::RESTARTING:
            return "RESTARTING";
    }
    return "UNKNOWN";
}

// A fault with file and chunk triggers (unset ones match every file or chunk).
inline bool chunkMatches(const S_SimFault& fault, std::uint8_t fileNo, std::uint16_t chunkNo)
{
    return (!fault.fileNo || *fault.fileNo == fileNo) && (!fault.chunkNo || *fault.chunkNo == chunkNo);
}

}  // namespace ota::backend::sim_terms
