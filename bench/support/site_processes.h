#pragma once

// The pieces the benchmarks that run the built ota-backend and ota-device-sim as processes on
// loopback have in common: a run of free ports for a generated site, a child process that is
// stopped on every way out, waits on a log line, figures read from /proc, and a blocking
// keep-alive HTTP client for the operator interface.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/verb.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/types.h>

namespace ota::bench
{

// The first run of count + 1 free loopback ports at or above 20000 (below the usual ephemeral
// range): count device ports from the returned base and the HTTP port right after them.
std::uint16_t findFreePortRun(unsigned count);

// A child process (arguments[0] is the executable's path) with its standard output and error
// written to a file; stopped and reaped on every way out.
class CChild
{
public:
    CChild(const std::vector<std::string>& arguments, const std::filesystem::path& output);
    ~CChild();
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    pid_t pid() const { return m_pid; }
    // Sends the signal and waits; the exit code (128 + signal when killed). Later calls return the
    // same code without signalling again.
    int stop(int signal = SIGTERM);

private:
    pid_t m_pid = -1;
    int m_status = 0;
};

std::string readFile(const std::filesystem::path& path);

// Polls for a condition with a bound (no fixed sleeps stand in for a condition); the condition
// is checked once more at the deadline.
template <typename Predicate>
bool waitUntil(Predicate&& predicate, std::chrono::seconds bound, std::chrono::milliseconds poll)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!predicate())
    {
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return predicate();
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// Whether the file (a child's log) came to contain the text within the bound.
bool waitForText(const std::filesystem::path& path, const std::string& text, std::chrono::seconds bound);

// Clock ticks of user plus system time of the process (/proc/<pid>/stat fields 14 and 15).
std::uint64_t cpuTicks(pid_t pid);
// The same in seconds.
double cpuSeconds(pid_t pid);

// A kilobyte figure of /proc/<pid>/status ("VmRSS", "VmHWM"); 0 when the key is absent.
std::uint64_t statusKilobytes(pid_t pid, const std::string& key);

// A byte count of /proc/<pid>/io ("write_bytes": what the process caused to be written to the
// storage layer, counted when it dirties the page cache); 0 when the key is absent or unreadable.
std::uint64_t ioBytes(pid_t pid, const std::string& key);

// One keep-alive connection to the backend's HTTP port on 127.0.0.1.
class CHttpClient
{
public:
    explicit CHttpClient(std::uint16_t port);

    // The response body, whatever the status. A POST carries body as JSON.
    std::string request(boost::beast::http::verb verb, const std::string& target,
                        const std::string& body = {});
    std::string get(const std::string& target) { return request(boost::beast::http::verb::get, target); }

private:
    boost::asio::io_context m_context;
    boost::asio::ip::tcp::socket m_socket;
    boost::beast::flat_buffer m_buffer;
    std::string m_host;
};

}  // namespace ota::bench
