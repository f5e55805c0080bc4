#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ota::backend
{

// The platform layer: the few operating-system facts the service needs, read from Linux.

// The running executable's own path (/proc/self/exe); nullopt when it cannot be read.
std::optional<std::filesystem::path> readExecutablePath();

// Absolute (against the current directory) and lexically normalised. False with the system's
// message when the current directory cannot be read.
bool makeAbsoluteNormalizedPath(const std::filesystem::path& path, std::filesystem::path& result,
                                std::string& error);

// Processors online (sysconf); 0 when unknown.
std::uint32_t readLogicalProcessorCount();

// Distinct (package, core) pairs of the online processors from /sys/devices/system/cpu;
// 0 when the topology cannot be read.
std::uint32_t readPhysicalCoreCount();

struct S_MemoryStatus
{
    bool available = false;
    std::uint64_t totalBytes = 0;
    std::uint64_t availableBytes = 0;
};

// MemTotal and MemAvailable of /proc/meminfo.
S_MemoryStatus readMemoryStatus();

}  // namespace ota::backend
