// The real ota-backend with the trust features configured, against the simulator: signed firmware
// from inspection to the task's start, the API behind its token, and an audit trail that survives
// a kill and refuses work it cannot record.
#include "app/upgrade_process_site.h"
#include "history/sqlite_test_access.h"
#include "sim/sim_test_support.h"
#include "support/signing_keys.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <fstream>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

const std::string kToken = "process-token_0123456789abcdefghijklmnopqrstuvwxyz";

std::filesystem::path writeTokenFile(const CUpgradeBackend& backend, mode_t mode)
{
    const std::filesystem::path file = backend.directory().writeFile("secret/api-token", kToken + "\n");
    ::chmod(file.c_str(), mode);
    return file;
}

class TrustProcessTest : public ::testing::Test
{
protected:
    void TearDown() override { simulator.stop(); }

    CDeviceSimulator simulator;
};

TEST_F(TrustProcessTest, SignedFirmwareIsCheckedAtInspectionPreviewAndTheTaskStart)
{
    const S_SimDeviceSpec device = quickDevice("emu-1", E_ProtocolDeviceType::EMU);
    startSimulator(simulator, {device});
    CUpgradeBackend backend(nodesOf(simulator, {device}));
    const S_TestKeyPair maker = makeKeyPair(backend.directory() / "keys", "maker", "RSA:2048");
    const S_TestKeyPair stranger = makeKeyPair(backend.directory() / "keys", "stranger", "EC:P-256");
    const S_TestKeyPair second = makeKeyPair(backend.directory() / "keys", "second", "EC:P-384");
    backend.setConfigValue("firmwareSignature",
                           {{"required", true}, {"publicKeyFiles", {"keys/second.pub", "keys/maker.pub"}}});
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    const std::string version = reportedVersion(status, "emu-1", "EMU", 1);

    const std::filesystem::path signedFile =
        std::filesystem::canonical(backend.writeFirmware("signed.bin", 4000));
    signFile(signedFile, maker.privateKey);
    const std::filesystem::path unsignedFile =
        std::filesystem::canonical(backend.writeFirmware("unsigned.bin", 4000, 2));
    const json signedEntry = firmwareEntry("emu:emu", signedFile, "9.0.0");

    const S_HttpResult inspected =
        api.post("/api/v1/firmware/inspect", json{{"files", json::array({signedEntry})}}.dump());
    ASSERT_EQ(inspected.status, 200u) << inspected.body;
    EXPECT_EQ(inspected.json["data"]["files"][0]["signature"],
              (json{{"keyFingerprint", maker.fingerprint}, {"verified", true}}));
    const S_HttpResult refused =
        api.post("/api/v1/firmware/inspect",
                 json{{"files", json::array({firmwareEntry("emu:emu", unsignedFile, "9.0.0")})}}.dump());
    EXPECT_EQ(refused.status, 422u);
    EXPECT_EQ(refused.json["error"]["code"], "FIRMWARE_INSPECTION_REJECTED");
    EXPECT_EQ(refused.json["error"]["message"], "Firmware signature is missing: " + unsignedFile.string());

    const json targets = {upgradeTarget("emu-1", "EMU", 1, version, "emu:emu")};
    signFile(unsignedFile, stranger.privateKey);
    const S_HttpResult foreignPreview = api.preview(
        previewBody("by_stranger", targets, json::array({firmwareEntry("emu:emu", unsignedFile, "9.0.0")})));
    EXPECT_EQ(foreignPreview.status, 422u);
    EXPECT_EQ(foreignPreview.json["error"]["message"],
              "Firmware signature is not valid: " + unsignedFile.string());

    // Previewed while signed; the signature replaced before the start: the task fails as a changed
    // file does, and the device never hears of it.
    const S_HttpResult preview = api.preview(previewBody("sig_swapped", targets, json::array({signedEntry})));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    EXPECT_EQ(preview.json["data"]["snapshot"]["files"][0]["signature"]["verified"], true);
    const std::uint32_t swapped = preview.json["data"]["snapshot"]["upgradeNo"];
    signFile(signedFile, stranger.privateKey);
    ASSERT_EQ(api.start().status, 202u);
    const json failed = api.waitEnded(swapped);
    ASSERT_TRUE(failed.is_object()) << backend.output();
    const std::string message = "Firmware signature is not valid: " + signedFile.string();
    EXPECT_EQ(failed["status"], "FAILED");
    EXPECT_EQ(failed["error"], message);
    EXPECT_EQ(findDevice(failed, "emu-1")["error"], message) << failed.dump();
    S_SimDeviceSnapshot held;
    std::string error;
    ASSERT_TRUE(simulator.snapshot("emu-1", held, error)) << error;
    EXPECT_FALSE(held.upgradeContextOpen) << "no frame of the task reached the device";

    // Signed again by a trusted key, the same file goes all the way.
    signFile(signedFile, maker.privateKey);
    const S_HttpResult again = api.preview(previewBody("sig_restored", targets, json::array({signedEntry})));
    ASSERT_EQ(again.status, 200u) << again.body;
    ASSERT_EQ(api.start().status, 202u);
    const json done = api.waitEnded(again.json["data"]["snapshot"]["upgradeNo"]);
    EXPECT_EQ(done["status"], "SUCCESS") << done.dump();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

TEST_F(TrustProcessTest, TheApiNeedsTheTokenFromTheFileAndBadKeysOrTokensStopStartUp)
{
    CUpgradeBackend backend({});
    backend.setConfigValue("apiAccess", {{"tokenFile", "secret/api-token"}});
    const std::filesystem::path tokenFile = writeTokenFile(backend, 0644);
    EXPECT_FALSE(backend.launch());
    EXPECT_EQ(backend.child().waitForExit(), 1);
    EXPECT_NE(backend.child().standardError().find("[INIT] API access configuration failed: API token file "
                                                   "must not be readable or writable by every "
                                                   "user (chmod o-rw): " +
                                                   tokenFile.string()),
              std::string::npos)
        << backend.output();
    EXPECT_EQ(backend.output().find(kToken), std::string::npos);

    const std::filesystem::path privateKey =
        makeKeyPair(backend.directory() / "keys", "maker", "EC:P-256").privateKey;
    backend.setConfigValue("firmwareSignature",
                           {{"required", false}, {"publicKeyFiles", {"keys/maker.key"}}});
    ASSERT_EQ(::chmod(tokenFile.c_str(), 0600), 0);
    EXPECT_FALSE(backend.launch());
    EXPECT_EQ(backend.child().waitForExit(), 1);
    EXPECT_NE(
        backend.child().standardError().find("[INIT] Firmware signature configuration failed: Firmware "
                                             "signature key file holds a private key (install the public key "
                                             "only): " +
                                             privateKey.string()),
        std::string::npos)
        << backend.output();

    backend.setConfigValue("firmwareSignature",
                           {{"required", false}, {"publicKeyFiles", {"keys/maker.pub"}}});
    ASSERT_TRUE(backend.launch()) << backend.output();
    CTestHttpClient client(backend.port());
    EXPECT_EQ(client.request("GET", "/api/v1/health").status, 200u);
    EXPECT_EQ(client.request("GET", "/").status, 200u) << "the console's files need no token";
    EXPECT_EQ(client.request("GET", "/api/v1/workspace").status, 401u);
    EXPECT_EQ(client.request("POST", "/api/v1/scene/reload").status, 401u);
    EXPECT_EQ(client.request("GET", "/api/v1/workspace", {}, {{"Authorization", "Bearer " + kToken}}).status,
              200u);
    const S_HttpResult login = client.request("POST", "/api/v1/session", json{{"token", kToken}}.dump());
    ASSERT_EQ(login.status, 200u);
    const std::string cookie = login.header("Set-Cookie").substr(0, login.header("Set-Cookie").find(';'));
    EXPECT_EQ(client.request("GET", "/api/v1/devices/status", {}, {{"Cookie", cookie}}).status, 200u);
    CTestEventClient events(backend.port());
    EXPECT_TRUE(events.connect("/api/v1/events", {{"Cookie", cookie}})) << events.failure();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
    EXPECT_EQ(backend.output().find(kToken), std::string::npos) << "the token is never logged";
    EXPECT_EQ(backend.output().find(cookie.substr(12)), std::string::npos) << "nor a session";
}

// Entries are on disk before their operations run: a kill right after an answer loses none, and a
// kill in the middle of an operation leaves its entry with the outcome unknown (status 0).
TEST_F(TrustProcessTest, TheAuditTrailSurvivesAKillAndRefusesWorkItCannotRecord)
{
    S_BackendSettings settings;
    settings.chunkSize = 32768;
    CUpgradeBackend backend({}, settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    const std::filesystem::path database = backend.directory() / "upgrade-history.db";
    {
        CUpgradeApi api(backend.port());
        ASSERT_EQ(api.post("/api/v1/devices/frames/capture", R"({"enabled":true})").status, 200u);
        ASSERT_EQ(api.post("/api/v1/upgrades/77/abort", "").status, 409u);
    }
    backend.child().sendSignal(SIGKILL);
    ASSERT_TRUE(backend.child().waitForExit().has_value());

    ASSERT_TRUE(backend.launch()) << backend.output();
    // A long digest: the firmware file is large (and sparse, so it costs no disk).
    const std::filesystem::path large = backend.directory() / "firmware/large.bin";
    std::filesystem::create_directories(large.parent_path());
    std::ofstream(large).close();
    std::filesystem::resize_file(large, 2'000'000'000);
    std::jthread inspection(
        [&]
        {
            CUpgradeApi api(backend.port(), std::chrono::seconds(120));
            api.post("/api/v1/firmware/inspect",
                     json{{"files", json::array({firmwareEntry("emu:emu", large, "1.0.0")})}}.dump());
        });
    CRawDatabase raw(database);
    ASSERT_TRUE(waitUntil(
        [&]
        {
            return raw.scalar(
                       "SELECT COUNT(*) FROM audit_log WHERE route='/api/v1/firmware/inspect' AND "
                       "status=0") == "1";
        }))
        << backend.output();
    backend.child().sendSignal(SIGKILL);
    ASSERT_TRUE(backend.child().waitForExit().has_value());
    inspection.join();

    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const S_HttpResult audit = api.get("/api/v1/audit?limit=10");
    ASSERT_EQ(audit.status, 200u) << audit.body;
    const json entries = audit.json["data"]["entries"];
    ASSERT_EQ(entries.size(), 3u) << audit.body;
    EXPECT_EQ(audit.json["data"]["nextBefore"], 0);
    EXPECT_EQ(entries[0]["route"], "/api/v1/firmware/inspect");
    EXPECT_EQ(entries[0]["status"], 0) << "the operation's outcome is unknown";
    EXPECT_EQ(entries[1]["route"], "/api/v1/upgrades/:upgradeNo/abort");
    EXPECT_EQ(entries[1]["status"], 409);
    EXPECT_EQ(entries[1]["errorCode"], "UPGRADE_ABORT_REJECTED");
    EXPECT_EQ(entries[1]["upgradeNo"], 77);
    EXPECT_EQ(entries[2]["route"], "/api/v1/devices/frames/capture");
    EXPECT_EQ(entries[2]["status"], 200);
    EXPECT_EQ(entries[2]["errorCode"], "");
    EXPECT_EQ(entries[2]["method"], "POST");
    EXPECT_TRUE(entries[2]["requestId"].get<std::string>().starts_with("ota-"));
    EXPECT_TRUE(entries[2]["client"].get<std::string>().starts_with("127.0.0.1:"));
    EXPECT_LT(entries[1]["id"], entries[0]["id"]);
    EXPECT_EQ(api.get("/api/v1/audit?limit=0").json["error"]["code"], "INVALID_REQUEST_QUERY");
    EXPECT_EQ(api.get("/api/v1/audit?before=abc").json["error"]["code"], "INVALID_REQUEST_QUERY");
    const S_HttpResult page = api.get("/api/v1/audit?limit=1&before=" + entries[0]["id"].dump());
    ASSERT_EQ(page.json["data"]["entries"].size(), 1u);
    EXPECT_EQ(page.json["data"]["entries"][0]["id"], entries[1]["id"]);
    EXPECT_EQ(page.json["data"]["nextBefore"], entries[1]["id"]);

    // Another process holds the database: the entry cannot be written, so the switch is not made.
    ASSERT_EQ(api.post("/api/v1/devices/frames/capture", R"({"enabled":true})").status, 200u);
    ASSERT_EQ(raw.execute("BEGIN EXCLUSIVE"), "");
    const S_HttpResult blocked = api.post("/api/v1/devices/frames/capture", R"({"enabled":false})");
    ASSERT_EQ(raw.execute("COMMIT"), "");
    EXPECT_EQ(blocked.status, 503u) << blocked.body;
    EXPECT_EQ(blocked.json["error"]["code"], "AUDIT_UNAVAILABLE");
    EXPECT_EQ(api.get("/api/v1/devices/frames").json["data"]["enabled"], true) << "nothing ran";
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
