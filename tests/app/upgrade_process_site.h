#pragma once

// The real ota-backend executable as a child process over a topology of simulated devices, and
// the HTTP calls the upgrade tests make against it.
#include "api/api_test_client.h"
#include "device/device_test_site.h"
#include "sim/device_simulator.h"
#include "support/child_process.h"
#include "support/temp_directory.h"
#include "support/wait_until.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ota::test
{

struct S_BackendSettings
{
    unsigned deviceConcurrency = 4;
    unsigned connectTimeoutMs = 5000;
    unsigned ackTimeoutMs = 3000;
    unsigned stageTimeoutMs = 3000;
    unsigned flashTimeoutMs = 8000;
    unsigned restartTimeoutMs = 8000;
    unsigned chunkSize = 1024;
    // Short, so a restarted device is back quickly; restartTimeoutMs stays well above it.
    unsigned reconnectIntervalMs = 200;
};

// A backend process with its own directory (configuration, topology, history database and the
// firmware files of the test). It can be launched again on the same database after a stop.
class CUpgradeBackend
{
public:
    CUpgradeBackend(const std::vector<S_TestNode>& nodes, const S_BackendSettings& settings = {});
    ~CUpgradeBackend();
    CUpgradeBackend(const CUpgradeBackend&) = delete;
    CUpgradeBackend& operator=(const CUpgradeBackend&) = delete;

    // Sets an optional configuration key (firmwareSignature, apiAccess, ...) for the next launch.
    void setConfigValue(const std::string& key, const nlohmann::json& value) { m_config[key] = value; }

    // Starts the process on a fresh port and waits for its ready line.
    bool launch();
    // SIGTERM, then the exit code (-1 when it did not exit in time).
    int stop();

    CChildProcess& child() { return *m_child; }
    std::uint16_t port() const { return m_port; }
    // Everything the process printed, for failure messages.
    std::string output() const;

    // A firmware file of deterministic content below the backend's directory.
    std::filesystem::path writeFirmware(const std::string& name, std::size_t size,
                                        std::uint32_t seed = 1) const;
    const CTempDirectory& directory() const { return m_directory; }

private:
    CTempDirectory m_directory;
    nlohmann::json m_config;
    std::uint16_t m_port = 0;
    std::unique_ptr<CChildProcess> m_child;
};

// The nodes of a topology for the devices of a running simulator, in the given order.
std::vector<S_TestNode> nodesOf(const ota::backend::CDeviceSimulator& simulator,
                                const std::vector<ota::backend::S_SimDeviceSpec>& devices);

// The upgrade and device routes over one keep-alive connection.
class CUpgradeApi
{
public:
    explicit CUpgradeApi(std::uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(60));

    S_HttpResult preview(const nlohmann::json& body) { return post("/api/v1/upgrades/preview", body.dump()); }
    S_HttpResult start() { return post("/api/v1/upgrades/start", {}); }
    S_HttpResult abort(const std::string& upgradeNo)
    {
        return post("/api/v1/upgrades/" + upgradeNo + "/abort", {});
    }
    S_HttpResult post(const std::string& target, const std::string& body);
    S_HttpResult get(const std::string& target);
    // Headers sent with every later request (an Authorization header, say).
    void setHeaders(HeaderList headers) { m_headers = std::move(headers); }

    // The data of GET /api/v1/upgrades/current, /history and /devices/status; null on failure.
    nlohmann::json current();
    nlohmann::json history();
    nlohmann::json deviceStatus();

    // Waits until every node is connected, READY (or the given upgrade state) and has reported its
    // components since its current connection (what a preview demands); returns the device status
    // then (null on timeout).
    nlohmann::json waitReady(const std::vector<std::string>& nodeIds,
                             const std::string& upgradeState = "READY");
    // Waits until the task with this number has ended; returns its final state (null on timeout).
    nlohmann::json waitEnded(std::uint32_t upgradeNo,
                             std::chrono::milliseconds bound = std::chrono::seconds(60));
    // Waits until the history row of the task is finalised (the state observer records the final
    // state a moment after the task has ended); returns the row (null on timeout).
    nlohmann::json waitFinalized(std::uint32_t upgradeNo);
    // Waits until some device of the running task satisfies the predicate; returns that state.
    template <typename Predicate>
    nlohmann::json waitDevice(Predicate&& predicate,
                              std::chrono::milliseconds bound = std::chrono::seconds(30));

private:
    CTestHttpClient m_http;
    HeaderList m_headers;
};

// One firmware entry of a preview's files array.
nlohmann::json firmwareEntry(const std::string& slotKey, const std::filesystem::path& path,
                             const std::string& targetVersion);
// One preview target.
nlohmann::json upgradeTarget(const std::string& nodeId, const std::string& typeId, unsigned index,
                             const std::string& currentVersion, const std::string& slotKey);
nlohmann::json previewBody(const std::string& upgradeId, const nlohmann::json& targets,
                           const nlohmann::json& files);

// The firmware slot of each component type.
const std::map<std::string, std::string>& slotOfComponent();
// A target for every component the devices reported, bound to the file of its slot.
nlohmann::json targetsForEveryComponent(const nlohmann::json& deviceStatus,
                                        const std::vector<std::string>& nodeIds);

// Lookups in the documents of the routes; null when absent.
nlohmann::json findNode(const nlohmann::json& deviceStatus, const std::string& nodeId);
std::string reportedVersion(const nlohmann::json& deviceStatus, const std::string& nodeId,
                            const std::string& typeId, unsigned index);
nlohmann::json findDevice(const nlohmann::json& state, const std::string& nodeId);
nlohmann::json findRecord(const nlohmann::json& history, std::uint32_t upgradeNo);

// The document without the given top-level keys.
nlohmann::json withoutKeys(nlohmann::json document, const std::vector<std::string>& keys);

// Reads events until one satisfies the predicate; false when the stream ends or stays quiet.
template <typename Predicate>
bool readEventUntil(CTestEventClient& events, Predicate&& predicate)
{
    nlohmann::json event;
    while (events.read(event))
    {
        if (predicate(event))
        {
            return true;
        }
    }
    return false;
}

template <typename Predicate>
nlohmann::json CUpgradeApi::waitDevice(Predicate&& predicate, std::chrono::milliseconds bound)
{
    nlohmann::json found;
    waitUntil(
        [&]
        {
            const nlohmann::json state = current();
            if (!state.is_object() || !state.contains("devices"))
            {
                return false;
            }
            for (const nlohmann::json& device : state["devices"])
            {
                if (predicate(device))
                {
                    found = state;
                    return true;
                }
            }
            return false;
        },
        bound);
    return found;
}

}  // namespace ota::test
