#include "app/backend_config.h"

#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <map>

namespace ota::backend
{
namespace
{

using ota::test::CTempDirectory;

// A valid configuration as ordered key/value JSON fragments; tests replace or drop single keys.
std::map<std::string, std::string> validFields()
{
    return {
        {"httpHost", "\"127.0.0.1\""},     {"httpPort", "8080"},        {"deviceConcurrency", "8"},
        {"connectTimeoutMs", "3000"},      {"ackTimeoutMs", "5000"},    {"stageTimeoutMs", "60000"},
        {"flashTimeoutMs", "300000"},      {"restartTimeoutMs", "120000"}, {"chunkSize", "10240"},
    };
}

std::string toDocument(const std::map<std::string, std::string>& fields)
{
    std::string text = "{";
    for (const auto& [key, value] : fields)
    {
        if (text.size() > 1)
        {
            text += ",";
        }
        text += "\"" + key + "\":" + value;
    }
    return text + "}";
}

class BackendConfigTest : public ::testing::Test
{
protected:
    // Loads a document from <temp>/config/ota-backend.json; returns the error text ("" on success).
    std::string load(const std::string& document)
    {
        directory.writeFile("config/ota-backend.json", document);
        std::string error;
        loaded = loadBackendConfig(path, config, error);
        EXPECT_EQ(loaded, error.empty());
        return error;
    }
    std::string loadWith(const std::string& key, const std::string& value)
    {
        auto fields = validFields();
        fields[key] = value;
        return load(toDocument(fields));
    }
    std::string loadWithout(std::initializer_list<std::string> keys)
    {
        auto fields = validFields();
        for (const std::string& key : keys)
        {
            fields.erase(key);
        }
        return load(toDocument(fields));
    }
    std::string prefix() const { return "Invalid configuration '" + path.string() + "': "; }

    CTempDirectory directory;
    const std::filesystem::path path = directory / "config/ota-backend.json";
    S_BackendConfig config;
    bool loaded = false;
};

TEST_F(BackendConfigTest, ValidConfigurationFillsEveryFieldWithDefaults)
{
    EXPECT_EQ(load(toDocument(validFields())), "");
    EXPECT_EQ(config.httpHost, "127.0.0.1");
    EXPECT_EQ(config.httpPort, 8080);
    EXPECT_EQ(config.deviceConcurrency, 8);
    EXPECT_EQ(config.connectTimeoutMs, 3000u);
    EXPECT_EQ(config.ackTimeoutMs, 5000u);
    EXPECT_EQ(config.stageTimeoutMs, 60000u);
    EXPECT_EQ(config.flashTimeoutMs, 300000u);
    EXPECT_EQ(config.restartTimeoutMs, 120000u);
    EXPECT_EQ(config.chunkSize, 10240);
    EXPECT_EQ(config.reconnectIntervalMs, 5000u);
    EXPECT_EQ(config.historyRetentionDays, 90);
    EXPECT_TRUE(config.deviceTcpEnabled);
    EXPECT_TRUE(config.topologyFile.empty());
    EXPECT_EQ(config.configPath, path.lexically_normal());
}

TEST_F(BackendConfigTest, OptionalKeysAreReadWhenPresent)
{
    auto fields = validFields();
    fields["reconnectIntervalMs"] = "100";
    fields["historyRetentionDays"] = "3650";
    fields["deviceTcpEnabled"] = "false";
    fields["database"] = "{\"anything\":[1,2,3]}";
    fields["httpHost"] = "\"::1\"";
    EXPECT_EQ(load(toDocument(fields)), "");
    EXPECT_EQ(config.reconnectIntervalMs, 100u);
    EXPECT_EQ(config.historyRetentionDays, 3650);
    EXPECT_FALSE(config.deviceTcpEnabled);
    EXPECT_EQ(config.httpHost, "::1");
    EXPECT_EQ(loadWith("database", "{}"), "");
}

TEST_F(BackendConfigTest, FileSizeLimits)
{
    EXPECT_EQ(load(""), "Configuration file size must be between 1 byte and 1 MiB: " + path.string());

    // Pad a valid document with whitespace to exactly 1 MiB, then one byte more.
    std::string document = toDocument(validFields());
    document.append(kMaxConfigFileBytes - document.size(), ' ');
    EXPECT_EQ(load(document), "");
    document.push_back(' ');
    EXPECT_EQ(load(document), "Configuration file size must be between 1 byte and 1 MiB: " + path.string());
}

TEST_F(BackendConfigTest, MissingAndNonRegularFiles)
{
    const std::filesystem::path missing = directory / "absent.json";
    std::string error;
    EXPECT_FALSE(loadBackendConfig(missing, config, error));
    EXPECT_EQ(error.rfind("Configuration file is not a regular file: " + missing.string() + " (", 0), 0u) << error;

    EXPECT_FALSE(loadBackendConfig(directory.path(), config, error));
    EXPECT_EQ(error, "Configuration file is not a regular file: " + directory.path().string());
}

TEST_F(BackendConfigTest, JsonSyntaxErrors)
{
    const std::string jsonPrefix = "Invalid JSON configuration '";
    for (const std::string& document : {std::string("{\"httpHost\": 1,}"), std::string("// note\n{}"),
                                       std::string("{\"a\":1"), std::string("{\"a\":\"\xFF\"}"),
                                       std::string("{}\0", 3), std::string(200000, '[')})
    {
        const std::string error = load(document);
        EXPECT_EQ(error.rfind(jsonPrefix + path.string() + "': ", 0), 0u) << document.size() << ": " << error;
    }
}

TEST_F(BackendConfigTest, RootAndKeySetChecks)
{
    EXPECT_EQ(load("[1,2]"), prefix() + "Configuration root must be a JSON object");
    // Only the first missing key in byte order is named.
    EXPECT_EQ(loadWithout({"httpPort", "chunkSize"}), prefix() + "Missing required configuration field: chunkSize");
    EXPECT_EQ(loadWithout({"stageTimeoutMs"}), prefix() + "Missing required configuration field: stageTimeoutMs");
    EXPECT_EQ(loadWith("HttpPort", "1"), prefix() + "Unknown configuration field: HttpPort");
    // Unknown keys are reported only once all required keys are present.
    auto fields = validFields();
    fields.erase("ackTimeoutMs");
    fields["zzz"] = "1";
    EXPECT_EQ(load(toDocument(fields)), prefix() + "Missing required configuration field: ackTimeoutMs");
    EXPECT_EQ(loadWith("database", "[]"), prefix() + "Optional configuration field must be an object: database");
    const std::string topologyMessage =
        prefix() + "Optional configuration field must be a non-empty string of at most 4096 bytes: topologyFile";
    EXPECT_EQ(loadWith("topologyFile", "\"\""), topologyMessage);
    EXPECT_EQ(loadWith("topologyFile", "12"), topologyMessage);
    EXPECT_EQ(loadWith("topologyFile", "\"" + std::string(4097, 'a') + "\""), topologyMessage);
    EXPECT_EQ(loadWith("topologyFile", "\"" + std::string(4096, 'a') + "\""), "");
    EXPECT_EQ(loadWith("deviceTcpEnabled", "1"),
              prefix() + "Optional configuration field must be boolean: deviceTcpEnabled");
}

TEST_F(BackendConfigTest, IntegerForms)
{
    EXPECT_EQ(loadWith("httpPort", "0"),
              prefix() + "Configuration field is out of range: httpPort (expected 1..65535)");
    EXPECT_EQ(loadWith("httpPort", "65536"),
              prefix() + "Configuration field is out of range: httpPort (expected 1..65535)");
    EXPECT_EQ(loadWith("httpPort", "-1"), prefix() + "Configuration field cannot be negative: httpPort");
    EXPECT_EQ(loadWith("httpPort", "\"8080\""), prefix() + "Configuration field must be an integer: httpPort");
    EXPECT_EQ(loadWith("httpPort", "8080.0"), prefix() + "Configuration field must be an integer: httpPort");
    EXPECT_EQ(loadWith("httpPort", "8e3"), prefix() + "Configuration field must be an integer: httpPort");
    EXPECT_EQ(loadWith("httpPort", "true"), prefix() + "Configuration field must be an integer: httpPort");
    // Beyond 64 bits the number is no longer an integer; at the top of the range it is out of range.
    EXPECT_EQ(loadWith("httpPort", "18446744073709551616"),
              prefix() + "Configuration field must be an integer: httpPort");
    EXPECT_EQ(loadWith("httpPort", "18446744073709551615"),
              prefix() + "Configuration field is out of range: httpPort (expected 1..65535)");
    EXPECT_EQ(loadWith("deviceConcurrency", "1001"),
              prefix() + "Configuration field is out of range: deviceConcurrency (expected 1..1000)");
    EXPECT_EQ(loadWith("ackTimeoutMs", "86400001"),
              prefix() + "Configuration field is out of range: ackTimeoutMs (expected 1..86400000)");
    EXPECT_EQ(loadWith("reconnectIntervalMs", "99"),
              prefix() + "Configuration field is out of range: reconnectIntervalMs (expected 100..86400000)");
    EXPECT_EQ(loadWith("historyRetentionDays", "0"),
              prefix() + "Configuration field is out of range: historyRetentionDays (expected 1..3650)");
    for (const char* interval : {"1", "59", "86401", "-60", "60.5"})
    {
        EXPECT_NE(loadWith("inventoryIntervalSeconds", interval), "") << interval;
    }
    for (const auto& [text, seconds] : {std::pair{"0", 0u}, {"60", 60u}, {"86400", 86400u}})
    {
        EXPECT_EQ(loadWith("inventoryIntervalSeconds", text), "") << text;
        EXPECT_EQ(config.inventoryIntervalSeconds, seconds) << text;
    }
    EXPECT_EQ(loadWith("chunkSize", "32769"),
              prefix() + "Configuration field is out of range: chunkSize (expected 1..32768)");
    EXPECT_EQ(loadWith("chunkSize", "32768"), "");
    EXPECT_EQ(config.chunkSize, 32768);
}

TEST_F(BackendConfigTest, ReadOrderDecidesWhichErrorWins)
{
    auto fields = validFields();
    fields["chunkSize"] = "0";
    fields["httpPort"] = "0";
    EXPECT_EQ(load(toDocument(fields)),
              prefix() + "Configuration field is out of range: httpPort (expected 1..65535)");
    // The loopback check comes after every integer.
    fields = validFields();
    fields["httpHost"] = "\"localhost\"";
    fields["chunkSize"] = "0";
    EXPECT_EQ(load(toDocument(fields)),
              prefix() + "Configuration field is out of range: chunkSize (expected 1..32768)");
}

TEST_F(BackendConfigTest, LoopbackHostOnly)
{
    for (const std::string host : std::initializer_list<const char*>{"localhost", "0.0.0.0", "127.0.0.2", "::ffff:127.0.0.1", "127.0.0.1 "})
    {
        EXPECT_EQ(loadWith("httpHost", "\"" + host + "\""), prefix() + "httpHost must be a loopback address");
    }
    EXPECT_EQ(loadWith("httpHost", "\"\""), prefix() + "Configuration field has invalid length: httpHost");
    EXPECT_EQ(loadWith("httpHost", "\"" + std::string(65, 'a') + "\""),
              prefix() + "Configuration field has invalid length: httpHost");
    EXPECT_EQ(loadWith("httpHost", "7"), prefix() + "Configuration field must be a string: httpHost");
}

TEST_F(BackendConfigTest, TopologyPathResolution)
{
    EXPECT_EQ(loadWith("topologyFile", "\"scene.json\""), "");
    EXPECT_EQ(config.topologyFile, (directory.path() / "config" / "scene.json").lexically_normal());
    EXPECT_EQ(loadWith("topologyFile", "\"../topology/./site.json\""), "");
    EXPECT_EQ(config.topologyFile, (directory.path() / "topology" / "site.json").lexically_normal());
    EXPECT_EQ(loadWith("topologyFile", "\"/srv/site//scene.json\""), "");
    EXPECT_EQ(config.topologyFile, std::filesystem::path("/srv/site/scene.json"));
    EXPECT_EQ(loadWith("topologyFile", "\"储能站/拓扑.json\""), "");
    EXPECT_EQ(config.topologyFile.filename().string(), "拓扑.json");

    EXPECT_FALSE(config.siteHoldFile);
    EXPECT_EQ(loadWith("siteHoldFile", "\"../run/hold\""), "");
    EXPECT_EQ(config.siteHoldFile, (directory.path() / "run" / "hold").lexically_normal());
    const std::string holdMessage =
        prefix() + "Optional configuration field must be a non-empty string of at most 4096 bytes: siteHoldFile";
    const std::string refused[] = {"\"\"", "true", "\"" + std::string(4097, 'a') + "\""};
    for (const std::string& value : refused)
    {
        EXPECT_EQ(loadWith("siteHoldFile", value), holdMessage) << value;
    }
}

TEST_F(BackendConfigTest, FailedLoadLeavesPreviousRecordUntouched)
{
    ASSERT_EQ(loadWith("httpPort", "9000"), "");
    const S_BackendConfig before = config;
    EXPECT_NE(loadWith("chunkSize", "0"), "");
    EXPECT_EQ(config.httpPort, 9000);
    EXPECT_EQ(config.chunkSize, before.chunkSize);
    EXPECT_EQ(config.configPath, before.configPath);
}

}  // namespace
}  // namespace ota::backend
