#include "firmware/firmware_inspection.h"
#include "firmware/firmware_slot_table.h"

#include "common/digest.h"
#include "support/child_process.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>

namespace ota::backend
{
namespace
{

using nlohmann::json;

json entry(const std::string& slot, const std::string& path, const std::string& version = "2.0.1")
{
    return {{"fileSlotKey", slot}, {"filePath", path}, {"targetVersion", version}};
}

class FirmwareInspection : public ::testing::Test
{
protected:
    std::string file(const std::string& name, std::size_t size)
    {
        return directory.writeFile(name, std::string(size, 'f')).string();
    }

    // Inspects one entry and returns the error (empty on success).
    std::string inspectOne(const json& item, std::uint16_t chunkSize = 1024)
    {
        std::string error;
        if (inspectFirmwareFile(item, 0, chunkSize, info, error))
        {
            EXPECT_TRUE(error.empty());
            return {};
        }
        return error;
    }

    std::string inspectAll(const json& files, std::uint16_t chunkSize = 1024)
    {
        std::string error;
        if (inspectFirmwareFiles(files, chunkSize, infos, error))
        {
            return {};
        }
        EXPECT_TRUE(infos.empty()) << "no partial result";
        return error;
    }

    test::CTempDirectory directory;
    S_FirmwareFileInfo info;
    std::vector<S_FirmwareFileInfo> infos;
};

TEST_F(FirmwareInspection, ChunkCountBoundaries)
{
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", file("a.bin", 1024))), "");
    EXPECT_EQ(info.totalChunks, 1u);
    EXPECT_EQ(info.chunkSize, 1024u);
    EXPECT_EQ(info.fileSize, 1024u);
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", file("b.bin", 1025))), "");
    EXPECT_EQ(info.totalChunks, 2u);

    EXPECT_EQ(inspectOne(entry("pcs:dsp1", file("c.bin", 65535)), 1), "");
    EXPECT_EQ(info.totalChunks, 65535u);
    const std::string tooMany = file("d.bin", 65536);
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", tooMany), 1),
              "Firmware file chunk count exceeds protocol uint16 limit: " + std::filesystem::canonical(tooMany).string());
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", tooMany), 0), "Chunk size must be between 1 and 32768");
}

TEST_F(FirmwareInspection, MemberAndLengthRules)
{
    const std::string path = file("fw.bin", 10);
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", path, std::string(31, 'v'))), "");
    EXPECT_EQ(info.targetVersion, std::string(31, 'v'));
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", path, std::string(32, 'v'))),
              "files[0].targetVersion length must be between 1 and 31 bytes");
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", path, "")), "files[0].targetVersion length must be between 1 and 31 bytes");
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", path, std::string("1\0", 2))),
              "files[0].targetVersion must not contain NUL bytes");
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", path + std::string("\0.txt", 5))),
              "files[0].filePath must not contain NUL bytes");
    EXPECT_EQ(inspectOne(entry(std::string(33, 'k'), path)), "files[0].fileSlotKey length must be between 1 and 32 bytes");
    EXPECT_EQ(inspectOne(entry("pcs:dsp1", std::string(4097, 'p'))),
              "files[0].filePath length must be between 1 and 4096 bytes");
    EXPECT_EQ(inspectOne({{"fileSlotKey", 5}, {"filePath", path}, {"targetVersion", "1"}}),
              "files[0].fileSlotKey must be a string");

    json extra = entry("pcs:dsp1", path);
    extra["sha256"] = "00";
    EXPECT_EQ(inspectOne(extra), "files[0] contains missing or unsupported fields");
    json renamed = entry("pcs:dsp1", path);
    renamed.erase("targetVersion");
    renamed["version"] = "1";
    EXPECT_EQ(inspectOne(renamed), "files[0] must contain field 'targetVersion'");
    EXPECT_EQ(inspectOne(json::array()), "files[0] must be a JSON object");

    EXPECT_EQ(inspectOne(entry("PCS:DSP1", path)), "files[0].fileSlotKey is not supported: PCS:DSP1");
}

TEST_F(FirmwareInspection, FileNameLength)
{
    const std::string name63 = std::string(59, 'n') + ".bin";
    EXPECT_EQ(inspectOne(entry("bms:bcu", file(name63, 3))), "");
    EXPECT_EQ(info.fileName, name63);
    const std::string name64 = std::string(60, 'n') + ".bin";
    EXPECT_EQ(inspectOne(entry("bms:bcu", file(name64, 3))),
              "Firmware file name length must be between 1 and 63 bytes: " + name64);
}

TEST_F(FirmwareInspection, PathsThatAreNotUsableFiles)
{
    const std::string missing = (directory / "none.bin").string();
    EXPECT_EQ(inspectOne(entry("emu:emu", missing)), "Firmware file does not exist: " + missing);
    std::filesystem::create_directories(directory / "folder.bin");
    EXPECT_EQ(inspectOne(entry("emu:emu", (directory / "folder.bin").string())),
              "Firmware path is not a regular file: " + (directory / "folder.bin").string());
    const std::string fifo = (directory / "pipe.bin").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(inspectOne(entry("emu:emu", fifo)), "Firmware path is not a regular file: " + fifo);
    std::array<std::uint8_t, 32> digest{};
    std::string error;
    EXPECT_FALSE(computeFileSha256(fifo, 1, digest, error)) << "a FIFO is refused without blocking";
    EXPECT_EQ(error, "Cannot open firmware file for reading: " + fifo);

    const std::string empty = file("empty.bin", 0);
    EXPECT_EQ(inspectOne(entry("emu:emu", empty)),
              "Firmware file must not be empty: " + std::filesystem::canonical(empty).string());
    const std::string grown = file("grown.bin", 100);
    EXPECT_FALSE(computeFileSha256(grown, 99, digest, error));
    EXPECT_EQ(error, "Firmware file changed while being inspected: " + grown);
    EXPECT_FALSE(computeFileSha256(grown, 101, digest, error));
    EXPECT_EQ(error, "Firmware file changed while being inspected: " + grown);
}

TEST_F(FirmwareInspection, CanonicalPathsThroughLinksAndRelativePaths)
{
    const std::string target = file("real/dsp.bin", 7);
    std::filesystem::create_directory_symlink(directory / "real", directory / "alias");
    std::filesystem::create_symlink(directory / "real/dsp.bin", directory / "link.bin");
    const std::string canonical = std::filesystem::canonical(target).string();
    EXPECT_EQ(inspectOne(entry("pcs:arm", (directory / "alias/../alias/dsp.bin").string())), "");
    EXPECT_EQ(info.filePath.string(), canonical);
    EXPECT_EQ(inspectOne(entry("pcs:arm", (directory / "link.bin").string())), "");
    EXPECT_EQ(info.filePath.string(), canonical);
    EXPECT_EQ(info.fileName, "dsp.bin");

    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(directory.path());
    const std::string error = inspectOne(entry("pcs:arm", "real/dsp.bin"));
    std::filesystem::current_path(previous);
    EXPECT_EQ(error, "");
    EXPECT_EQ(info.filePath.string(), canonical);
}

TEST_F(FirmwareInspection, FilesArrayRules)
{
    EXPECT_EQ(inspectAll(json::object()), "files must be a non-empty JSON array");
    EXPECT_EQ(inspectAll(json::array()), "files must be a non-empty JSON array");
    json many = json::array();
    for (int index = 0; index < 33; ++index)
    {
        many.push_back(entry("pcs:dsp1", "/nonexistent/" + std::to_string(index)));
    }
    EXPECT_EQ(inspectAll(many), "files count exceeds protocol limit 32") << "before any file is opened";

    const std::string first = file("1.bin", 5);
    const std::string second = file("2.bin", 6);
    EXPECT_EQ(inspectAll({entry("pcs:dsp1", first), entry("pcs:dsp1", "/nonexistent/x")}),
              "Firmware file does not exist: /nonexistent/x")
        << "a later duplicate is reported only after its own file passed";
    EXPECT_EQ(inspectAll({entry("pcs:dsp1", first), entry("pcs:dsp1", second)}), "Duplicate fileSlotKey: pcs:dsp1");
    EXPECT_EQ(inspectAll({entry("pcs:dsp1", first), entry("bms:bcu", second)}), "");
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[0].fileNo, 1u);
    EXPECT_EQ(infos[1].fileNo, 2u);
    EXPECT_EQ(infos[1].fileSize, 6u);
    EXPECT_EQ(inspectAll({entry("pcs:dsp1", first), entry("bms:bcu", "/nonexistent/y")}),
              "Firmware file does not exist: /nonexistent/y");
}

TEST_F(FirmwareInspection, DigestEqualsSha256sum)
{
    std::mt19937 random(11);
    for (const std::size_t size : {1u, 65535u, 65536u, 65537u, 3u * 65536u + 17u, 1048576u + 3u})
    {
        std::string bytes(size, '\0');
        for (char& byte : bytes)
        {
            byte = static_cast<char>(random());
        }
        const std::string path = directory.writeFile("random-" + std::to_string(size), bytes).string();
        ASSERT_EQ(inspectOne(entry("pcs:fpga", path), 32768), "");
        const test::S_ProcessResult reference = test::runProcess("/usr/bin/sha256sum", {path});
        ASSERT_EQ(reference.exitCode, 0) << reference.standardError;
        EXPECT_EQ(toLowerHex(info.sha256), reference.standardOutput.substr(0, 64)) << size;
    }
}

TEST(FirmwareSlotTable, ExactKeys)
{
    const std::vector<std::tuple<std::string, std::string, int>> rows = {
        {"emu:emu", "EMU", 1},       {"pcs:dsp1", "PCS_DSP1", 1}, {"pcs:dsp2", "PCS_DSP2", 1},
        {"pcs:fpga", "PCS_FPGA", 1}, {"pcs:arm", "PCS_ARM", 1},   {"bms:bau", "BMS_BAU", 1},
        {"bms:beu", "BMS_BEU", 1},   {"bms:bcu", "BMS_BCU", 0},
    };
    for (const auto& [key, type, index] : rows)
    {
        const auto slot = findFileSlot(key);
        ASSERT_TRUE(slot.has_value()) << key;
        EXPECT_EQ(slot->componentTypeId, type);
        EXPECT_EQ(slot->componentIndex, index);
        EXPECT_EQ(findFileSlotForComponent(type)->fileSlotKey, key);
    }
    EXPECT_FALSE(findFileSlotForComponent("PCS").has_value());
    EXPECT_FALSE(findFileSlot("Emu:emu").has_value());
    EXPECT_FALSE(findFileSlot("pcs:dsp1 ").has_value());
    EXPECT_FALSE(findFileSlot("").has_value());
}

}  // namespace
}  // namespace ota::backend
