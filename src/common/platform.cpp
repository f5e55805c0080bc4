#include "common/platform.h"

#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>

namespace ota::backend
{

std::optional<std::filesystem::path> readExecutablePath()
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || path.empty())
    {
        return std::nullopt;
    }
    return path;
}

bool makeAbsoluteNormalizedPath(const std::filesystem::path& path, std::filesystem::path& result,
                                std::string& error)
{
    error.clear();
    std::error_code code;
    std::filesystem::path absolute = std::filesystem::absolute(path, code);
    if (code)
    {
        error = code.message();
        return false;
    }
    result = absolute.lexically_normal();
    return true;
}

std::uint32_t readLogicalProcessorCount()
{
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<std::uint32_t>(count) : 0;
}

namespace
{

bool readFirstLine(const std::filesystem::path& path, std::string& line)
{
    std::ifstream stream(path);
    return stream && static_cast<bool>(std::getline(stream, line));
}

// "0-3,5,7-8" -> the listed processor numbers.
std::set<unsigned> parseCpuList(const std::string& text)
{
    std::set<unsigned> cpus;
    std::stringstream stream(text);
    std::string range;
    while (std::getline(stream, range, ','))
    {
        if (range.empty())
        {
            continue;
        }
        try
        {
            const std::size_t dash = range.find('-');
            const unsigned first = static_cast<unsigned>(std::stoul(range.substr(0, dash)));
            const unsigned last =
                dash == std::string::npos ? first : static_cast<unsigned>(std::stoul(range.substr(dash + 1)));
            for (unsigned cpu = first; cpu <= last && cpu < 65536; ++cpu)
            {
                cpus.insert(cpu);
            }
        }
        catch (const std::exception&)
        {
            return {};
        }
    }
    return cpus;
}

}  // namespace

std::uint32_t readPhysicalCoreCount()
{
    const std::filesystem::path root = "/sys/devices/system/cpu";
    std::string online;
    if (!readFirstLine(root / "online", online))
    {
        return 0;
    }
    std::set<std::pair<std::string, std::string>> cores;
    for (unsigned cpu : parseCpuList(online))
    {
        const std::filesystem::path topology = root / ("cpu" + std::to_string(cpu)) / "topology";
        std::string package;
        std::string core;
        if (!readFirstLine(topology / "physical_package_id", package) ||
            !readFirstLine(topology / "core_id", core))
        {
            return 0;
        }
        cores.emplace(package, core);
    }
    return static_cast<std::uint32_t>(cores.size());
}

S_MemoryStatus readMemoryStatus()
{
    S_MemoryStatus status;
    std::ifstream stream("/proc/meminfo");
    std::string key;
    std::uint64_t value = 0;
    std::string unit;
    bool haveTotal = false;
    bool haveAvailable = false;
    while (stream >> key >> value)
    {
        std::getline(stream, unit);
        if (key == "MemTotal:")
        {
            status.totalBytes = value * 1024;
            haveTotal = true;
        }
        else if (key == "MemAvailable:")
        {
            status.availableBytes = value * 1024;
            haveAvailable = true;
        }
    }
    status.available = haveTotal && haveAvailable;
    return status;
}

}  // namespace ota::backend
