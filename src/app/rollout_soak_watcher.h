#pragma once

#include "device/communication_node_status.h"
#include "rollout/rollout_soak.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ota::backend
{

// A rollout's soak watched through the device status queries: every status report a soaked device
// sends (counted by its status report count) is looked at; FAULT or a component at another version
// than its target fails the device. At the end a device must be CONNECTED and answer the last query
// within freshStatusWait.
class CRolloutSoakWatcher final : public IRolloutSoakWatcher
{
public:
    using StatusReader = std::function<std::vector<S_CommunicationNodeStatus>()>;
    using StatusQuery = std::function<void()>;  // asks every device its status

    CRolloutSoakWatcher(StatusReader readStatuses, StatusQuery queryStatuses,
                        std::chrono::milliseconds freshStatusWait = std::chrono::seconds(5));

    void beginSoak(const std::vector<S_RolloutSoakDevice>& devices) override;
    void querySoak() override;
    void observeSoak() override;
    std::vector<S_RolloutSoakFinding> endSoak() override;
    void abandonSoak() override;

private:
    struct S_Watched
    {
        S_RolloutSoakDevice device;
        std::uint64_t reportsSeen = 0;  // the status report count last looked at
        bool failed = false;
        S_RolloutSoakFinding finding;
    };

    // Judges every status a watched device reported since the last look.
    void observe(const std::vector<S_CommunicationNodeStatus>& statuses);
    void judge(S_Watched& watched, const S_CommunicationNodeStatus& status) const;

    const StatusReader m_readStatuses;
    const StatusQuery m_queryStatuses;
    const std::chrono::milliseconds m_freshStatusWait;
    // Rollout thread only.
    std::vector<S_Watched> m_watched;
};

}  // namespace ota::backend
