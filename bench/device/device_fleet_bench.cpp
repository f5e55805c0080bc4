// The service against a simulated site of 1,000 devices, both as real processes on loopback:
//   time from the backend's start until every device is CONNECTED (target under 5 s),
//   the backend's CPU share and resident memory while all are idle and connected (targets: under
//   3 % of one core, under 150 MB), and the latency of GET /api/v1/devices/status (target under
//   50 ms). Prints one line per figure.
//
//   device_fleet_bench [--devices N] [--idle-seconds S] [--requests R]

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

const std::filesystem::path kBinaryDir = OTA_BINARY_DIR;

struct S_Options
{
    unsigned devices = 1000;
    unsigned idleSeconds = 10;
    unsigned requests = 50;
};

bool portIsFree(std::uint16_t port)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(probe);
    return free;
}

// The first run of count free ports at or above 20000 (below the usual ephemeral range).
std::uint16_t findFreePortRun(unsigned count)
{
    for (unsigned base = 20000; base + count < 32000; base += count)
    {
        bool free = true;
        for (unsigned offset = 0; offset <= count && free; ++offset)
        {
            free = portIsFree(static_cast<std::uint16_t>(base + offset));
        }
        if (free)
        {
            return static_cast<std::uint16_t>(base);
        }
    }
    throw std::runtime_error("no run of free ports");
}

pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& output)
{
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        const int file = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(file, STDOUT_FILENO);
        ::dup2(file, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
        {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    return pid;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

bool waitForText(const std::filesystem::path& path, const std::string& text, std::chrono::seconds bound)
{
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline)
    {
        if (readFile(path).find(text) != std::string::npos)
        {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Clock ticks of user plus system time of the process (/proc/<pid>/stat fields 14 and 15).
std::uint64_t cpuTicks(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    std::uint64_t user = 0;
    std::uint64_t system = 0;
    for (int index = 3; fields >> field; ++index)
    {
        if (index == 14)
        {
            user = std::stoull(field);
        }
        else if (index == 15)
        {
            system = std::stoull(field);
            break;
        }
    }
    return user + system;
}

std::uint64_t statusKilobytes(pid_t pid, const std::string& key)
{
    std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(lines, line))
    {
        if (line.rfind(key + ":", 0) == 0)
        {
            return std::stoull(line.substr(key.size() + 1));
        }
    }
    return 0;
}

class CHttpClient
{
public:
    explicit CHttpClient(std::uint16_t port) : m_socket(m_context)
    {
        m_socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
        m_host = "127.0.0.1:" + std::to_string(port);
    }

    std::string get(const std::string& target)
    {
        http::request<http::empty_body> request{http::verb::get, target, 11};
        request.set(http::field::host, m_host);
        request.keep_alive(true);
        http::write(m_socket, request);
        http::response_parser<http::string_body> parser;
        parser.body_limit(256u << 20);
        http::read(m_socket, m_buffer, parser);
        return parser.release().body();
    }

private:
    boost::asio::io_context m_context;
    tcp::socket m_socket;
    beast::flat_buffer m_buffer;
    std::string m_host;
};

std::uint64_t connectedDevices(CHttpClient& client)
{
    const nlohmann::json health = nlohmann::json::parse(client.get("/api/v1/health"));
    return health["data"]["deviceTcp"]["connectedDeviceCount"].get<std::uint64_t>();
}

S_Options parseOptions(int argc, char** argv)
{
    S_Options options;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string name = argv[i];
        const unsigned value = static_cast<unsigned>(std::stoul(argv[i + 1]));
        if (name == "--devices")
        {
            options.devices = value;
        }
        else if (name == "--idle-seconds")
        {
            options.idleSeconds = value;
        }
        else if (name == "--requests")
        {
            options.requests = value;
        }
    }
    return options;
}

int runBench(const S_Options& options)
{
    char pattern[] = "/tmp/ota-fleet-XXXXXX";
    const std::filesystem::path directory = ::mkdtemp(pattern);
    const unsigned emu = std::max(1u, options.devices / 10);
    const unsigned pcs = (options.devices - emu) / 2;
    const unsigned bms = options.devices - emu - pcs;
    const std::uint16_t basePort = findFreePortRun(options.devices + 1);
    const std::uint16_t httpPort = static_cast<std::uint16_t>(basePort + options.devices);

    const pid_t simulator =
        spawn({(kBinaryDir / "ota-device-sim").string(), "--generate-site", directory.string(), "--emu",
               std::to_string(emu), "--pcs", std::to_string(pcs), "--bms", std::to_string(bms), "--base-port",
               std::to_string(basePort), "--http-port", std::to_string(httpPort), "--quiet", "--no-summary"},
              directory / "sim.log");
    if (!waitForText(directory / "sim.log", "[READY]", std::chrono::seconds(60)))
    {
        std::fprintf(stderr, "simulator did not start:\n%s\n", readFile(directory / "sim.log").c_str());
        ::kill(simulator, SIGKILL);
        return 1;
    }

    const auto started = Clock::now();
    const pid_t backend =
        spawn({(kBinaryDir / "ota-backend").string(), "--config", (directory / "ota-backend.json").string()},
              directory / "backend.log");
    int result = 0;
    try
    {
        if (!waitForText(directory / "backend.log", "[INFO] WebSocket events:", std::chrono::seconds(60)))
        {
            throw std::runtime_error("backend did not start:\n" + readFile(directory / "backend.log"));
        }
        CHttpClient client(httpPort);
        while (connectedDevices(client) < options.devices)
        {
            if (Clock::now() - started > std::chrono::seconds(120))
            {
                throw std::runtime_error("not every device connected within 120 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double connectSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("devices                          %u (%u EMU, %u PCS, %u BMS)\n", options.devices, emu,
                    pcs, bms);
        std::printf("start until all CONNECTED        %.2f s (target < 5 s)\n", connectSeconds);

        // Let the connect storm's events settle, then watch the idle service.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const std::uint64_t ticksBefore = cpuTicks(backend);
        const auto idleStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
        const double idleSeconds = std::chrono::duration<double>(Clock::now() - idleStart).count();
        const double cpuSeconds = static_cast<double>(cpuTicks(backend) - ticksBefore) /
                                  static_cast<double>(::sysconf(_SC_CLK_TCK));
        std::printf("idle CPU share                   %.2f %% of one core over %.0f s (target < 3 %%)\n",
                    100.0 * cpuSeconds / idleSeconds, idleSeconds);
        std::printf("resident memory                  %.1f MB now, %.1f MB peak (target < 150 MB)\n",
                    static_cast<double>(statusKilobytes(backend, "VmRSS")) / 1024.0,
                    static_cast<double>(statusKilobytes(backend, "VmHWM")) / 1024.0);

        std::vector<double> latencies;
        std::size_t bytes = 0;
        for (unsigned i = 0; i < options.requests; ++i)
        {
            const auto begin = Clock::now();
            bytes = client.get("/api/v1/devices/status").size();
            latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        }
        std::sort(latencies.begin(), latencies.end());
        std::printf(
            "GET /api/v1/devices/status       median %.1f ms, p95 %.1f ms, max %.1f ms, %.2f MB "
            "(target < 50 ms)\n",
            latencies[latencies.size() / 2], latencies[latencies.size() * 95 / 100], latencies.back(),
            static_cast<double>(bytes) / 1e6);
        if (connectedDevices(client) != options.devices)
        {
            throw std::runtime_error("a device disconnected while idle");
        }
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "%s\n", exception.what());
        result = 1;
    }

    const auto stopping = Clock::now();
    ::kill(backend, SIGTERM);
    int status = 0;
    ::waitpid(backend, &status, 0);
    std::printf("stop with every device connected %.2f s, exit code %d\n",
                std::chrono::duration<double>(Clock::now() - stopping).count(),
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    ::kill(simulator, SIGTERM);
    ::waitpid(simulator, &status, 0);
    std::filesystem::remove_all(directory);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    try
    {
        return runBench(parseOptions(argc, argv));
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "device_fleet_bench: %s\n", exception.what());
        return 1;
    }
}
