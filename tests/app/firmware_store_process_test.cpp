// The real ota-backend and the real simulator: a task sends the bytes its start checked, from the
// firmware store, even when the operator's file is rewritten while its chunks go out; the entry it
// came from is labelled with what the device runs now, listed, and removed once nothing needs it.
#include "app/upgrade_process_site.h"
#include "common/digest.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

TEST(FirmwareStoreProcessTest, AFileRewrittenDuringItsTransferStillSendsTheCheckedBytes)
{
    // Late replies, so the transfer of 120 chunks lasts a few seconds.
    S_SimDeviceSpec device = quickDevice("emu-1", E_ProtocolDeviceType::EMU);
    device.timings.replyLatencyMs = 20;
    CDeviceSimulator simulator;
    startSimulator(simulator, {device});
    S_BackendSettings settings;
    settings.chunkSize = 256;
    CUpgradeBackend backend(nodesOf(simulator, {device}), settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();

    const std::filesystem::path path = backend.writeFirmware("emu.bin", 256 * 120);
    const std::string checked = readWholeFile(path);
    const json files = json::array({firmwareEntry("emu:emu", path, "7.0.0")});
    const json targets = {
        upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")};
    const S_HttpResult preview = api.preview(previewBody("rewritten_file", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    ASSERT_TRUE(api.waitDevice([](const json& state)
                               { return state["state"] == "发送文件分片" && state["currentChunkNo"] >= 2; })
                    .is_object())
        << backend.output();

    // Rewritten in place (same file, same size, other bytes), as an editor or a copy would.
    std::string other = checked;
    for (char& byte : other)
    {
        byte = static_cast<char>(~byte);
    }
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(file.write(other.data(), static_cast<std::streamsize>(other.size())).flush());
    }

    // The device's own SHA-256 check of what it received passed: it got the checked bytes.
    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();
    EXPECT_EQ(findDevice(final, "emu-1")["result"], "SUCCESS") << final.dump();
    S_SimDeviceSnapshot upgraded;
    std::string error;
    ASSERT_TRUE(simulator.snapshot("emu-1", upgraded, error)) << error;
    EXPECT_EQ(upgraded.counters.upgradesCompleted, 1u);
    EXPECT_EQ(upgraded.lastCompletedUpgradeNo, upgradeNo);

    // The copy they came from: by content beside the history database, read-only.
    const std::filesystem::path stored = backend.directory() / "firmware-store" / "sha256" /
                                         toLowerHex(CSha256::digestOf(checked.data(), checked.size())) /
                                         "emu.bin";
    EXPECT_EQ(readWholeFile(stored), checked);
    struct stat mode
    {
    };
    ASSERT_EQ(::stat(stored.c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0444u);

    // Listed with its path and the label of the component that succeeded.
    const std::string hex = toLowerHex(CSha256::digestOf(checked.data(), checked.size()));
    const S_HttpResult listed = api.get("/api/v1/firmware/store?limit=10&other=1");
    ASSERT_EQ(listed.status, 200u) << listed.body;
    const json& entries = listed.json["data"]["entries"];
    ASSERT_EQ(entries.size(), 1u) << listed.body;
    EXPECT_EQ(entries[0]["sha256"], hex);
    EXPECT_EQ(entries[0]["path"], stored.string());
    EXPECT_EQ(entries[0]["labels"], json::parse(R"([{"componentTypeId":"EMU","version":"7.0.0"}])"));
    EXPECT_EQ(listed.json["data"]["nextBefore"], 0);
    EXPECT_EQ(api.get("/api/v1/firmware/store?limit=x").status, 400u);

    // Refusals: a malformed digest, one not stored, and one the previewed task still sends.
    const auto remove = [&api](const std::string& digest)
    { return api.post("/api/v1/firmware/store/" + digest + "/delete", {}); };
    EXPECT_EQ(remove(std::string(64, 'A')).status, 400u);
    EXPECT_EQ(remove(std::string(64, '0')).status, 404u);
    const S_HttpResult inUse = remove(hex);
    EXPECT_EQ(inUse.status, 409u) << inUse.body;
    EXPECT_EQ(inUse.json["error"]["code"], "FIRMWARE_IN_USE") << inUse.body;
    EXPECT_TRUE(std::filesystem::exists(stored));

    // Another task previewed: nothing needs the file any more, and it goes.
    const std::filesystem::path next = backend.writeFirmware("next.bin", 512);
    const json nextTargets = {upgradeTarget("emu-1", "EMU", 1, "7.0.0", "emu:emu")};
    const S_HttpResult nextPreview = api.preview(
        previewBody("next_file", nextTargets, json::array({firmwareEntry("emu:emu", next, "7.1.0")})));
    ASSERT_EQ(nextPreview.status, 200u) << nextPreview.body;
    const S_HttpResult removed = remove(hex);
    EXPECT_EQ(removed.status, 200u) << removed.body;
    EXPECT_FALSE(std::filesystem::exists(stored));
    EXPECT_EQ(remove(hex).status, 404u);

    simulator.stop();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
