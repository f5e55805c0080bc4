#pragma once

#include "api/api_callbacks.h"

#include <string>

namespace ota::bench
{

// Callbacks with a small fixed answer, so the figures measure the server and not the routes' work.
inline backend::S_ApiCallbacks fixedAnswerCallbacks()
{
    const backend::JsonHandler plain = [](std::string& response, std::string&)
    {
        response =
            R"({"status":"UP","service":"ota-backend","deviceTcp":{"configured":0,"connected":0},"uptimeMs":1})";
        return true;
    };
    const backend::JsonBodyHandler withBody = [](const std::string&, std::string& response, std::string&)
    {
        response = "{}";
        return true;
    };
    backend::S_ApiCallbacks callbacks;
    callbacks.health = callbacks.systemCapacity = callbacks.workspace = callbacks.sceneReload = plain;
    callbacks.upgradeStart = callbacks.currentUpgrade = callbacks.upgradeHistory = plain;
    callbacks.upgradeHistoryClear = callbacks.deviceStatus = callbacks.deviceFrames = plain;
    callbacks.deviceStatusQuery = callbacks.deviceReconnect = plain;
    callbacks.firmwareInspect = callbacks.upgradePreview = withBody;
    callbacks.upgradeAbort = [](std::uint32_t, std::string& response, std::string&)
    {
        response = "{}";
        return true;
    };
    callbacks.frameCapture = [](bool, std::string& response, std::string&)
    {
        response = "{}";
        return true;
    };
    return callbacks;
}

}  // namespace ota::bench
