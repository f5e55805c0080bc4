#pragma once

// What the whole-system fault tests need beside the backend process: the simulator as a process of
// its own (so it can be frozen or killed like a machine), a small file system of its own for the
// backend's history, the figures the kernel keeps about a process, and raw loopback connections.
#include "support/child_process.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ota::test
{

// Resident memory, open descriptors and threads of a running process.
struct S_ProcessFigures
{
    std::uint64_t residentKiB = 0;
    std::size_t openDescriptors = 0;
    std::size_t threads = 0;
};
std::optional<S_ProcessFigures> readProcessFigures(pid_t pid);
std::ostream& operator<<(std::ostream& out, const S_ProcessFigures& figures);

// How often a text occurs in another.
std::size_t countOccurrences(const std::string& text, const std::string& needle);

// ota-device-sim over a topology file, as its own process: SIGSTOP freezes every device without
// closing a connection (a network partition as the backend sees it), SIGKILL takes the power away.
class CSimulatorProcess
{
public:
    // settings: the "settings" object of a scenario rule applied to every device (may be null).
    CSimulatorProcess(std::filesystem::path topologyFile, const nlohmann::json& settings);
    ~CSimulatorProcess();
    CSimulatorProcess(const CSimulatorProcess&) = delete;
    CSimulatorProcess& operator=(const CSimulatorProcess&) = delete;

    // Starts the process and waits until every device listens.
    bool start();
    void freeze();
    void thaw();
    // SIGKILL, and waits until the process is gone (its sockets closed by the kernel).
    void powerOff();
    std::string output() const;

private:
    std::filesystem::path m_topologyFile;
    std::filesystem::path m_scenarioFile;
    std::unique_ptr<CChildProcess> m_child;
    bool m_frozen = false;
};

// A user and mount namespace in which a small tmpfs covers one directory. Processes started
// inside (commandInside) keep their files there; this process reaches the same files through
// hostPath. The file system goes away with the object.
class CTmpfsNamespace
{
public:
    CTmpfsNamespace() = default;
    ~CTmpfsNamespace();
    CTmpfsNamespace(const CTmpfsNamespace&) = delete;
    CTmpfsNamespace& operator=(const CTmpfsNamespace&) = delete;

    // False with the reason when this machine does not let an unprivileged namespace mount.
    bool create(const std::filesystem::path& directory, std::size_t sizeBytes, std::string& reason);
    // The same path as the processes inside see it.
    std::filesystem::path hostPath(const std::filesystem::path& insidePath) const;
    // The command line that runs a program inside the namespace (nsenter execs it in place, so the
    // child's process id is the program's).
    std::vector<std::string> commandInside(const std::filesystem::path& executable,
                                           const std::vector<std::string>& arguments) const;

    // Takes every free byte of the file system with one file; false with the reason when the
    // file system did not end up full.
    bool fill(std::string& error);
    // Gives the bytes back.
    void release();

private:
    std::filesystem::path m_directory;
    std::unique_ptr<CChildProcess> m_holder;
};

// One raw TCP connection to 127.0.0.1, for clients that misbehave.
class CRawConnection
{
public:
    CRawConnection() = default;
    ~CRawConnection();
    CRawConnection(const CRawConnection&) = delete;
    CRawConnection& operator=(const CRawConnection&) = delete;

    bool connect(std::uint16_t port);
    // False once the peer has closed or reset the connection.
    bool send(const std::string& bytes);
    // True when the peer closes (or resets) the connection within the bound; what it sends first
    // is skipped.
    bool waitForClose(std::chrono::milliseconds bound);
    bool isOpen() const { return m_fd >= 0; }
    void close();

private:
    int m_fd = -1;
};

}  // namespace ota::test
