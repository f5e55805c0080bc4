#include "app/fault_process_support.h"

#include "support/temp_directory.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>

namespace ota::test
{

namespace
{

const std::filesystem::path kSimulator = OTA_SIM_EXE;

std::size_t countEntries(const std::filesystem::path& directory)
{
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error))
    {
        ++count;
    }
    return count;
}

}  // namespace

std::optional<S_ProcessFigures> readProcessFigures(pid_t pid)
{
    const std::filesystem::path base = "/proc/" + std::to_string(pid);
    std::ifstream status(base / "status");
    if (!status)
    {
        return std::nullopt;
    }
    S_ProcessFigures figures;
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmRSS:", 0) == 0)
        {
            std::istringstream(line.substr(6)) >> figures.residentKiB;
        }
    }
    figures.openDescriptors = countEntries(base / "fd");
    figures.threads = countEntries(base / "task");
    if (figures.residentKiB == 0 || figures.threads == 0)
    {
        return std::nullopt;
    }
    return figures;
}

std::ostream& operator<<(std::ostream& out, const S_ProcessFigures& figures)
{
    return out << "VmRSS " << figures.residentKiB << " KiB, " << figures.openDescriptors << " descriptors, "
               << figures.threads << " threads";
}

std::size_t countOccurrences(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
    {
        ++count;
    }
    return count;
}

CSimulatorProcess::CSimulatorProcess(std::filesystem::path topologyFile, const nlohmann::json& settings)
    : m_topologyFile(std::move(topologyFile))
{
    if (!settings.is_null())
    {
        m_scenarioFile = m_topologyFile.parent_path() / "sim-scenario.json";
        const nlohmann::json rule = {{"settings", settings}};
        std::ofstream(m_scenarioFile)
            << nlohmann::json{{"schemaVersion", 1}, {"rules", nlohmann::json::array({rule})}}.dump();
    }
}

CSimulatorProcess::~CSimulatorProcess()
{
    if (m_child)
    {
        thaw();
        m_child->sendSignal(SIGTERM);
        m_child->waitForExit(std::chrono::seconds(20));
    }
}

bool CSimulatorProcess::start()
{
    std::vector<std::string> arguments = {"--topology", m_topologyFile.string(), "--no-summary"};
    if (!m_scenarioFile.empty())
    {
        arguments.insert(arguments.end(), {"--scenario", m_scenarioFile.string()});
    }
    m_child.reset();
    m_child = std::make_unique<CChildProcess>(kSimulator, arguments);
    m_frozen = false;
    return m_child->waitForOutput("[READY] Simulating");
}

void CSimulatorProcess::freeze()
{
    if (m_child && !m_frozen)
    {
        m_child->sendSignal(SIGSTOP);
        m_frozen = true;
    }
}

void CSimulatorProcess::thaw()
{
    if (m_child && m_frozen)
    {
        m_child->sendSignal(SIGCONT);
        m_frozen = false;
    }
}

void CSimulatorProcess::powerOff()
{
    if (m_child)
    {
        m_child->sendSignal(SIGKILL);
        m_child->waitForExit(std::chrono::seconds(20));
        m_frozen = false;
    }
}

std::string CSimulatorProcess::output() const
{
    return m_child ? "simulator stdout:\n" + m_child->standardOutput() + "\nsimulator stderr:\n" +
                         m_child->standardError()
                   : "";
}

CTmpfsNamespace::~CTmpfsNamespace()
{
    // The holder keeps the namespace alive; once it is gone the file system goes with it.
    m_holder.reset();
}

bool CTmpfsNamespace::create(const std::filesystem::path& directory, std::size_t sizeBytes,
                             std::string& reason)
{
    m_directory = directory;
    std::filesystem::create_directories(directory);
    // The holder mounts the file system and then only waits; programs join its namespace later.
    const std::string script = "mount -t tmpfs -o size=" + std::to_string(sizeBytes) + " tmpfs '" +
                               directory.string() + "' && echo mounted && exec sleep 86400";
    m_holder = std::make_unique<CChildProcess>("/usr/bin/unshare",
                                               std::vector<std::string>{"-rm", "/bin/sh", "-c", script});
    if (!m_holder->waitForOutput("mounted", std::chrono::seconds(20)))
    {
        reason =
            "cannot mount a tmpfs in an unprivileged user and mount namespace: " + m_holder->standardError();
        m_holder.reset();
        return false;
    }
    return true;
}

std::filesystem::path CTmpfsNamespace::hostPath(const std::filesystem::path& insidePath) const
{
    return std::filesystem::path("/proc/" + std::to_string(m_holder->pid()) + "/root") /
           insidePath.relative_path();
}

std::vector<std::string> CTmpfsNamespace::commandInside(const std::filesystem::path& executable,
                                                        const std::vector<std::string>& arguments) const
{
    std::vector<std::string> command = {"-t", std::to_string(m_holder->pid()), "-U",
                                        "-m", "--preserve-credentials",        executable.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

bool CTmpfsNamespace::fill(std::string& error)
{
    const std::filesystem::path path = hostPath(m_directory / "filler");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        error = std::string("cannot create the filler: ") + std::strerror(errno);
        return false;
    }
    const std::string block(4096, '\0');
    int lastError = 0;
    while (lastError == 0)
    {
        if (::write(fd, block.data(), block.size()) < 0)
        {
            lastError = errno;
        }
    }
    ::close(fd);
    if (lastError != ENOSPC)
    {
        error =
            std::string("the filler stopped before the file system was full: ") + std::strerror(lastError);
        return false;
    }
    return true;
}

void CTmpfsNamespace::release()
{
    std::error_code ignored;
    std::filesystem::remove(hostPath(m_directory / "filler"), ignored);
}

CRawConnection::~CRawConnection()
{
    close();
}

bool CRawConnection::connect(std::uint16_t port)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
    {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        close();
        return false;
    }
    return true;
}

bool CRawConnection::send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size())
    {
        const ssize_t result = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result <= 0)
        {
            return false;
        }
        sent += static_cast<std::size_t>(result);
    }
    return m_fd >= 0;
}

bool CRawConnection::waitForClose(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    char buffer[4096];
    while (m_fd >= 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            return false;
        }
        pollfd entry{m_fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
        {
            return false;
        }
        if (ready > 0)
        {
            const ssize_t result = ::recv(m_fd, buffer, sizeof(buffer), 0);
            if (result == 0 || (result < 0 && errno != EINTR && errno != EAGAIN))
            {
                close();
                return true;
            }
        }
    }
    return true;
}

void CRawConnection::close()
{
    if (m_fd >= 0)
    {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace ota::test
