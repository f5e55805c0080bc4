#pragma once

#include "protocol/protocol_bodies.h"
#include "protocol/protocol_enums.h"
#include "protocol/protocol_event.h"
#include "sim/device_simulator.h"
#include "sim/sim_test_client.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ota::test
{

constexpr std::uint8_t stageOf(ota::backend::E_ProtocolStage stage)
{
    return ota::backend::toProtocolByte(stage);
}
constexpr std::uint8_t commandOf(ota::backend::E_ProtocolCommandType command)
{
    return ota::backend::toProtocolByte(command);
}

// A firmware image with deterministic content and its declaration.
struct S_TestFirmware
{
    std::uint8_t fileNo = 1;
    std::vector<std::uint8_t> bytes;
    std::uint16_t chunkSize = 4096;

    ota::backend::S_ProtocolFileInfo info() const;
    std::uint16_t totalChunks() const;
    ota::backend::S_ProtocolFileChunk chunk(std::uint16_t chunkNo) const;
};
S_TestFirmware makeFirmware(std::uint8_t fileNo, std::size_t size, std::uint16_t chunkSize);

// A device on an ephemeral loopback port with short timings, so tests run fast.
ota::backend::S_SimDeviceSpec quickDevice(const std::string& nodeId, ota::backend::E_ProtocolDeviceType type,
                                          unsigned bcuCount = 6);
const char* nodeTypeText(std::uint8_t deviceType);

// Every component of the device type, targeted to the given version.
ota::backend::S_ProtocolTargetList allTargets(std::uint8_t deviceType, const std::string& version, unsigned bcuCount = 6);

// Steps of the backend's upgrade conversation; each sends one request and returns the next
// answer that is not a progress report (nullopt: none within the bound).
class CUpgradeSteps
{
public:
    CUpgradeSteps(CSimTestClient& client, std::uint32_t upgradeNo) : m_client(client), m_upgradeNo(upgradeNo) {}

    std::optional<ota::backend::S_ProtocolEvent> status();
    std::optional<ota::backend::S_ProtocolEvent> targets(const ota::backend::S_ProtocolTargetList& list);
    std::optional<ota::backend::S_ProtocolEvent> command(ota::backend::E_ProtocolCommandType type,
                                                         ota::backend::E_ProtocolStage stage, std::uint16_t param = 0);
    std::optional<ota::backend::S_ProtocolEvent> declare(const std::vector<S_TestFirmware>& files);
    std::optional<ota::backend::S_ProtocolEvent> chunk(const S_TestFirmware& file, std::uint16_t chunkNo);
    std::optional<ota::backend::S_ProtocolEvent> next();

    // Target list, preparation, transfer announcement and declarations, all accepted.
    bool reachTransfer(const ota::backend::S_ProtocolTargetList& list, const std::vector<S_TestFirmware>& files);
    // Every chunk of every file, each acknowledged with its own CRC-32.
    bool transferAll(const std::vector<S_TestFirmware>& files);
    // FINISH_TRANSFER: ACK, then one verify report per file and the stage report.
    bool finishTransfer(std::size_t fileCount, std::vector<ota::backend::S_ProtocolEvent>& verifyReports,
                        ota::backend::S_ProtocolEvent& stageReport);
    // START_FLASH accepted and flashing reported successful.
    bool flash();

private:
    CSimTestClient& m_client;
    std::uint32_t m_upgradeNo;
};

bool isAck(const std::optional<ota::backend::S_ProtocolEvent>& event, ota::backend::E_ProtocolStage stage,
           std::uint8_t result = 1);
bool isStageReport(const std::optional<ota::backend::S_ProtocolEvent>& event, ota::backend::E_ProtocolStage stage,
                   std::uint8_t result = 1);

// Starts a quiet simulator with the given devices or fails the test.
void startSimulator(ota::backend::CDeviceSimulator& simulator, std::vector<ota::backend::S_SimDeviceSpec> devices);

}  // namespace ota::test
