#include "app/site_hold_routes.h"

#include "app/application_state.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "site_holds/site_hold_rules.h"

#include <algorithm>
#include <exception>

namespace ota::backend
{

namespace
{

using nlohmann::json;

bool readFields(const json& body, S_SiteHoldRequest& request, std::string& error)
{
    static const char* const kKeys[] = {"reason", "source", "ttlSeconds"};
    if (!body.is_object())
    {
        error = "Request body must be a JSON object";
        return false;
    }
    for (const auto& item : body.items())
    {
        const std::string& key = item.key();
        if (std::none_of(std::begin(kKeys), std::end(kKeys), [&](const char* name) { return key == name; }))
        {
            error = "Request body contains unsupported field '" + key + "'";
            return false;
        }
    }
    for (const char* key : kKeys)
    {
        if (!body.contains(key))
        {
            error = std::string("Request body must contain field '") + key + "'";
            return false;
        }
    }
    const json& source = body["source"];
    if (!source.is_string() || !isValidHoldSource(source.get_ref<const std::string&>()) ||
        source.get_ref<const std::string&>() == kFileHoldSource)
    {
        error = "source must be 1 to 32 of letters, digits, '_', '-' and '.' (\"file\" is the hold file's)";
        return false;
    }
    const json& reason = body["reason"];
    if (!reason.is_string() || !isValidHoldReason(reason.get_ref<const std::string&>()))
    {
        error = "reason must be a string of at most 200 characters";
        return false;
    }
    const json& ttl = body["ttlSeconds"];
    if (!ttl.is_number_integer() ||
        (ttl.is_number_unsigned()
             ? ttl.get<std::uint64_t>() > kMaxHoldTtlSeconds
             : ttl.get<std::int64_t>() < 0 || ttl.get<std::int64_t>() > kMaxHoldTtlSeconds))
    {
        error = "ttlSeconds must be 0 (until released) or an integer from 1 to 86400";
        return false;
    }
    request.source = source.get<std::string>();
    request.reason = reason.get<std::string>();
    request.ttlSeconds = static_cast<std::uint32_t>(ttl.get<std::int64_t>());
    return true;
}

bool answerHolds(const CSiteHolds& holds, std::string& response)
{
    response = siteHoldsJson(holds.list());
    return true;
}

bool placeHold(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
               const std::string& requestJson, std::string& response, std::string& error,
               E_RouteRefusal& refusal)
{
    S_SiteHoldRequest request;
    if (!readSiteHoldRequest(requestJson, request, error))
    {
        refusal = E_RouteRefusal::INVALID_BODY;
        return false;
    }
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    if (!app.siteHolds.place(request.source, request.reason, request.ttlSeconds, error))
    {
        consoleErr("[HOLD] Hold of " + request.source + " cannot be placed: " + error);
        return false;
    }
    consoleOut("[HOLD] Hold of " + request.source + " placed (ttl " + std::to_string(request.ttlSeconds) +
               " s): " + request.reason);
    return answerHolds(app.siteHolds, response);
}

bool releaseHold(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                 const std::string& source, std::string& response, std::string& error,
                 E_RouteRefusal& refusal)
{
    std::lock_guard<std::mutex> operation(services.upgradeOperationMutex);
    switch (app.siteHolds.release(source, error))
    {
        case E_SiteHoldRelease::RELEASED:
            consoleOut("[HOLD] Hold of " + source + " released");
            return answerHolds(app.siteHolds, response);
        case E_SiteHoldRelease::NOT_FOUND:
            refusal = E_RouteRefusal::NOT_FOUND;
            return false;
        case E_SiteHoldRelease::FAILED:
            break;
    }
    consoleErr("[HOLD] Hold of " + source + " cannot be released: " + error);
    return false;
}

}  // namespace

std::string siteHoldsJson(const std::vector<S_SiteHold>& holds)
{
    json list = json::array();
    for (const S_SiteHold& hold : holds)
    {
        list.push_back({{"source", hold.source},
                        {"reason", hold.reason},
                        {"placedAt", hold.placedAt},
                        {"expiresAt", hold.expiresAt}});
    }
    return toJsonText(json{{"held", !holds.empty()}, {"holds", std::move(list)}});
}

std::string siteHoldsText(const std::vector<S_SiteHold>& holds)
{
    std::string text;
    for (std::size_t index = 0; index < holds.size(); ++index)
    {
        text += (index == 0 ? "" : "; ") + holds[index].source + ": " + holds[index].reason;
    }
    return text;
}

std::string siteHeldMessage(const std::vector<S_SiteHold>& holds)
{
    return "The site is held: " + siteHoldsText(holds);
}

bool readSiteHoldRequest(const std::string& requestJson, S_SiteHoldRequest& request, std::string& error)
{
    json body;
    std::string parseError;
    if (!parseJsonText(requestJson, body, parseError))
    {
        error = "Request body is not valid JSON: " + parseError;
        return false;
    }
    return readFields(body, request, error);
}

void addSiteHoldRoutes(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                       S_ApiCallbacks& callbacks)
{
    callbacks.siteHolds = [&app](std::string& response, std::string& error)
    {
        error.clear();
        return answerHolds(app.siteHolds, response);
    };
    callbacks.siteHoldPlace = [&app, services](const std::string& request, std::string& response,
                                               std::string& error, E_RouteRefusal& refusal)
    { return placeHold(app, services, request, response, error, refusal); };
    callbacks.siteHoldRelease = [&app, services](const std::string& source, std::string& response,
                                                 std::string& error, E_RouteRefusal& refusal)
    { return releaseHold(app, services, source, response, error, refusal); };
}

void observeSiteHolds(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services)
{
    app.siteHolds.setObserver(
        [&app, services](const std::vector<S_SiteHold>& holds)
        {
            try
            {
                app.apiServer.publishEvent("site.holds", siteHoldsJson(holds));
            }
            catch (const std::exception& exception)
            {
                consoleErr(std::string("[WARN] Site holds WebSocket event publishing failed: ") +
                           exception.what());
            }
            // The rollout first: the abort of its task that follows then leaves it PAUSED.
            app.rollouts.setSiteHeld(!holds.empty(), siteHoldsText(holds));
            if (!holds.empty())
            {
                abortRunningTask(services, siteHeldMessage(holds));
            }
        });
    // Holds kept from before a restart: a SCHEDULED rollout must not start.
    const std::vector<S_SiteHold> holds = app.siteHolds.list();
    app.rollouts.setSiteHeld(!holds.empty(), siteHoldsText(holds));
}

}  // namespace ota::backend
