#include "support/thread_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace ota::bench
{

namespace
{

constexpr std::size_t kMaxExcluded = 64;

// Written before the threads they name do any counted work; read lock-free by the allocator.
std::array<std::atomic<pid_t>, kMaxExcluded> g_excluded{};
std::atomic<std::size_t> g_excludedCount{0};
std::mutex g_excludeMutex;
std::string g_logPath;
std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_allocations{0};

pid_t callingThreadId()
{
    thread_local const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    return tid;
}

// The CPU clock of a thread by its kernel id, as glibc's pthread_getcpuclockid builds it.
clockid_t threadClock(pid_t tid)
{
    return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
}

std::int64_t clockNs(clockid_t clock)
{
    timespec value{};
    if (::clock_gettime(clock, &value) != 0)
    {
        return 0;
    }
    return static_cast<std::int64_t>(value.tv_sec) * 1'000'000'000 + value.tv_nsec;
}

}  // namespace

std::vector<pid_t> processThreadIds()
{
    std::vector<pid_t> tids;
    DIR* directory = ::opendir("/proc/self/task");
    if (directory == nullptr)
    {
        return tids;
    }
    while (const dirent* entry = ::readdir(directory))
    {
        const int tid = std::atoi(entry->d_name);
        if (tid > 0)
        {
            tids.push_back(static_cast<pid_t>(tid));
        }
    }
    ::closedir(directory);
    return tids;
}

std::int64_t threadCpuNs(pid_t tid)
{
    return clockNs(threadClock(tid));
}

std::int64_t processCpuNs()
{
    return clockNs(CLOCK_PROCESS_CPUTIME_ID);
}

void excludeThreads(const std::vector<pid_t>& tids)
{
    std::lock_guard<std::mutex> lock(g_excludeMutex);
    for (const pid_t tid : tids)
    {
        const std::size_t count = g_excludedCount.load();
        bool known = false;
        for (std::size_t i = 0; i < count; ++i)
        {
            known = known || g_excluded[i].load() == tid;
        }
        if (!known && count < kMaxExcluded)
        {
            g_excluded[count].store(tid);
            g_excludedCount.store(count + 1);
        }
    }
}

void excludeCallingThread()
{
    excludeThreads({callingThreadId()});
}

bool isExcludedThread()
{
    const pid_t tid = callingThreadId();
    const std::size_t count = g_excludedCount.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < count; ++i)
    {
        if (g_excluded[i].load(std::memory_order_relaxed) == tid)
        {
            return true;
        }
    }
    return false;
}

std::vector<pid_t> newThreadIds(const std::vector<pid_t>& before)
{
    std::vector<pid_t> added;
    for (const pid_t tid : processThreadIds())
    {
        if (std::find(before.begin(), before.end(), tid) == before.end())
        {
            added.push_back(tid);
        }
    }
    return added;
}

S_ProbeReading readProbe()
{
    S_ProbeReading reading;
    reading.processCpuNs = processCpuNs();
    const std::size_t count = g_excludedCount.load();
    for (std::size_t i = 0; i < count; ++i)
    {
        reading.excludedCpuNs += threadCpuNs(g_excluded[i].load());
    }
    reading.allocations = countedAllocations();
    reading.logOffset = ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
    return reading;
}

S_ProbeWindow probeWindow(const S_ProbeReading& begin, const S_ProbeReading& end, const std::string& logPath)
{
    S_ProbeWindow window;
    window.backendCpuUs = static_cast<double>((end.processCpuNs - begin.processCpuNs) -
                                              (end.excludedCpuNs - begin.excludedCpuNs)) /
                          1000.0;
    window.allocations = end.allocations - begin.allocations;
    if (!logPath.empty() && begin.logOffset >= 0 && end.logOffset > begin.logOffset)
    {
        const int descriptor = ::open(logPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor >= 0)
        {
            char buffer[65536];
            std::int64_t offset = begin.logOffset;
            while (offset < end.logOffset)
            {
                const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
                    static_cast<std::int64_t>(sizeof(buffer)), end.logOffset - offset));
                const ssize_t count = ::pread(descriptor, buffer, want, offset);
                if (count <= 0)
                {
                    break;
                }
                window.consoleLines += static_cast<std::uint64_t>(std::count(buffer, buffer + count, '\n'));
                offset += count;
            }
            ::close(descriptor);
        }
    }
    return window;
}

void setAllocationCounting(bool on)
{
    g_counting.store(on);
}

std::uint64_t countedAllocations()
{
    return g_allocations.load();
}

void noteAllocation()
{
    if (g_counting.load(std::memory_order_relaxed) && !isExcludedThread())
    {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

void setServiceLogPath(const std::string& path)
{
    g_logPath = path;
}

const std::string& serviceLogPath()
{
    return g_logPath;
}

}  // namespace ota::bench
