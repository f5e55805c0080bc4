#pragma once

#include "protocol/protocol_enums.h"
#include "protocol/protocol_event.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ota::test
{

// Builders of the events the transport hands to the execution service, one per device-to-tool
// message: the header's upgradeNo and the body of the message. Reason names are those of the
// reason codes, as the protocol adapter gives them.

// A reported component by its identifier ("EMU", "PCS_DSP1", ...).
backend::S_ProtocolEventComponent component(const std::string& componentTypeId, std::uint16_t componentIndex,
                                            const std::string& version);

// upgradeState is the state's name ("READY", "BUSY", "UPGRADING", "FAULT").
backend::S_ProtocolEvent deviceStatus(std::uint32_t upgradeNo, const std::string& upgradeState,
                                      std::uint16_t reasonCode,
                                      const std::vector<backend::S_ProtocolEventComponent>& components);
backend::S_ProtocolEvent ack(std::uint32_t upgradeNo, backend::E_ProtocolStage stage, std::uint8_t result,
                             std::uint16_t reasonCode = 0);
backend::S_ProtocolEvent stageReport(std::uint32_t upgradeNo, backend::E_ProtocolStage stage,
                                     std::uint8_t result, std::uint8_t progress,
                                     std::uint16_t reasonCode = 0);
backend::S_ProtocolEvent chunkReport(std::uint32_t upgradeNo, std::uint8_t fileNo, std::uint16_t chunkNo,
                                     std::uint8_t result, std::uint32_t crc32, std::uint16_t reasonCode = 0);
backend::S_ProtocolEvent verifyReport(std::uint32_t upgradeNo, std::uint8_t fileNo, std::uint8_t result,
                                      std::uint32_t fileSize, const backend::S_ProtocolSha256& sha256,
                                      std::uint16_t reasonCode = 0);
backend::S_ProtocolEvent progress(std::uint32_t upgradeNo, backend::E_ProtocolStage stage,
                                  const std::string& componentTypeId, std::uint16_t componentIndex,
                                  std::uint8_t percentage, const std::string& detailText = {},
                                  std::uint16_t reasonCode = 0);

// The same event as seen from another task: header and status group carry upgradeNo.
backend::S_ProtocolEvent withUpgradeNo(backend::S_ProtocolEvent event, std::uint32_t upgradeNo);

}  // namespace ota::test
