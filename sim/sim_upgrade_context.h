#pragma once

#include "protocol/protocol_bodies.h"
#include "sim/sim_hash_worker.h"

#include <cstdint>
#include <memory>
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

// One declared file: the declaration and a running digest. Chunks are never stored (beyond
// the bounded hashing backlog of the device), so a device needs the same memory whatever the
// file size. Dropping a receipt (a new target list, a reset, a restart) abandons the digest, so
// the hash worker skips the chunks of it still queued.
struct S_SimFileReceipt
{
    S_SimFileReceipt() = default;
    S_SimFileReceipt(S_SimFileReceipt&&) noexcept = default;
    S_SimFileReceipt& operator=(S_SimFileReceipt&&) = delete;
    S_SimFileReceipt(const S_SimFileReceipt&) = delete;
    S_SimFileReceipt& operator=(const S_SimFileReceipt&) = delete;
    ~S_SimFileReceipt()
    {
        if (digest)
        {
            digest->abandoned.store(true, std::memory_order_relaxed);
        }
    }

    S_ProtocolFileInfo info;
    std::shared_ptr<S_SimRunningDigest> digest = std::make_shared<S_SimRunningDigest>();
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
