// The ota-device-sim executable: help, errors, a generated site and a clean stop on signals.
#include "sim/sim_test_support.h"

#include "support/child_process.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>

namespace ota::test
{
namespace
{

using namespace ota::backend;

const std::filesystem::path SIMULATOR = std::filesystem::path(OTA_BINARY_DIR) / "ota-device-sim";

// A base port for a small generated site; the simulator refuses taken ports, so a retry with
// another base covers the rare clash with a parallel test.
std::uint16_t randomBasePort()
{
    std::random_device device;
    return static_cast<std::uint16_t>(std::uniform_int_distribution<int>(20000, 30000)(device));
}

TEST(SimExecutableTest, HelpAndCommandLineErrors)
{
    const S_ProcessResult help = runProcess(SIMULATOR, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.standardOutput.find("--generate-site DIR"), std::string::npos);
    const S_ProcessResult bad = runProcess(SIMULATOR, {"--topology"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.standardError.find("[ERROR] --topology needs a value"), std::string::npos) << bad.standardError;
    CTempDirectory directory;
    const S_ProcessResult missing = runProcess(SIMULATOR, {"--topology", (directory / "none.json").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.standardError.find("Topology file does not exist"), std::string::npos) << missing.standardError;
}

TEST(SimExecutableTest, GeneratedSiteAnswersAndStopsCleanlyWithASummary)
{
    CTempDirectory directory;
    for (int attempt = 0; attempt < 5; ++attempt)
    {
        const std::uint16_t basePort = randomBasePort();
        CChildProcess process(SIMULATOR, {"--generate-site", (directory / "site").string(), "--emu", "1", "--pcs", "1",
                                          "--bms", "1", "--bcu", "12", "--base-port", std::to_string(basePort)});
        if (!process.waitForOutput("[READY] Simulating 3 device(s)"))
        {
            ASSERT_NE(process.standardError().find("Address already in use"), std::string::npos) << process.standardError();
            continue;  // a port was taken: try another range
        }
        CSimTestClient client("BMS");
        ASSERT_TRUE(client.connect(static_cast<std::uint16_t>(basePort + 2)));
        const auto greeting = client.nextEvent();
        ASSERT_TRUE(greeting && greeting->deviceStatus());
        EXPECT_EQ(greeting->deviceStatus()->components.size(), 14u);  // the generated 12-BCU setting applied
        ASSERT_TRUE(client.queryStatus(4));
        ASSERT_TRUE(client.nextEvent());
        client.close();
        EXPECT_TRUE(process.waitForOutput("[SIM] bms-1 connection closed by peer"));

        // The same site again: every port is taken now.
        const S_ProcessResult clash = runProcess(
            SIMULATOR, {"--topology", (directory / "site" / "site.json").string(), "--quiet"});
        EXPECT_EQ(clash.exitCode, 1);
        EXPECT_NE(clash.standardError.find("[ERROR] Cannot bind 127.0.0.1:" + std::to_string(basePort) +
                                           " for simulated device emu-1: Address already in use"),
                  std::string::npos)
            << clash.standardError;

        process.sendSignal(SIGTERM);
        ASSERT_EQ(process.waitForExit(), 0);
        const std::string output = process.standardOutput();
        EXPECT_NE(output.find("[SUMMARY] bms-1 received{MSG_QUERY_STATUS=1} sent{MSG_DEVICE_STATUS=2}"),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("[STOP] Device simulator stopped"), std::string::npos);
        EXPECT_TRUE(std::filesystem::exists(directory / "site" / "ota-backend.json"));
        return;
    }
    FAIL() << "no free port range found";
}

TEST(SimExecutableTest, NonLoopbackTopologyIsRefused)
{
    CTempDirectory directory;
    const std::filesystem::path topology = directory.writeFile("site.json", R"({"schemaVersion":2,
        "sceneProfile":{"id":"p","displayName":"P","nodeTypes":[
          {"id":"pcs","displayName":"PCS","role":"COMMUNICATION_NODE","capabilities":{"supportsCommunication":true,
           "supportsRuntimeDiscovery":false,"supportsUpgrade":true,"visibleInUpgrade":true}}]},
        "nodes":[{"id":"pcs-1","parentId":"","typeId":"pcs","name":"PCS 1","protocolAdapterId":"ota-v1",
                  "address":"0.0.0.0","port":19001,"protocolNodeType":"PCS"}]})");
    const S_ProcessResult result = runProcess(SIMULATOR, {"--topology", topology.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardError.find("[ERROR] Topology node pcs-1: address 0.0.0.0 is not a loopback address"),
              std::string::npos)
        << result.standardError;
}

}  // namespace
}  // namespace ota::test
