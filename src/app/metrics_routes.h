#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"

namespace ota::backend
{

// GET /metrics: gathers the figures where each is counted (the device manager's per-node
// counters, the engine's state and atomics, the rollouts, the history and audit failure counters,
// the API server's answers, /proc/self) and renders them. Runs on the quick lane and takes no operation
// mutex, so a scrape is answered while a preview or start runs; on a 1,000-device site it walks
// the nodes and the task's device records once each.
MetricsHandler makeMetricsHandler(CBackendApplication::S_Impl& app);

}  // namespace ota::backend
