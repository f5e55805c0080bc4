#pragma once

#include "api/api_callbacks.h"
#include "api/api_envelope.h"

#include <optional>
#include <string_view>

namespace ota::backend
{

// What the adapters read from a request: its body, the path parameter (:upgradeNo, :rolloutNo)
// and the query (the text after "?", without any "#" part).
struct S_ApiRequest
{
    std::string_view body;
    std::optional<std::string_view> parameter;
    std::string_view query;
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

// Parses a non-zero uint32 decimal; on false the error holds the INVALID_UPGRADE_NO message.
bool parseUpgradeNumber(std::string_view text, std::uint32_t& upgradeNo, std::string& error);

// Rollout operation routes: :rolloutNo must be a non-zero uint32 in decimal digits (400
// "INVALID_ROLLOUT_NO"); a refusal is 409 "ROLLOUT_OPERATION_REJECTED", an unknown number 404
// "ROLLOUT_NOT_FOUND", success 202.
S_HttpReply invokeRolloutNumberHandler(std::string_view path, const RolloutNumberHandler& handler,
                                       const S_ApiRequest* request);

// Task routes with a body: :upgradeNo as the abort route reads it, then the body as the body routes
// read it; the callback's failure is answered with failureCode and 422, success with 200.
S_HttpReply invokeUpgradeBodyHandler(std::string_view path, std::string_view failureCode,
                                     const UpgradeBodyHandler& handler, const S_ApiRequest* request);

// The history route: without a query (or without a page handler) the whole history as before;
// with one, a page. limit 1..1000 (default 100) and before (an upgrade number) are the only
// parameters; anything else is 400 "INVALID_REQUEST_QUERY".
S_HttpReply invokeHistoryHandler(std::string_view path, const JsonHandler& handler,
                                 const HistoryPageHandler& pageHandler, const S_ApiRequest* request);

// The query of a history page; false with the INVALID_REQUEST_QUERY message.
bool parseHistoryPageQuery(std::string_view query, S_HistoryPageQuery& page, std::string& error);

}  // namespace ota::backend
