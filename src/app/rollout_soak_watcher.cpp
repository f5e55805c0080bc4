#include "app/rollout_soak_watcher.h"

#include <thread>
#include <unordered_map>
#include <utility>

namespace ota::backend
{

namespace
{

// How often the end of a soak looks for the last query's answers.
constexpr std::chrono::milliseconds kFreshStatusPoll{50};

std::unordered_map<std::string, const S_CommunicationNodeStatus*> byNode(
    const std::vector<S_CommunicationNodeStatus>& statuses)
{
    std::unordered_map<std::string, const S_CommunicationNodeStatus*> found;
    for (const S_CommunicationNodeStatus& status : statuses)
    {
        found.emplace(status.nodeId, &status);
    }
    return found;
}

}  // namespace

CRolloutSoakWatcher::CRolloutSoakWatcher(StatusReader readStatuses, StatusQuery queryStatuses,
                                         std::chrono::milliseconds freshStatusWait)
    : m_readStatuses(std::move(readStatuses)),
      m_queryStatuses(std::move(queryStatuses)),
      m_freshStatusWait(freshStatusWait)
{
}

void CRolloutSoakWatcher::beginSoak(const std::vector<S_RolloutSoakDevice>& devices)
{
    m_watched.clear();
    const auto statuses = m_readStatuses();
    const auto found = byNode(statuses);
    for (const S_RolloutSoakDevice& device : devices)
    {
        S_Watched watched;
        watched.device = device;
        // The reports before the soak belong to the task; from here on every one counts.
        const auto status = found.find(device.nodeId);
        watched.reportsSeen = status != found.end() ? status->second->statusReportCount : 0;
        m_watched.push_back(std::move(watched));
    }
    m_queryStatuses();
}

void CRolloutSoakWatcher::querySoak()
{
    observe(m_readStatuses());
    m_queryStatuses();
}

void CRolloutSoakWatcher::observeSoak()
{
    observe(m_readStatuses());
}

void CRolloutSoakWatcher::observe(const std::vector<S_CommunicationNodeStatus>& statuses)
{
    const auto found = byNode(statuses);
    for (S_Watched& watched : m_watched)
    {
        const auto status = found.find(watched.device.nodeId);
        if (status == found.end() || status->second->statusReportCount == watched.reportsSeen)
        {
            continue;
        }
        watched.reportsSeen = status->second->statusReportCount;
        judge(watched, *status->second);
    }
}

void CRolloutSoakWatcher::judge(S_Watched& watched, const S_CommunicationNodeStatus& status) const
{
    if (watched.failed)
    {
        return;  // its first failure is the one it is failed with
    }
    S_RolloutSoakFinding& finding = watched.finding;
    finding.nodeId = watched.device.nodeId;
    if (status.upgradeState == "FAULT")
    {
        finding.failure = E_RolloutSoakFailure::FAULT;
        finding.reasonName = status.reasonName;
        watched.failed = true;
        return;
    }
    for (const S_RolloutSoakComponent& wanted : watched.device.components)
    {
        for (const S_CommunicationComponentStatus& component : status.components)
        {
            if (component.componentTypeId == wanted.componentTypeId &&
                component.componentIndex == wanted.componentIndex &&
                component.version != wanted.targetVersion)
            {
                finding.failure = E_RolloutSoakFailure::VERSION;
                finding.version = component.version;
                finding.componentTypeId = component.componentTypeId;
                finding.componentIndex = component.componentIndex;
                watched.failed = true;
                return;
            }
        }
    }
}

std::vector<S_RolloutSoakFinding> CRolloutSoakWatcher::endSoak()
{
    observe(m_readStatuses());
    // The last query: every device still connected must answer it.
    std::unordered_map<std::string, std::uint64_t> before;
    for (const S_Watched& watched : m_watched)
    {
        before.emplace(watched.device.nodeId, watched.reportsSeen);
    }
    m_queryStatuses();
    const auto deadline = std::chrono::steady_clock::now() + m_freshStatusWait;
    std::unordered_map<std::string, bool> fresh;
    while (true)
    {
        const auto statuses = m_readStatuses();
        observe(statuses);
        const auto found = byNode(statuses);
        bool waiting = false;
        for (const S_Watched& watched : m_watched)
        {
            const auto status = found.find(watched.device.nodeId);
            const bool connected = status != found.end() &&
                                   status->second->connectionState == E_DeviceConnectionState::CONNECTED;
            fresh[watched.device.nodeId] =
                connected && status->second->statusReportCount > before[watched.device.nodeId];
            waiting = waiting || (connected && !fresh[watched.device.nodeId] && !watched.failed);
        }
        if (!waiting || std::chrono::steady_clock::now() >= deadline)
        {
            break;
        }
        // The device layer signals no status answer: its snapshot is looked at again shortly.
        std::this_thread::sleep_for(kFreshStatusPoll);
    }
    std::vector<S_RolloutSoakFinding> findings;
    for (S_Watched& watched : m_watched)
    {
        if (!watched.failed && !fresh[watched.device.nodeId])
        {
            watched.finding = {};
            watched.finding.nodeId = watched.device.nodeId;
            watched.finding.failure = E_RolloutSoakFailure::NOT_CONNECTED;
            watched.failed = true;
        }
        if (watched.failed)
        {
            findings.push_back(watched.finding);
        }
    }
    m_watched.clear();
    return findings;
}

void CRolloutSoakWatcher::abandonSoak()
{
    m_watched.clear();
}

}  // namespace ota::backend
