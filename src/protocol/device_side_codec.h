#pragma once

#include "protocol/protocol_bodies.h"
#include "protocol/protocol_frame.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// The device end of an ota-v1 connection (used by the device simulator and by tests): encodes
// the device-to-tool frames and decodes the tool-to-device frames.

// The component list a healthy device of this type reports: EMU -> EMU1; PCS -> DSP1, DSP2,
// FPGA1, ARM1; BMS -> BAU1, BEU1, BCU1..BCU<bmsBcuCount> (6 or 12). Every component gets the
// same version text. An unknown device type gives an empty list.
std::vector<S_ProtocolComponentVersion> standardDeviceComponents(std::uint8_t deviceType,
                                                                 const std::string& version,
                                                                 unsigned bmsBcuCount = 6);

S_ProtocolDeviceStatus makeDeviceStatus(std::uint8_t upgradeState, std::uint8_t reasonCode,
                                        std::vector<S_ProtocolComponentVersion> components);
S_ProtocolDeviceAck makeDeviceAck(std::uint8_t stage, std::uint8_t result, std::uint8_t reasonCode);
S_ProtocolStageReport makeStageReport(std::uint8_t stage, std::uint8_t result, std::uint8_t progress,
                                      std::uint8_t reasonCode);
S_ProtocolFileChunkReport makeFileChunkReport(std::uint8_t fileNo, std::uint16_t chunkNo,
                                              std::uint8_t result, std::uint8_t reasonCode,
                                              std::uint32_t crc32);
S_ProtocolFileVerifyReport makeFileVerifyReport(std::uint8_t fileNo, std::uint8_t result,
                                                std::uint8_t reasonCode, std::uint32_t fileSize,
                                                const S_ProtocolSha256& sha256);
S_ProtocolProgress makeProgress(std::uint8_t stage, std::uint8_t componentType,
                                std::uint8_t componentIndex, std::uint8_t percentage,
                                std::uint8_t reasonCode, std::string detailText);

// Each encodes one complete device-to-tool frame (validated like every frame).
bool encodeDeviceStatusFrame(std::uint8_t deviceType, std::uint32_t upgradeNo,
                             const S_ProtocolDeviceStatus& status, std::vector<std::uint8_t>& bytes,
                             std::string& error);
bool encodeDeviceAckFrame(std::uint8_t deviceType, std::uint32_t upgradeNo, const S_ProtocolDeviceAck& ack,
                          std::vector<std::uint8_t>& bytes, std::string& error);
bool encodeStageReportFrame(std::uint8_t deviceType, std::uint32_t upgradeNo,
                            const S_ProtocolStageReport& report, std::vector<std::uint8_t>& bytes,
                            std::string& error);
bool encodeFileChunkReportFrame(std::uint8_t deviceType, std::uint32_t upgradeNo,
                                const S_ProtocolFileChunkReport& report, std::vector<std::uint8_t>& bytes,
                                std::string& error);
bool encodeFileVerifyReportFrame(std::uint8_t deviceType, std::uint32_t upgradeNo,
                                 const S_ProtocolFileVerifyReport& report,
                                 std::vector<std::uint8_t>& bytes, std::string& error);
bool encodeProgressFrame(std::uint8_t deviceType, std::uint32_t upgradeNo, const S_ProtocolProgress& progress,
                         std::vector<std::uint8_t>& bytes, std::string& error);

struct S_DeviceSideDecodeResult
{
    std::vector<S_ProtocolFrame> frames;  // tool-to-device frames, stream order
    std::vector<std::string> errors;      // scanner errors first, then direction errors
    std::uint64_t discardedByteCount = 0;
};

// Receive side of a device: keeps the connection's receive buffer between reads. Frames are
// returned whatever their device type, so the device itself decides how to answer a frame that
// names another device type. Not thread-safe; one per connection.
class CDeviceSideFrameDecoder
{
public:
    // Frames of device-to-tool types are dropped with the error
    // "Inbound frame direction is invalid: <name> is device-to-OTA-tool only".
    S_DeviceSideDecodeResult decode(const std::uint8_t* data, std::size_t size);
    void reset();
    std::size_t bufferedByteCount() const { return m_receiveBuffer.size(); }

private:
    std::vector<std::uint8_t> m_receiveBuffer;
};

}  // namespace ota::backend
