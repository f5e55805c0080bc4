#pragma once

#include "api/api_callbacks.h"
#include "api/http_api_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace ota::test
{

// Callbacks that succeed and say which route ran: {"route":"<name>"}, plus what they were given.
inline backend::S_ApiCallbacks echoCallbacks()
{
    using backend::JsonHandler;
    const auto plain = [](const std::string& name) -> JsonHandler
    {
        return [name](std::string& response, std::string&)
        {
            response = nlohmann::json{{"route", name}}.dump();
            return true;
        };
    };
    const auto withBody = [](const std::string& name) -> backend::JsonBodyHandler
    {
        return [name](const std::string& request, std::string& response, std::string&)
        {
            response = nlohmann::json{{"route", name}, {"request", request}}.dump();
            return true;
        };
    };
    backend::S_ApiCallbacks callbacks;
    callbacks.health = plain("health");
    callbacks.systemCapacity = plain("systemCapacity");
    callbacks.workspace = plain("workspace");
    callbacks.sceneReload = plain("sceneReload");
    callbacks.firmwareInspect = withBody("firmwareInspect");
    callbacks.upgradePreview = withBody("upgradePreview");
    callbacks.upgradeStart = plain("upgradeStart");
    callbacks.upgradeAbort = [](std::uint32_t upgradeNo, std::string& response, std::string&)
    {
        response = nlohmann::json{{"route", "upgradeAbort"}, {"upgradeNo", upgradeNo}}.dump();
        return true;
    };
    callbacks.currentUpgrade = plain("currentUpgrade");
    callbacks.upgradeHistory = plain("upgradeHistory");
    callbacks.upgradeHistoryClear = plain("upgradeHistoryClear");
    callbacks.deviceStatus = plain("deviceStatus");
    callbacks.deviceFrames = plain("deviceFrames");
    callbacks.frameCapture = [](bool enabled, std::string& response, std::string&)
    {
        response = nlohmann::json{{"route", "frameCapture"}, {"enabled", enabled}}.dump();
        return true;
    };
    callbacks.deviceStatusQuery = plain("deviceStatusQuery");
    callbacks.deviceReconnect = plain("deviceReconnect");
    return callbacks;
}

inline backend::S_HttpApiServerOptions ephemeralPortOptions()
{
    backend::S_HttpApiServerOptions options;
    options.allowEphemeralPort = true;
    return options;
}

// An in-process server on 127.0.0.1 and a free port; tests adjust callbacks before startServer.
class ApiServerTest : public ::testing::Test
{
protected:
    void startServer(backend::S_HttpApiServerOptions options = ephemeralPortOptions())
    {
        server = std::make_unique<backend::CHttpApiServer>(options);
        std::string error;
        ASSERT_TRUE(server->start("127.0.0.1", 0, callbacks, error)) << error;
        port = server->boundPort();
        ASSERT_NE(port, 0);
    }

    void TearDown() override
    {
        if (server)
        {
            server->stop();
        }
    }

    backend::S_ApiCallbacks callbacks = echoCallbacks();
    std::unique_ptr<backend::CHttpApiServer> server;
    std::uint16_t port = 0;
};

}  // namespace ota::test
