#pragma once

#include "firmware/upgrade_task_snapshot.h"
#include "support/temp_directory.h"
#include "upgrade/scripted_device.h"
#include "upgrade/upgrade_execution_service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ota::test
{

// Builds a task snapshot over real firmware files written below a temp directory; every file
// field (size, chunk count, SHA-256, canonical path) is computed from the bytes written.
class CSnapshotBuilder
{
public:
    CSnapshotBuilder(const CTempDirectory& directory, std::uint32_t upgradeNo,
                     std::string upgradeId = "TASK_1");

    const backend::S_FirmwareFileInfo& addFile(std::uint8_t fileNo, const std::string& fileName,
                                               const std::string& bytes, std::uint16_t chunkSize,
                                               const std::string& targetVersion);
    // The target takes its targetVersion from the file, which must have been added first.
    CSnapshotBuilder& addTarget(const std::string& nodeId, const std::string& componentTypeId,
                                std::uint16_t componentIndex, const std::string& currentVersion,
                                std::uint8_t fileNo);
    backend::S_UpgradeTaskSnapshot& snapshot() { return m_snapshot; }
    backend::UpgradeTaskSnapshotPtr build() const;

private:
    const CTempDirectory& m_directory;
    backend::S_UpgradeTaskSnapshot m_snapshot;
};

// Deterministic, non-repeating bytes, so that a chunk sent at a wrong offset changes the digest.
std::string firmwareBytes(std::size_t size, unsigned seed);

// Keeps every document the service publishes, in delivery order.
class CStateRecorder
{
public:
    void attach(backend::CUpgradeExecutionService& service);
    std::vector<nlohmann::json> documents() const;
    bool waitFor(const std::function<bool(const nlohmann::json&)>& predicate,
                 std::chrono::milliseconds bound = std::chrono::seconds(30)) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_texts;
};

// The components a device of each type reports.
std::vector<backend::S_ProtocolEventComponent> emuComponents(const std::string& version = "V1");
std::vector<backend::S_ProtocolEventComponent> pcsComponents(const std::string& version = "P1");
std::vector<backend::S_ProtocolEventComponent> bmsComponents(const std::string& version = "B1");

// Compact text of a send: "Q" status query, "T<n>" target list of n targets, "C<type>/<stage>/<param>"
// command, "I<fileNo>" file declaration, "K<fileNo>.<chunkNo>" chunk; "!" in front when refused.
std::string describeSend(const S_RecordedSend& send);
// The sends of one successful workflow up to and including RESTART_VERIFY, for files given as
// (fileNo, totalChunks) in sending order.
std::vector<std::string> workflowSends(std::size_t targetCount,
                                       const std::vector<std::pair<std::uint8_t, std::uint16_t>>& files);

// One started service against the scripted transport and site, with a state recorder attached.
class CUpgradeExecutionFixture : public ::testing::Test
{
protected:
    void TearDown() override;

    // Short timeouts that a device answering at once never meets, even on a loaded machine.
    static backend::S_UpgradeExecutionOptions options(std::uint16_t concurrency = 8);
    void startService(const backend::S_UpgradeExecutionOptions& options);
    // startTask that must succeed; returns its response document.
    nlohmann::json startTask(const backend::UpgradeTaskSnapshotPtr& snapshot);
    // Waits until the task has ended and the observer has its final document; returns the final
    // state read with getCurrentState.
    nlohmann::json waitForEnd(std::uint32_t upgradeNo);
    nlohmann::json currentState() const;
    bool waitForState(const std::function<bool(const nlohmann::json&)>& predicate);
    std::vector<std::string> sendTrace(const std::string& nodeId) const;

    static const nlohmann::json& deviceIn(const nlohmann::json& state, const std::string& nodeId);
    // Every component of the device carries the device's outcome.
    static void expectDeviceOutcome(const nlohmann::json& state, const std::string& nodeId,
                                    const std::string& result, const std::string& stateText,
                                    std::uint16_t reasonCode, const std::string& reasonName,
                                    const std::string& error);

    CTempDirectory m_directory;
    CScriptedTransport m_transport;
    CScriptedSite m_site{m_transport};
    CStateRecorder m_recorder;
    backend::CUpgradeExecutionService m_service;
};

}  // namespace ota::test
