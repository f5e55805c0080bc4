#include "app/process_stats.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace ota::backend
{

namespace
{

std::string readWhole(const char* path)
{
    std::ifstream stream(path);
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

// The machine's boot time in Unix seconds (the "btime" line of /proc/stat); 0 when unknown.
double bootTimeSeconds()
{
    std::istringstream lines(readWhole("/proc/stat"));
    std::string line;
    while (std::getline(lines, line))
    {
        if (line.rfind("btime ", 0) == 0)
        {
            return std::stod(line.substr(6));
        }
    }
    return 0;
}

}  // namespace

S_ProcessStats readProcessStats()
{
    S_ProcessStats stats;
    try
    {
        // /proc/self/stat: the command name is in parentheses and may hold blanks, so fields are
        // counted from the last ')'; utime is field 14, stime 15, starttime 22, rss 24.
        const std::string stat = readWhole("/proc/self/stat");
        const std::size_t close = stat.rfind(')');
        if (close != std::string::npos)
        {
            std::istringstream rest(stat.substr(close + 1));
            std::vector<std::string> fields((std::istream_iterator<std::string>(rest)),
                                            std::istream_iterator<std::string>());
            // fields[0] is field 3 (state).
            const auto field = [&fields](std::size_t number) { return fields.at(number - 3); };
            const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
            const double pageBytes = static_cast<double>(sysconf(_SC_PAGESIZE));
            if (ticks > 0)
            {
                stats.cpuSeconds = (std::stod(field(14)) + std::stod(field(15))) / ticks;
                stats.startTimeSeconds = bootTimeSeconds() + std::stod(field(22)) / ticks;
            }
            stats.residentBytes = static_cast<std::uint64_t>(std::stod(field(24)) * pageBytes);
        }
        std::error_code error;
        for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
             entry.increment(error))
        {
            ++stats.openFds;
        }
    }
    catch (const std::exception&)
    {
        // A figure that cannot be read stays 0; the rest of the scrape still answers.
    }
    return stats;
}

}  // namespace ota::backend
