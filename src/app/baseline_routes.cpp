#include "app/baseline_routes.h"

#include "app/application_state.h"
#include "app/baseline_documents.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "protocol/protocol_enums.h"

#include <chrono>
#include <exception>

namespace ota::backend
{

namespace
{

std::vector<S_CommunicationNodeStatus> deviceStatusesOf(CBackendApplication::S_Impl& app)
{
    std::lock_guard<std::mutex> lock(app.applicationMutex);
    return app.deviceTcpManager->getCommunicationNodeStatuses();
}

void publishDrift(CBackendApplication::S_Impl& app, const S_BaselineDrift& drift)
{
    for (const S_BaselineReportRow& row : drift.newDrift)
    {
        consoleOut("[BASELINE] Drift: " + row.nodeId + " " + row.componentTypeId + "#" +
                   std::to_string(row.componentIndex) + " expected " + row.expected.value_or("") +
                   " reported " + row.reported.value_or(""));
    }
    try
    {
        app.apiServer.publishEvent("baseline.drift", toJsonText(baselineDriftJson(drift)));
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] Baseline WebSocket event publishing failed: ") + exception.what());
    }
}

// The components the running task targets; empty when none runs.
std::set<S_ComponentKey> upgradingComponents(const S_ExecutionTaskIdentity& task)
{
    std::set<S_ComponentKey> keys;
    for (const S_DeviceIdentity& device : task.devices)
    {
        for (std::size_t index = device.firstComponent;
             index < device.firstComponent + device.componentCount && index < task.components.size(); ++index)
        {
            const S_ComponentIdentity& component = task.components[index];
            keys.insert(S_ComponentKey{device.nodeId, componentTypeIdentifier(component.componentType),
                                       component.componentIndex});
        }
    }
    return keys;
}

void runInventoryRound(CBackendApplication::S_Impl& app)
{
    S_DeviceStatusQuerySummary summary;
    summary.requestedAt = currentUnixMs();
    std::string error;
    std::lock_guard<std::mutex> lock(app.applicationMutex);
    if (!app.config.deviceTcpEnabled || !app.deviceTcpManager->isRunning())
    {
        return;
    }
    if (!app.deviceTcpManager->requestDeviceStatusQuery(summary, error))
    {
        consoleErr("[WARN] [BASELINE] Inventory status query failed: " + error);
    }
}

}  // namespace

RefusingBodyHandler makeBaselineCreateHandler(CBaselineService& baselines, DeviceStatusSource statuses)
{
    return [&baselines, statuses = std::move(statuses)](const std::string& requestJson, std::string& response,
                                                        std::string& error, E_RouteRefusal& refusal)
    {
        S_BaselineRequest request;
        if (!readBaselineRequest(requestJson, request, error))
        {
            refusal = E_RouteRefusal::INVALID_BODY;
            return false;
        }
        S_BaselineDocument created;
        std::vector<std::string> missing;
        switch (baselines.create(request, statuses(), created, missing, error))
        {
            case E_BaselineCreation::CREATED:
            {
                consoleOut("[BASELINE] Baseline " + std::to_string(created.baselineNo) + " taken (" +
                           std::to_string(created.components.size()) + " component(s), " +
                           std::to_string(missing.size()) + " device(s) missing)");
                nlohmann::json document = baselineDocumentJson(created);
                document["missing"] = missing;
                response = toJsonText(document);
                return true;
            }
            case E_BaselineCreation::REJECTED:
                refusal = E_RouteRefusal::USUAL;
                return false;
            case E_BaselineCreation::FAILED:
                break;
        }
        consoleErr("[BASELINE] Baseline cannot be stored: " + error);
        refusal = E_RouteRefusal::UNAVAILABLE;
        return false;
    };
}

void addBaselineRoutes(CBackendApplication::S_Impl& app, S_ApiCallbacks& callbacks)
{
    callbacks.baselineCreate =
        makeBaselineCreateHandler(app.baselines, [&app] { return deviceStatusesOf(app); });
    callbacks.baselineCurrent = [&app](std::string& response, std::string& error)
    {
        error.clear();
        const std::optional<S_BaselineDocument> current = app.baselines.current();
        response = toJsonText(
            nlohmann::json{{"baseline", current ? baselineDocumentJson(*current) : nlohmann::json(nullptr)}});
        return true;
    };
    callbacks.baselineList =
        [&app](std::uint32_t limit, std::int64_t before, std::string& response, std::string& error)
    {
        std::int64_t nextBefore = 0;
        const auto entries = app.baselines.list(limit, before, nextBefore, error);
        if (!entries)
        {
            return false;
        }
        response = toJsonText(baselineListJson(*entries, nextBefore));
        return true;
    };
    callbacks.baselineReport =
        [&app](bool csv, std::string& response, std::string& error, E_RouteRefusal& refusal)
    {
        const std::optional<S_BaselineReport> report = freshBaselineReport(app);
        if (!report)
        {
            error = "No baseline has been taken";
            refusal = E_RouteRefusal::NOT_FOUND;
            return false;
        }
        response = csv ? baselineReportCsv(*report) : toJsonText(baselineReportJson(*report));
        return true;
    };
}

std::optional<S_BaselineReport> freshBaselineReport(CBackendApplication::S_Impl& app)
{
    // The newest reports and the task's end first, so that a report asked for right after a status
    // query or a task shows them (the main loop takes them up to a pass later).
    const std::shared_ptr<const S_ExecutionTaskIdentity> task = app.executionService.activeTaskIdentity();
    if (const std::optional<S_BaselineDrift> drift =
            app.baselines.setUpgrading(task ? upgradingComponents(*task) : std::set<S_ComponentKey>{}))
    {
        publishDrift(app, *drift);
    }
    if (const std::optional<S_BaselineDrift> drift = app.baselines.observe(deviceStatusesOf(app)))
    {
        publishDrift(app, *drift);
    }
    return app.baselines.report();
}

void trackBaseline(CBackendApplication::S_Impl& app)
{
    // The targets change only with the task or its end.
    const std::shared_ptr<const S_ExecutionTaskIdentity> task = app.executionService.activeTaskIdentity();
    const bool taskRunning = task != nullptr;
    if (task != app.baselineTask)
    {
        app.baselineTask = task;
        if (const std::optional<S_BaselineDrift> drift =
                app.baselines.setUpgrading(task ? upgradingComponents(*task) : std::set<S_ComponentKey>{}))
        {
            publishDrift(app, *drift);
        }
    }
    // Without a baseline there is no drift, and making one observes every device first: the copy
    // of a large site's statuses on every pass is spared until then.
    if (app.baselines.hasBaseline())
    {
        if (const std::optional<S_BaselineDrift> drift = app.baselines.observe(deviceStatusesOf(app)))
        {
            publishDrift(app, *drift);
        }
    }
    if (app.inventory.due(
            std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch())
                .count(),
            taskRunning))
    {
        runInventoryRound(app);
    }
}

}  // namespace ota::backend
