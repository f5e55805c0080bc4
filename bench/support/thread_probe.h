#pragma once

// What the in-process engine benchmarks count beside wall time: CPU time of the threads that are
// the backend's (the process minus the simulator's threads and the benchmark's own), heap
// allocations made on those threads (with the counting allocator linked in), and the console lines
// the service wrote into its log file. A window is opened and closed from any thread; the figures
// are the differences between the two readings.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ota::bench
{

// The kernel thread ids of this process, in no particular order.
std::vector<pid_t> processThreadIds();

// CPU time of one thread of this process (nanoseconds); 0 when it is gone.
std::int64_t threadCpuNs(pid_t tid);

// CPU time of the whole process, ended threads included (nanoseconds).
std::int64_t processCpuNs();

// Threads whose work is not the backend's: the simulators' and the benchmark's own. Their CPU is
// taken out of the process figure, and the counting allocator does not count their allocations.
void excludeThreads(const std::vector<pid_t>& tids);
void excludeCallingThread();
bool isExcludedThread();
// The tids that appeared since `before` (threads a call has started).
std::vector<pid_t> newThreadIds(const std::vector<pid_t>& before);

// The counting allocator (counting_allocator.cpp): allocations of threads not excluded, counted
// while counting is on. Without that file linked these stay 0.
void setAllocationCounting(bool on);
std::uint64_t countedAllocations();
// Called by the counting allocator for every allocation.
void noteAllocation();

// One reading at a window's edge.
struct S_ProbeReading
{
    std::int64_t processCpuNs = 0;
    std::int64_t excludedCpuNs = 0;
    std::uint64_t allocations = 0;
    std::int64_t logOffset = 0;  // standard output's file offset (the service log)
};

S_ProbeReading readProbe();

// What a window cost the backend's threads.
struct S_ProbeWindow
{
    double backendCpuUs = 0;
    std::uint64_t allocations = 0;
    std::uint64_t consoleLines = 0;
};

// The console lines are counted in the log file between the two offsets.
S_ProbeWindow probeWindow(const S_ProbeReading& begin, const S_ProbeReading& end, const std::string& logPath);

// The path of the service log the benchmark writes standard output into (empty: lines not counted).
void setServiceLogPath(const std::string& path);
const std::string& serviceLogPath();

}  // namespace ota::bench
