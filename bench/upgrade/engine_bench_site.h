#pragma once

// One in-process site for the execution engine's benchmarks: simulated EMUs on loopback, the
// device TCP manager connected to them, and the execution service on top, started and stopped
// together. Every task upgrades every EMU's component "EMU" #1 with one firmware file, from the
// version the device reports to the next one ("1.0.0" -> "2.0.0" -> "3.0.0" ...), so tasks can
// follow each other on the same devices.
//
// What a task yields is measured outside the engine, without touching it: a transport between
// engine and manager stamps the first FILE_CHUNK sent to each device and the arrival of each of
// its chunk reports, and the state observer stamps every published document.
#include "device/device_tcp_manager.h"
#include "sim/device_simulator.h"
#include "support/thread_probe.h"
#include "upgrade/upgrade_execution_service.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace ota::bench
{

using BenchClock = std::chrono::steady_clock;

struct S_EngineSiteOptions
{
    unsigned deviceCount = 1;
    std::size_t fileSize = 4u << 20;
    std::uint16_t chunkSize = 32768;
    backend::S_SimTimings deviceTimings = quickDeviceTimings();
    // Configured, recommended and task concurrency alike (capped at the device count by the engine).
    std::uint16_t concurrency = 32;
    std::uint32_t progressPublishIntervalMs = 100;
    // Simulated work of the state observer per document (sleeps: a blocking write elsewhere).
    std::uint32_t observerDelayMs = 0;
    // Processors for the simulator's threads and for the manager's and engine's threads; -1
    // leaves them to the scheduler.
    int simulatorCpu = -1;
    int backendCpu = -1;

    // Devices that answer at once and keep preparation, flashing and reboot short.
    static backend::S_SimTimings quickDeviceTimings();
};

// Everything one task showed; times in microseconds of the steady clock unless named otherwise.
struct S_EngineTaskResult
{
    std::string status;
    // "<nodeId>: <error>" of the first device that did not succeed; empty when all did.
    std::string firstFailure;
    std::uint64_t deviceCount = 0;
    std::uint64_t successCount = 0;
    std::uint64_t effectiveWorkerCount = 0;
    // finishedAt - startedAt of the final document (the engine's own wall clock, milliseconds).
    double taskMs = 0;
    // First FILE_CHUNK to any device until the last chunk report of all of them.
    double transferWindowUs = 0;
    // Per device: its first FILE_CHUNK until its last chunk report.
    std::vector<double> deviceTransferUs;
    std::uint64_t chunkReports = 0;
    // The first device's round trips split in three (medians over its chunks after the first):
    // its last chunk report's arrival until the engine's next send, the send call itself
    // (encoding and handing the frame to the manager), and the send's return until the report
    // of that chunk arrived (the manager's loop, the loopback and the device).
    double engineTurnUs = 0;
    double sendCallUs = 0;
    double sendToReportUs = 0;
    // The first device's whole round trips (report to report): median and 90th percentile.
    double roundTripP50Us = 0;
    double roundTripP90Us = 0;
    // Published documents: all of the task, and those delivered within the transfer window.
    std::uint64_t documents = 0;
    std::uint64_t documentsInTransferWindow = 0;
    // The part of the window in which every device was transferring (last first FILE_CHUNK until
    // the first device's last chunk report; 0 when they never overlapped) and its documents.
    double commonWindowUs = 0;
    std::uint64_t documentsInCommonWindow = 0;
    // Shortest spacing of two consecutive documents within the transfer window.
    double minDocumentGapUs = 0;
    // Observer calls that began within the transfer window: time spent in them, and the chunk
    // reports that arrived while one of them was running.
    double observerBusyUsInWindow = 0;
    std::uint64_t chunkReportsDuringObserverCalls = 0;
    // A one-device site only: what the backend's threads spent between the first FILE_CHUNK and
    // the report of the last chunk (CPU, counted allocations, console lines).
    S_ProbeWindow probe;
    bool probed = false;

    double meanDeviceTransferUs() const;
};

// Forwards every call to the device TCP manager; stamps the chunk traffic on the way.
class CTimedTransport final : public backend::IUpgradeDeviceTransport
{
public:
    CTimedTransport(backend::IUpgradeDeviceTransport& inner, const std::vector<std::string>& nodeIds);

    // Forgets the stamps of the last task; only between tasks.
    void reset();
    std::int64_t firstChunkSentNs(std::size_t device) const
    {
        return m_devices[device].firstChunkSentNs.load();
    }
    std::int64_t lastReportNs(std::size_t device) const { return m_devices[device].lastReportNs.load(); }
    std::uint64_t chunkReports() const { return m_chunkReports.load(); }
    // The three parts of the first device's round trips (see S_EngineTaskResult).
    void splitFirstDeviceRoundTrips(std::uint16_t chunkCount, S_EngineTaskResult& result) const;
    // The probe window of a one-device site's transfer; false when it did not close.
    bool transferProbe(S_ProbeWindow& window) const;

    bool sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                std::string& error) override;
    bool sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                            const backend::S_ProtocolCommand& command, std::string& error) override;
    bool sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                               const backend::S_ProtocolTargetList& targetList, std::string& error) override;
    bool sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                             const backend::S_ProtocolFileInfo& fileInfo, std::string& error) override;
    bool sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                              const backend::S_ProtocolFileChunk& fileChunk, std::string& error) override;
    void setProtocolEventCallback(backend::ProtocolEventCallback callback) override;
    void setConnectionStateCallback(backend::ConnectionStateCallback callback) override;
    std::vector<backend::S_CommunicationNodeStatus> getCommunicationNodeStatuses() const override;
    // The inner transport's link, with the chunk sends stamped as above.
    std::unique_ptr<backend::IUpgradeDeviceLink> resolveDevice(const std::string& deviceId) override;

    // Stamps around one chunk send to a device (the same for the send by id and by link).
    std::int64_t chunkSendBegins(const std::string& deviceId, std::uint16_t totalChunks);
    void chunkSendEnded(const std::string& deviceId, std::uint16_t chunkNo, std::int64_t began);

private:
    struct S_DeviceStamps
    {
        std::atomic<std::int64_t> firstChunkSentNs{0};
        std::atomic<std::int64_t> lastReportNs{0};
    };

    struct S_ChunkStamps
    {
        std::atomic<std::int64_t> sendBeganNs{0};
        std::atomic<std::int64_t> sendEndedNs{0};
        std::atomic<std::int64_t> reportNs{0};
    };

    backend::IUpgradeDeviceTransport& m_inner;
    std::unordered_map<std::string, std::size_t> m_index;  // fixed after construction
    std::vector<S_DeviceStamps> m_devices;
    std::vector<S_ChunkStamps> m_firstDeviceChunks;  // by chunk number
    std::atomic<std::uint64_t> m_chunkReports{0};
    // One-device sites: readings at the first FILE_CHUNK and at the report of the last chunk.
    std::atomic<std::uint32_t> m_totalChunks{0};
    std::atomic<bool> m_probeOpen{false};
    std::atomic<bool> m_probeClosed{false};
    S_ProbeReading m_probeBegin;
    S_ProbeReading m_probeEnd;
};

// Nanoseconds of the steady clock since its epoch.
std::int64_t nowNs();

class CEngineBenchSite
{
public:
    explicit CEngineBenchSite(S_EngineSiteOptions options);
    ~CEngineBenchSite();
    CEngineBenchSite(const CEngineBenchSite&) = delete;
    CEngineBenchSite& operator=(const CEngineBenchSite&) = delete;

    // Simulator, manager and engine; returns once every device is CONNECTED.
    bool start(std::string& error);
    void stop();

    // One whole task on every device, each from the version it last reported to one above the
    // highest of them; true once the final document was observed, whatever the outcome.
    bool runTask(S_EngineTaskResult& result, std::string& error);

    backend::CUpgradeExecutionService& engine() { return m_engine; }
    const S_EngineSiteOptions& options() const { return m_options; }

private:
    struct S_Observation
    {
        std::int64_t beganNs = 0;
        std::int64_t endedNs = 0;
        std::uint64_t reportsAtBegin = 0;
        std::uint64_t reportsAtEnd = 0;
    };

    void observe(const std::string& document);
    bool waitAllConnected(std::chrono::seconds bound) const;
    backend::UpgradeTaskSnapshotPtr buildSnapshot(std::uint32_t upgradeNo, std::string& error) const;

    const S_EngineSiteOptions m_options;
    std::filesystem::path m_directory;
    std::filesystem::path m_firmwarePath;
    std::vector<std::string> m_nodeIds;
    std::vector<std::uint16_t> m_ports;
    std::uint32_t m_upgradeNo = 0;

    backend::CDeviceSimulator m_simulator;
    backend::CDeviceTcpManager m_manager;
    std::unique_ptr<CTimedTransport> m_transport;
    backend::CUpgradeExecutionService m_engine;

    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    std::vector<S_Observation> m_observations;
    std::string m_finalDocument;  // of the running task; empty until it ended
    bool m_started = false;
};

}  // namespace ota::bench
