// The optional keys firmwareSignature and apiAccess, and the token file the latter names.
#include "app/api_token_file.h"
#include "app/backend_config.h"

#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace ota::backend
{
namespace
{

using ota::test::CTempDirectory;

const std::string kBase =
    R"("httpHost":"127.0.0.1","httpPort":8080,"deviceConcurrency":8,"connectTimeoutMs":3000,)"
    R"("ackTimeoutMs":5000,"stageTimeoutMs":60000,"flashTimeoutMs":300000,)"
    R"("restartTimeoutMs":120000,"chunkSize":10240)";

class TrustConfigTest : public ::testing::Test
{
protected:
    // Loads the base configuration plus extra members; the error ("" on success).
    std::string load(const std::string& extra)
    {
        directory.writeFile("etc/ota-backend.json", "{" + kBase + (extra.empty() ? "" : "," + extra) + "}");
        std::string error;
        const bool loaded = loadBackendConfig(path, config, error);
        EXPECT_EQ(loaded, error.empty()) << error;
        return error;
    }
    std::string prefix() const { return "Invalid configuration '" + path.string() + "': "; }

    CTempDirectory directory;
    const std::filesystem::path path = directory / "etc/ota-backend.json";
    S_BackendConfig config;
};

TEST_F(TrustConfigTest, BothKeysAreOptionalAndTheirPathsResolveAgainstTheConfigurationFolder)
{
    ASSERT_EQ(load(""), "");
    EXPECT_FALSE(config.firmwareSignature.has_value());
    EXPECT_FALSE(config.apiAccess.has_value());

    ASSERT_EQ(load(R"("firmwareSignature":{"required":true,"publicKeyFiles":["keys/a.pem","/opt/b.pem"]},)"
                   R"("apiAccess":{"tokenFile":"../secret/api-token"})"),
              "");
    ASSERT_TRUE(config.firmwareSignature.has_value());
    EXPECT_TRUE(config.firmwareSignature->required);
    EXPECT_EQ(config.firmwareSignature->publicKeyFiles,
              (std::vector<std::filesystem::path>{directory / "etc/keys/a.pem", "/opt/b.pem"}));
    ASSERT_TRUE(config.apiAccess.has_value());
    EXPECT_EQ(config.apiAccess->tokenFile, directory / "secret/api-token");
}

TEST_F(TrustConfigTest, TheirShapesAreStrict)
{
    const std::string keys = R"("publicKeyFiles":["k.pem"])";
    const std::string signatureShape =
        "firmwareSignature must be an object with exactly the members required and publicKeyFiles";
    EXPECT_EQ(load(R"("firmwareSignature":true)"), prefix() + signatureShape);
    EXPECT_EQ(load(R"("firmwareSignature":{)" + keys + "}"), prefix() + signatureShape);
    EXPECT_EQ(load(R"("firmwareSignature":{"required":true,"extra":1,)" + keys + "}"),
              prefix() + signatureShape);
    EXPECT_EQ(load(R"("firmwareSignature":{"required":"yes",)" + keys + "}"),
              prefix() + "firmwareSignature.required must be a boolean");
    const std::string listRule =
        "firmwareSignature.publicKeyFiles must be an array of 1 to 16 key file paths";
    EXPECT_EQ(load(R"("firmwareSignature":{"required":false,"publicKeyFiles":[]})"), prefix() + listRule);
    EXPECT_EQ(load(R"("firmwareSignature":{"required":false,"publicKeyFiles":"k.pem"})"),
              prefix() + listRule);
    std::string seventeen;
    for (int index = 0; index < 17; ++index)
    {
        seventeen += std::string(index == 0 ? "" : ",") + "\"k.pem\"";
    }
    EXPECT_EQ(load(R"("firmwareSignature":{"required":false,"publicKeyFiles":[)" + seventeen + "]}"),
              prefix() + listRule);
    EXPECT_EQ(
        load(R"("firmwareSignature":{"required":false,"publicKeyFiles":["a.pem",""]})"),
        prefix() + "firmwareSignature.publicKeyFiles[1] must be a non-empty string of at most 4096 bytes");

    EXPECT_EQ(load(R"("apiAccess":"token")"),
              prefix() + "apiAccess must be an object with exactly the member tokenFile");
    EXPECT_EQ(load(R"("apiAccess":{"tokenFile":"t","token":"x"})"),
              prefix() + "apiAccess must be an object with exactly the member tokenFile");
    EXPECT_EQ(load(R"("apiAccess":{"tokenFile":7})"),
              prefix() + "apiAccess.tokenFile must be a non-empty string of at most 4096 bytes");
    EXPECT_EQ(load(R"("apiaccess":{"tokenFile":"t"})"), prefix() + "Unknown configuration field: apiaccess");
}

TEST(ApiTokenFile, TheFirstLineIsTheTokenWithinItsRules)
{
    std::string token;
    std::string error;
    const std::string valid(32, 'a');
    EXPECT_TRUE(parseApiToken(valid, "f", token, error)) << error;
    EXPECT_EQ(token, valid);
    EXPECT_TRUE(parseApiToken(valid + "\r\nsecond line", "f", token, error));
    EXPECT_EQ(token, valid) << "CRLF";
    EXPECT_TRUE(parseApiToken(std::string(256, '~') + "\n", "f", token, error));
    EXPECT_EQ(token.size(), 256u);

    const auto refusal = [&](const std::string& text)
    {
        token = "stale";
        EXPECT_FALSE(parseApiToken(text, "/etc/t", token, error)) << text;
        EXPECT_TRUE(token.empty());
        return error;  // the exact messages below name the file, never the text
    };
    EXPECT_EQ(refusal(std::string(31, 'a')),
              "API token file's first line must hold a token of 32 to 256 characters (it holds 31): /etc/t");
    EXPECT_EQ(refusal(std::string(257, 'a')),
              "API token file's first line must hold a token of 32 to 256 characters (it holds more than "
              "256): /etc/t");
    EXPECT_EQ(refusal(""),
              "API token file's first line must hold a token of 32 to 256 characters (it holds 0): /etc/t");
    EXPECT_EQ(refusal("\n" + valid),
              "API token file's first line must hold a token of 32 to 256 characters (it holds 0): /etc/t");
    EXPECT_EQ(refusal(std::string(20, 'a') + " " + std::string(20, 'b')),
              "API token must consist of printable ASCII characters without spaces: /etc/t");
    EXPECT_EQ(refusal(std::string(40, 'a') + "\t"),
              "API token must consist of printable ASCII characters without spaces: /etc/t");
    EXPECT_EQ(refusal(std::string(40, 'a') + "\xc3\xa9"),
              "API token must consist of printable ASCII characters without spaces: /etc/t");
}

TEST(ApiTokenFile, AMissingForeignOrWorldReadableFileStopsStartUp)
{
    CTempDirectory directory;
    const std::string token(48, 'Z');
    const std::filesystem::path file = directory.writeFile("api-token", token + "\n");
    std::string read;
    std::string error;

    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    EXPECT_TRUE(readApiTokenFile(file, read, error)) << error;
    EXPECT_EQ(read, token);

    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_FALSE(readApiTokenFile(file, read, error));
    EXPECT_EQ(error,
              "API token file must not be readable or writable by every user (chmod o-rw): " + file.string());
    ASSERT_EQ(::chmod(file.c_str(), 0602), 0);
    EXPECT_FALSE(readApiTokenFile(file, read, error));

    EXPECT_FALSE(readApiTokenFile(directory / "none", read, error));
    EXPECT_EQ(error, "API token file is missing: " + (directory / "none").string());
    EXPECT_FALSE(readApiTokenFile(directory.path(), read, error));
    EXPECT_EQ(error, "API token file is not a regular file: " + directory.path().string());
    const std::filesystem::path fifo = directory / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(readApiTokenFile(fifo, read, error)) << "a FIFO does not hang start-up";
    EXPECT_EQ(error, "API token file is not a regular file: " + fifo.string());
    EXPECT_EQ(error.find(token), std::string::npos);
}

}  // namespace
}  // namespace ota::backend
