#include "app/health_report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace ota::backend
{
namespace
{

S_BackendConfig exampleConfig()
{
    S_BackendConfig config;
    config.httpHost = "::1";
    config.httpPort = 18080;
    config.deviceTcpEnabled = true;
    return config;
}

TEST(HealthReport, BeforeAnyTopologyEverythingIsZero)
{
    const std::string text = buildHealthJson(exampleConfig(), S_HealthInputs{});
    const nlohmann::json health = nlohmann::json::parse(text);
    EXPECT_EQ(health["topologyConfigured"], false);
    EXPECT_EQ(health["workspaceLoaded"], false);
    EXPECT_EQ(health["sceneGeneration"], 0);
    EXPECT_EQ(health["directDeviceCount"], 0);
    EXPECT_EQ(health["features"]["deviceTcp"], false);
    EXPECT_EQ(health["features"]["historyPersistence"], false);
    EXPECT_EQ(health["deviceTcp"]["configuredEnabled"], true);
    EXPECT_EQ(health["deviceTcp"].size(), 16u);
    for (const auto& item : health["deviceTcp"].items())
    {
        if (item.key() != "configuredEnabled" && item.key() != "running")
        {
            EXPECT_EQ(item.value(), 0) << item.key();
        }
    }
    EXPECT_EQ(text.rfind("{\"apiVersion\":1,\"deviceTcp\":{\"configuredEnabled\":true,\"connectedDeviceCount\":0,", 0),
              0u)
        << text;
}

TEST(HealthReport, CarriesWorkspaceDeviceAndHistoryState)
{
    S_HealthInputs inputs;
    inputs.topologyConfigured = true;
    inputs.sceneGeneration = 3;
    inputs.directDeviceCount = 5;
    inputs.historyPersistence = true;
    inputs.deviceTcp.running = true;
    inputs.deviceTcp.deviceCount = 5;
    inputs.deviceTcp.connectedDeviceCount = 4;
    inputs.deviceTcp.errorDeviceCount = 1;
    inputs.deviceTcp.lastEventAt = 1765000000000;
    const nlohmann::json health = nlohmann::json::parse(buildHealthJson(exampleConfig(), inputs));
    EXPECT_EQ(health["service"], "ota-backend");
    EXPECT_EQ(health["status"], "READY");
    EXPECT_EQ(health["operation"], "HEALTH_CHECK");
    EXPECT_EQ(health["httpHost"], "::1");
    EXPECT_EQ(health["httpPort"], 18080);
    EXPECT_EQ(health["workspaceLoaded"], true);
    EXPECT_EQ(health["sceneGeneration"], 3);
    EXPECT_EQ(health["features"]["deviceTcp"], true);
    EXPECT_EQ(health["features"]["historyPersistence"], true);
    EXPECT_EQ(health["deviceTcp"]["connectedDeviceCount"], 4);
    EXPECT_EQ(health["deviceTcp"]["errorDeviceCount"], 1);
    EXPECT_EQ(health["deviceTcp"]["lastEventAt"], 1765000000000);
}

}  // namespace
}  // namespace ota::backend
