// The real ota-backend and the real simulator: firmware uploaded into the store, streamed to disk,
// runs a task from its store path, takes a signature beside it, and leaves nothing behind when an
// upload is refused or broken off; every other route keeps its usual body limit.
#include "app/upgrade_process_site.h"
#include "common/digest.h"
#include "sim/sim_test_support.h"
#include "support/signing_keys.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

std::string hexOf(const std::string& bytes)
{
    return toLowerHex(CSha256::digestOf(bytes.data(), bytes.size()));
}

// The files below the store directory whose names start as an admission's temporary files do.
std::size_t temporaryFiles(const std::filesystem::path& store)
{
    std::size_t count = 0;
    std::error_code ignored;
    for (const auto& item : std::filesystem::directory_iterator(store, ignored))
    {
        count += item.path().filename().string().starts_with(".admit-") ? 1 : 0;
    }
    return count;
}

TEST(FirmwareStoreUploadProcessTest, AnUploadedFileRunsATaskTakesItsSignatureAndGoesWithIt)
{
    const S_SimDeviceSpec device = quickDevice("emu-1", E_ProtocolDeviceType::EMU);
    CDeviceSimulator simulator;
    startSimulator(simulator, {device});
    CUpgradeBackend backend(nodesOf(simulator, {device}));
    const S_TestKeyPair maker = makeKeyPair(backend.directory() / "keys", "maker", "EC:P-256");
    backend.setConfigValue("firmwareSignature",
                           {{"required", false}, {"publicKeyFiles", {"keys/maker.pub"}}});
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();

    // Bad queries are refused before the body is stored.
    const std::vector<std::string> badQueries = {
        "",
        "?name=",
        "?name=a%2Fb",
        "?name=" + std::string(64, 'n'),
        "?name=a%zz",
        "?name=a&componentTypeId=EMU",
        "?name=a&name=b",
        "?name=a&componentTypeId=EMU&version=" + std::string(32, 'v')};
    for (const std::string& query : badQueries)
    {
        const S_HttpResult refused = api.post("/api/v1/firmware/store" + query, "bytes");
        EXPECT_EQ(refused.status, 400u) << query << refused.body;
        EXPECT_EQ(refused.json["error"]["code"], "INVALID_REQUEST_QUERY") << query;
    }

    // A small file, labelled by the query, runs a task from the path the upload answers.
    const std::filesystem::path local = backend.writeFirmware("emu.bin", 40 * 1024);
    const std::string bytes = readWholeFile(local);
    const S_HttpResult uploaded =
        api.post("/api/v1/firmware/store?name=emu%20v7.bin&componentTypeId=EMU&version=7.0.0", bytes);
    ASSERT_EQ(uploaded.status, 200u) << uploaded.body;
    const json& stored = uploaded.json["data"];
    EXPECT_EQ(stored["sha256"], hexOf(bytes));
    EXPECT_EQ(stored["size"], bytes.size());
    EXPECT_EQ(stored["name"], "emu v7.bin");
    EXPECT_EQ(stored["signature"], (json{{"keyFingerprint", ""}, {"verified", false}}));
    const std::filesystem::path path = stored["path"].get<std::string>();
    EXPECT_EQ(readWholeFile(path), bytes);

    const json targets = {
        upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")};
    const S_HttpResult preview =
        api.preview(previewBody("uploaded", targets, json::array({firmwareEntry("emu:emu", path, "7.0.0")})));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    ASSERT_EQ(api.start().status, 202u);
    const json final = api.waitEnded(preview.json["data"]["snapshot"]["upgradeNo"]);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();

    // Its signature, sent as bytes, is kept beside it, and inspection of the store path sees it.
    signFile(local, maker.privateKey);
    const std::string signature = readWholeFile(local.string() + ".sig");
    const std::string hex = stored["sha256"];
    const S_HttpResult signedAnswer = api.post("/api/v1/firmware/store/" + hex + "/signature", signature);
    ASSERT_EQ(signedAnswer.status, 200u) << signedAnswer.body;
    const json verified = {{"keyFingerprint", maker.fingerprint}, {"verified", true}};
    EXPECT_EQ(signedAnswer.json["data"]["signature"], verified);
    EXPECT_EQ(signedAnswer.json["data"]["path"], path.string());
    const S_HttpResult inspected =
        api.post("/api/v1/firmware/inspect",
                 json{{"files", json::array({firmwareEntry("emu:emu", path, "7.0.0")})}}.dump());
    ASSERT_EQ(inspected.status, 200u) << inspected.body;
    EXPECT_EQ(inspected.json["data"]["files"][0]["signature"], verified);
    EXPECT_EQ(api.post("/api/v1/firmware/store/" + std::string(64, '0') + "/signature", signature).status,
              404u);
    EXPECT_EQ(api.post("/api/v1/firmware/store/" + std::string(64, 'A') + "/signature", signature).status,
              400u);

    // A file past the usual 16 MiB body limit goes in too; deleted, its signature goes with it.
    const std::string large = readWholeFile(backend.writeFirmware("large.bin", (17u << 20) + 3, 2));
    const S_HttpResult largeUpload = api.post("/api/v1/firmware/store?name=large.bin", large);
    ASSERT_EQ(largeUpload.status, 200u) << largeUpload.body;
    EXPECT_EQ(largeUpload.json["data"]["sha256"], hexOf(large));
    const std::string largeHex = largeUpload.json["data"]["sha256"];
    ASSERT_EQ(api.post("/api/v1/firmware/store/" + largeHex + "/signature", "not a signature").status, 200u);
    const std::filesystem::path largePath = largeUpload.json["data"]["path"].get<std::string>();
    EXPECT_TRUE(std::filesystem::exists(largePath.string() + ".sig"));

    // Listed with the query's label and the signature state inspection reports.
    const S_HttpResult listed = api.get("/api/v1/firmware/store");
    ASSERT_EQ(listed.status, 200u) << listed.body;
    ASSERT_EQ(listed.json["data"]["entries"].size(), 2u) << listed.body;
    const json& entry = listed.json["data"]["entries"][1];
    EXPECT_EQ(entry["sha256"], hex);
    EXPECT_EQ(entry["labels"], json::parse(R"([{"componentTypeId":"EMU","version":"7.0.0"}])"));
    EXPECT_EQ(entry["signature"], verified);

    ASSERT_EQ(api.post("/api/v1/firmware/store/" + largeHex + "/delete", {}).status, 200u);
    EXPECT_FALSE(std::filesystem::exists(largePath.parent_path()));

    simulator.stop();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

TEST(FirmwareStoreUploadProcessTest, RefusedOrBrokenUploadsLeaveNothingAndOtherRoutesKeepTheirLimit)
{
    CUpgradeBackend backend({});
    constexpr std::uint64_t kMaxBytes = 64ULL << 20;
    backend.setConfigValue("firmwareStore", {{"maxBytes", kMaxBytes}});
    const std::string token = "upload-token_0123456789abcdefghijklmnopqrstuvwxyz";
    ::chmod(backend.directory().writeFile("secret/api-token", token + "\n").c_str(), 0600);
    backend.setConfigValue("apiAccess", {{"tokenFile", "secret/api-token"}});
    ASSERT_TRUE(backend.launch()) << backend.output();
    const std::filesystem::path store = backend.directory() / "firmware-store";
    const std::string host = "Host: 127.0.0.1\r\nAuthorization: Bearer " + token + "\r\n";

    // Without the token nothing of the body is read.
    {
        CTestHttpClient client(backend.port());
        ASSERT_TRUE(
            client.sendRaw("POST /api/v1/firmware/store?name=a.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "Content-Length: 8388608\r\n\r\n"));
        EXPECT_EQ(client.readResponse().status, 401u);
    }

    // Declared too large: refused on the header, before a byte of the body is read.
    struct S_TooLarge
    {
        std::string target;
        std::uint64_t length;
    };
    for (const S_TooLarge& row :
         {S_TooLarge{"/api/v1/firmware/store?name=big.bin", kMaxBytes + 1},
          S_TooLarge{"/api/v1/firmware/inspect", (16u << 20) + 1},
          S_TooLarge{"/api/v1/firmware/store/" + std::string(64, '0') + "/signature", (16u << 20) + 1}})
    {
        CTestHttpClient client(backend.port());
        ASSERT_TRUE(client.sendRaw("POST " + row.target + " HTTP/1.1\r\n" + host +
                                   "Content-Length: " + std::to_string(row.length) + "\r\n\r\n"));
        const S_HttpResult refused = client.readResponse();
        EXPECT_EQ(refused.status, 413u) << row.target << refused.body;
        EXPECT_EQ(refused.json["error"]["code"], "REQUEST_TOO_LARGE") << row.target;
    }

    // Sent in chunks without a declared length, it is stored all the same.
    {
        CTestHttpClient client(backend.port());
        ASSERT_TRUE(
            client.sendRaw("POST /api/v1/firmware/store?name=chunked.bin HTTP/1.1\r\n" + host +
                           "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"));
        const S_HttpResult chunked = client.readResponse();
        ASSERT_EQ(chunked.status, 200u) << chunked.body;
        EXPECT_EQ(chunked.json["data"]["size"], 11u);
    }

    // A client gone mid-body: its temporary file goes, and no entry is added.
    {
        CTestHttpClient client(backend.port());
        ASSERT_TRUE(client.sendRaw("POST /api/v1/firmware/store?name=gone.bin HTTP/1.1\r\n" + host +
                                   "Content-Length: 8388608\r\n\r\n" + std::string(1 << 20, 'x')));
        ASSERT_TRUE(waitUntil([&] { return temporaryFiles(store) == 1; })) << backend.output();
    }
    EXPECT_TRUE(waitUntil([&] { return temporaryFiles(store) == 0; })) << backend.output();
    CUpgradeApi api(backend.port());
    api.setHeaders({{"Authorization", "Bearer " + token}});
    const S_HttpResult listed = api.get("/api/v1/firmware/store");
    ASSERT_EQ(listed.status, 200u) << listed.body;
    ASSERT_EQ(listed.json["data"]["entries"].size(), 1u) << listed.body;
    EXPECT_EQ(listed.json["data"]["entries"][0]["names"], json::array({"chunked.bin"}));

    // Every upload is in the audit trail like any other POST, refused, stored or broken off.
    const auto auditedStatuses = [&api]
    {
        std::multiset<unsigned> statuses;
        const json audit = api.get("/api/v1/audit?limit=50").json;
        for (const json& entry : audit["data"]["entries"])
        {
            if (entry["route"] == "/api/v1/firmware/store" && entry["status"].is_number())
            {
                statuses.insert(entry["status"].get<unsigned>());
            }
        }
        return statuses;
    };
    const std::multiset<unsigned> expected = {200, 400, 401, 413};
    EXPECT_TRUE(waitUntil([&] { return auditedStatuses() == expected; })) << json(auditedStatuses()).dump();

    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
