#include "support/site_processes.h"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ota::bench
{

namespace
{

namespace http = boost::beast::http;

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

}  // namespace

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

CChild::CChild(const std::vector<std::string>& arguments, const std::filesystem::path& output)
    : m_pid(spawn(arguments, output))
{
}

CChild::~CChild()
{
    stop();
}

int CChild::stop(int signal)
{
    if (m_pid <= 0)
    {
        return m_status;
    }
    ::kill(m_pid, signal);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
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
    return waitUntil([&] { return readFile(path).find(text) != std::string::npos; }, bound,
                     std::chrono::milliseconds(10));
}

std::uint64_t cpuTicks(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold spaces; the fields are counted after it.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    std::uint64_t ticks = 0;
    for (int index = 3; fields >> field; ++index)
    {
        if (index == 14 || index == 15)
        {
            ticks += std::stoull(field);
        }
        if (index == 15)
        {
            break;
        }
    }
    return ticks;
}

double cpuSeconds(pid_t pid)
{
    return static_cast<double>(cpuTicks(pid)) / static_cast<double>(::sysconf(_SC_CLK_TCK));
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

std::uint64_t ioBytes(pid_t pid, const std::string& key)
{
    std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/io"));
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

CHttpClient::CHttpClient(std::uint16_t port) : m_socket(m_context)
{
    m_socket.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
    m_host = "127.0.0.1:" + std::to_string(port);
}

std::string CHttpClient::request(http::verb verb, const std::string& target, const std::string& body)
{
    http::request<http::string_body> request{verb, target, 11};
    request.set(http::field::host, m_host);
    request.keep_alive(true);
    if (verb == http::verb::post)
    {
        request.set(http::field::content_type, "application/json");
        request.body() = body;
        request.prepare_payload();
    }
    http::write(m_socket, request);
    http::response_parser<http::string_body> parser;
    // A large site's device documents run to megabytes.
    parser.body_limit(256u << 20);
    http::read(m_socket, m_buffer, parser);
    return parser.release().body();
}

}  // namespace ota::bench
