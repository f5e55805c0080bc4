#include "firmware/upgrade_task_service.h"

#include "common/digest.h"
#include "common/json_text.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <thread>

namespace ota::backend
{
namespace
{

using nlohmann::json;

TEST(UpgradeTaskService, ChunkSizeRange)
{
    CUpgradeTaskService service;
    EXPECT_EQ(service.chunkSize(), 10240u);
    std::string error;
    EXPECT_FALSE(service.setChunkSize(0, error));
    EXPECT_EQ(error, "Chunk size must be between 1 and 32768");
    EXPECT_FALSE(service.setChunkSize(32769, error));
    EXPECT_EQ(error, "Chunk size must be between 1 and 32768");
    EXPECT_EQ(service.chunkSize(), 10240u);
    EXPECT_TRUE(service.setChunkSize(32768, error));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(service.chunkSize(), 32768u);
    EXPECT_TRUE(service.setChunkSize(1, error));
    EXPECT_EQ(service.chunkSize(), 1u);
}

TEST(UpgradeTaskService, RequestRules)
{
    CUpgradeTaskService service;
    std::string response = "old";
    std::string error;
    EXPECT_FALSE(service.inspectFirmware("{\"files\":", response, error));
    EXPECT_EQ(error.rfind("Request body is not valid JSON: ", 0), 0u) << error;
    EXPECT_TRUE(response.empty());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[1,2]", "Request body must be a JSON object"},
        {"{}", "request contains missing or unsupported fields"},
        {"{\"file\":[]}", "request must contain field 'files'"},
        {"{\"files\":[],\"extra\":1}", "request contains missing or unsupported fields"},
        {"{\"files\":[]}", "files must be a non-empty JSON array"},
        {"{\"files\":\"a\"}", "files must be a non-empty JSON array"},
    };
    for (const auto& [body, message] : cases)
    {
        EXPECT_FALSE(service.inspectFirmware(body, response, error)) << body;
        EXPECT_EQ(error, message) << body;
    }
}

TEST(UpgradeTaskService, InspectionResponse)
{
    test::CTempDirectory directory;
    const auto dsp = directory.writeFile("dsp1.bin", std::string(5000, 'd'));
    const auto bcu = directory.writeFile("bcu.bin", "abc");
    CUpgradeTaskService service;
    std::string error;
    ASSERT_TRUE(service.setChunkSize(2048, error));
    const json request = {{"files",
                           {{{"fileSlotKey", "pcs:dsp1"}, {"filePath", dsp.string()}, {"targetVersion", "V2.1"}},
                            {{"fileSlotKey", "bms:bcu"}, {"filePath", bcu.string()}, {"targetVersion", "B7"}}}}};
    std::string response;
    ASSERT_TRUE(service.inspectFirmware(toJsonText(request), response, error)) << error;
    EXPECT_TRUE(error.empty());
    const std::string canonicalDsp = std::filesystem::canonical(dsp).string();
    const std::string canonicalBcu = std::filesystem::canonical(bcu).string();
    const std::string dspDigest = toLowerHex(CSha256::digestOf(std::string(5000, 'd').data(), 5000));
    EXPECT_EQ(response,
              "{\"chunkSize\":2048,\"fileCount\":2,\"files\":[{\"chunkSize\":2048,\"fileName\":\"dsp1.bin\","
              "\"fileNo\":1,\"filePath\":\"" + canonicalDsp + "\",\"fileSize\":5000,\"fileSlotKey\":\"pcs:dsp1\","
              "\"sha256\":\"" + dspDigest + "\",\"targetVersion\":\"V2.1\",\"totalChunks\":3},{\"chunkSize\":2048,"
              "\"fileName\":\"bcu.bin\",\"fileNo\":2,\"filePath\":\"" + canonicalBcu + "\",\"fileSize\":3,"
              "\"fileSlotKey\":\"bms:bcu\",\"sha256\":"
              "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\",\"targetVersion\":\"B7\","
              "\"totalChunks\":1}],\"operation\":\"FIRMWARE_INSPECT\",\"status\":\"READY\"}");
}

TEST(UpgradeTaskService, ConcurrentInspectionsAndChunkChanges)
{
    test::CTempDirectory directory;
    const auto path = directory.writeFile("fw.bin", std::string(200000, 'x'));
    const std::string request =
        toJsonText({{"files", {{{"fileSlotKey", "emu:emu"}, {"filePath", path.string()}, {"targetVersion", "1"}}}}});
    CUpgradeTaskService service;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 2; ++thread)
    {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round)
            {
                std::string response;
                std::string error;
                EXPECT_TRUE(service.inspectFirmware(request, response, error)) << error;
                const json parsed = json::parse(response);
                const std::uint64_t chunk = parsed["chunkSize"];
                EXPECT_EQ(parsed["files"][0]["totalChunks"], (200000 + chunk - 1) / chunk);
            }
        });
    }
    for (std::uint16_t chunk = 4096; chunk <= 32768 - 4096; chunk += 64)
    {
        std::string error;
        EXPECT_TRUE(service.setChunkSize(chunk, error));
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
}

}  // namespace
}  // namespace ota::backend
