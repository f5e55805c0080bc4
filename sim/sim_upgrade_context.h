#pragma once

#include "common/digest.h"
#include "protocol/protocol_bodies.h"

#include <cstdint>
#include <vector>

namespace ota::backend
{

// Where a device's upgrade conversation stands; each command is accepted in one phase only.
enum class E_SimUpgradePhase : std::uint8_t
{
    TARGETS_ACCEPTED,
    PREPARING,
    PREPARED,
    AWAITING_FILE_INFO,
    RECEIVING,
    FILES_VERIFIED,
    FILES_REJECTED,
    FLASHING,
    FLASH_FAILED,
    FLASHED,
    RESTARTING,
};

// One declared file: the declaration and a running digest. Chunks are never stored, so a
// device needs the same memory whatever the file size.
struct S_SimFileReceipt
{
    S_ProtocolFileInfo info;
    CSha256 digest;
    std::uint64_t receivedBytes = 0;
    std::uint32_t nextChunkNo = 0;
    bool spoiled = false;                     // a chunk arrived out of order or failed its CRC
};

struct S_SimUpgradeContext
{
    std::uint32_t upgradeNo = 0;
    std::vector<S_ProtocolTargetItem> targets;
    E_SimUpgradePhase phase = E_SimUpgradePhase::TARGETS_ACCEPTED;
    std::uint16_t declaredFileCount = 0;
    std::vector<S_SimFileReceipt> files;      // declaration order
};

}  // namespace ota::backend
