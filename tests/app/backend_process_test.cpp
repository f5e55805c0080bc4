// Runs the real ota-backend executable as a child process.

#include "api/api_test_client.h"
#include "support/child_process.h"
#include "support/free_port.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

namespace ota::test
{
namespace
{

const std::filesystem::path kBackend = OTA_BACKEND_EXE;

std::string configText(const std::string& extra = "")
{
    return "{\"httpHost\":\"127.0.0.1\",\"httpPort\":" + std::to_string(findFreeLoopbackPort()) +
           ",\"deviceConcurrency\":4,\"connectTimeoutMs\":1000,"
           "\"ackTimeoutMs\":1000,\"stageTimeoutMs\":1000,\"flashTimeoutMs\":1000,\"restartTimeoutMs\":1000,"
           "\"chunkSize\":1024" +
           extra + "}";
}

TEST(BackendProcess, HelpPrintsUsageAndExitsZero)
{
    const S_ProcessResult result = runProcess(kBackend, {"--topology-file", "x.json", "-h"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.standardOutput.find("Usage: " + kBackend.string() +
                                         " [--config <path>] [--topology-file <path>]"),
              std::string::npos);
    EXPECT_EQ(result.standardOutput.find("[INFO] Configuration:"), std::string::npos);
}

TEST(BackendProcess, CommandLineErrorPrintsUsageAndExitsOne)
{
    const S_ProcessResult result = runProcess(kBackend, {"--config"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardError.find("[ERROR] Argument value cannot be empty: --config"),
              std::string::npos);
    EXPECT_NE(result.standardOutput.find("Usage: "), std::string::npos);
}

TEST(BackendProcess, InvalidConfigurationExitsOne)
{
    CTempDirectory directory;
    const auto config = directory.writeFile("ota-backend.json", "{\"httpHost\":\"localhost\"}");
    const S_ProcessResult result = runProcess(kBackend, {"--config", config.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardOutput.find("[INFO] Configuration: " + config.string()), std::string::npos);
    EXPECT_NE(
        result.standardError.find("[INIT] Configuration load failed: Invalid configuration '" +
                                  config.string() + "': Missing required configuration field: ackTimeoutMs"),
        std::string::npos)
        << result.standardError;
    EXPECT_NE(result.standardError.find("[ERROR] OTA backend initialization failed: Invalid configuration '"),
              std::string::npos);
}

TEST(BackendProcess, MissingConfigurationExitsOne)
{
    CTempDirectory directory;
    const S_ProcessResult result = runProcess(kBackend, {"--config", (directory / "none.json").string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(
        result.standardError.find("[ERROR] OTA backend initialization failed: Configuration file is not a "
                                  "regular file: "),
        std::string::npos);
}

TEST(BackendProcess, InvalidTopologyExitsOne)
{
    CTempDirectory directory;
    directory.writeFile("site.json", "{\"schemaVersion\":2");
    const auto config =
        directory.writeFile("ota-backend.json", configText(",\"topologyFile\":\"site.json\""));
    const S_ProcessResult result = runProcess(kBackend, {"--config", config.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardError.find("[INIT] Initial topology load failed: "), std::string::npos)
        << result.standardError;
    EXPECT_NE(result.standardError.find("[ERROR] OTA backend initialization failed: "), std::string::npos);
}

TEST(BackendProcess, StartsWithExampleSiteAndStopsCleanlyOnSigterm)
{
    // The example configuration as shipped, moved to a free port so it never meets a running service.
    const std::filesystem::path examples = std::filesystem::path(OTA_SOURCE_DIR) / "examples";
    nlohmann::json example = nlohmann::json::parse(readWholeFile(examples / "config/ota-backend.json"));
    example["httpPort"] = findFreeLoopbackPort();
    CTempDirectory directory;
    example["topologyFile"] =
        directory.writeFile("site.json", readWholeFile(examples / "topology/site.json")).string();
    const auto config = directory.writeFile("ota-backend.json", example.dump());
    CChildProcess child(kBackend, {"--config", config.string()});
    ASSERT_TRUE(child.waitForOutput("[INFO] Operator console: http://"))
        << child.standardOutput() << child.standardError();
    const std::string output = child.standardOutput();
    EXPECT_NE(output.find("[INIT] Initial topology loaded\n[INIT] Direct device count: 5"), std::string::npos)
        << output;
    // The ready banner is one block of lines in a fixed order; the console's address follows it.
    const std::string port = std::to_string(example["httpPort"].get<unsigned>());
    const std::string banner =
        "[READY] OTA backend runtime baseline is ready\n"
        "[INFO] Topology file: " +
        example["topologyFile"].get<std::string>() +
        "\n"
        "[INFO] Topology configured: true\n"
        "[INFO] Direct device count: 5\n"
        "[INFO] API: GET  /api/v1/health\n"
        "[INFO] API: GET  /api/v1/workspace\n"
        "[INFO] API: POST /api/v1/scene/reload\n"
        "[INFO] API: POST /api/v1/firmware/inspect\n"
        "[INFO] API: POST /api/v1/upgrades/preview\n"
        "[INFO] API: POST /api/v1/upgrades/start\n"
        "[INFO] API: POST /api/v1/upgrades/:upgradeNo/abort\n"
        "[INFO] API: GET  /api/v1/upgrades/current\n"
        "[INFO] API: GET  /api/v1/upgrades/history\n"
        "[INFO] API: POST /api/v1/upgrades/history/clear\n"
        "[INFO] API: GET  /api/v1/devices/status\n"
        "[INFO] API: GET  /api/v1/devices/frames\n"
        "[INFO] API: POST /api/v1/devices/frames/capture\n"
        "[INFO] API: POST /api/v1/devices/status-query\n"
        "[INFO] API: POST /api/v1/devices/reconnect\n"
        "[INFO] Process is running; press Ctrl+C to stop\n"
        "[INFO] Device TCP status synchronization: enabled\n"
        "[INFO] WebSocket events: ws://127.0.0.1:" +
        port +
        "/api/v1/events (upgrade.current, device.status, communication.snapshot)\n"
        "[INFO] Operator console: http://127.0.0.1:" +
        port + "/\n";
    EXPECT_NE(output.find(banner), std::string::npos) << output;
    child.sendSignal(SIGTERM);
    ASSERT_EQ(child.waitForExit(), 0) << child.standardError();
    const std::string finalOutput = child.standardOutput();
    EXPECT_NE(finalOutput.find("[STOP] Stop signal received\n"), std::string::npos);
    EXPECT_NE(finalOutput.find("[STOP] OTA backend stopped cleanly\n"), std::string::npos);
}

TEST(BackendProcess, ServesHealthAndWorkspaceOfTheExampleSite)
{
    const std::filesystem::path examples = std::filesystem::path(OTA_SOURCE_DIR) / "examples";
    nlohmann::json example = nlohmann::json::parse(readWholeFile(examples / "config/ota-backend.json"));
    const std::uint16_t port = findFreeLoopbackPort();
    example["httpPort"] = port;
    CTempDirectory directory;
    example["topologyFile"] =
        directory.writeFile("site.json", readWholeFile(examples / "topology/site.json")).string();
    example["deviceTcpEnabled"] = false;
    const auto config = directory.writeFile("ota-backend.json", example.dump());
    CChildProcess child(kBackend, {"--config", config.string()});
    ASSERT_TRUE(child.waitForOutput("[INFO] WebSocket events: ws://")) << child.standardError();

    CTestHttpClient client(port);
    const S_HttpResult health = client.request("GET", "/api/v1/health");
    ASSERT_TRUE(health.received) << health.failure;
    EXPECT_EQ(health.status, 200u);
    EXPECT_EQ(health.json["success"], true);
    EXPECT_EQ(health.json["data"]["service"], "ota-backend");
    EXPECT_EQ(health.json["data"]["topologyConfigured"], true);
    EXPECT_EQ(health.json["data"]["sceneGeneration"], 1);
    EXPECT_EQ(health.json["data"]["directDeviceCount"], 5);
    EXPECT_EQ(health.json["data"]["httpPort"], port);
    EXPECT_EQ(health.json["data"]["features"]["historyPersistence"], true);
    EXPECT_EQ(health.json["meta"]["apiVersion"], 1);

    const S_HttpResult workspace = client.request("GET", "/api/v1/workspace");
    ASSERT_TRUE(workspace.received) << workspace.failure;
    EXPECT_EQ(workspace.status, 200u);
    EXPECT_EQ(workspace.json["data"]["operation"], "WORKSPACE_READ");
    EXPECT_EQ(workspace.json["data"]["status"], "READY");
    EXPECT_EQ(workspace.json["data"]["directDeviceCount"], 5);
    EXPECT_TRUE(workspace.json["data"]["topology"].is_object());

    const S_HttpResult capacity = client.request("GET", "/api/v1/system/capacity");
    EXPECT_EQ(capacity.status, 200u);
    EXPECT_EQ(capacity.json["data"]["absoluteDeviceConcurrencyLimit"], 32);

    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 0);
    EXPECT_NE(child.standardOutput().find("[HTTP] GET /api/v1/health -> 200 (requestId=ota-"),
              std::string::npos);
}

TEST(BackendProcess, FirmwareInspectionAndHistoryRoutes)
{
    CTempDirectory directory;
    const std::uint16_t port = findFreeLoopbackPort();
    nlohmann::json config = nlohmann::json::parse(configText());
    config["httpPort"] = port;
    const auto configPath = directory.writeFile("ota-backend.json", config.dump());
    const auto firmware = directory.writeFile("fw/emu.bin", std::string(2500, 'x'));
    CChildProcess child(kBackend, {"--config", configPath.string()});
    ASSERT_TRUE(child.waitForOutput("[INFO] WebSocket events: ws://")) << child.standardError();
    EXPECT_TRUE(std::filesystem::exists(directory / "upgrade-history.db"));
    EXPECT_NE(child.standardOutput().find("[INIT] Upgrade history repository opened"), std::string::npos);

    CTestHttpClient client(port);
    const nlohmann::json request = {
        {"files",
         {{{"fileSlotKey", "emu:emu"}, {"filePath", firmware.string()}, {"targetVersion", "1.2.3"}}}}};
    const S_HttpResult inspected = client.request("POST", "/api/v1/firmware/inspect", request.dump(),
                                                  {{"Content-Type", "application/json"}});
    ASSERT_TRUE(inspected.received) << inspected.failure;
    EXPECT_EQ(inspected.status, 200u) << inspected.body;
    EXPECT_EQ(inspected.json["data"]["files"][0]["fileSize"], 2500) << inspected.body;
    const S_HttpResult rejected = client.request("POST", "/api/v1/firmware/inspect", "{\"files\":[]}");
    EXPECT_EQ(rejected.status, 422u) << rejected.body;
    EXPECT_EQ(rejected.json["error"]["code"], "FIRMWARE_INSPECTION_REJECTED");

    const S_HttpResult history = client.request("GET", "/api/v1/upgrades/history");
    EXPECT_EQ(history.status, 200u) << history.body;
    EXPECT_EQ(history.json["success"], true);
    const S_HttpResult cleared = client.request("POST", "/api/v1/upgrades/history/clear");
    EXPECT_EQ(cleared.status, 200u) << cleared.body;

    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 0);
    const std::string output = child.standardOutput();
    EXPECT_NE(output.find("[FIRMWARE] Inspect request received"), std::string::npos);
    EXPECT_NE(child.standardError().find("[FIRMWARE] File inspection rejected: "), std::string::npos);
}

TEST(BackendProcess, DatabaseThatIsNotSqliteStopsStartAndIsKept)
{
    CTempDirectory directory;
    const auto config = directory.writeFile("ota-backend.json", configText());
    const std::string garbage(8192, 'g');
    const auto database = directory.writeFile("upgrade-history.db", garbage);
    const S_ProcessResult result = runProcess(kBackend, {"--config", config.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardError.find("[INIT] Upgrade history repository open failed: "), std::string::npos)
        << result.standardError;
    EXPECT_EQ(readWholeFile(database), garbage);
}

TEST(BackendProcess, PortInUseFailsStartWithExitOne)
{
    CTempDirectory directory;
    const auto config = directory.writeFile("ota-backend.json", configText());
    CChildProcess first(kBackend, {"--config", config.string()});
    ASSERT_TRUE(first.waitForOutput("[INFO] WebSocket events: ws://")) << first.standardError();
    const S_ProcessResult second = runProcess(kBackend, {"--config", config.string()});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.standardError.find("[ERROR] HTTP API server start failed: "), std::string::npos)
        << second.standardError;
    EXPECT_EQ(second.standardOutput.find("[READY]"), std::string::npos);
    first.sendSignal(SIGTERM);
    EXPECT_EQ(first.waitForExit(), 0);
}

TEST(BackendProcess, AbsentTopologyStartsWithEmptyWorkspaceAndStopsOnSigint)
{
    CTempDirectory directory;
    const auto config =
        directory.writeFile("conf/ota-backend.json", configText(",\"deviceTcpEnabled\":false"));
    const auto topology = directory / "later/site.json";
    CChildProcess child(kBackend, {"--config", config.string(), "--topology-file", topology.string()});
    ASSERT_TRUE(child.waitForOutput("[INFO] WebSocket events: ws://"))
        << child.standardOutput() << child.standardError();
    const std::string output = child.standardOutput();
    EXPECT_NE(output.find("[INFO] Topology override: " + topology.string()), std::string::npos);
    EXPECT_NE(
        output.find("[INIT] Upgrade history database: " + (directory / "later/upgrade-history.db").string()),
        std::string::npos)
        << output;
    EXPECT_NE(output.find("[INIT] Topology file is not present yet; HTTP will start with an empty workspace\n"
                          "[INIT] Topology file does not exist: " +
                          topology.string()),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("[INFO] Topology configured: false\n[INFO] Direct device count: 0"),
              std::string::npos);
    EXPECT_NE(output.find("[INFO] Device TCP status synchronization: disabled"), std::string::npos);
    child.sendSignal(SIGINT);
    EXPECT_EQ(child.waitForExit(), 0);
}

TEST(BackendProcess, NoArgumentsReadsConfigurationBesideExecutable)
{
    CTempDirectory directory;
    const auto executable = directory / "bin/ota-backend";
    std::filesystem::create_directories(executable.parent_path());
    std::filesystem::copy_file(kBackend, executable);
    const auto config = directory.writeFile("bin/config/ota-backend.json", configText());
    CChildProcess child(executable, {});
    ASSERT_TRUE(child.waitForOutput("[INFO] WebSocket events: ws://")) << child.standardError();
    EXPECT_NE(child.standardOutput().find("[INFO] Configuration: " + config.string() + "\n"),
              std::string::npos)
        << child.standardOutput();
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 0);
}

TEST(BackendProcess, NoTopologyConfiguredPutsHistoryBesideConfiguration)
{
    CTempDirectory directory;
    const auto config = directory.writeFile("conf/ota-backend.json", configText());
    CChildProcess child(kBackend, {"--config", config.string()});
    ASSERT_TRUE(child.waitForOutput("[INFO] WebSocket events: ws://")) << child.standardError();
    const std::string output = child.standardOutput();
    EXPECT_NE(
        output.find("[INIT] Upgrade history database: " + (directory / "conf/upgrade-history.db").string()),
        std::string::npos);
    EXPECT_NE(output.find("[INIT] No topology file is configured; HTTP will start with an empty workspace"),
              std::string::npos);
    EXPECT_NE(output.find("[INFO] Topology file: not configured"), std::string::npos);
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 0);
}

}  // namespace
}  // namespace ota::test
