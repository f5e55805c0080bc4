#pragma once

#include "api/api_callbacks.h"
#include "baseline/baseline_service.h"
#include "device/communication_node_status.h"
#include "firmware/upgrade_task_service.h"
#include "scenario/scene_topology.h"

#include <memory>
#include <vector>

namespace ota::backend
{

// The fixed site the request-body fuzz target runs its bodies against: a small topology (a PCS
// and a BMS that are connected and reported their components, and a meter that cannot be
// upgraded), two small firmware files in /tmp/ota-fuzz-firmware/ (dsp.bin and bcu.bin, made on
// first use) and a task service with a fixed clock. The corpus names those files.
class CFuzzRequestSite
{
public:
    static CFuzzRequestSite& instance();

    const JsonBodyHandler& inspectHandler() const { return m_inspect; }
    const JsonBodyHandler& previewHandler() const { return m_preview; }
    const JsonBodyHandler& rolloutHandler() const { return m_rollout; }
    const UpgradeBodyHandler& retryHandler() const { return m_retry; }
    // Baselines of the same site, stored in an in-memory database.
    const RefusingBodyHandler& baselineHandler() const { return m_baseline; }

private:
    CFuzzRequestSite();

    std::shared_ptr<const scenario::S_SceneTopology> m_topology;
    std::vector<S_CommunicationNodeStatus> m_statuses;
    CUpgradeTaskService m_service;
    JsonBodyHandler m_inspect;
    JsonBodyHandler m_preview;
    JsonBodyHandler m_rollout;
    UpgradeBodyHandler m_retry;
    CBaselineService m_baselines;
    RefusingBodyHandler m_baseline;
};

}  // namespace ota::backend
