#pragma once

#include "api/access_control.h"
#include "api/api_callbacks.h"
#include "api/api_envelope.h"

#include <optional>
#include <string_view>

namespace ota::backend
{

class CStreamedBody;

// What the adapters read from a request: its body, the path parameter (:upgradeNo, :rolloutNo),
// the query string and the credentials it carries.
struct S_ApiRequest
{
    std::string_view body;
    std::optional<std::string_view> parameter;
    std::string_view query;  // after "?", without any "#" part
    S_RequestCredentials credentials;
    // The body of the one route that streams it, which then leaves body empty.
    CStreamedBody* stream = nullptr;
};

// Core adapter: runs the callback and turns its outcome into the envelope, status and log line.
S_HttpReply invokeHandler(std::string_view method, std::string_view path, std::string_view failureCode,
                          unsigned failureStatus, const JsonHandler& handler, unsigned successStatus);

// Body routes: the request must hold JSON; the callback gets it re-serialised compactly.
S_HttpReply invokeJsonHandler(std::string_view path, std::string_view failureCode,
                              const JsonBodyHandler& handler, const S_ApiRequest* request);

// Abort route: :upgradeNo must be a non-zero uint32 in decimal digits.
S_HttpReply invokeUpgradeAbortHandler(std::string_view path, const UpgradeAbortHandler& handler,
                                      const S_ApiRequest* request);

// Frame capture route: the body must be an object with a boolean "enabled".
S_HttpReply invokeFrameCaptureHandler(std::string_view path, const FrameCaptureHandler& handler,
                                      const S_ApiRequest* request);

// GET /api/v1/audit: the query's limit (1..1000, default 100) and before (a decimal entry id,
// 0 or absent: from the newest) must be well formed, else 400 "INVALID_REQUEST_QUERY".
S_HttpReply invokeAuditListHandler(std::string_view path, const AuditListHandler& handler,
                                   const S_ApiRequest& request);

// GET /api/v1/firmware/store: a page as the audit's, with the store's failure code.
S_HttpReply invokeFirmwareStoreListHandler(std::string_view path, const AuditListHandler& handler,
                                           const S_ApiRequest& request);
// POST /api/v1/firmware/store/:sha256/delete: 400 unless 64 lower-case hex digits; 404
// "FIRMWARE_NOT_FOUND" when not stored; 409 "FIRMWARE_IN_USE" while needed.
S_HttpReply invokeFirmwareStoreDeleteHandler(std::string_view path, const FirmwareDigestHandler& handler,
                                             const S_ApiRequest* request);

// GET /metrics: the handler's text as the Prometheus text exposition format (version 0.0.4); a
// handler that throws gives 503 "METRICS_UNAVAILABLE" in the usual envelope.
S_HttpReply invokeMetricsHandler(std::string_view path, const MetricsHandler& handler);
inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Reads limit and before from a query string; unknown parameters are ignored. Pure.
bool parseAuditQuery(std::string_view query, std::uint32_t& limit, std::int64_t& before, std::string& error);

// The refusal of a request without access: 401 "UNAUTHORIZED", 429 "TOO_MANY_ATTEMPTS", or for a
// login by name 403 "ACCOUNT_LOCKED".
S_HttpReply rejectUnauthorized(std::string_view method, std::string_view path, E_AccessVerdict verdict);

// Parses a non-zero uint32 decimal; on false the error holds the INVALID_UPGRADE_NO message.
bool parseUpgradeNumber(std::string_view text, std::uint32_t& upgradeNo, std::string& error);

// Rollout operation routes: :rolloutNo must be a non-zero uint32 in decimal digits (400
// "INVALID_ROLLOUT_NO"); a refusal is 409 "ROLLOUT_OPERATION_REJECTED", an unknown number 404
// "ROLLOUT_NOT_FOUND", a held site 409 "SITE_HELD", success 202.
S_HttpReply invokeRolloutNumberHandler(std::string_view path, const RolloutNumberHandler& handler,
                                       const S_ApiRequest* request);

// Approve and reject of a rollout: :rolloutNo as the operation routes read it, then the JSON body;
// refusals as theirs, PLAN_CHANGED (409) and SELF_APPROVAL (403) besides; success 200.
S_HttpReply invokeRolloutNumberBodyHandler(std::string_view path, const RolloutNumberBodyHandler& handler,
                                           const S_ApiRequest* request);
// Approve of the previewed task: the JSON body; nothing awaiting approval 409
// "UPGRADE_PREVIEW_REJECTED", PLAN_CHANGED (409) and SELF_APPROVAL (403) besides; success 200.
S_HttpReply invokePreviewApproveHandler(std::string_view path, const RefusingBodyHandler& handler,
                                        const S_ApiRequest* request);

// POST /api/v1/upgrades/start with a callback that may refuse with SITE_HELD (409); any other
// refusal is 409 "UPGRADE_START_REJECTED", success 202.
S_HttpReply invokeUpgradeStartHandler(std::string_view path, const RefusingJsonHandler& handler);

// The site-hold routes: GET answers the document; the place route reads its body as the body routes
// do; the release route passes :source as sent. Refusals as S_ApiCallbacks describes them.
S_HttpReply invokeSiteHoldPlaceHandler(std::string_view path, const RefusingBodyHandler& handler,
                                       const S_ApiRequest* request);
S_HttpReply invokeSiteHoldReleaseHandler(std::string_view path, const SiteHoldSourceHandler& handler,
                                         const S_ApiRequest* request);

// Task routes with a body: :upgradeNo as the abort route reads it, then the body as the body routes
// read it; the callback's failure is answered with failureCode and 422, success with 200.
S_HttpReply invokeUpgradeBodyHandler(std::string_view path, std::string_view failureCode,
                                     const UpgradeBodyHandler& handler, const S_ApiRequest* request);

// The history route: without limit or before (or without a page handler) the whole history as
// before; with either, a page. limit 1..1000 (default 100) and before (an upgrade number) are the
// parameters it reads; a malformed one is 400 "INVALID_REQUEST_QUERY", any other is ignored.
S_HttpReply invokeHistoryHandler(std::string_view path, const JsonHandler& handler,
                                 const HistoryPageHandler& pageHandler, const S_ApiRequest* request);

// The query of a history page; false with the INVALID_REQUEST_QUERY message.
// Unknown parameters are ignored; paged is false when neither limit nor before was given (the
// answer is then the whole history, as without a query).
bool parseHistoryPageQuery(std::string_view query, S_HistoryPageQuery& page, bool& paged, std::string& error);

}  // namespace ota::backend
