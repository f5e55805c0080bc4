#pragma once

#include "app/backend_application.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace ota::backend
{

// The device status document of GET /api/v1/devices/status and of the "device.status" event.
bool buildDeviceStatusJson(CBackendApplication::S_Impl& app, std::string& json, std::string& error);
// The frame trace document of GET /api/v1/devices/frames.
bool buildFrameTraceJson(CBackendApplication::S_Impl& app, std::string& json, std::string& error);
// The data of the "communication.snapshot" event: device status, frame trace and a device list.
bool buildCommunicationSnapshotJson(CBackendApplication::S_Impl& app, std::string& json, std::string& error);

void publishDeviceStatus(CBackendApplication::S_Impl& app);
void publishCommunicationSnapshot(CBackendApplication::S_Impl& app);

// Main thread. After the API server has started: device.status once, and communication.snapshot
// when frame capture is on.
void publishInitialDeviceEvents(CBackendApplication::S_Impl& app);
// How long after a device.status document of `bytes` the next one waits: its size at
// kDeviceStatusBytesPerSecond from kLargeDeviceStatus on, else not at all (the main loop's pass
// spaces them). A site of 1,000 devices changes some device's stage on nearly every pass during
// an upgrade, and each document is a megabyte rendered and broadcast; a change meanwhile goes out
// with the next one.
inline constexpr std::size_t kLargeDeviceStatus = 256 * 1024;
inline constexpr std::size_t kDeviceStatusBytesPerSecond = 1024 * 1024;
std::chrono::steady_clock::duration deviceStatusSpacing(std::size_t bytes);

// Main thread, every loop pass: publishes whichever document's fingerprint changed.
void publishChangedDeviceEvents(CBackendApplication::S_Impl& app);

}  // namespace ota::backend
