#include "sim/sim_test_support.h"

#include "common/digest.h"
#include "protocol/device_side_codec.h"

#include <gtest/gtest.h>

namespace ota::test
{

using namespace ota::backend;

S_ProtocolFileInfo S_TestFirmware::info() const
{
    S_ProtocolFileInfo result;
    result.fileNo = fileNo;
    result.fileName = "firmware-" + std::to_string(fileNo) + ".bin";
    result.fileSize = static_cast<std::uint32_t>(bytes.size());
    result.chunkSize = chunkSize;
    result.totalChunks = totalChunks();
    result.sha256 = CSha256::digestOf(bytes.data(), bytes.size());
    return result;
}

std::uint16_t S_TestFirmware::totalChunks() const
{
    return static_cast<std::uint16_t>((bytes.size() + chunkSize - 1) / chunkSize);
}

S_ProtocolFileChunk S_TestFirmware::chunk(std::uint16_t chunkNo) const
{
    S_ProtocolFileChunk result;
    result.fileNo = fileNo;
    result.chunkNo = chunkNo;
    result.totalChunks = totalChunks();
    const std::size_t offset = std::size_t{chunkNo} * chunkSize;
    const std::size_t length = std::min<std::size_t>(chunkSize, bytes.size() - offset);
    result.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
    result.crc32 = crc32Of(result.data.data(), result.data.size());
    return result;
}

S_TestFirmware makeFirmware(std::uint8_t fileNo, std::size_t size, std::uint16_t chunkSize)
{
    S_TestFirmware firmware;
    firmware.fileNo = fileNo;
    firmware.chunkSize = chunkSize;
    firmware.bytes.resize(size);
    std::uint32_t state = 0x9E3779B9u * fileNo;
    for (std::uint8_t& byte : firmware.bytes)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return firmware;
}

S_SimDeviceSpec quickDevice(const std::string& nodeId, E_ProtocolDeviceType type, unsigned bcuCount)
{
    S_SimDeviceSpec spec;
    spec.nodeId = nodeId;
    spec.nodeName = nodeId;
    spec.deviceType = toProtocolByte(type);
    spec.address = "127.0.0.1";
    spec.port = 0;
    spec.bmsBcuCount = bcuCount;
    spec.timings.preparationMs = 20;
    spec.timings.flashMs = 40;
    spec.timings.rebootMs = 100;
    spec.timings.progressIntervalMs = 10;
    return spec;
}

const char* nodeTypeText(std::uint8_t deviceType)
{
    return protocolDeviceTypeName(deviceType);
}

S_ProtocolTargetList allTargets(std::uint8_t deviceType, const std::string& version, unsigned bcuCount)
{
    S_ProtocolTargetList list;
    std::uint8_t targetNo = 1;
    for (const S_ProtocolComponentVersion& component : standardDeviceComponents(deviceType, "x", bcuCount))
    {
        list.targets.push_back(
            {targetNo++, componentTypeIdentifier(component.componentType), component.componentIndex, false, version});
    }
    return list;
}

std::optional<S_ProtocolEvent> CUpgradeSteps::next()
{
    return m_client.nextNonProgress();
}

std::optional<S_ProtocolEvent> CUpgradeSteps::status()
{
    return m_client.queryStatus(m_upgradeNo) ? next() : std::nullopt;
}

std::optional<S_ProtocolEvent> CUpgradeSteps::targets(const S_ProtocolTargetList& list)
{
    return m_client.targetList(m_upgradeNo, list) ? next() : std::nullopt;
}

std::optional<S_ProtocolEvent> CUpgradeSteps::command(E_ProtocolCommandType type, E_ProtocolStage stage,
                                                      std::uint16_t param)
{
    return m_client.command(m_upgradeNo, toProtocolByte(type), toProtocolByte(stage), param) ? next() : std::nullopt;
}

std::optional<S_ProtocolEvent> CUpgradeSteps::declare(const std::vector<S_TestFirmware>& files)
{
    for (const S_TestFirmware& file : files)
    {
        if (!m_client.fileInfo(m_upgradeNo, file.info()))
        {
            return std::nullopt;
        }
    }
    return next();
}

std::optional<S_ProtocolEvent> CUpgradeSteps::chunk(const S_TestFirmware& file, std::uint16_t chunkNo)
{
    return m_client.fileChunk(m_upgradeNo, file.chunk(chunkNo)) ? next() : std::nullopt;
}

bool CUpgradeSteps::reachTransfer(const S_ProtocolTargetList& list, const std::vector<S_TestFirmware>& files)
{
    return isAck(targets(list), E_ProtocolStage::PREPARATION) &&
           isAck(command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                 E_ProtocolStage::PREPARATION) &&
           isStageReport(next(), E_ProtocolStage::PREPARATION) &&
           isAck(command(E_ProtocolCommandType::START_TRANSFER, E_ProtocolStage::FILE_TRANSFER,
                         static_cast<std::uint16_t>(files.size())),
                 E_ProtocolStage::FILE_TRANSFER) &&
           isAck(declare(files), E_ProtocolStage::FILE_TRANSFER);
}

bool CUpgradeSteps::transferAll(const std::vector<S_TestFirmware>& files)
{
    for (const S_TestFirmware& file : files)
    {
        for (std::uint16_t chunkNo = 0; chunkNo < file.totalChunks(); ++chunkNo)
        {
            const auto report = chunk(file, chunkNo);
            if (!report || !report->fileChunkReport() || report->fileChunkReport()->result != 1 ||
                report->fileChunkReport()->chunkNo != chunkNo ||
                report->fileChunkReport()->crc32 != file.chunk(chunkNo).crc32)
            {
                ADD_FAILURE() << "chunk " << chunkNo << " of file " << int{file.fileNo} << " not acknowledged";
                return false;
            }
        }
    }
    return true;
}

bool CUpgradeSteps::finishTransfer(std::size_t fileCount, std::vector<S_ProtocolEvent>& verifyReports,
                                   S_ProtocolEvent& stageReport)
{
    if (!isAck(command(E_ProtocolCommandType::FINISH_TRANSFER, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION),
               E_ProtocolStage::FILE_RECEIPT_CONFIRMATION))
    {
        return false;
    }
    verifyReports.clear();
    for (std::size_t index = 0; index < fileCount; ++index)
    {
        const auto report = next();
        if (!report || !report->fileVerifyReport())
        {
            return false;
        }
        verifyReports.push_back(*report);
    }
    const auto report = next();
    if (!report || !report->stageReport())
    {
        return false;
    }
    stageReport = *report;
    return true;
}

bool CUpgradeSteps::flash()
{
    return isAck(command(E_ProtocolCommandType::START_FLASH, E_ProtocolStage::FLASHING), E_ProtocolStage::FLASHING) &&
           isStageReport(next(), E_ProtocolStage::FLASHING);
}

bool isAck(const std::optional<S_ProtocolEvent>& event, E_ProtocolStage stage, std::uint8_t result)
{
    return event && event->ack() && event->ack()->stage == toProtocolByte(stage) &&
           event->ack()->result == result;
}

bool isStageReport(const std::optional<S_ProtocolEvent>& event, E_ProtocolStage stage, std::uint8_t result)
{
    return event && event->stageReport() && event->stageReport()->stage == toProtocolByte(stage) &&
           event->stageReport()->result == result;
}

void startSimulator(CDeviceSimulator& simulator, std::vector<S_SimDeviceSpec> devices)
{
    std::string error;
    ASSERT_TRUE(simulator.start(std::move(devices), error)) << error;
}

}  // namespace ota::test
