#pragma once

// Internal to the application layer: the state CBackendApplication owns, shared by the files that
// implement its start-up, main loop and API callbacks.

#include "api/access_control.h"
#include "api/http_api_server.h"
#include "app/account_directory.h"
#include "app/audit_trail.h"
#include "app/backend_application.h"
#include "app/backend_config.h"
#include "app/start_approval.h"
#include "audit/audit_store.h"
#include "baseline/baseline_service.h"
#include "baseline/inventory_schedule.h"
#include "device/device_tcp_manager.h"
#include "firmware/upgrade_task_service.h"
#include "firmware_store/firmware_store.h"
#include "history/history_operations.h"
#include "history/upgrade_actor_store.h"
#include "rollout/rollout_service.h"
#include "scenario/scene_workspace.h"
#include "site_holds/site_holds.h"
#include "upgrade/upgrade_execution_service.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace ota::backend
{

struct CBackendApplication::S_Impl
{
    // Members in order of construction; destruction runs in reverse.
    S_BackendConfig config;
    std::filesystem::path topologyPath;  // empty = no topology file configured
    scenario::CSceneWorkspace workspace;
    // Replaced as a whole when the topology changes; read under applicationMutex.
    std::unique_ptr<CDeviceTcpManager> deviceTcpManager = std::make_unique<CDeviceTcpManager>();

    // Guards the device TCP manager pointer and sceneGeneration for readers on other threads.
    std::mutex applicationMutex;
    // Serialises scene reload with device reconnect and frame capture switching; before applicationMutex.
    std::mutex sceneOperationMutex;
    std::uint64_t sceneGeneration = 0;

    CUpgradeHistoryRepository historyRepository;
    // Finalised rows never change: each is validated and rendered once for the history list.
    CHistoryRecordCache historyCache;
    CUpgradeTaskService taskService;
    // What tasks send is read from here (its table is in the history file); it outlives the engine.
    CFirmwareStore firmwareStore;
    CUpgradeExecutionService executionService;

    // Serialises upgrade preview, start, abort, history list/clear and scene reload.
    std::mutex upgradeOperationMutex;
    // Serialises the recording of execution states with the closing of the history repository.
    std::mutex stateRecordingMutex;
    // The failed history writes of the state recorder, reported once per run and counted.
    std::shared_ptr<CStateWriteFailureLog> stateWriteFailures = std::make_shared<CStateWriteFailureLog>();

    // The audit trail of every POST request, in the history database file; outlives the server.
    CAuditStore auditStore;
    std::shared_ptr<CAuditTrail> auditTrail = std::make_shared<CAuditTrail>(auditStore);
    // Set when the configuration names a token file; the API is open to every local caller without it.
    std::shared_ptr<CApiAccessControl> accessControl;
    // The token file's token until the access control is built, once the history file (which
    // holds the named accounts) is open.
    std::string apiToken;
    // With access control: the site's named accounts, and the watch that ends the sessions of an
    // account the users commands changed. The watch goes first, before the access control it tells.
    std::shared_ptr<CAccountStore> accounts;
    std::unique_ptr<CAccountRevisionWatch> accountWatch;

    // The rollouts (their table is in the history file). The driver their thread uses is declared
    // first, so it outlives that thread.
    std::unique_ptr<IRolloutTaskDriver> rolloutDriver;
    std::unique_ptr<IRolloutSoakWatcher> rolloutSoakWatcher;
    CRolloutService rollouts;
    // Set when approvals are configured: the preview awaiting approval (when starts need one) and
    // who acted on each task (its table is in the history file).
    std::unique_ptr<CStartApproval> startApproval;
    CUpgradeActorStore upgradeActors;
    // The plant's holds (their table is in the history file); changed on the API's operation lane
    // and by the main loop's tick (leases, the hold file).
    CSiteHolds siteHolds;
    // The site's baselines (their tables are in the history file) and the drift from the newest,
    // fed by the main loop; the inventory's schedule and the task whose targets the drift last
    // took are the main loop's alone.
    CBaselineService baselines;
    CInventorySchedule inventory{0};
    std::shared_ptr<const S_ExecutionTaskIdentity> baselineTask;

    CHttpApiServer apiServer;

    // The last published device.status and communication.snapshot fingerprints (main thread only;
    // the communication one is empty while frame capture is off).
    std::string deviceStatusFingerprint;
    std::string communicationFingerprint;
    // No device.status before this moment (a large site's last one was sent too recently).
    std::chrono::steady_clock::time_point deviceStatusHeldUntil{};

    bool initialized = false;
    bool shutDown = false;
};

}  // namespace ota::backend
