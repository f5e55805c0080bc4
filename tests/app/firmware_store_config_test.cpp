// The optional key firmwareStore: its defaults, its paths and its strict shape.
#include "app/backend_config.h"

#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using ota::test::CTempDirectory;

const std::string kRequired =
    R"("httpHost":"127.0.0.1","httpPort":8080,"deviceConcurrency":8,"connectTimeoutMs":3000,)"
    R"("ackTimeoutMs":5000,"stageTimeoutMs":60000,"flashTimeoutMs":300000,)"
    R"("restartTimeoutMs":120000,"chunkSize":10240)";

class FirmwareStoreConfigTest : public ::testing::Test
{
protected:
    // Loads the required keys plus extra members; the error ("" on success).
    std::string load(const std::string& extra)
    {
        directory.writeFile("etc/ota-backend.json",
                            "{" + kRequired + (extra.empty() ? "" : "," + extra) + "}");
        std::string error;
        const bool loaded = loadBackendConfig(path, config, error);
        EXPECT_EQ(loaded, error.empty()) << error;
        return error;
    }

    CTempDirectory directory;
    const std::filesystem::path path = directory / "etc/ota-backend.json";
    S_BackendConfig config;
};

TEST_F(FirmwareStoreConfigTest, DefaultsAndAcceptedValues)
{
    ASSERT_EQ(load(""), "");
    EXPECT_TRUE(config.firmwareStore.directory.empty());
    EXPECT_EQ(config.firmwareStore.maxBytes, 8ULL << 30);

    struct S_Row
    {
        std::string member;
        std::filesystem::path directory;
        std::uint64_t maxBytes;
    };
    const S_Row rows[] = {
        {R"({})", {}, 8ULL << 30},
        {R"({"directory":"store"})", directory / "etc/store", 8ULL << 30},
        {R"({"directory":"/srv/fw/../firmware","maxBytes":67108864})", "/srv/firmware", 64ULL << 20},
        {R"({"maxBytes":1099511627776})", {}, 1ULL << 40},
    };
    for (const S_Row& row : rows)
    {
        ASSERT_EQ(load(R"("firmwareStore":)" + row.member), "") << row.member;
        EXPECT_EQ(config.firmwareStore.directory, row.directory) << row.member;
        EXPECT_EQ(config.firmwareStore.maxBytes, row.maxBytes) << row.member;
    }
}

TEST_F(FirmwareStoreConfigTest, RefusedShapes)
{
    const std::string prefix = "Invalid configuration '" + path.string() + "': ";
    const std::string range = "firmwareStore.maxBytes must be an integer from 67108864 to 1099511627776";
    const std::string directoryRule =
        "firmwareStore.directory must be a non-empty string of at most 4096 bytes";
    const std::pair<std::string, std::string> rows[] = {
        {R"("store")", "firmwareStore must be an object with the optional members directory and maxBytes"},
        {R"([])", "firmwareStore must be an object with the optional members directory and maxBytes"},
        {R"({"dir":"x"})", "Unknown configuration field: firmwareStore.dir"},
        {R"({"directory":""})", directoryRule},
        {R"({"directory":7})", directoryRule},
        {R"({"directory":")" + std::string(4097, 'd') + R"("})", directoryRule},
        {R"({"maxBytes":67108863})", range},
        {R"({"maxBytes":1099511627777})", range},
        {R"({"maxBytes":-1})", range},
        {R"({"maxBytes":1.5e9})", range},
        {R"({"maxBytes":"8GiB"})", range},
    };
    for (const auto& [member, message] : rows)
    {
        EXPECT_EQ(load(R"("firmwareStore":)" + member), prefix + message) << member;
    }
}

}  // namespace
}  // namespace ota::backend
