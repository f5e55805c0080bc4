#include "upgrade/engine_bench_site.h"

#include "common/clock.h"
#include "common/digest.h"
#include "protocol/protocol_enums.h"
#include "support/stop_and_wait_client.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <thread>

#include <unistd.h>

namespace ota::bench
{

using namespace ota::backend;

namespace
{

// A document of a task that has ended; no device object has a member of that name.
constexpr const char* kInactiveMember = "\"active\":false";

std::string versionText(unsigned major)
{
    return std::to_string(major) + ".0.0";
}

// The major number of a "<major>.0.0" version; 0 for any other text.
unsigned versionMajor(const std::string& version)
{
    try
    {
        return static_cast<unsigned>(std::stoul(version));
    }
    catch (const std::exception&)
    {
        return 0;
    }
}

scenario::S_SceneNodeType nodeType(const std::string& id, scenario::E_SceneNodeRole role, bool device)
{
    scenario::S_SceneNodeType type;
    type.id = id;
    type.displayName = id;
    type.role = role;
    type.capabilities = {device, false, device, device};
    return type;
}

scenario::S_SceneTopology siteTopology(const std::vector<std::string>& nodeIds,
                                       const std::vector<std::uint16_t>& ports)
{
    scenario::S_SceneTopology topology;
    topology.schemaVersion = 2;
    topology.sceneProfile = {"bench-site",
                             "Bench site",
                             {nodeType("site", scenario::E_SceneNodeRole::CONTAINER, false),
                              nodeType("emu", scenario::E_SceneNodeRole::COMMUNICATION_NODE, true)}};
    topology.nodes.push_back({"site-1", "", "site", "Site 1", "", "", 0, ""});
    for (std::size_t i = 0; i < nodeIds.size(); ++i)
    {
        topology.nodes.push_back({nodeIds[i], "site-1", "emu", "EMU " + std::to_string(i + 1), "ota-v1",
                                  "127.0.0.1", ports[i], "EMU"});
    }
    return topology;
}

// Deterministic, non-repeating bytes.
std::string firmwareBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    std::uint32_t state = 0x9E3779B9u;
    for (char& byte : bytes)
    {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(BenchClock::now().time_since_epoch()).count();
}

S_SimTimings S_EngineSiteOptions::quickDeviceTimings()
{
    S_SimTimings timings;
    timings.replyLatencyMs = 0;
    timings.preparationMs = 20;
    timings.flashMs = 20;
    timings.rebootMs = 50;
    return timings;
}

double S_EngineTaskResult::meanDeviceTransferUs() const
{
    if (deviceTransferUs.empty())
    {
        return 0;
    }
    return std::accumulate(deviceTransferUs.begin(), deviceTransferUs.end(), 0.0) /
           static_cast<double>(deviceTransferUs.size());
}

// ---- CTimedTransport

CTimedTransport::CTimedTransport(IUpgradeDeviceTransport& inner, const std::vector<std::string>& nodeIds)
    : m_inner(inner), m_devices(nodeIds.size()), m_firstDeviceChunks(65536)
{
    for (std::size_t i = 0; i < nodeIds.size(); ++i)
    {
        m_index.emplace(nodeIds[i], i);
    }
}

void CTimedTransport::reset()
{
    for (S_DeviceStamps& device : m_devices)
    {
        device.firstChunkSentNs = 0;
        device.lastReportNs = 0;
    }
    for (S_ChunkStamps& chunk : m_firstDeviceChunks)
    {
        chunk.sendBeganNs = 0;
        chunk.sendEndedNs = 0;
        chunk.reportNs = 0;
    }
    m_chunkReports = 0;
    m_totalChunks = 0;
    m_probeOpen = false;
    m_probeClosed = false;
}

bool CTimedTransport::transferProbe(S_ProbeWindow& window) const
{
    if (!m_probeClosed.load())
    {
        return false;
    }
    window = probeWindow(m_probeBegin, m_probeEnd, serviceLogPath());
    return true;
}

void CTimedTransport::splitFirstDeviceRoundTrips(std::uint16_t chunkCount, S_EngineTaskResult& result) const
{
    std::vector<double> turn;
    std::vector<double> call;
    std::vector<double> wire;
    std::vector<double> whole;
    for (std::size_t chunk = 1; chunk < chunkCount; ++chunk)
    {
        const S_ChunkStamps& stamps = m_firstDeviceChunks[chunk];
        whole.push_back(static_cast<double>(stamps.reportNs - m_firstDeviceChunks[chunk - 1].reportNs) /
                        1000.0);
        turn.push_back(static_cast<double>(stamps.sendBeganNs - m_firstDeviceChunks[chunk - 1].reportNs) /
                       1000.0);
        call.push_back(static_cast<double>(stamps.sendEndedNs - stamps.sendBeganNs) / 1000.0);
        wire.push_back(static_cast<double>(stamps.reportNs - stamps.sendEndedNs) / 1000.0);
    }
    const auto median = [](std::vector<double>& values)
    {
        if (values.empty())
        {
            return 0.0;
        }
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                         values.end());
        return values[values.size() / 2];
    };
    result.engineTurnUs = median(turn);
    result.sendCallUs = median(call);
    result.sendToReportUs = median(wire);
    result.roundTripP50Us = median(whole);
    if (!whole.empty())
    {
        std::sort(whole.begin(), whole.end());
        result.roundTripP90Us = whole[whole.size() * 9 / 10];
    }
}

bool CTimedTransport::sendUpgradeStatusQuery(const std::string& deviceId, std::uint32_t upgradeNo,
                                             std::string& error)
{
    return m_inner.sendUpgradeStatusQuery(deviceId, upgradeNo, error);
}

bool CTimedTransport::sendUpgradeCommand(const std::string& deviceId, std::uint32_t upgradeNo,
                                         const S_ProtocolCommand& command, std::string& error)
{
    return m_inner.sendUpgradeCommand(deviceId, upgradeNo, command, error);
}

bool CTimedTransport::sendUpgradeTargetList(const std::string& deviceId, std::uint32_t upgradeNo,
                                            const S_ProtocolTargetList& targetList, std::string& error)
{
    return m_inner.sendUpgradeTargetList(deviceId, upgradeNo, targetList, error);
}

bool CTimedTransport::sendUpgradeFileInfo(const std::string& deviceId, std::uint32_t upgradeNo,
                                          const S_ProtocolFileInfo& fileInfo, std::string& error)
{
    return m_inner.sendUpgradeFileInfo(deviceId, upgradeNo, fileInfo, error);
}

std::int64_t CTimedTransport::chunkSendBegins(const std::string& deviceId, std::uint16_t totalChunks)
{
    const auto found = m_index.find(deviceId);
    const std::int64_t began = nowNs();
    if (found != m_index.end())
    {
        std::int64_t unset = 0;
        m_devices[found->second].firstChunkSentNs.compare_exchange_strong(unset, began);
        if (m_devices.size() == 1 && !m_probeOpen.load())
        {
            m_totalChunks = totalChunks;
            m_probeBegin = readProbe();
            m_probeOpen = true;
            setAllocationCounting(true);
        }
    }
    return began;
}

void CTimedTransport::chunkSendEnded(const std::string& deviceId, std::uint16_t chunkNo, std::int64_t began)
{
    const auto found = m_index.find(deviceId);
    if (found != m_index.end() && found->second == 0)
    {
        m_firstDeviceChunks[chunkNo].sendBeganNs = began;
        m_firstDeviceChunks[chunkNo].sendEndedNs = nowNs();
    }
}

bool CTimedTransport::sendUpgradeFileChunk(const std::string& deviceId, std::uint32_t upgradeNo,
                                           const S_ProtocolFileChunk& fileChunk, std::string& error)
{
    const std::int64_t began = chunkSendBegins(deviceId, fileChunk.totalChunks);
    const bool sent = m_inner.sendUpgradeFileChunk(deviceId, upgradeNo, fileChunk, error);
    chunkSendEnded(deviceId, fileChunk.chunkNo, began);
    return sent;
}

namespace
{

// The inner link, with the chunk sends stamped by the timed transport.
class CTimedLink final : public IUpgradeDeviceLink
{
public:
    CTimedLink(CTimedTransport& timing, std::unique_ptr<IUpgradeDeviceLink> inner)
        : m_timing(timing), m_inner(std::move(inner))
    {
    }
    const std::string& deviceId() const override { return m_inner->deviceId(); }
    bool sendUpgradeStatusQuery(std::uint32_t upgradeNo, std::string& error) override
    {
        return m_inner->sendUpgradeStatusQuery(upgradeNo, error);
    }
    bool sendUpgradeCommand(std::uint32_t upgradeNo, const S_ProtocolCommand& command,
                            std::string& error) override
    {
        return m_inner->sendUpgradeCommand(upgradeNo, command, error);
    }
    bool sendUpgradeTargetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targetList,
                               std::string& error) override
    {
        return m_inner->sendUpgradeTargetList(upgradeNo, targetList, error);
    }
    bool sendUpgradeFileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& fileInfo,
                             std::string& error) override
    {
        return m_inner->sendUpgradeFileInfo(upgradeNo, fileInfo, error);
    }
    std::uint8_t* chunkPayload(std::size_t dataLength) override { return m_inner->chunkPayload(dataLength); }
    bool sendUpgradeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                              std::uint32_t& crc32, std::string& error) override
    {
        const std::int64_t began = m_timing.chunkSendBegins(deviceId(), header.totalChunks);
        const bool sent = m_inner->sendUpgradeFileChunk(upgradeNo, header, crc32, error);
        m_timing.chunkSendEnded(deviceId(), header.chunkNo, began);
        return sent;
    }
    bool prepareUpgradeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                                 std::uint32_t& crc32, std::string& error) override
    {
        m_prepared = header;
        return m_inner->prepareUpgradeFileChunk(upgradeNo, header, crc32, error);
    }
    bool sendPreparedChunk(std::uint32_t upgradeNo, std::string& error) override
    {
        const std::int64_t began = m_timing.chunkSendBegins(deviceId(), m_prepared.totalChunks);
        const bool sent = m_inner->sendPreparedChunk(upgradeNo, error);
        m_timing.chunkSendEnded(deviceId(), m_prepared.chunkNo, began);
        return sent;
    }

private:
    CTimedTransport& m_timing;
    std::unique_ptr<IUpgradeDeviceLink> m_inner;
    S_ProtocolFileChunkHeader m_prepared{};
};

}  // namespace

std::unique_ptr<IUpgradeDeviceLink> CTimedTransport::resolveDevice(const std::string& deviceId)
{
    return std::make_unique<CTimedLink>(*this, m_inner.resolveDevice(deviceId));
}

void CTimedTransport::setProtocolEventCallback(ProtocolEventCallback callback)
{
    if (!callback)
    {
        m_inner.setProtocolEventCallback({});
        return;
    }
    m_inner.setProtocolEventCallback(
        [this, callback = std::move(callback)](const std::string& deviceId, const S_ProtocolEvent& event)
        {
            if (const S_ProtocolEventFileChunkReport* report = event.fileChunkReport())
            {
                const auto found = m_index.find(deviceId);
                if (found != m_index.end())
                {
                    const std::int64_t now = nowNs();
                    m_devices[found->second].lastReportNs = now;
                    if (found->second == 0)
                    {
                        m_firstDeviceChunks[report->chunkNo].reportNs = now;
                    }
                    if (m_probeOpen.load() && !m_probeClosed.load() &&
                        report->chunkNo + 1u == m_totalChunks.load())
                    {
                        setAllocationCounting(false);
                        m_probeEnd = readProbe();
                        m_probeClosed = true;
                    }
                }
                ++m_chunkReports;
            }
            callback(deviceId, event);
        });
}

void CTimedTransport::setConnectionStateCallback(ConnectionStateCallback callback)
{
    m_inner.setConnectionStateCallback(std::move(callback));
}

std::vector<S_CommunicationNodeStatus> CTimedTransport::getCommunicationNodeStatuses() const
{
    return m_inner.getCommunicationNodeStatuses();
}

// ---- CEngineBenchSite

CEngineBenchSite::CEngineBenchSite(S_EngineSiteOptions options)
    : m_options(std::move(options)), m_simulator(S_SimOptions{E_SimLogLevel::QUIET})
{
}

CEngineBenchSite::~CEngineBenchSite()
{
    stop();
}

bool CEngineBenchSite::start(std::string& error)
{
    char pattern[] = "/tmp/ota-engine-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
    {
        error = "cannot create a temp directory";
        return false;
    }
    m_directory = pattern;
    m_started = true;  // from here on stop() cleans up whatever got started
    m_firmwarePath = std::filesystem::canonical(m_directory) / "emu-firmware.bin";
    {
        std::ofstream file(m_firmwarePath, std::ios::binary);
        const std::string bytes = firmwareBytes(m_options.fileSize);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    std::vector<S_SimDeviceSpec> specs;
    for (unsigned i = 1; i <= m_options.deviceCount; ++i)
    {
        S_SimDeviceSpec spec;
        spec.nodeId = "emu-" + std::to_string(i);
        spec.nodeName = "EMU " + std::to_string(i);
        spec.ancestorIds = {"site-1"};
        spec.deviceType = toProtocolByte(E_ProtocolDeviceType::EMU);
        spec.timings = m_options.deviceTimings;
        specs.push_back(spec);
        m_nodeIds.push_back(spec.nodeId);
    }
    // Threads inherit the processor set of the thread that starts them.
    const CProcessorPlacement placement;
    struct S_Restore
    {
        const CProcessorPlacement& placement;
        ~S_Restore() { placement.restoreCaller(); }
    } restore{placement};
    if (m_options.simulatorCpu >= 0)
    {
        placement.pinCallerTo(m_options.simulatorCpu);
    }
    const std::vector<pid_t> threadsBefore = processThreadIds();
    if (!m_simulator.start(specs, error))
    {
        return false;
    }
    // The simulator's work is not the backend's.
    excludeThreads(newThreadIds(threadsBefore));
    placement.restoreCaller();
    if (m_options.backendCpu >= 0)
    {
        placement.pinCallerTo(m_options.backendCpu);
    }
    for (const std::string& nodeId : m_nodeIds)
    {
        m_ports.push_back(m_simulator.boundPort(nodeId));
    }

    S_DeviceTcpOptions tcp;
    tcp.connectTimeoutMs = 5000;
    tcp.reconnectIntervalMs = 100;
    tcp.initialStatusQueryDelayMs = 100;
    tcp.statusReplyTimeoutMs = 10000;
    if (!m_manager.start(siteTopology(m_nodeIds, m_ports), tcp, error))
    {
        return false;
    }
    m_transport = std::make_unique<CTimedTransport>(m_manager, m_nodeIds);

    S_UpgradeExecutionOptions engine;
    engine.configuredDeviceConcurrency = m_options.concurrency;
    engine.recommendedDeviceConcurrency = m_options.concurrency;
    engine.deviceConcurrency = m_options.concurrency;
    engine.progressPublishIntervalMs = m_options.progressPublishIntervalMs;
    engine.connectTimeoutMs = 10000;
    engine.ackTimeoutMs = 10000;
    engine.stageTimeoutMs = 20000;
    engine.flashTimeoutMs = 20000;
    engine.restartTimeoutMs = 2000;
    if (!m_engine.start(*m_transport, engine, error))
    {
        return false;
    }
    m_engine.setStateObserver([this](const std::string& document) { observe(document); });
    // A 1,000-device site connects in a staggered way over a few seconds.
    if (!waitAllConnected(std::chrono::seconds(120)))
    {
        error = "not every simulated device connected";
        return false;
    }
    return true;
}

void CEngineBenchSite::stop()
{
    if (!m_started)
    {
        return;
    }
    m_started = false;
    m_engine.clearStateObserver();
    m_engine.stop();
    m_manager.stop();
    m_simulator.stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

void CEngineBenchSite::observe(const std::string& document)
{
    S_Observation observation;
    observation.beganNs = nowNs();
    observation.reportsAtBegin = m_transport->chunkReports();
    if (m_options.observerDelayMs > 0)
    {
        // Stands for work that blocks (a database write, a slow client); not a synchronisation.
        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.observerDelayMs));
    }
    observation.reportsAtEnd = m_transport->chunkReports();
    observation.endedNs = nowNs();
    const bool ended = document.find(kInactiveMember) != std::string::npos;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observations.push_back(observation);
    if (ended && m_finalDocument.empty())
    {
        // Only a final document of the running task counts (the number is checked by the waiter).
        m_finalDocument = document;
        m_finished.notify_all();
    }
}

bool CEngineBenchSite::waitAllConnected(std::chrono::seconds bound) const
{
    const auto deadline = BenchClock::now() + bound;
    while (BenchClock::now() < deadline)
    {
        const std::vector<S_CommunicationNodeStatus> statuses = m_manager.getCommunicationNodeStatuses();
        const bool all = std::all_of(statuses.begin(), statuses.end(),
                                     [](const S_CommunicationNodeStatus& status) {
                                         return status.connectionState == E_DeviceConnectionState::CONNECTED;
                                     });
        if (all && statuses.size() == m_nodeIds.size())
        {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

UpgradeTaskSnapshotPtr CEngineBenchSite::buildSnapshot(std::uint32_t upgradeNo, std::string& error) const
{
    // What each device last reported, as a preview would take it.
    std::unordered_map<std::string, std::string> reported;
    unsigned highest = 0;
    for (const S_CommunicationNodeStatus& status : m_manager.getCommunicationNodeStatuses())
    {
        for (const S_CommunicationComponentStatus& component : status.components)
        {
            if (component.componentTypeId == "EMU" && component.componentIndex == 1)
            {
                reported[status.nodeId] = component.version;
                highest = std::max(highest, versionMajor(component.version));
            }
        }
    }
    if (reported.size() != m_nodeIds.size())
    {
        error = "a device has not reported its EMU component";
        return nullptr;
    }
    const std::string bytes = firmwareBytes(m_options.fileSize);
    auto snapshot = std::make_shared<S_UpgradeTaskSnapshot>();
    snapshot->upgradeNo = upgradeNo;
    snapshot->upgradeId = "BENCH_" + std::to_string(upgradeNo);
    snapshot->sceneGeneration = 1;
    snapshot->createdAt = currentUnixMs();
    S_FirmwareFileInfo file;
    file.fileNo = 1;
    file.fileSlotKey = "emu:emu";
    file.filePath = m_firmwarePath;
    file.fileName = m_firmwarePath.filename().string();
    file.targetVersion = versionText(highest + 1);
    file.fileSize = static_cast<std::uint32_t>(bytes.size());
    file.chunkSize = m_options.chunkSize;
    file.totalChunks =
        static_cast<std::uint16_t>((bytes.size() + m_options.chunkSize - 1) / m_options.chunkSize);
    file.sha256 = CSha256::digestOf(bytes.data(), bytes.size());
    snapshot->files.push_back(file);
    for (std::size_t i = 0; i < m_nodeIds.size(); ++i)
    {
        S_UpgradeTarget target;
        target.nodeId = m_nodeIds[i];
        target.nodeName = "EMU " + std::to_string(i + 1);
        target.nodeTypeId = "emu";
        target.nodePath = {{"site-1", "Site 1", "site", "site"},
                           {target.nodeId, target.nodeName, "emu", "emu"}};
        target.protocolNodeType = "EMU";
        target.address = "127.0.0.1";
        target.port = m_ports[i];
        target.componentTypeId = "EMU";
        target.componentIndex = 1;
        target.currentVersion = reported[target.nodeId];
        target.targetVersion = file.targetVersion;
        target.fileNo = 1;
        target.fileSlotKey = file.fileSlotKey;
        snapshot->targets.push_back(std::move(target));
    }
    return snapshot;
}

bool CEngineBenchSite::runTask(S_EngineTaskResult& result, std::string& error)
{
    result = {};
    // The devices restarted at the end of the last task; each must be back before the next.
    if (!waitAllConnected(std::chrono::seconds(60)))
    {
        error = "a device did not reconnect after the last task";
        return false;
    }
    const std::uint32_t upgradeNo = ++m_upgradeNo;
    const UpgradeTaskSnapshotPtr snapshot = buildSnapshot(upgradeNo, error);
    if (!snapshot)
    {
        return false;
    }
    m_transport->reset();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_observations.clear();
        m_finalDocument.clear();
    }
    std::string response;
    if (!m_engine.startTask(snapshot, 1, response, error))
    {
        return false;
    }
    nlohmann::json final;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto deadline = BenchClock::now() + std::chrono::minutes(5);
        while (true)
        {
            if (!m_finished.wait_until(lock, deadline, [&] { return !m_finalDocument.empty(); }))
            {
                error = "the task did not end within 5 minutes";
                return false;
            }
            final = nlohmann::json::parse(m_finalDocument);
            if (final.value("upgradeNo", 0u) == upgradeNo)
            {
                break;
            }
            m_finalDocument.clear();  // a late final document of the task before
        }
    }
    result.status = final.value("status", "");
    result.deviceCount = final.value("deviceCount", 0u);
    result.successCount = final.value("successCount", 0u);
    result.effectiveWorkerCount = final.value("effectiveWorkerCount", 0u);
    result.taskMs = static_cast<double>(final.value("finishedAt", std::int64_t{0}) -
                                        final.value("startedAt", std::int64_t{0}));
    for (const auto& device : final["devices"])
    {
        if (device.value("result", "") != "SUCCESS")
        {
            result.firstFailure = device.value("nodeId", "") + ": " + device.value("error", "");
            break;
        }
    }

    std::int64_t windowBegin = INT64_MAX;
    std::int64_t windowEnd = 0;
    std::int64_t commonBegin = 0;
    std::int64_t commonEnd = INT64_MAX;
    for (std::size_t i = 0; i < m_nodeIds.size(); ++i)
    {
        const std::int64_t first = m_transport->firstChunkSentNs(i);
        const std::int64_t last = m_transport->lastReportNs(i);
        windowBegin = std::min(windowBegin, first);
        windowEnd = std::max(windowEnd, last);
        commonBegin = std::max(commonBegin, first);
        commonEnd = std::min(commonEnd, last);
        result.deviceTransferUs.push_back(static_cast<double>(last - first) / 1000.0);
    }
    result.transferWindowUs = static_cast<double>(windowEnd - windowBegin) / 1000.0;
    result.chunkReports = m_transport->chunkReports();
    m_transport->splitFirstDeviceRoundTrips(snapshot->files.front().totalChunks, result);
    result.probed = m_transport->transferProbe(result.probe);
    std::lock_guard<std::mutex> lock(m_mutex);
    result.documents = m_observations.size();
    result.commonWindowUs =
        commonEnd > commonBegin ? static_cast<double>(commonEnd - commonBegin) / 1000.0 : 0.0;
    std::int64_t previousNs = 0;
    std::int64_t minGapNs = INT64_MAX;
    for (const S_Observation& observation : m_observations)
    {
        if (commonEnd > commonBegin && observation.beganNs >= commonBegin && observation.beganNs <= commonEnd)
        {
            ++result.documentsInCommonWindow;
        }
        if (observation.beganNs >= windowBegin && observation.beganNs <= windowEnd)
        {
            if (previousNs != 0)
            {
                minGapNs = std::min(minGapNs, observation.beganNs - previousNs);
            }
            previousNs = observation.beganNs;
            ++result.documentsInTransferWindow;
            result.observerBusyUsInWindow +=
                static_cast<double>(observation.endedNs - observation.beganNs) / 1000.0;
            result.chunkReportsDuringObserverCalls += observation.reportsAtEnd - observation.reportsAtBegin;
        }
    }
    result.minDocumentGapUs = minGapNs == INT64_MAX ? 0.0 : static_cast<double>(minGapNs) / 1000.0;
    return true;
}

}  // namespace ota::bench
