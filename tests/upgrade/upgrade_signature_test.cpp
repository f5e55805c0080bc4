// The task's own re-check of its files at start covers their signatures: a signature removed or
// replaced after the preview fails the task as a changed file does, before any device gets a frame.
#include "firmware/firmware_trust.h"
#include "upgrade/upgrade_test_fixture.h"

#include "support/signing_keys.h"

namespace ota::backend
{
namespace
{

using nlohmann::json;
using UpgradeSignature = test::CUpgradeExecutionFixture;

TEST_F(UpgradeSignature, ASignatureRemovedOrReplacedAfterThePreviewFailsTheTaskBeforeAnyFrame)
{
    const test::S_TestKeyPair maker = test::makeKeyPair(m_directory / "keys", "maker", "EC:P-256");
    const test::S_TestKeyPair stranger = test::makeKeyPair(m_directory / "keys", "stranger", "EC:P-256");
    startService(options());
    m_site.addDevice("emu-1", test::emuComponents());
    m_site.addDevice("emu-2", test::emuComponents());

    struct S_Case
    {
        std::string change;
        bool required;
        std::string expectedPrefix;  // "" = the task runs
        std::string nodeId;          // each task that runs upgrades a device of its own
    };
    const S_Case cases[] = {
        {"removed", true, "Firmware signature is missing: ", "emu-1"},
        {"replaced by a stranger's", false, "Firmware signature is not valid: ", "emu-1"},
        {"replaced by a stranger's", true, "Firmware signature is not valid: ", "emu-1"},
        {"kept", true, "", "emu-1"},
        {"removed", false, "", "emu-2"},
    };
    std::uint32_t upgradeNo = 70;
    for (const S_Case& item : cases)
    {
        ++upgradeNo;
        std::shared_ptr<const CFirmwareTrust> trust;
        std::string error;
        ASSERT_TRUE(CFirmwareTrust::load(item.required, {maker.publicKey}, trust, error)) << error;
        test::CSnapshotBuilder builder(m_directory, upgradeNo);
        const auto path =
            builder.addFile(1, "emu.bin", test::firmwareBytes(1500, upgradeNo), 512, "V2").filePath;
        builder.addTarget(item.nodeId, "EMU", 1, "V1", 1);
        builder.snapshot().firmwareTrust = trust;
        test::signFile(path, maker.privateKey);
        if (item.change == "removed")
        {
            std::filesystem::remove(path.string() + ".sig");
        }
        else if (item.change != "kept")
        {
            test::signFile(path, stranger.privateKey);
        }
        const std::size_t sendsBefore = m_transport.sends().size();
        startTask(builder.build());
        const json final = waitForEnd(upgradeNo);
        const std::string label = item.change + (item.required ? ", required" : ", optional");
        if (item.expectedPrefix.empty())
        {
            EXPECT_EQ(final.at("status"), "SUCCESS") << label << ": " << final.dump();
            EXPECT_GT(m_transport.sends().size(), sendsBefore) << label;
            continue;
        }
        const std::string message = item.expectedPrefix + path.string();
        EXPECT_EQ(final.at("status"), "FAILED") << label;
        EXPECT_EQ(final.at("error"), message) << label;
        expectDeviceOutcome(final, item.nodeId, "FAILED", "执行失败", 0, "INTERNAL_ERROR", message);
        EXPECT_EQ(m_transport.sends().size(), sendsBefore)
            << label << ": no frame of the task reaches a device";
    }
}

}  // namespace
}  // namespace ota::backend
