// Site-level parts of the simulator: topology reading, site generation, scenario files, the
// command line, and a site of 1,000 devices on one event loop.
#include "sim/sim_test_support.h"

#include "scenario/scene_topology.h"
#include "sim/cli_options.h"
#include "sim/scenario_file.h"
#include "sim/site_generator.h"
#include "sim/topology_devices.h"
#include "support/temp_directory.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace ota::test
{
namespace
{

using namespace ota::backend;

S_SiteLayout layout(unsigned emu, unsigned pcs, unsigned bms)
{
    S_SiteLayout result;
    result.emuCount = emu;
    result.pcsCount = pcs;
    result.bmsCount = bms;
    return result;
}

TEST(SimSiteGeneratorTest, ContainersGroupOneDeviceOfEachTypeOnConsecutivePorts)
{
    ota::scenario::S_SceneTopology topology;
    std::string error;
    ASSERT_TRUE(buildSiteTopology(layout(1, 4, 3), topology, error)) << error;
    EXPECT_EQ(topology.directDeviceCount(), 8u);
    EXPECT_EQ(topology.nodeCount(), 12u);  // 4 containers
    std::vector<S_SimDeviceSpec> devices;
    ASSERT_TRUE(simDevicesFromTopology(topology, devices, error)) << error;
    ASSERT_EQ(devices.size(), 8u);
    EXPECT_EQ(devices[0].nodeId, "emu-1");
    EXPECT_EQ(devices[0].port, 19001);
    EXPECT_EQ(devices[1].nodeId, "pcs-1");
    EXPECT_EQ(devices[7].nodeId, "bms-3");
    EXPECT_EQ(devices[7].port, 19008);
    EXPECT_EQ(devices[7].deviceType, toProtocolByte(E_ProtocolDeviceType::BMS));
    EXPECT_EQ(devices[7].ancestorIds, std::vector<std::string>{"container-3"});

    EXPECT_FALSE(buildSiteTopology(layout(0, 0, 0), topology, error));
    S_SiteLayout tooHigh = layout(1, 1, 1);
    tooHigh.basePort = 65534;
    EXPECT_FALSE(buildSiteTopology(tooHigh, topology, error));
    EXPECT_EQ(error, "Ports 65534..65536 do not fit below 65536");
}

TEST(SimSiteGeneratorTest, WrittenFilesLoadBackAsTheSameSite)
{
    CTempDirectory directory;
    S_SiteLayout site = layout(1, 1, 2);
    site.bcuCount = 12;
    S_GeneratedSiteFiles files;
    std::string error;
    ASSERT_TRUE(writeSiteFiles(site, directory.path() / "site", files, error)) << error;
    std::vector<S_SimDeviceSpec> devices;
    ASSERT_TRUE(loadSimDevicesFromTopologyFile(files.topologyFile, devices, error)) << error;
    ASSERT_EQ(devices.size(), 4u);
    S_SimScenario scenario;
    ASSERT_TRUE(loadSimScenarioFile(files.scenarioFile, scenario, error)) << error;
    ASSERT_TRUE(applySimScenario(scenario, devices, error)) << error;
    EXPECT_EQ(devices[3].bmsBcuCount, 12u);
    EXPECT_EQ(devices[0].bmsBcuCount, 6u);  // the rule selects BMSs only
    const std::string config = readWholeFile(files.configFile);
    EXPECT_NE(config.find("\"topologyFile\":\"site.json\""), std::string::npos) << config;
    EXPECT_NE(config.find("\"httpHost\":\"127.0.0.1\""), std::string::npos) << config;
}

TEST(SimTopologyTest, NodesThatCannotBeSimulatedAreNamed)
{
    ota::scenario::S_SceneTopology topology;
    std::string error;
    ASSERT_TRUE(buildSiteTopology(layout(1, 1, 0), topology, error));
    std::vector<S_SimDeviceSpec> devices;
    auto remote = topology;
    remote.nodes.back().address = "192.168.1.20";
    EXPECT_FALSE(simDevicesFromTopology(remote, devices, error));
    EXPECT_EQ(error,
              "Topology node pcs-1: address 192.168.1.20 is not a loopback address; the simulator listens on "
              "loopback only");
    auto named = topology;
    named.nodes.back().address = "localhost";
    EXPECT_FALSE(simDevicesFromTopology(named, devices, error));
    EXPECT_EQ(error, "Topology node pcs-1: address 'localhost' is not a numeric IP address");
    auto inverter = topology;
    inverter.nodes.back().protocolNodeType = "INVERTER";
    EXPECT_FALSE(simDevicesFromTopology(inverter, devices, error));
    EXPECT_EQ(error, "Topology node pcs-1: protocolNodeType INVERTER is not EMU, PCS or BMS");
    CTempDirectory directory;
    EXPECT_FALSE(loadSimDevicesFromTopologyFile(directory / "missing.json", devices, error));
    EXPECT_NE(error.find("missing.json"), std::string::npos);
}

TEST(SimScenarioTest, RulesSelectByIdTypeAndGroupAndApplyInOrder)
{
    const std::string text = R"({"schemaVersion":1,"rules":[
        {"settings":{"replyLatencyMs":5,"versions":{"BMS_BCU":"0.9"}}},
        {"deviceType":"pcs","settings":{"flashMs":1000,"statusOnConnect":false,"versions":{"PCS_FPGA":"3.1"}},
         "faults":[{"fault":"LATE_ACK","request":"START_FLASH","delayMs":2000}]},
        {"groupId":"container-2","settings":{"bcuCount":12,"versions":{"BMS_BCU#12":"1.2"}}},
        {"nodeIds":["emu-1"],"faults":[{"fault":"SILENT","times":2},{"fault":"GARBAGE_BYTES","count":10}]}
    ]})";
    S_SimScenario scenario;
    std::string error;
    ASSERT_TRUE(parseSimScenarioText(text, scenario, error)) << error;
    ota::scenario::S_SceneTopology topology;
    ASSERT_TRUE(buildSiteTopology(layout(1, 2, 2), topology, error));
    std::vector<S_SimDeviceSpec> devices;
    ASSERT_TRUE(simDevicesFromTopology(topology, devices, error));
    ASSERT_TRUE(applySimScenario(scenario, devices, error)) << error;
    // emu-1, pcs-1, pcs-2, bms-1, bms-2
    EXPECT_EQ(devices[0].timings.replyLatencyMs, 5u);
    ASSERT_EQ(devices[0].faults.size(), 2u);
    EXPECT_EQ(devices[0].faults[0].times, 2u);
    EXPECT_EQ(devices[0].faults[1].count, 10u);
    EXPECT_EQ(devices[1].timings.flashMs, 1000u);
    EXPECT_FALSE(devices[2].statusOnConnect);
    ASSERT_EQ(devices[2].faults.size(), 1u);
    EXPECT_EQ(devices[2].faults[0].delayMs, 2000u);
    EXPECT_EQ(devices[2].components[2].version, "3.1");
    EXPECT_EQ(devices[3].components[2].version, "0.9");  // BCU1
    EXPECT_EQ(devices[4].bmsBcuCount, 12u);
    ASSERT_EQ(devices[4].components.size(), 14u);
    EXPECT_EQ(devices[4].components[13].version, "1.2");
    EXPECT_EQ(devices[4].components[12].version, "0.9");
    for (const S_SimDeviceSpec& device : devices)
    {
        EXPECT_TRUE(validateSimDeviceSpec(device, error)) << error;
    }
}

TEST(SimScenarioTest, MistakesAreReportedWithTheirPlace)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"schemaVersion":2,"rules":[]})", "Unsupported scenario schema version: 2"},
        {R"({"rules":[]})", "root is missing required field: schemaVersion"},
        {R"({"schemaVersion":1,"rules":[],"extra":1})", "root contains unknown field: extra"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"LATE_ACK"}]}]})",
         "rules[0].faults[0] is missing required field: delayMs"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"LATE_ACK","delayMs":5,"chunkNo":1}]}]})",
         "rules[0].faults[0] contains unknown field: chunkNo"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"EXPLODE"}]}]})",
         "rules[0].faults[0].fault names no fault: EXPLODE"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"STAGE_FAILURE","stage":"STATUS_SYNCED"}]}]})",
         "rules[0].faults[0]: Fault STAGE_FAILURE does not apply to stage STATUS_SYNCED"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"DISCONNECT","request":"START_FLASH","chunkNo":2}]}]})",
         "rules[0].faults[0]: Fault DISCONNECT takes fileNo and chunkNo only for request FILE_CHUNK"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"REFUSE_COMMAND","request":"START_FLASH","reasonCode":0}]}]})",
         "rules[0].faults[0].reasonCode must be 1..19"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"FAULT_AFTER_RESTART","reasonCode":3}]}]})",
         "rules[0].faults[0] is missing required field: delayMs"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"FAULT_AFTER_RESTART","delayMs":5,"reasonCode":20}]}]})",
         "rules[0].faults[0].reasonCode must be 1..19"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"ROLLBACK_AFTER_RESTART","delayMs":0}]}]})",
         "rules[0].faults[0].delayMs must be 1..600000"},
        {R"({"schemaVersion":1,"rules":[{"faults":[{"fault":"DISCONNECT_AFTER_RESTART","delayMs":5,"reasonCode":1}]}]})",
         "rules[0].faults[0] contains unknown field: reasonCode"},
        {R"({"schemaVersion":1,"rules":[{"settings":{"flashMs":-1}}]})",
         "rules[0].settings.flashMs must be an unsigned integer"},
        {R"({"schemaVersion":1,"rules":[{"settings":{"bcuCount":8}}]})",
         "rules[0].settings.bcuCount must be 6 or 12"},
        {R"({"schemaVersion":1,"rules":[{"settings":{"versions":{"PCS_DSP1":"01234567890123456789012345678901"}}}]})",
         "rules[0].settings.versions.PCS_DSP1 must be a version text of 1 to 31 bytes"},
        {R"({"schemaVersion":1,"rules":[{"settings":{"versions":{"BMS_BCU#13":"1"}}}]})",
         "rules[0].settings.versions.BMS_BCU#13 has an invalid component index"},
        {R"({"schemaVersion":1,"rules":[{"deviceType":"INVERTER"}]})",
         "rules[0].deviceType must be EMU, PCS or BMS"},
        {"[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]", "Invalid scenario JSON: nesting deeper than 16 levels"},
    };
    for (const auto& [text, expected] : cases)
    {
        S_SimScenario scenario;
        std::string error;
        EXPECT_FALSE(parseSimScenarioText(text, scenario, error)) << text;
        EXPECT_EQ(error, expected) << text;
    }
    S_SimScenario scenario;
    std::string error;
    ASSERT_TRUE(
        parseSimScenarioText(R"({"schemaVersion":1,"rules":[{"nodeIds":["pcs-9"]}]})", scenario, error));
    std::vector<S_SimDeviceSpec> devices = {quickDevice("pcs-1", E_ProtocolDeviceType::PCS)};
    EXPECT_FALSE(applySimScenario(scenario, devices, error));
    EXPECT_EQ(error, "Scenario rules[0].nodeIds[0] names no simulated device: pcs-9");
}

TEST(SimCommandLineTest, ParsesBothCommandsAndRejectsMixtures)
{
    S_SimCommandLine parsed;
    std::string error;
    ASSERT_TRUE(
        parseSimCommandLine({"--topology", "site.json", "--scenario", "s.json", "--quiet"}, parsed, error));
    EXPECT_EQ(parsed.command, E_SimCommand::SIMULATE_TOPOLOGY);
    EXPECT_EQ(parsed.scenarioFile, "s.json");
    EXPECT_EQ(parsed.logLevel, E_SimLogLevel::QUIET);
    ASSERT_TRUE(parseSimCommandLine({"--generate-site", "out", "--emu", "1", "--pcs", "2", "--bms", "3",
                                     "--bcu", "12", "--base-port", "30000"},
                                    parsed, error))
        << error;
    EXPECT_EQ(parsed.command, E_SimCommand::GENERATE_SITE);
    EXPECT_EQ(parsed.layout.bmsCount, 3u);
    EXPECT_EQ(parsed.layout.bcuCount, 12u);
    EXPECT_EQ(parsed.layout.basePort, 30000);
    ASSERT_TRUE(parseSimCommandLine({"--help"}, parsed, error));
    EXPECT_EQ(parsed.command, E_SimCommand::HELP);

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, "Give exactly one of --topology FILE and --generate-site DIR"},
        {{"--topology", "a", "--generate-site", "b"},
         "Give exactly one of --topology FILE and --generate-site DIR"},
        {{"--generate-site", "out", "--emu", "1"}, "--generate-site needs --emu N, --pcs N and --bms N"},
        {{"--topology", "a", "--emu", "1"},
         "--emu, --pcs, --bms, --bcu, --base-port, --address and --http-port belong to --generate-site"},
        {{"--generate-site", "out", "--emu", "1", "--pcs", "1", "--bms", "1", "--bcu", "8"},
         "--bcu must be 6 or 12"},
        {{"--generate-site", "out", "--emu", "-1"}, "--emu needs a decimal number, got '-1'"},
        {{"--topology"}, "--topology needs a value"},
        {{"--topology", "a", "--quiet", "--verbose"}, "--quiet and --verbose exclude each other"},
        {{"--frobnicate"}, "Unknown argument: --frobnicate"},
    };
    for (const auto& [arguments, expected] : bad)
    {
        EXPECT_FALSE(parseSimCommandLine(arguments, parsed, error));
        EXPECT_EQ(error, expected);
    }
}

TEST(SimThousandDevicesTest, EveryDeviceAcceptsAndAnswersAStatusQuery)
{
    constexpr int DEVICE_COUNT = 1000;
    ASSERT_GE(raiseOpenFileLimit(), 3 * DEVICE_COUNT + 100u) << "not enough file descriptors for the test";
    std::vector<S_SimDeviceSpec> devices;
    const E_ProtocolDeviceType types[] = {E_ProtocolDeviceType::EMU, E_ProtocolDeviceType::PCS,
                                          E_ProtocolDeviceType::BMS};
    for (int index = 0; index < DEVICE_COUNT; ++index)
    {
        devices.push_back(quickDevice("dev-" + std::to_string(index), types[index % 3]));
    }
    CDeviceSimulator simulator(S_SimOptions{E_SimLogLevel::QUIET});
    startSimulator(simulator, devices);
    // Every wait below is on something the test can see and report: the simulator's own counters
    // say how far it got when a bound passes, so a failure tells a slow box from a lost link.
    const auto totals = [&simulator]
    {
        S_SimDeviceCounters sum;
        for (const S_SimDeviceSnapshot& snapshot : simulator.snapshots())
        {
            sum.add(snapshot.counters);
        }
        return sum;
    };
    const auto progress = [&totals]
    {
        const S_SimDeviceCounters sum = totals();
        return "simulator accepted " + std::to_string(sum.connectionsAccepted) + ", sent " +
               std::to_string(sum.framesSent[toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STATUS)]) +
               " status frames";
    };
    std::vector<std::unique_ptr<CSimTestClient>> clients;
    for (int index = 0; index < DEVICE_COUNT; ++index)
    {
        const std::string id = "dev-" + std::to_string(index);
        auto client = std::make_unique<CSimTestClient>(nodeTypeText(toProtocolByte(types[index % 3])));
        // A refused or interrupted attempt is tried again; the last errno names what stood in the way.
        int lastErrno = 0;
        const bool connected = waitUntil(
            [&]
            {
                errno = 0;
                const bool done = client->connect(simulator.boundPort(id));
                lastErrno = done ? 0 : errno;
                return done;
            },
            std::chrono::seconds(30));
        ASSERT_TRUE(connected) << id << ": " << std::strerror(lastErrno) << "; " << progress();
        clients.push_back(std::move(client));
    }
    ASSERT_TRUE(
        waitUntil([&] { return totals().connectionsAccepted >= static_cast<std::uint64_t>(DEVICE_COUNT); },
                  std::chrono::seconds(60)))
        << progress();
    for (int index = 0; index < DEVICE_COUNT; ++index)
    {
        // A thousand links on a loaded two-core box: the bound is generous on purpose.
        const auto greeting = clients[index]->nextEvent(std::chrono::seconds(60));
        ASSERT_TRUE(greeting && greeting->deviceStatus()) << index << "; " << progress();
        ASSERT_TRUE(clients[index]->queryStatus(static_cast<std::uint32_t>(index + 1)));
    }
    for (int index = 0; index < DEVICE_COUNT; ++index)
    {
        const auto answer = clients[index]->nextEvent(std::chrono::seconds(60));
        ASSERT_TRUE(answer && answer->deviceStatus()) << index << "; " << progress();
        EXPECT_EQ(answer->upgradeNo, static_cast<std::uint32_t>(index + 1));
        EXPECT_FALSE(clients[index]->rejected());
    }
    const S_SimDeviceCounters sum = totals();
    // An attempt interrupted after the kernel had connected it is accepted as well: at least one
    // connection and two status frames per device.
    EXPECT_GE(sum.connectionsAccepted, static_cast<std::uint64_t>(DEVICE_COUNT));
    EXPECT_GE(sum.framesSent[toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STATUS)], 2u * DEVICE_COUNT);
    const std::vector<std::string> summary = simulator.summaryLines(false);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_NE(summary[0].find("total devices=1000 received{MSG_QUERY_STATUS=1000}"), std::string::npos)
        << summary[0];
}

}  // namespace
}  // namespace ota::test
