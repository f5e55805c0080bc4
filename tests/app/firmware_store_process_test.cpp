// The real ota-backend and the real simulator: a task sends the bytes its start checked, from the
// firmware store, even when the operator's file is rewritten while its chunks go out, and the
// entry it came from is labelled with what the device runs now.
#include "app/upgrade_process_site.h"
#include "common/digest.h"
#include "firmware_store/firmware_store.h"
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

    simulator.stop();
    EXPECT_EQ(backend.stop(), 0) << backend.output();

    // Read back once the backend is gone: the component that succeeded labelled its file once.
    CFirmwareStore store;
    ASSERT_TRUE(store.open(backend.directory() / "upgrade-history.db",
                           S_FirmwareStoreOptions{backend.directory() / "firmware-store"}, error))
        << error;
    const auto entry = store.find(CSha256::digestOf(checked.data(), checked.size()), error);
    ASSERT_TRUE(entry) << error;
    EXPECT_EQ(entry->labels, (std::vector<S_FirmwareStoreLabel>{{"EMU", "7.0.0"}}));
}

}  // namespace
}  // namespace ota::test
