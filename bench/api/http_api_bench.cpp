// Throughput of the local API server on loopback. The server logs one line per request to
// standard output: run with stdout sent to /dev/null and --benchmark_out for the figures.

#include "api/http_api_server.h"
#include "bench_callbacks.h"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

struct S_RunningServer
{
    ota::backend::CHttpApiServer server{[]
                                        {
                                            ota::backend::S_HttpApiServerOptions options;
                                            options.allowEphemeralPort = true;
                                            return options;
                                        }()};
    std::uint16_t port = 0;

    S_RunningServer()
    {
        std::string error;
        if (!server.start("127.0.0.1", 0, ota::bench::fixedAnswerCallbacks(), error))
        {
            std::fprintf(stderr, "server start failed: %s\n", error.c_str());
            std::abort();
        }
        port = server.boundPort();
    }
};

// One keep-alive connection sending GET /api/v1/health back to back until the deadline.
class CHealthLoop : public std::enable_shared_from_this<CHealthLoop>
{
public:
    CHealthLoop(net::io_context& io, Clock::time_point deadline, std::vector<double>& latenciesMs)
        : m_socket(io), m_deadline(deadline), m_latenciesMs(latenciesMs)
    {
        m_request = "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    }

    void start(std::uint16_t port)
    {
        m_socket.connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port));
        m_socket.set_option(tcp::no_delay(true));
        next();
    }

    std::size_t failures() const { return m_failures; }

private:
    void next()
    {
        if (Clock::now() >= m_deadline)
        {
            return;
        }
        m_sentAt = Clock::now();
        net::async_write(
            m_socket, net::buffer(m_request),
            [self = shared_from_this()](beast::error_code error, std::size_t)
            {
                if (error)
                {
                    ++self->m_failures;
                    return;
                }
                self->m_parser.emplace();
                http::async_read(
                    self->m_socket, self->m_buffer, *self->m_parser,
                    [self](beast::error_code readError, std::size_t)
                    {
                        if (readError || self->m_parser->get().result_int() != 200)
                        {
                            ++self->m_failures;
                            return;
                        }
                        self->m_latenciesMs.push_back(
                            std::chrono::duration<double, std::milli>(Clock::now() - self->m_sentAt).count());
                        self->next();
                    });
            });
    }

    tcp::socket m_socket;
    Clock::time_point m_deadline;
    std::vector<double>& m_latenciesMs;
    std::string m_request;
    beast::flat_buffer m_buffer;
    std::optional<http::response_parser<http::string_body>> m_parser;
    Clock::time_point m_sentAt;
    std::size_t m_failures = 0;
};

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
    {
        return 0;
    }
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

void BM_HealthKeepAlive(benchmark::State& state)
{
    const int connections = static_cast<int>(state.range(0));
    S_RunningServer running;
    for (auto _ : state)
    {
        net::io_context io;
        const auto begin = Clock::now();
        const auto deadline = begin + std::chrono::seconds(5);
        std::vector<std::vector<double>> latencies(static_cast<std::size_t>(connections));
        std::vector<std::shared_ptr<CHealthLoop>> loops;
        for (int index = 0; index < connections; ++index)
        {
            latencies[static_cast<std::size_t>(index)].reserve(200000);
            loops.push_back(
                std::make_shared<CHealthLoop>(io, deadline, latencies[static_cast<std::size_t>(index)]));
            loops.back()->start(running.port);
        }
        io.run();
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(seconds);

        std::vector<double> all;
        std::size_t failures = 0;
        for (std::size_t index = 0; index < latencies.size(); ++index)
        {
            all.insert(all.end(), latencies[index].begin(), latencies[index].end());
            failures += loops[index]->failures();
        }
        state.counters["requests_per_s"] = static_cast<double>(all.size()) / seconds;
        state.counters["p50_ms"] = percentile(all, 0.50);
        state.counters["p99_ms"] = percentile(all, 0.99);
        state.counters["failures"] = static_cast<double>(failures);
    }
}
BENCHMARK(BM_HealthKeepAlive)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Fifty event-stream clients read on their own thread; the publisher keeps a few events in
// flight (far below the 4 MiB per-client limit) and counts broadcasts that reached everyone.
void BM_Broadcast100KbTo50Clients(benchmark::State& state)
{
    constexpr int kClients = 50;
    constexpr int kEvents = 2000;
    constexpr std::uint64_t kWindow = 8;
    S_RunningServer running;
    net::io_context io;
    std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> clients;
    std::vector<beast::flat_buffer> buffers(kClients);
    std::mutex mutex;
    std::condition_variable progressed;
    std::vector<std::uint64_t> received(kClients, 0);
    std::uint64_t slowest = 0;

    for (int index = 0; index < kClients; ++index)
    {
        auto ws = std::make_unique<websocket::stream<tcp::socket>>(io);
        ws->next_layer().connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), running.port));
        ws->read_message_max(1u << 20);
        ws->handshake("127.0.0.1", "/api/v1/events");
        clients.push_back(std::move(ws));
    }
    while (running.server.eventClientCount() < kClients)
    {
        std::this_thread::yield();
    }
    std::function<void(int)> readNext = [&](int index)
    {
        clients[static_cast<std::size_t>(index)]->async_read(
            buffers[static_cast<std::size_t>(index)],
            [&, index](beast::error_code error, std::size_t)
            {
                if (error)
                {
                    return;
                }
                buffers[static_cast<std::size_t>(index)].clear();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    ++received[static_cast<std::size_t>(index)];
                    slowest = *std::min_element(received.begin(), received.end());
                }
                progressed.notify_all();
                readNext(index);
            });
    };
    for (int index = 0; index < kClients; ++index)
    {
        readNext(index);
    }
    std::thread reader([&io] { io.run(); });

    const std::string data = "{\"blob\":\"" + std::string(100 * 1024 - 12, 'x') + "\"}";
    std::uint64_t published = 0;
    for (auto _ : state)
    {
        Clock::duration publishing{};
        const auto begin = Clock::now();
        for (int event = 0; event < kEvents; ++event)
        {
            {
                std::unique_lock<std::mutex> lock(mutex);
                progressed.wait(lock, [&] { return published - slowest < kWindow; });
            }
            const auto publishBegin = Clock::now();
            if (!running.server.publishEvent("communication.snapshot", data))
            {
                state.SkipWithError("publishEvent failed");
                break;
            }
            publishing += Clock::now() - publishBegin;
            ++published;
        }
        {
            std::unique_lock<std::mutex> lock(mutex);
            progressed.wait(lock, [&] { return slowest == published; });
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(seconds);
        state.counters["broadcasts_per_s"] = kEvents / seconds;
        state.counters["delivered_MB_per_s"] =
            kEvents * kClients * static_cast<double>(data.size()) / seconds / 1e6;
        // What one publishEvent call costs its caller (parse, envelope, 50 enqueues).
        state.counters["publish_call_us"] =
            std::chrono::duration<double, std::micro>(publishing).count() / kEvents;
        state.counters["clients_left"] = static_cast<double>(running.server.eventClientCount());
    }
    running.server.stop();
    reader.join();
}
BENCHMARK(BM_Broadcast100KbTo50Clients)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
