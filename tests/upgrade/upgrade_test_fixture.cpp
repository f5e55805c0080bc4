#include "upgrade/upgrade_test_fixture.h"

#include "upgrade/device_event_builders.h"

#include "common/digest.h"
#include "support/wait_until.h"

#include <filesystem>
#include <stdexcept>

namespace ota::test
{

using backend::E_DeviceConnectionState;
using nlohmann::json;

CSnapshotBuilder::CSnapshotBuilder(const CTempDirectory& directory, std::uint32_t upgradeNo,
                                   std::string upgradeId)
    : m_directory(directory)
{
    m_snapshot.upgradeNo = upgradeNo;
    m_snapshot.upgradeId = std::move(upgradeId);
    m_snapshot.sceneGeneration = 1;
    m_snapshot.createdAt = 1'700'000'000'000;
}

const backend::S_FirmwareFileInfo& CSnapshotBuilder::addFile(std::uint8_t fileNo, const std::string& fileName,
                                                             const std::string& bytes,
                                                             std::uint16_t chunkSize,
                                                             const std::string& targetVersion)
{
    const auto path =
        m_directory.writeFile("task" + std::to_string(m_snapshot.upgradeNo) + "/" + fileName, bytes);
    backend::S_FirmwareFileInfo file;
    file.fileNo = fileNo;
    file.fileSlotKey = "slot" + std::to_string(fileNo);
    file.filePath = std::filesystem::canonical(path);
    file.fileName = fileName;
    file.targetVersion = targetVersion;
    file.fileSize = static_cast<std::uint32_t>(bytes.size());
    file.chunkSize = chunkSize;
    file.totalChunks = static_cast<std::uint16_t>((bytes.size() + chunkSize - 1) / chunkSize);
    file.sha256 = backend::CSha256::digestOf(bytes.data(), bytes.size());
    m_snapshot.files.push_back(file);
    return m_snapshot.files.back();
}

CSnapshotBuilder& CSnapshotBuilder::addTarget(const std::string& nodeId, const std::string& componentTypeId,
                                              std::uint16_t componentIndex, const std::string& currentVersion,
                                              std::uint8_t fileNo)
{
    const backend::S_FirmwareFileInfo* file = nullptr;
    for (const auto& candidate : m_snapshot.files)
    {
        if (candidate.fileNo == fileNo)
        {
            file = &candidate;
        }
    }
    if (file == nullptr)
    {
        throw std::logic_error("target bound to a file that was not added");
    }
    backend::S_UpgradeTarget target;
    target.nodeId = nodeId;
    target.nodeName = "Device " + nodeId;
    target.nodeTypeId = "type-" + nodeId.substr(0, 3);
    target.nodePath = {{"site", "Site", "site", "Site"},
                       {nodeId, target.nodeName, target.nodeTypeId, "Device"}};
    target.protocolNodeType = nodeId.substr(0, 3);
    target.address = "127.0.0.1";
    target.port = static_cast<std::uint16_t>(20000 + m_snapshot.targets.size());
    target.componentTypeId = componentTypeId;
    target.componentIndex = componentIndex;
    target.currentVersion = currentVersion;
    target.targetVersion = file->targetVersion;
    target.fileNo = fileNo;
    target.fileSlotKey = file->fileSlotKey;
    m_snapshot.targets.push_back(std::move(target));
    return *this;
}

backend::UpgradeTaskSnapshotPtr CSnapshotBuilder::build() const
{
    return std::make_shared<const backend::S_UpgradeTaskSnapshot>(m_snapshot);
}

std::string firmwareBytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::uint32_t state = 2166136261u ^ seed;
    for (auto& byte : bytes)
    {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

void CStateRecorder::attach(backend::CUpgradeExecutionService& service)
{
    service.setStateObserver(
        [this](const std::string& stateJson)
        {
            std::lock_guard lock(m_mutex);
            m_texts.push_back(stateJson);
        });
}

std::vector<json> CStateRecorder::documents() const
{
    std::vector<std::string> texts;
    {
        std::lock_guard lock(m_mutex);
        texts = m_texts;
    }
    std::vector<json> documents;
    for (const auto& text : texts)
    {
        documents.push_back(json::parse(text));
    }
    return documents;
}

bool CStateRecorder::waitFor(const std::function<bool(const json&)>& predicate,
                             std::chrono::milliseconds bound) const
{
    std::size_t checked = 0;
    return waitUntil(
        [&]
        {
            std::vector<std::string> fresh;
            {
                std::lock_guard lock(m_mutex);
                fresh.assign(m_texts.begin() + static_cast<std::ptrdiff_t>(checked), m_texts.end());
                checked = m_texts.size();
            }
            for (const auto& text : fresh)
            {
                if (predicate(json::parse(text)))
                {
                    return true;
                }
            }
            return false;
        },
        bound);
}

std::vector<backend::S_ProtocolEventComponent> emuComponents(const std::string& version)
{
    return {component("EMU", 1, version)};
}

std::vector<backend::S_ProtocolEventComponent> pcsComponents(const std::string& version)
{
    return {component("PCS_DSP1", 1, version), component("PCS_DSP2", 1, version),
            component("PCS_FPGA", 1, version), component("PCS_ARM", 1, version)};
}

std::vector<backend::S_ProtocolEventComponent> bmsComponents(const std::string& version)
{
    std::vector<backend::S_ProtocolEventComponent> components = {component("BMS_BAU", 1, version),
                                                                 component("BMS_BEU", 1, version)};
    for (std::uint16_t index = 1; index <= 6; ++index)
    {
        components.push_back(component("BMS_BCU", index, version));
    }
    return components;
}

std::string describeSend(const S_RecordedSend& send)
{
    std::string text = send.accepted ? "" : "!";
    switch (send.kind)
    {
        case E_SendKind::STATUS_QUERY:
            return text + "Q";
        case E_SendKind::TARGET_LIST:
            return text + "T" + std::to_string(send.targetList.targets.size());
        case E_SendKind::COMMAND:
            return text + "C" + std::to_string(send.command.commandType) + "/" +
                   std::to_string(send.command.stage) + "/" + std::to_string(send.command.commandParam);
        case E_SendKind::FILE_INFO:
            return text + "I" + std::to_string(send.fileInfo.fileNo);
        case E_SendKind::FILE_CHUNK:
            return text + "K" + std::to_string(send.fileChunk.fileNo) + "." +
                   std::to_string(send.fileChunk.chunkNo);
    }
    return text + "?";
}

std::vector<std::string> workflowSends(std::size_t targetCount,
                                       const std::vector<std::pair<std::uint8_t, std::uint16_t>>& files)
{
    std::vector<std::string> sends = {"Q", "T" + std::to_string(targetCount), "C1/2/0",
                                      "C2/3/" + std::to_string(files.size())};
    for (const auto& [fileNo, chunks] : files)
    {
        sends.push_back("I" + std::to_string(fileNo));
    }
    for (const auto& [fileNo, chunks] : files)
    {
        for (std::uint16_t chunkNo = 0; chunkNo < chunks; ++chunkNo)
        {
            sends.push_back("K" + std::to_string(fileNo) + "." + std::to_string(chunkNo));
        }
    }
    sends.insert(sends.end(), {"C3/4/0", "C4/5/0", "C5/6/0"});
    return sends;
}

void CUpgradeExecutionFixture::TearDown()
{
    m_transport.releaseHeldSends();
    m_service.stop();
    m_service.clearStateObserver();
}

backend::S_UpgradeExecutionOptions CUpgradeExecutionFixture::options(std::uint16_t concurrency)
{
    backend::S_UpgradeExecutionOptions options;
    options.configuredDeviceConcurrency = concurrency;
    options.recommendedDeviceConcurrency = concurrency > 32 ? 32 : concurrency;
    options.deviceConcurrency = options.recommendedDeviceConcurrency;
    options.progressPublishIntervalMs = 100;
    options.connectTimeoutMs = 5000;
    options.ackTimeoutMs = 5000;
    options.stageTimeoutMs = 5000;
    options.flashTimeoutMs = 5000;
    // 1,000 ms keeps the quiet period before the post-restart status query at 250 ms.
    options.restartTimeoutMs = 1000;
    return options;
}

void CUpgradeExecutionFixture::startService(const backend::S_UpgradeExecutionOptions& options)
{
    std::string error;
    ASSERT_TRUE(m_service.start(m_transport, options, error)) << error;
    m_recorder.attach(m_service);
}

json CUpgradeExecutionFixture::startTask(const backend::UpgradeTaskSnapshotPtr& snapshot)
{
    std::string response;
    std::string error;
    const bool started = m_service.startTask(snapshot, snapshot->sceneGeneration, response, error);
    EXPECT_TRUE(started) << error;
    EXPECT_TRUE(error.empty());
    return started ? json::parse(response) : json::object();
}

json CUpgradeExecutionFixture::waitForEnd(std::uint32_t upgradeNo)
{
    EXPECT_TRUE(waitUntil([&] { return !m_service.isTaskActive(); }, std::chrono::seconds(60)))
        << "the task did not end";
    EXPECT_TRUE(m_recorder.waitFor(
        [&](const json& document)
        { return document.at("upgradeNo") == upgradeNo && document.at("active") == false; }))
        << "the observer never received the final document";
    return currentState();
}

json CUpgradeExecutionFixture::currentState() const
{
    std::string state;
    std::string error;
    if (!m_service.getCurrentState(state, error))
    {
        ADD_FAILURE() << "getCurrentState: " << error;
        return json::object();
    }
    return json::parse(state);
}

bool CUpgradeExecutionFixture::waitForState(const std::function<bool(const json&)>& predicate)
{
    return waitUntil(
        [&]
        {
            std::string state;
            std::string error;
            return m_service.getCurrentState(state, error) && predicate(json::parse(state));
        },
        std::chrono::seconds(30));
}

std::vector<std::string> CUpgradeExecutionFixture::sendTrace(const std::string& nodeId) const
{
    std::vector<std::string> trace;
    for (const auto& send : m_transport.sendsTo(nodeId))
    {
        trace.push_back(describeSend(send));
    }
    return trace;
}

const json& CUpgradeExecutionFixture::deviceIn(const json& state, const std::string& nodeId)
{
    for (const auto& device : state.at("devices"))
    {
        if (device.at("nodeId") == nodeId)
        {
            return device;
        }
    }
    throw std::out_of_range("no device " + nodeId + " in the state document");
}

void CUpgradeExecutionFixture::expectDeviceOutcome(const json& state, const std::string& nodeId,
                                                   const std::string& result, const std::string& stateText,
                                                   std::uint16_t reasonCode, const std::string& reasonName,
                                                   const std::string& error)
{
    const json& device = deviceIn(state, nodeId);
    EXPECT_EQ(device.at("result"), result) << nodeId;
    EXPECT_EQ(device.at("state"), stateText) << nodeId;
    EXPECT_EQ(device.at("reasonCode"), reasonCode) << nodeId;
    EXPECT_EQ(device.at("reasonName"), reasonName) << nodeId;
    EXPECT_EQ(device.at("error"), error) << nodeId;
    EXPECT_EQ(device.at("completed"), true) << nodeId;
    EXPECT_EQ(device.at("abortAllowed"), false) << nodeId;
    EXPECT_GT(device.at("finishedAt").get<std::int64_t>(), 0) << nodeId;
    for (const auto& target : device.at("targets"))
    {
        EXPECT_EQ(target.at("state"), stateText) << nodeId;
        EXPECT_EQ(target.at("reasonCode"), reasonCode) << nodeId;
        EXPECT_EQ(target.at("reasonName"), reasonName) << nodeId;
        EXPECT_EQ(target.at("detailText"), error) << nodeId;
    }
}

}  // namespace ota::test
