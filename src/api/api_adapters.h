#pragma once

#include "api/api_callbacks.h"
#include "api/api_envelope.h"

#include <optional>
#include <string_view>

namespace ota::backend
{

// What the adapters read from a request: its body and the :upgradeNo path parameter.
struct S_ApiRequest
{
    std::string_view body;
    std::optional<std::string_view> upgradeNo;
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

}  // namespace ota::backend
