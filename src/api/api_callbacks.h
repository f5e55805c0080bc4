#pragma once

#include "api/static_assets.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ota::backend
{

// Route callbacks handed to the API server. Each returns true on success with its JSON text in
// responseJson; on false errorMessage says why and responseJson may carry error details.
using JsonHandler = std::function<bool(std::string& responseJson, std::string& errorMessage)>;
using JsonBodyHandler =
    std::function<bool(const std::string& requestJson, std::string& responseJson, std::string& errorMessage)>;
using UpgradeAbortHandler =
    std::function<bool(std::uint32_t upgradeNo, std::string& responseJson, std::string& errorMessage)>;
using FrameCaptureHandler =
    std::function<bool(bool enabled, std::string& responseJson, std::string& errorMessage)>;
// GET /api/v1/audit: one page of entries, newest first, below the entry id before (0: from the newest).
using AuditListHandler = std::function<bool(std::uint32_t limit, std::int64_t before,
                                            std::string& responseJson, std::string& errorMessage)>;

// GET /metrics: the exposition text of the service's metrics. Throws on failure.
using MetricsHandler = std::function<std::string()>;

class CApiAccessControl;
class IApiAuditTrail;

// Why a callback that returned false refused, where a route answers some refusals with a code of
// its own; USUAL is the route's usual failure.
enum class E_RouteRefusal : std::uint8_t
{
    USUAL,
    NOT_FOUND,      // what the path names does not exist
    INVALID_BODY,   // 400 "INVALID_REQUEST_BODY"
    SITE_HELD,      // 409 "SITE_HELD": the site is held, no upgrade starts
    IN_USE,         // what the path names is still needed: the route's conflict
    UNAVAILABLE,    // the service's store failed: 503
    INVALID_QUERY,  // 400 "INVALID_REQUEST_QUERY"
    FULL,           // there is no room for what the request brings, even after making some
    PLAN_CHANGED,   // 409 "PLAN_CHANGED": the approval names another plan or snapshot than the one waiting
    SELF_APPROVAL,  // 403 "SELF_APPROVAL": who prepared it cannot approve it
    APPROVAL_REQUIRED,  // 409 "APPROVAL_REQUIRED": the previewed task awaits a second person's approval
};

// A route on one rollout: on false, refusal tells "no rollout has this number" (NOT_FOUND) and a
// held site from the usual refusal.
using RolloutNumberHandler = std::function<bool(std::uint32_t rolloutNo, std::string& responseJson,
                                                std::string& errorMessage, E_RouteRefusal& refusal)>;
// A route on one rollout with a JSON body (re-serialised compactly), refused as RolloutNumberHandler.
using RolloutNumberBodyHandler =
    std::function<bool(std::uint32_t rolloutNo, const std::string& requestJson, std::string& responseJson,
                       std::string& errorMessage, E_RouteRefusal& refusal)>;
// A route whose refusal may be one with a code of its own.
using RefusingJsonHandler =
    std::function<bool(std::string& responseJson, std::string& errorMessage, E_RouteRefusal& refusal)>;
using RefusingBodyHandler = std::function<bool(const std::string& requestJson, std::string& responseJson,
                                               std::string& errorMessage, E_RouteRefusal& refusal)>;
// A route on one site hold: the :source of the path, as sent.
using SiteHoldSourceHandler = std::function<bool(const std::string& source, std::string& responseJson,
                                                 std::string& errorMessage, E_RouteRefusal& refusal)>;
// A route on one stored firmware file: the :sha256 of the path, 64 lower-case hex digits.
using FirmwareDigestHandler = std::function<bool(const std::string& sha256, std::string& responseJson,
                                                 std::string& errorMessage, E_RouteRefusal& refusal)>;
// GET /api/v1/baseline/report: the report as JSON, or as CSV text when csv is set; on false a
// refusal of NOT_FOUND says there is no baseline.
using BaselineReportHandler = std::function<bool(bool csv, std::string& responseText,
                                                 std::string& errorMessage, E_RouteRefusal& refusal)>;
// A route on one stored firmware file that takes the body as sent (bytes, not JSON).
using FirmwareDigestBodyHandler =
    std::function<bool(const std::string& sha256, std::string_view body, std::string& responseJson,
                       std::string& errorMessage, E_RouteRefusal& refusal)>;

// The query of a firmware upload, percent-decoded; the label is set when both of its parts were given.
struct S_FirmwareUploadQuery
{
    std::string name;
    std::string componentTypeId;
    std::string version;
    bool labelled = false;
};
// Reads a streamed request body: points data at its next bytes, valid until the next call; the
// count, 0 at its end, negative when it broke off (the route's adapter words why).
using RequestBodySource = std::function<std::ptrdiff_t(const std::uint8_t*& data)>;
using FirmwareUploadHandler =
    std::function<bool(const S_FirmwareUploadQuery& query, const RequestBodySource& body,
                       std::string& responseJson, std::string& errorMessage, E_RouteRefusal& refusal)>;

// A route on one task with a JSON body (re-serialised compactly).
using UpgradeBodyHandler = std::function<bool(std::uint32_t upgradeNo, const std::string& requestJson,
                                              std::string& responseJson, std::string& errorMessage)>;

// One page of the upgrade history: the newest records older than `before` (0: the newest of all),
// at most `limit` of them.
struct S_HistoryPageQuery
{
    std::uint32_t limit = 0;
    std::uint32_t before = 0;
};
using HistoryPageHandler = std::function<bool(const S_HistoryPageQuery& query, std::string& responseJson,
                                              std::string& errorMessage)>;

// The sixteen route callbacks, in the order of the route table (and of CHttpApiServer::start).
struct S_ApiCallbacks
{
    JsonHandler health;                // GET  /api/v1/health
    JsonHandler systemCapacity;        // GET  /api/v1/system/capacity
    JsonHandler workspace;             // GET  /api/v1/workspace
    JsonHandler sceneReload;           // POST /api/v1/scene/reload
    JsonBodyHandler firmwareInspect;   // POST /api/v1/firmware/inspect
    JsonBodyHandler upgradePreview;    // POST /api/v1/upgrades/preview
    JsonHandler upgradeStart;          // POST /api/v1/upgrades/start
    UpgradeAbortHandler upgradeAbort;  // POST /api/v1/upgrades/:upgradeNo/abort
    JsonHandler currentUpgrade;        // GET  /api/v1/upgrades/current
    JsonHandler upgradeHistory;        // GET  /api/v1/upgrades/history
    JsonHandler upgradeHistoryClear;   // POST /api/v1/upgrades/history/clear
    JsonHandler deviceStatus;          // GET  /api/v1/devices/status
    JsonHandler deviceFrames;          // GET  /api/v1/devices/frames
    FrameCaptureHandler frameCapture;  // POST /api/v1/devices/frames/capture
    JsonHandler deviceStatusQuery;     // POST /api/v1/devices/status-query
    JsonHandler deviceReconnect;       // POST /api/v1/devices/reconnect

    // Optional, and not one of the sixteen: files served by GET at paths outside the API (the
    // operator console). Without it every such path answers 404.
    StaticAssetLookup staticAssets = nullptr;

    // Optional as well. Operator access control: when set, every request under /api/ and to
    // /metrics needs the token or a session (GET /api/v1/health and the login excepted), and the
    // login and logout routes are served.
    std::shared_ptr<CApiAccessControl> accessControl = nullptr;
    // Where every request to a POST route is recorded, accepted or refused; none: not recorded.
    std::shared_ptr<IApiAuditTrail> auditTrail = nullptr;
    // GET /api/v1/audit, served when set.
    AuditListHandler auditList = nullptr;
    AuditListHandler firmwareStoreList = nullptr;         // GET /api/v1/firmware/store
    FirmwareDigestHandler firmwareStoreDelete = nullptr;  // POST /api/v1/firmware/store/:sha256/delete
    // POST /api/v1/firmware/store?name=: the one route whose body is streamed to its callback as it
    // arrives rather than read whole first, so it takes bodies of up to firmwareStoreUploadLimit
    // bytes where every other route keeps the usual limit.
    FirmwareUploadHandler firmwareStoreUpload = nullptr;
    std::uint64_t firmwareStoreUploadLimit = 0;
    FirmwareDigestBodyHandler firmwareStoreSignature =
        nullptr;  // POST /api/v1/firmware/store/:sha256/signature
    // GET /api/v1/audit/verify: the check of the audit trail's hash chain, served when set.
    JsonHandler auditVerify = nullptr;

    // Optional, and not among the sixteen either: the rollouts, the retry of a finished task's
    // failed devices and the history's pages. A route whose callback is not set is not served (its
    // path answers 404); without upgradeHistoryPage the history ignores its query as before.
    JsonBodyHandler rolloutCreate = nullptr;          // POST /api/v1/rollouts
    JsonBodyHandler rolloutConverge = nullptr;        // POST /api/v1/rollouts/converge
    JsonHandler rolloutList = nullptr;                // GET  /api/v1/rollouts
    JsonHandler rolloutCurrent = nullptr;             // GET  /api/v1/rollouts/current
    RolloutNumberHandler rolloutStart = nullptr;      // POST /api/v1/rollouts/:rolloutNo/start
    RolloutNumberHandler rolloutPause = nullptr;      // POST /api/v1/rollouts/:rolloutNo/pause
    RolloutNumberHandler rolloutResume = nullptr;     // POST /api/v1/rollouts/:rolloutNo/resume
    RolloutNumberHandler rolloutCancel = nullptr;     // POST /api/v1/rollouts/:rolloutNo/cancel
    UpgradeBodyHandler upgradeRetry = nullptr;        // POST /api/v1/upgrades/:upgradeNo/retry
    HistoryPageHandler upgradeHistoryPage = nullptr;  // GET  /api/v1/upgrades/history?limit=&before=
    // GET /metrics, served when set (behind the access check like the API).
    MetricsHandler metrics = nullptr;

    // Optional: when set, POST /api/v1/upgrades/start is served by it instead of upgradeStart, so
    // that a start the site's holds refuse answers 409 "SITE_HELD".
    RefusingJsonHandler upgradeStartRefusing = nullptr;
    // Optional: the site's holds. A refused body is 400 "INVALID_REQUEST_BODY", a release of a
    // source that holds nothing 404 "HOLD_NOT_FOUND", any other failure 503 "SITE_HOLDS_UNAVAILABLE".
    JsonHandler siteHolds = nullptr;                  // GET  /api/v1/site/holds
    RefusingBodyHandler siteHoldPlace = nullptr;      // POST /api/v1/site/holds
    SiteHoldSourceHandler siteHoldRelease = nullptr;  // POST /api/v1/site/holds/:source/release
    // Optional: the site's baselines. A refused body is 400 "INVALID_REQUEST_BODY", a request that
    // cannot be taken 422 "BASELINE_REJECTED", a report without a baseline 404 "BASELINE_NOT_FOUND",
    // a store failure 503 "BASELINE_UNAVAILABLE".
    RefusingBodyHandler baselineCreate = nullptr;    // POST /api/v1/baseline
    JsonHandler baselineCurrent = nullptr;           // GET  /api/v1/baseline
    AuditListHandler baselineList = nullptr;         // GET  /api/v1/baseline/list
    BaselineReportHandler baselineReport = nullptr;  // GET  /api/v1/baseline/report
    // Optional: a second person's approval. Approving what does not await it is the route's conflict
    // (409), a changed plan or snapshot 409 "PLAN_CHANGED", its own preparer 403 "SELF_APPROVAL".
    RolloutNumberBodyHandler rolloutApprove = nullptr;  // POST /api/v1/rollouts/:rolloutNo/approve
    RolloutNumberBodyHandler rolloutReject = nullptr;   // POST /api/v1/rollouts/:rolloutNo/reject
    RefusingBodyHandler previewApprove = nullptr;       // POST /api/v1/upgrades/preview/approve
    JsonHandler approvals = nullptr;                    // GET  /api/v1/approvals
};

// True when every one of the sixteen callbacks is set.
bool areApiCallbacksComplete(const S_ApiCallbacks& callbacks);

}  // namespace ota::backend
