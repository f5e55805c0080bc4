#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"
#include "baseline/baseline_service.h"
#include "device/communication_node_status.h"

#include <functional>
#include <optional>
#include <vector>

namespace ota::backend
{

using DeviceStatusSource = std::function<std::vector<S_CommunicationNodeStatus>()>;

// POST /api/v1/baseline over a service and the devices' statuses (every device of the topology).
RefusingBodyHandler makeBaselineCreateHandler(CBaselineService& baselines, DeviceStatusSource statuses);

// POST /api/v1/baseline, GET /api/v1/baseline, /api/v1/baseline/list and /api/v1/baseline/report.
void addBaselineRoutes(CBackendApplication::S_Impl& app, S_ApiCallbacks& callbacks);

// The report over the devices' newest statuses (their drift published first); none without a
// baseline.
std::optional<S_BaselineReport> freshBaselineReport(CBackendApplication::S_Impl& app);

// Main thread, every loop pass: the devices' new reports and the running task's targets into the
// baseline's drift ("baseline.drift" and a log line per new drift), and the inventory's status
// query when one is due.
void trackBaseline(CBackendApplication::S_Impl& app);

}  // namespace ota::backend
