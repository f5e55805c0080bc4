// The task's start copies each file through the service's staging with the same read that checks
// it, and the task sends from the copy; a copy that cannot be made fails the task before any frame.
#include "upgrade/firmware_staging.h"
#include "upgrade/upgrade_test_fixture.h"

#include "support/temp_directory.h"

#include <fstream>

namespace ota::backend
{
namespace
{

using nlohmann::json;
using UpgradeStaging = test::CUpgradeExecutionFixture;

enum class E_StagingFault
{
    NONE,
    BEGIN,
    COMMIT,
};

// Keeps each copy as a file of its own, and records what it was given.
class CFileStaging : public IFirmwareStaging
{
public:
    CFileStaging(std::filesystem::path directory, E_StagingFault fault)
        : m_directory(std::move(directory)), m_fault(fault)
    {
    }

    std::unique_ptr<IFirmwareStagingCopy> beginCopy(const std::string& fileName,
                                                    const std::array<std::uint8_t, 32>&,
                                                    std::string& error) override
    {
        if (m_fault == E_StagingFault::BEGIN)
        {
            error = "no room";
            return nullptr;
        }
        return std::make_unique<CCopy>(*this, m_directory / ("copy-" + fileName));
    }

    std::filesystem::path operatorFile;     // removed once a copy is committed
    std::string copied;                     // the bytes of the last copy committed
    std::array<std::uint8_t, 32> digest{};  // and the digest it was committed with

private:
    class CCopy : public IFirmwareStagingCopy
    {
    public:
        CCopy(CFileStaging& owner, std::filesystem::path path) : m_owner(owner), m_path(std::move(path)) {}
        void append(const std::uint8_t* data, std::size_t size) override
        {
            m_bytes.append(reinterpret_cast<const char*>(data), size);
        }
        std::optional<std::filesystem::path> commit(const std::array<std::uint8_t, 32>& sha256,
                                                    std::string& error) override
        {
            if (m_owner.m_fault == E_StagingFault::COMMIT)
            {
                error = "disk full";
                return std::nullopt;
            }
            m_owner.copied = m_bytes;
            m_owner.digest = sha256;
            std::ofstream(m_path, std::ios::binary) << m_bytes;
            // From here on only the copy can be sent.
            std::filesystem::remove(m_owner.operatorFile);
            return m_path;
        }

    private:
        CFileStaging& m_owner;
        std::filesystem::path m_path;
        std::string m_bytes;
    };

    std::filesystem::path m_directory;
    E_StagingFault m_fault;
};

TEST_F(UpgradeStaging, TheTaskSendsFromItsCopyOrFailsBeforeAnyFrame)
{
    startService(options());
    m_site.addDevice("emu-1", test::emuComponents());
    const std::pair<E_StagingFault, std::string> cases[] = {
        {E_StagingFault::BEGIN, "no room"},
        {E_StagingFault::COMMIT, "disk full"},
        {E_StagingFault::NONE, ""},
    };
    std::uint32_t upgradeNo = 90;
    for (const auto& [fault, reason] : cases)
    {
        ++upgradeNo;
        auto staging = std::make_shared<CFileStaging>(m_directory.path(), fault);
        m_service.setFirmwareStaging(staging);
        const std::string bytes = test::firmwareBytes(1500, upgradeNo);
        test::CSnapshotBuilder builder(m_directory, upgradeNo);
        const S_FirmwareFileInfo file = builder.addFile(1, "emu.bin", bytes, 512, "V2");
        builder.addTarget("emu-1", "EMU", 1, "V1", 1);
        staging->operatorFile = file.filePath;
        const std::size_t sendsBefore = m_transport.sends().size();
        startTask(builder.build());
        const json final = waitForEnd(upgradeNo);
        if (fault == E_StagingFault::NONE)
        {
            EXPECT_EQ(final.at("status"), "SUCCESS") << final.dump();
            EXPECT_EQ(staging->copied, bytes);
            EXPECT_EQ(staging->digest, file.sha256);
            continue;
        }
        const std::string message = "固件文件暂存失败: " + file.filePath.string() + " (" + reason + ")";
        EXPECT_EQ(final.at("status"), "FAILED") << reason;
        EXPECT_EQ(final.at("error"), message);
        expectDeviceOutcome(final, "emu-1", "FAILED", "执行失败", 0, "INTERNAL_ERROR", message);
        EXPECT_EQ(m_transport.sends().size(), sendsBefore) << reason << ": no frame reaches the device";
    }
}

}  // namespace
}  // namespace ota::backend
