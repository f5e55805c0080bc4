#include "sim/sim_replies.h"

#include "protocol/device_side_codec.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_fault_rules.h"

#include <algorithm>

namespace ota::backend
{
namespace
{

constexpr std::size_t DEVICE_TYPE_OFFSET = 6;  // magic (4), protocol version (1), message type (1)

}  // namespace

CSimReplies::CSimReplies(const S_SimDeviceSpec& spec, const CSimLog& log, const S_SimDeviceCounters& counters,
                         CSimFaultBook& faults, CSimOutbox& outbox)
    : m_spec(spec), m_log(log), m_counters(counters), m_faults(faults), m_outbox(outbox)
{
}

std::uint8_t CSimReplies::wireDeviceType(E_SimRequest cause)
{
    const S_SimFault* fault =
        m_faults.fire(E_SimFaultKind::WRONG_DEVICE_TYPE, [cause](const S_SimFault& candidate)
                      { return !candidate.request || *candidate.request == cause; });
    if (fault == nullptr)
    {
        return m_spec.deviceType;
    }
    if (fault->deviceType && *fault->deviceType != m_spec.deviceType)
    {
        return *fault->deviceType;
    }
    return static_cast<std::uint8_t>(m_spec.deviceType % 3 + 1);  // EMU -> PCS -> BMS -> EMU
}

void CSimReplies::frame(E_SimRequest cause, std::uint8_t messageType, std::uint32_t upgradeNo,
                        S_ProtocolFrameBody body, std::uint32_t extraDelayMs)
{
    S_ProtocolFrame frame;
    frame.messageType = messageType;
    frame.deviceType = m_spec.deviceType;
    frame.upgradeNo = upgradeNo;
    frame.body = std::move(body);
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!encodeFrame(frame, bytes, error))
    {
        m_log.error(m_spec.nodeId,
                    std::string("cannot encode ") + protocolMessageTypeName(messageType) + ": " + error);
        return;
    }
    // A frame in another device type would not pass the encoder's checks (a status lists the
    // components of its own type), so the fault rewrites the type byte of the finished frame.
    const std::uint8_t deviceType = wireDeviceType(cause);
    if (deviceType != m_spec.deviceType)
    {
        bytes[DEVICE_TYPE_OFFSET] = deviceType;
    }
    m_outbox.send(std::move(bytes), messageType, extraDelayMs);
}

void CSimReplies::garbage(std::uint32_t byteCount)
{
    // A broken header first ("ZZZZ" with protocol version 7) so the peer must resynchronise,
    // then noise without 0x5A so no second candidate appears by accident.
    std::vector<std::uint8_t> bytes = {0x5A, 0x5A, 0x5A, 0x5A, 0x07};
    bytes.resize(std::min<std::size_t>(bytes.size(), byteCount));
    std::uint32_t state = 0x2545F491u ^ static_cast<std::uint32_t>(m_counters.totalFaultsFired());
    while (bytes.size() < byteCount)
    {
        state = state * 1664525u + 1013904223u;
        const auto byte = static_cast<std::uint8_t>(state >> 24);
        bytes.push_back(byte == 0x5A ? 0x00 : byte);
    }
    m_outbox.send(std::move(bytes), 0);
}

void CSimReplies::status(E_SimRequest cause, std::uint32_t upgradeNo, bool upgrading,
                         std::optional<std::uint8_t> faultReason,
                         const std::vector<S_ProtocolComponentVersion>& components)
{
    if (m_faults.fire(E_SimFaultKind::SILENT) != nullptr)
    {
        return;
    }
    std::uint8_t state = toProtocolByte(E_DeviceUpgradeState::READY);
    std::uint8_t reason = 0;
    if (const S_SimFault* busy = m_faults.fire(E_SimFaultKind::BUSY_STATE))
    {
        state = toProtocolByte(E_DeviceUpgradeState::BUSY);
        reason = effectiveReasonCode(*busy);
    }
    else if (const S_SimFault* faulty = m_faults.fire(E_SimFaultKind::FAULT_STATE))
    {
        state = toProtocolByte(E_DeviceUpgradeState::FAULT);
        reason = effectiveReasonCode(*faulty);
    }
    else if (faultReason)
    {
        state = toProtocolByte(E_DeviceUpgradeState::FAULT);
        reason = *faultReason;
    }
    else if (upgrading)
    {
        state = toProtocolByte(E_DeviceUpgradeState::UPGRADING);
    }
    frame(cause, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STATUS), upgradeNo,
          makeDeviceStatus(state, reason, components));
}

void CSimReplies::ack(E_SimRequest cause, std::uint8_t stage, std::uint8_t result, std::uint8_t reasonCode,
                      std::uint32_t upgradeNo)
{
    const auto matches = [cause](const S_SimFault& fault)
    { return !fault.request || *fault.request == cause; };
    if (m_faults.fire(E_SimFaultKind::MISSING_ACK, matches) != nullptr)
    {
        return;
    }
    std::uint8_t ackStage = stage;
    if (const S_SimFault* wrongStage = m_faults.fire(E_SimFaultKind::WRONG_STAGE_ACK, matches))
    {
        ackStage = wrongStage->ackStage.value_or(static_cast<std::uint8_t>((stage + 1) % (MAX_STAGE + 1)));
    }
    std::uint32_t delayMs = 0;
    if (const S_SimFault* late = m_faults.fire(E_SimFaultKind::LATE_ACK, matches))
    {
        delayMs = late->delayMs;
    }
    const std::uint8_t ackType = toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_ACK);
    frame(cause, ackType, upgradeNo, makeDeviceAck(ackStage, result, reasonCode), delayMs);
    if (m_faults.fire(E_SimFaultKind::DUPLICATE_ACK, matches) != nullptr)
    {
        frame(cause, ackType, upgradeNo, makeDeviceAck(ackStage, result, reasonCode));
    }
}

void CSimReplies::stageReport(E_SimRequest cause, std::uint8_t stage, std::uint8_t result,
                              std::uint8_t progress, std::uint8_t reasonCode, std::uint32_t upgradeNo)
{
    frame(cause, toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT), upgradeNo,
          makeStageReport(stage, result, progress, reasonCode));
}

}  // namespace ota::backend
