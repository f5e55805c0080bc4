#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ota::test
{

// A child process (fork + exec) whose standard output and error go to files, so tests can wait
// for a line to appear and read everything it printed.
class CChildProcess
{
public:
    // standardInput: what the child reads on standard input (a file it reads to the end);
    // without it the child reads /dev/null.
    CChildProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                  const std::filesystem::path& workingDirectory = {},
                  const std::optional<std::string>& standardInput = std::nullopt);
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    void sendSignal(int signal) const;

    // Waits for the exit and returns the exit code (128 + signal when killed); nullopt on timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds bound = std::chrono::seconds(30));

    std::string standardOutput() const;
    std::string standardError() const;

    // Waits until the text appears in standard output (or error); false when the process exits
    // first or the bound passes.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(30));
    bool waitForError(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(30));

private:
    bool waitForText(bool inError, const std::string& text, std::chrono::milliseconds bound);

    pid_t m_pid = -1;
    std::optional<int> m_exitCode;
    std::filesystem::path m_outputDirectory;
    std::filesystem::path m_stdoutPath;
    std::filesystem::path m_stderrPath;
};

// Runs a process to completion and returns its exit code with what it printed.
struct S_ProcessResult
{
    int exitCode = -1;
    std::string standardOutput;
    std::string standardError;
};
S_ProcessResult runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory = {},
                           std::chrono::milliseconds bound = std::chrono::seconds(60));
// The same with standardInput on the child's standard input.
S_ProcessResult runProcessWithInput(const std::filesystem::path& executable,
                                    const std::vector<std::string>& arguments,
                                    const std::string& standardInput,
                                    std::chrono::milliseconds bound = std::chrono::seconds(60));

}  // namespace ota::test
