#include "sim/sim_counters.h"

#include "protocol/protocol_enums.h"

#include <numeric>

namespace ota::backend
{

std::uint64_t S_SimDeviceCounters::totalFramesReceived() const
{
    return std::accumulate(framesReceived.begin(), framesReceived.end(), std::uint64_t{0});
}

std::uint64_t S_SimDeviceCounters::totalFramesSent() const
{
    return std::accumulate(framesSent.begin(), framesSent.end(), std::uint64_t{0});
}

std::uint64_t S_SimDeviceCounters::totalFaultsFired() const
{
    return std::accumulate(faultsFired.begin(), faultsFired.end(), std::uint64_t{0});
}

void S_SimDeviceCounters::add(const S_SimDeviceCounters& other)
{
    for (std::size_t index = 0; index < framesReceived.size(); ++index)
    {
        framesReceived[index] += other.framesReceived[index];
        framesSent[index] += other.framesSent[index];
    }
    bytesReceived += other.bytesReceived;
    bytesSent += other.bytesSent;
    invalidFramesReceived += other.invalidFramesReceived;
    discardedBytes += other.discardedBytes;
    connectionsAccepted += other.connectionsAccepted;
    disconnects += other.disconnects;
    reboots += other.reboots;
    upgradesStarted += other.upgradesStarted;
    upgradesCompleted += other.upgradesCompleted;
    contextResets += other.contextResets;
    for (std::size_t index = 0; index < faultsFired.size(); ++index)
    {
        faultsFired[index] += other.faultsFired[index];
    }
}

namespace
{

std::string formatFrameCounts(const std::array<std::uint64_t, 12>& counts)
{
    std::string text;
    for (std::size_t type = 1; type < counts.size(); ++type)
    {
        if (counts[type] == 0)
        {
            continue;
        }
        if (!text.empty())
        {
            text += ' ';
        }
        text += std::string(protocolMessageTypeName(static_cast<std::uint8_t>(type))) + "=" +
                std::to_string(counts[type]);
    }
    return text.empty() ? "none" : text;
}

}  // namespace

std::string formatDeviceCounters(const S_SimDeviceCounters& counters)
{
    std::string text = "received{" + formatFrameCounts(counters.framesReceived) + "} sent{" +
                       formatFrameCounts(counters.framesSent) + "} bytesIn=" +
                       std::to_string(counters.bytesReceived) + " bytesOut=" + std::to_string(counters.bytesSent) +
                       " invalidFrames=" + std::to_string(counters.invalidFramesReceived) +
                       " connections=" + std::to_string(counters.connectionsAccepted) +
                       " reboots=" + std::to_string(counters.reboots) +
                       " upgradesStarted=" + std::to_string(counters.upgradesStarted) +
                       " upgradesCompleted=" + std::to_string(counters.upgradesCompleted) +
                       " resets=" + std::to_string(counters.contextResets) + " faults{";
    bool first = true;
    for (std::size_t kind = 0; kind < counters.faultsFired.size(); ++kind)
    {
        if (counters.faultsFired[kind] == 0)
        {
            continue;
        }
        text += std::string(first ? "" : " ") + simFaultKindName(static_cast<E_SimFaultKind>(kind)) + "=" +
                std::to_string(counters.faultsFired[kind]);
        first = false;
    }
    text += first ? "none}" : "}";
    return text;
}

}  // namespace ota::backend
