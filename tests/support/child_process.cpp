#include "support/child_process.h"

#include "support/temp_directory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace ota::test
{

CChildProcess::CChildProcess(const std::filesystem::path& executable,
                             const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory,
                             const std::optional<std::string>& standardInput)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ota-child-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        throw std::runtime_error("mkdtemp failed");
    }
    m_outputDirectory = pattern;
    m_stdoutPath = m_outputDirectory / "stdout";
    m_stderrPath = m_outputDirectory / "stderr";

    std::vector<std::string> argvStorage;
    argvStorage.push_back(executable.string());
    argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argvStorage)
    {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    std::filesystem::path stdinPath = "/dev/null";
    if (standardInput.has_value())
    {
        stdinPath = m_outputDirectory / "stdin";
        std::ofstream(stdinPath, std::ios::binary) << *standardInput;
    }
    const int outFd = ::open(m_stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFd = ::open(m_stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const std::string directory = workingDirectory.string();
    m_pid = ::fork();
    if (m_pid == 0)
    {
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        const int inFd = ::open(stdinPath.c_str(), O_RDONLY);
        ::dup2(inFd, STDIN_FILENO);
        // The child gets nothing else of the test process: an inherited listening socket of an
        // in-process simulator would keep the device's port taken after the device restarts.
        ::close_range(3, ~0U, 0);
        if (!directory.empty() && ::chdir(directory.c_str()) != 0)
        {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(outFd);
    ::close(errFd);
    if (m_pid < 0)
    {
        throw std::runtime_error("fork failed");
    }
}

CChildProcess::~CChildProcess()
{
    if (!m_exitCode.has_value() && m_pid > 0)
    {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    std::error_code error;
    std::filesystem::remove_all(m_outputDirectory, error);
}

void CChildProcess::sendSignal(int signal) const
{
    if (!m_exitCode.has_value() && m_pid > 0)
    {
        ::kill(m_pid, signal);
    }
}

std::optional<int> CChildProcess::waitForExit(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!m_exitCode.has_value())
    {
        int status = 0;
        const pid_t result = ::waitpid(m_pid, &status, WNOHANG);
        if (result == m_pid)
        {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_exitCode;
}

std::string CChildProcess::standardOutput() const
{
    return readWholeFile(m_stdoutPath);
}

std::string CChildProcess::standardError() const
{
    return readWholeFile(m_stderrPath);
}

bool CChildProcess::waitForText(bool inError, const std::string& text, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (true)
    {
        const std::string content = inError ? standardError() : standardOutput();
        if (content.find(text) != std::string::npos)
        {
            return true;
        }
        if (waitForExit(std::chrono::milliseconds(0)).has_value())
        {
            const std::string last = inError ? standardError() : standardOutput();
            return last.find(text) != std::string::npos;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool CChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds bound)
{
    return waitForText(false, text, bound);
}

bool CChildProcess::waitForError(const std::string& text, std::chrono::milliseconds bound)
{
    return waitForText(true, text, bound);
}

namespace
{

S_ProcessResult runToEnd(CChildProcess& child, std::chrono::milliseconds bound)
{
    S_ProcessResult result;
    const std::optional<int> exitCode = child.waitForExit(bound);
    result.exitCode = exitCode.value_or(-1);
    result.standardOutput = child.standardOutput();
    result.standardError = child.standardError();
    return result;
}

}  // namespace

S_ProcessResult runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory, std::chrono::milliseconds bound)
{
    CChildProcess child(executable, arguments, workingDirectory);
    return runToEnd(child, bound);
}

S_ProcessResult runProcessWithInput(const std::filesystem::path& executable,
                                    const std::vector<std::string>& arguments,
                                    const std::string& standardInput, std::chrono::milliseconds bound)
{
    CChildProcess child(executable, arguments, {}, standardInput);
    return runToEnd(child, bound);
}

}  // namespace ota::test
