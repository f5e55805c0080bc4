// Publishing the execution state of a 1,000-device task, the way the backend does it: the engine
// publishes a change, the application's state recorder persists the document in the history and
// broadcasts it as "upgrade.current", and one event-stream client receives it. Measured from the
// change until the client has the document, beside the least any publication of the same text
// costs, in the same run: one plain SQLite UPDATE of the text (a prepared statement on a table of
// the same shape, same pragmas) and one broadcast of it to the same client. Target: at most 1.5 x.
//
// The engine runs a real task on 1,000 devices that never connect (their connection wait is an
// hour), so it keeps publishing the whole document; a change is one device's connection state
// moving between DISCONNECTED and CONNECTING, which the stand-in transport reports.
#include "api/http_api_server.h"
#include "app/upgrade_state_recorder.h"
#include "common/clock.h"
#include "common/digest.h"
#include "history/upgrade_history_repository.h"
#include "history_documents.h"
#include "upgrade/upgrade_execution_service.h"

#include "api/bench_callbacks.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace ota::backend;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kUpgradeNo = 1;

double median(std::vector<double> values)
{
    if (values.empty())
    {
        return 0;
    }
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                     values.end());
    return values[values.size() / 2];
}

// Devices that are never reachable: every send fails, no node is known, and the test reports the
// connection states it is told to.
class CUnreachableTransport final : public IUpgradeDeviceTransport
{
public:
    bool sendUpgradeStatusQuery(const std::string&, std::uint32_t, std::string& error) override
    {
        return fail(error);
    }
    bool sendUpgradeCommand(const std::string&, std::uint32_t, const S_ProtocolCommand&,
                            std::string& error) override
    {
        return fail(error);
    }
    bool sendUpgradeTargetList(const std::string&, std::uint32_t, const S_ProtocolTargetList&,
                               std::string& error) override
    {
        return fail(error);
    }
    bool sendUpgradeFileInfo(const std::string&, std::uint32_t, const S_ProtocolFileInfo&,
                             std::string& error) override
    {
        return fail(error);
    }
    bool sendUpgradeFileChunk(const std::string&, std::uint32_t, const S_ProtocolFileChunk&,
                              std::string& error) override
    {
        return fail(error);
    }
    void setProtocolEventCallback(ProtocolEventCallback callback) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events = std::move(callback);
    }
    void setConnectionStateCallback(ConnectionStateCallback callback) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections = std::move(callback);
    }
    std::vector<S_CommunicationNodeStatus> getCommunicationNodeStatuses() const override { return {}; }

    void report(const std::string& nodeId, E_DeviceConnectionState state)
    {
        ConnectionStateCallback callback;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            callback = m_connections;
        }
        if (callback)
        {
            callback(nodeId, state);
        }
    }

private:
    static bool fail(std::string& error)
    {
        error = "unreachable";
        return false;
    }

    std::mutex m_mutex;
    ProtocolEventCallback m_events;
    ConnectionStateCallback m_connections;
};

// One event-stream client reading on its own thread; counts "upgrade.current" events.
class CEventClient
{
public:
    explicit CEventClient(std::uint16_t port) : m_stream(m_io)
    {
        m_stream.next_layer().connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port));
        m_stream.read_message_max(64u << 20);
        m_stream.handshake("127.0.0.1", "/api/v1/events");
        m_thread = std::thread([this] { run(); });
    }
    ~CEventClient()
    {
        beast::error_code ignored;
        m_stream.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
        m_thread.join();
    }

    std::uint64_t received() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    // Waits (bounded) until more than `count` events arrived; their arrival time.
    bool waitBeyond(std::uint64_t count, Clock::time_point& arrivedAt)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool arrived =
            m_arrived.wait_for(lock, std::chrono::seconds(60), [&] { return m_received > count; });
        arrivedAt = m_lastAt;
        return arrived;
    }
    std::size_t lastSize() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastSize;
    }

private:
    void run()
    {
        beast::flat_buffer buffer;
        while (true)
        {
            beast::error_code error;
            m_stream.read(buffer, error);
            if (error)
            {
                return;
            }
            const Clock::time_point now = Clock::now();
            const std::string_view text(static_cast<const char*>(buffer.data().data()), buffer.size());
            if (text.find("\"upgrade.current\"") != std::string_view::npos)
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_received;
                m_lastAt = now;
                m_lastSize = text.size();
                m_arrived.notify_all();
            }
            buffer.clear();
        }
    }

    net::io_context m_io;
    websocket::stream<tcp::socket> m_stream;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::uint64_t m_received = 0;
    Clock::time_point m_lastAt;
    std::size_t m_lastSize = 0;
};

// A plain table of the history's shape, written with one prepared UPDATE.
class CPlainTable
{
public:
    explicit CPlainTable(const std::filesystem::path& path)
    {
        sqlite3_open(path.c_str(), &m_database);
        sqlite3_exec(
            m_database,
            "PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;"
            "CREATE TABLE plain(id INTEGER PRIMARY KEY, updated_at INTEGER, status TEXT, state_json TEXT);"
            "INSERT INTO plain VALUES(1, 0, 'RUNNING', '{}');",
            nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(m_database, "UPDATE plain SET updated_at=?1, status=?2, state_json=?3 WHERE id=1;",
                           -1, &m_update, nullptr);
    }
    ~CPlainTable()
    {
        sqlite3_finalize(m_update);
        sqlite3_close(m_database);
    }
    bool update(const std::string& text)
    {
        sqlite3_reset(m_update);
        sqlite3_bind_int64(m_update, 1, currentUnixMs());
        sqlite3_bind_text(m_update, 2, "RUNNING", -1, SQLITE_STATIC);
        sqlite3_bind_text(m_update, 3, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        return sqlite3_step(m_update) == SQLITE_DONE;
    }

private:
    sqlite3* m_database = nullptr;
    sqlite3_stmt* m_update = nullptr;
};

UpgradeTaskSnapshotPtr thousandDeviceTask(const std::filesystem::path& firmware, std::size_t devices)
{
    const std::string bytes(4096, 'x');
    {
        std::ofstream file(firmware, std::ios::binary);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    auto snapshot = std::make_shared<S_UpgradeTaskSnapshot>();
    snapshot->upgradeNo = kUpgradeNo;
    snapshot->upgradeId = ota::test::taskId(kUpgradeNo);
    snapshot->sceneGeneration = 1;
    snapshot->createdAt = currentUnixMs();
    S_FirmwareFileInfo file;
    file.fileNo = 1;
    file.fileSlotKey = "pcs:dsp1";
    file.filePath = firmware;
    file.fileName = firmware.filename().string();
    file.targetVersion = "2.0.0";
    file.fileSize = static_cast<std::uint32_t>(bytes.size());
    file.chunkSize = 1024;
    file.totalChunks = 4;
    file.sha256 = CSha256::digestOf(bytes.data(), bytes.size());
    snapshot->files.push_back(file);
    for (std::size_t i = 1; i <= devices; ++i)
    {
        S_UpgradeTarget target;
        target.nodeId = "node" + std::to_string(i);
        target.nodeName = "PCS " + std::to_string(i);
        target.nodeTypeId = "pcs";
        target.nodePath = {{"site", "Site", "site", "Site"}, {target.nodeId, target.nodeName, "pcs", "PCS"}};
        target.protocolNodeType = "PCS";
        target.address = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        target.port = 502;
        target.componentTypeId = "PCS_DSP1";
        target.componentIndex = 1;
        target.currentVersion = "1.0.0";
        target.targetVersion = file.targetVersion;
        target.fileNo = 1;
        target.fileSlotKey = file.fileSlotKey;
        snapshot->targets.push_back(std::move(target));
    }
    return snapshot;
}

void BM_PublishThousandDeviceState(benchmark::State& state)
{
    const auto devices = static_cast<std::size_t>(state.range(0));
    std::string pattern = (std::filesystem::temp_directory_path() / "ota-publication-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
    {
        state.SkipWithError("cannot create a temp directory");
        return;
    }
    const std::filesystem::path directory = pattern;
    {
        std::string error;
        CUpgradeHistoryRepository repository;
        if (!repository.open(directory / "upgrade-history.db", error) ||
            !repository.upsertTaskSnapshot(
                ota::test::makeSnapshotWrite(kUpgradeNo, ota::test::taskId(kUpgradeNo),
                                             currentUnixMs() - 1000, devices),
                error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        CPlainTable plain(directory / "plain.db");
        S_HttpApiServerOptions serverOptions;
        serverOptions.allowEphemeralPort = true;
        CHttpApiServer server(serverOptions);
        if (!server.start("127.0.0.1", 0, ota::bench::fixedAnswerCallbacks(), error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        CEventClient client(server.boundPort());
        while (server.eventClientCount() < 1)
        {
            std::this_thread::yield();
        }

        CUnreachableTransport transport;
        CUpgradeExecutionService engine;
        S_UpgradeExecutionOptions options;
        options.configuredDeviceConcurrency = 4;
        options.recommendedDeviceConcurrency = 4;
        options.deviceConcurrency = 4;
        options.connectTimeoutMs = 3'600'000;
        std::mutex recordingMutex;
        std::string response;
        const bool started = engine.start(transport, options, error);
        if (started)
        {
            engine.setStateSnapshotObserver(makeUpgradeStateRecorder(recordingMutex, repository, 90, server));
        }
        if (!started ||
            !engine.startTask(thousandDeviceTask(directory / "firmware.bin", devices), 1, response, error))
        {
            state.SkipWithError(error.c_str());
            engine.stop();
            server.stop();
            return;
        }
        Clock::time_point arrivedAt;
        if (!client.waitBeyond(0, arrivedAt))
        {
            state.SkipWithError("the task's first document did not arrive");
        }

        std::vector<double> publishMs;
        std::vector<double> plainMs;
        std::size_t flips = 0;
        for (auto _ : state)
        {
            // Through engine, recorder and server.
            std::uint64_t before = client.received();
            const std::string nodeId = "node" + std::to_string(flips % devices + 1);
            const auto changed = Clock::now();
            transport.report(nodeId, flips / devices % 2 == 0 ? E_DeviceConnectionState::CONNECTING
                                                              : E_DeviceConnectionState::DISCONNECTED);
            ++flips;
            if (!client.waitBeyond(before, arrivedAt))
            {
                state.SkipWithError("a publication did not arrive");
                break;
            }
            const double publish = std::chrono::duration<double, std::milli>(arrivedAt - changed).count();
            publishMs.push_back(publish);
            state.SetIterationTime(publish / 1e3);

            // The same text, plainly: the engine's current document is what was just published.
            std::string text;
            std::string stateError;
            engine.getCurrentState(text, stateError);
            before = client.received();
            const auto started = Clock::now();
            if (!plain.update(text) || !server.publishEvent("upgrade.current", text) ||
                !client.waitBeyond(before, arrivedAt))
            {
                state.SkipWithError("the plain publication failed");
                break;
            }
            plainMs.push_back(std::chrono::duration<double, std::milli>(arrivedAt - started).count());
        }
        state.counters["doc_kB"] = static_cast<double>(client.lastSize()) / 1e3;
        state.counters["publish_ms"] = median(publishMs);
        state.counters["plain_ms"] = median(plainMs);
        state.counters["ratio"] = median(publishMs) / median(plainMs);
        engine.clearStateObserver();
        engine.stop();
        server.stop();
    }
    std::filesystem::remove_all(directory);
}
BENCHMARK(BM_PublishThousandDeviceState)
    ->Arg(1000)
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
