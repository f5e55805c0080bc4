#pragma once

#include "protocol/protocol_bodies.h"
#include "protocol/protocol_frame.h"
#include "sim/sim_counters.h"
#include "sim/sim_device_spec.h"
#include "sim/sim_fault.h"
#include "sim/sim_fault_book.h"
#include "sim/sim_log.h"
#include "sim/sim_outbox.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace ota::backend
{

// What a device writes, and where its faults bend it: a status that is never sent (SILENT) or
// reports BUSY or FAULT, an ACK that is missing, late, sent twice or names another stage, a
// frame in another device type, garbage bytes. Everything goes through the outbox, so it leaves
// in order after the reply latency. Used on the simulator's event loop only.
class CSimReplies
{
public:
    CSimReplies(const S_SimDeviceSpec& spec, const CSimLog& log, const S_SimDeviceCounters& counters,
                CSimFaultBook& faults, CSimOutbox& outbox);

    // upgrading: an upgrade context of the queried number (any, for number 0) is open;
    // faultReason: the device reports FAULT with it whatever it is doing.
    void status(E_SimRequest cause, std::uint32_t upgradeNo, bool upgrading,
                std::optional<std::uint8_t> faultReason,
                const std::vector<S_ProtocolComponentVersion>& components);
    void ack(E_SimRequest cause, std::uint8_t stage, std::uint8_t result, std::uint8_t reasonCode,
             std::uint32_t upgradeNo);
    void stageReport(E_SimRequest cause, std::uint8_t stage, std::uint8_t result, std::uint8_t progress,
                     std::uint8_t reasonCode, std::uint32_t upgradeNo);
    void frame(E_SimRequest cause, std::uint8_t messageType, std::uint32_t upgradeNo,
               S_ProtocolFrameBody body, std::uint32_t extraDelayMs = 0);
    // A broken header, then noise, so the peer must resynchronise.
    void garbage(std::uint32_t byteCount);

private:
    std::uint8_t wireDeviceType(E_SimRequest cause);

    const S_SimDeviceSpec& m_spec;
    const CSimLog& m_log;
    const S_SimDeviceCounters& m_counters;
    CSimFaultBook& m_faults;
    CSimOutbox& m_outbox;
};

}  // namespace ota::backend
