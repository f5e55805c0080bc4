#include "app/backend_application.h"

#include "app/api_routes.h"
#include "app/api_token_file.h"
#include "app/application_state.h"
#include "app/baseline_routes.h"
#include "app/device_events.h"
#include "app/firmware_store_labels.h"
#include "app/firmware_store_staging.h"
#include "app/history_database_path.h"
#include "app/rollout_routes.h"
#include "app/rollout_soak_watcher.h"
#include "app/rollout_task_driver.h"
#include "app/rollout_task_feed.h"
#include "app/service_options.h"
#include "app/site_hold_routes.h"
#include "app/stop_signal.h"
#include "app/system_capacity.h"
#include "app/upgrade_state_recorder.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/platform.h"
#include "firmware/firmware_trust.h"
#include "history/interrupted_task_recovery.h"
#include "scenario/topology_file_loader.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

namespace ota::backend
{

CBackendApplication::CBackendApplication() : m_impl(std::make_unique<S_Impl>()) {}

CBackendApplication::~CBackendApplication()
{
    if (m_impl->initialized)
    {
        shutdown();
    }
}

namespace
{

bool fail(const std::string& prefix, const std::string& reason, std::string& error)
{
    consoleErr(prefix + reason);
    error = reason;
    return false;
}

// New upgrade numbers must not meet stored ones: a stored number handed out again would bind a
// new preview to another task's row, and the preview would be refused.
void reserveStoredUpgradeNumbers(CUpgradeHistoryRepository& repository, CUpgradeTaskService& taskService)
{
    // The first row of the first page is the highest number; the rest of the history is not read.
    std::vector<S_UpgradeHistoryRecord> highest;
    std::string error;
    if (!repository.listRecordsBefore(0, 1, highest, error))
    {
        consoleErr("[WARN] Stored upgrade numbers cannot be read; new ones follow the clock only: " + error);
        return;
    }
    taskService.reserveUpgradeNumbersThrough(highest.empty() ? 0 : highest.front().upgradeNo);
}

// "rollout.current" with the rollout document; never throws.
void publishRolloutEvent(CHttpApiServer& apiServer, const std::string& documentJson)
{
    try
    {
        apiServer.publishEvent("rollout.current", documentJson);
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] Rollout WebSocket event publishing failed: ") + exception.what());
    }
    catch (...)
    {
        consoleErr("[WARN] Rollout WebSocket event publishing failed");
    }
}

// The firmware keys and the API token, when configured: a key or token file that cannot be used
// stops start-up, naming the file (never the token).
bool loadTrustAndAccess(CBackendApplication::S_Impl& app, std::string& error)
{
    if (app.config.firmwareSignature)
    {
        std::shared_ptr<const CFirmwareTrust> trust;
        if (!CFirmwareTrust::load(app.config.firmwareSignature->required,
                                  app.config.firmwareSignature->publicKeyFiles, trust, error))
        {
            return fail("[INIT] Firmware signature configuration failed: ", error, error);
        }
        app.taskService.setFirmwareTrust(trust);
        consoleOut("[INIT] Firmware signatures: " + std::to_string(trust->keyCount()) + " trusted key(s), " +
                   (trust->required() ? "required" : "checked when present"));
    }
    if (app.config.apiAccess)
    {
        std::string token;
        if (!readApiTokenFile(app.config.apiAccess->tokenFile, token, error))
        {
            return fail("[INIT] API access configuration failed: ", error, error);
        }
        // Built once the history file is open: its named accounts log in beside the token.
        app.apiToken = std::move(token);
        consoleOut("[INIT] API access control: token from " + app.config.apiAccess->tokenFile.string());
    }
    return true;
}

bool loadInitialTopology(CBackendApplication::S_Impl& app, std::string& error)
{
    if (app.topologyPath.empty())
    {
        consoleOut("[INIT] No topology file is configured; HTTP will start with an empty workspace");
        error.clear();
        return true;
    }

    consoleOut("[INIT] Topology file: " + app.topologyPath.string());
    scenario::S_SceneTopology topology;
    std::string loadError;
    switch (scenario::loadTopologyFile(app.topologyPath, topology, loadError))
    {
        case scenario::E_TopologyLoadResult::ABSENT:
            consoleOut(
                "[INIT] Topology file is not present yet; HTTP will start with an empty workspace\n[INIT] " +
                loadError);
            error.clear();
            return true;
        case scenario::E_TopologyLoadResult::INVALID:
            return fail("[INIT] Initial topology load failed: ", loadError, error);
        case scenario::E_TopologyLoadResult::LOADED:
            break;
    }

    const std::int64_t loadedAtMs = currentUnixMs();
    const std::uint64_t directDeviceCount = topology.directDeviceCount();
    app.workspace.replaceTopology(std::move(topology), loadedAtMs);
    {
        std::lock_guard<std::mutex> lock(app.applicationMutex);
        app.sceneGeneration = 1;
    }
    consoleOut(
        "[INIT] Initial topology loaded\n[INIT] Direct device count: " + std::to_string(directDeviceCount) +
        "\n[INIT] Workspace loaded at: " + formatLocalTime(loadedAtMs));
    return true;
}

}  // namespace

bool CBackendApplication::initialize(const std::filesystem::path& configPath,
                                     const std::filesystem::path& topologyOverride, std::string& error)
{
    error.clear();
    S_Impl& app = *m_impl;

    consoleOut("[INIT] Step 1/2: Loading configuration: " + configPath.string());
    if (!loadBackendConfig(configPath, app.config, error))
    {
        return fail("[INIT] Configuration load failed: ", error, error);
    }

    if (!app.taskService.setChunkSize(app.config.chunkSize, error))
    {
        return fail("[INIT] Upgrade task service configuration failed: ", error, error);
    }
    if (!loadTrustAndAccess(app, error))
    {
        return false;
    }

    if (topologyOverride.empty())
    {
        app.topologyPath = app.config.topologyFile;
    }
    else
    {
        std::string resolveError;
        if (!makeAbsoluteNormalizedPath(topologyOverride, app.topologyPath, resolveError))
        {
            return fail(
                "[INIT] Topology path resolution failed: ",
                "Cannot resolve topology file path '" + topologyOverride.string() + "': " + resolveError,
                error);
        }
    }

    const std::filesystem::path databasePath = historyDatabasePath(app.topologyPath, app.config.configPath);
    consoleOut("[INIT] Upgrade history database: " + databasePath.string());
    if (!app.historyRepository.open(databasePath, error))
    {
        return fail("[INIT] Upgrade history repository open failed: ", error, error);
    }
    consoleOut("[INIT] Upgrade history repository opened");
    if (!removeIncompatibleHistoryAtStartup(app.historyRepository, app.historyCache, error))
    {
        app.historyRepository.close();
        return fail("[INIT] Upgrade history compatibility check failed: ", error, error);
    }
    // The rollouts' table is in the same file. Opened before the history's retention cleanup: the
    // rows an unfinished rollout names stay, however old. The tasks they ran are finalised below,
    // before the rollouts are recovered (when the service starts).
    if (app.config.approvals)
    {
        // Documents name who acted wherever approvals are in force.
        app.rollouts.setOptions(S_RolloutServiceOptions{true, app.config.approvals->rollouts});
        if (app.config.approvals->starts)
        {
            app.startApproval = std::make_unique<CStartApproval>();
        }
    }
    if (!app.rollouts.open(databasePath, error))
    {
        app.historyRepository.close();
        return fail("[INIT] Rollout store open failed: ", error, error);
    }
    if (app.config.approvals && !app.upgradeActors.open(databasePath, error))
    {
        app.historyRepository.close();
        return fail("[INIT] Upgrade actor store open failed: ", error, error);
    }
    if (!app.apiToken.empty())
    {
        app.accounts = CAccountStore::open(databasePath, false, error);
        if (!app.accounts)
        {
            app.historyRepository.close();
            return fail("[INIT] Account store open failed: ", error, error);
        }
        app.accessControl = std::make_shared<CApiAccessControl>(
            app.apiToken, CApiAccessControl::Now{}, std::make_shared<CAccountDirectory>(app.accounts));
        app.apiToken.clear();
        app.accountWatch = std::make_unique<CAccountRevisionWatch>(
            app.accounts, [access = app.accessControl] { access->accountsChanged(); });
    }
    app.historyRepository.setRetentionHold([&rollouts = app.rollouts]
                                           { return rollouts.openRolloutTaskNos(); });
    cleanupHistoryRetention(app.historyRepository, app.config.historyRetentionDays);
    if (!app.auditStore.open(databasePath, error))
    {
        app.historyRepository.close();
        return fail("[INIT] Audit trail open failed: ", error, error);
    }
    cleanupAuditRetention(app.auditStore, app.config.historyRetentionDays);
    // Tasks send their firmware from the store's copies, so that a file changed after its check
    // never reaches a device: the store runs with its defaults when the key is absent.
    S_FirmwareStoreOptions storeOptions;
    storeOptions.directory = app.config.firmwareStore.directory.empty()
                                 ? databasePath.parent_path() / "firmware-store"
                                 : app.config.firmwareStore.directory;
    storeOptions.maxBytes = app.config.firmwareStore.maxBytes;
    if (!app.firmwareStore.open(databasePath, storeOptions, error))
    {
        app.historyRepository.close();
        return fail("[INIT] Firmware store open failed: ", error, error);
    }
    app.firmwareStore.setNeededDigests(
        neededFirmwareDigests(app.taskService, app.rollouts, app.baselines, app.firmwareStore));
    app.executionService.setFirmwareStaging(std::make_shared<CFirmwareStoreStaging>(app.firmwareStore));
    if (!app.siteHolds.open(databasePath, error))
    {
        app.historyRepository.close();
        return fail("[INIT] Site holds open failed: ", error, error);
    }
    if (app.config.siteHoldFile)
    {
        app.siteHolds.setHoldFile(*app.config.siteHoldFile);
    }
    if (!app.baselines.open(databasePath, error))
    {
        app.historyRepository.close();
        return fail("[INIT] Baselines open failed: ", error, error);
    }
    app.inventory = CInventorySchedule(static_cast<std::int64_t>(app.config.inventoryIntervalSeconds) * 1000);

    consoleOut("[INIT] Configuration loaded\n[INIT] HTTP endpoint: http://" + app.config.httpHost + ":" +
               std::to_string(app.config.httpPort) +
               "\n[INIT] Device TCP enabled: " + (app.config.deviceTcpEnabled ? "true" : "false") +
               "\n[INIT] Device TCP reconnect interval: " + std::to_string(app.config.reconnectIntervalMs) +
               " ms\n[INIT] Firmware chunk size: " + std::to_string(app.config.chunkSize) + " bytes");

    consoleOut("[INIT] Step 2/2: Loading topology file");
    app.initialized = true;
    if (!loadInitialTopology(app, error))
    {
        return false;
    }
    // After the steps above, whose lines operators and tools read as one block: a task the last
    // process left running is finalised, and new upgrade numbers stay clear of stored ones.
    finalizeInterruptedHistoryAtStartup(app.historyRepository);
    reserveStoredUpgradeNumbers(app.historyRepository, app.taskService);
    cleanupRolloutRetention(app);
    return true;
}

namespace
{

void printReadyBanner(const S_BackendConfig& config, const std::filesystem::path& topologyPath,
                      const scenario::S_WorkspaceSnapshot& snapshot)
{
    consoleOut("[READY] OTA backend runtime baseline is ready");
    consoleOut("[INFO] Topology file: " +
               (topologyPath.empty() ? std::string("not configured") : topologyPath.string()));
    consoleOut(std::string("[INFO] Topology configured: ") +
               (snapshot.topologyConfigured() ? "true" : "false"));
    consoleOut("[INFO] Direct device count: " + std::to_string(snapshot.directDeviceCount()));
    static const char* const kRoutes[] = {
        "GET  /api/v1/health",
        "GET  /api/v1/workspace",
        "POST /api/v1/scene/reload",
        "POST /api/v1/firmware/inspect",
        "POST /api/v1/upgrades/preview",
        "POST /api/v1/upgrades/start",
        "POST /api/v1/upgrades/:upgradeNo/abort",
        "GET  /api/v1/upgrades/current",
        "GET  /api/v1/upgrades/history",
        "POST /api/v1/upgrades/history/clear",
        "GET  /api/v1/devices/status",
        "GET  /api/v1/devices/frames",
        "POST /api/v1/devices/frames/capture",
        "POST /api/v1/devices/status-query",
        "POST /api/v1/devices/reconnect",
    };
    for (const char* route : kRoutes)
    {
        consoleOut(std::string("[INFO] API: ") + route);
    }
    consoleOut("[INFO] Process is running; press Ctrl+C to stop");
    consoleOut(std::string("[INFO] Device TCP status synchronization: ") +
               (config.deviceTcpEnabled ? "enabled" : "disabled"));
    consoleOut("[INFO] WebSocket events: ws://" + config.httpHost + ":" + std::to_string(config.httpPort) +
               "/api/v1/events (upgrade.current, device.status, communication.snapshot)");
    // Operators and tools read the banner above as one block: what it lacks follows it.
    consoleOut("[INFO] Operator console: http://" +
               (config.httpHost == "::1" ? std::string("[::1]") : config.httpHost) + ":" +
               std::to_string(config.httpPort) + "/");
}

// Connects to the devices of the topology when device TCP is enabled and there are any.
// The rollouts' soaks read and query the devices of the scene loaded at the time.
std::unique_ptr<IRolloutSoakWatcher> makeRolloutSoakWatcher(CBackendApplication::S_Impl& app)
{
    return std::make_unique<CRolloutSoakWatcher>(
        [&app]
        {
            std::lock_guard<std::mutex> lock(app.applicationMutex);
            return app.deviceTcpManager->getCommunicationNodeStatuses();
        },
        [&app]
        {
            S_DeviceStatusQuerySummary summary;
            std::string error;
            std::lock_guard<std::mutex> lock(app.applicationMutex);
            if (app.config.deviceTcpEnabled)
            {
                app.deviceTcpManager->requestDeviceStatusQuery(summary, error);
            }
        });
}

bool startDeviceTcp(CBackendApplication::S_Impl& app, const scenario::S_WorkspaceSnapshot& snapshot,
                    std::string& error)
{
    if (!app.config.deviceTcpEnabled)
    {
        consoleOut("[INFO] Device TCP auto-connect is disabled by configuration");
        return true;
    }
    if (!snapshot.topologyConfigured())
    {
        consoleOut("[INFO] Device TCP is not started because topology is not configured");
        return true;
    }
    if (snapshot.directDeviceCount() == 0)
    {
        consoleOut("[INFO] Device TCP is not started because topology has no communication nodes");
        return true;
    }
    std::lock_guard<std::mutex> lock(app.applicationMutex);
    return app.deviceTcpManager->start(*snapshot.topology, buildDeviceTcpOptions(app.config), error);
}

}  // namespace

int CBackendApplication::run()
{
    S_Impl& app = *m_impl;
    const scenario::S_WorkspaceSnapshot snapshot = app.workspace.snapshot();

    std::string error;
    const S_UpgradeExecutionOptions executionOptions =
        buildExecutionOptions(app.config, recommendDeviceConcurrency(readSystemCapacity()));
    if (!app.executionService.start(*app.deviceTcpManager, executionOptions, error))
    {
        consoleErr("[ERROR] Upgrade execution service start failed: " + error);
        shutdown();
        return 1;
    }
    if (!startDeviceTcp(app, snapshot, error))
    {
        consoleErr("[ERROR] Device TCP manager start failed: " + error);
        shutdown();
        return 1;
    }
    app.executionService.setStateSnapshotObserver(feedStatesToRollouts(
        labelFirmwareOfEndedTasks(
            makeUpgradeStateRecorder(app.stateRecordingMutex, app.historyRepository,
                                     app.config.historyRetentionDays, app.apiServer, app.stateWriteFailures),
            app.firmwareStore, app.taskService),
        app.rollouts));
    // Before the rollouts and the server start: both meet the holds already read.
    observeSiteHolds(app, upgradeRouteServicesOf(app));
    app.siteHolds.tick();
    app.rolloutDriver = std::make_unique<CRolloutTaskDriver>(upgradeRouteServicesOf(app));
    app.rolloutSoakWatcher = makeRolloutSoakWatcher(app);
    app.rollouts.setSoakWatcher(app.rolloutSoakWatcher.get());
    app.rollouts.start(*app.rolloutDriver, [&app](const std::string& documentJson)
                       { publishRolloutEvent(app.apiServer, documentJson); });
    if (!app.apiServer.start(app.config.httpHost, app.config.httpPort, buildApiCallbacks(app), error))
    {
        consoleErr("[ERROR] HTTP API server start failed: " + error);
        shutdown();
        return 1;
    }
    publishInitialDeviceEvents(app);

    // The handlers go in before the banner: a stop request that follows the banner at once must
    // still end in a clean shutdown (with a task running, its history row is finalised).
    CStopSignalGuard stopSignal;
    printReadyBanner(app.config, app.topologyPath, snapshot);

    while (!CStopSignalGuard::stopRequested())
    {
        const auto passDeadline = SteadyClock::now() + std::chrono::milliseconds(200);
        // Slept in whole milliseconds, rounded up, so a pass never ends early.
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(passDeadline - SteadyClock::now());
        if (remaining.count() > 0)
        {
            std::this_thread::sleep_for(remaining);
        }
        publishChangedDeviceEvents(app);
        app.siteHolds.tick();
        trackBaseline(app);
    }

    consoleOut("[STOP] Stop signal received");
    stopSignal.restore();
    shutdown();
    consoleOut("[STOP] OTA backend stopped cleanly");
    return 0;
}

void CBackendApplication::shutdown()
{
    S_Impl& app = *m_impl;
    if (app.shutDown)
    {
        return;
    }
    app.shutDown = true;
    // First nothing more starts: a rollout keeps its status for the next start-up. A running task
    // then ends "STOPPED"; its last state reaches the observer (and the rollout) before stop returns.
    app.rollouts.stop();
    app.executionService.stop();
    app.executionService.clearStateObserver();
    app.apiServer.stop();
    app.auditStore.close();
    app.firmwareStore.close();
    app.siteHolds.close();
    app.baselines.close();
    // Outside the application mutex: the close barrier may take seconds, and nothing else reads
    // the manager once the API server has stopped.
    app.deviceTcpManager->stop();
    {
        std::lock_guard<std::mutex> lock(app.stateRecordingMutex);
        app.historyRepository.close();
        app.rollouts.close();
    }
}

}  // namespace ota::backend
