#pragma once

#include "api/api_callbacks.h"
#include "device/device_tcp_manager.h"
#include "firmware/upgrade_task_service.h"
#include "history/upgrade_history_repository.h"
#include "scenario/scene_workspace.h"
#include "upgrade/upgrade_execution_service.h"

#include <cstdint>
#include <memory>
#include <mutex>

namespace ota::backend
{

// What the upgrade routes use of the application. The references stay valid for the life of the
// application; deviceTcpManager and sceneGeneration are read only under applicationMutex.
struct S_UpgradeRouteServices
{
    std::mutex& upgradeOperationMutex;
    std::mutex& applicationMutex;
    const std::uint64_t& sceneGeneration;
    const scenario::CSceneWorkspace& workspace;
    const std::unique_ptr<CDeviceTcpManager>& deviceTcpManager;
    CUpgradeTaskService& taskService;
    CUpgradeExecutionService& executionService;
    CUpgradeHistoryRepository& historyRepository;
};

// POST /api/v1/upgrades/preview, POST /api/v1/upgrades/start, POST /api/v1/upgrades/:upgradeNo/abort
// and GET /api/v1/upgrades/current.
void addUpgradeRoutes(const S_UpgradeRouteServices& services, S_ApiCallbacks& callbacks);

}  // namespace ota::backend
