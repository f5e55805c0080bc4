#pragma once

#include "sim/sim_counters.h"
#include "sim/sim_device_spec.h"
#include "sim/sim_log.h"

#include <memory>
#include <string>
#include <vector>

namespace ota::backend
{

struct S_SimOptions
{
    E_SimLogLevel logLevel = E_SimLogLevel::NORMAL;
    // While one device at a time receives chunks, hash them on the event loop after the chunk
    // report has left (faster stop-and-wait); off, chunks above 16 KiB always go to the hashing
    // thread, as they do whenever several devices receive at once.
    bool hashOnLoopWhenAlone = true;
};

// A site of simulated ota-v1 devices on one event loop thread: one listening socket per
// device on its loopback endpoint, at most one live connection per device (a new connection
// replaces the old one). Usable in-process by tests and by the ota-device-sim executable.
// All public operations may be called from any thread; they are serialised onto the loop.
class CDeviceSimulator
{
public:
    explicit CDeviceSimulator(S_SimOptions options = {});
    ~CDeviceSimulator();
    CDeviceSimulator(const CDeviceSimulator&) = delete;
    CDeviceSimulator& operator=(const CDeviceSimulator&) = delete;

    // Validates every spec, binds every endpoint (all or nothing) and starts the loop thread.
    bool start(std::vector<S_SimDeviceSpec> devices, std::string& error);
    // Closes every socket and joins the loop; idempotent. Snapshots stay readable afterwards.
    void stop();
    bool isRunning() const;

    bool addFault(const std::string& nodeId, const S_SimFault& fault, std::string& error);
    bool clearFaults(const std::string& nodeId, std::string& error);

    bool snapshot(const std::string& nodeId, S_SimDeviceSnapshot& result, std::string& error) const;
    std::vector<S_SimDeviceSnapshot> snapshots() const;
    // The endpoint port actually bound (resolves port 0); 0 for an unknown node.
    std::uint16_t boundPort(const std::string& nodeId) const;

    // The exit summary: one line per device that saw traffic (unless perDevice is false), then
    // a line with the totals.
    std::vector<std::string> summaryLines(bool perDevice) const;

private:
    struct S_Impl;
    std::unique_ptr<S_Impl> m_impl;
};

}  // namespace ota::backend
