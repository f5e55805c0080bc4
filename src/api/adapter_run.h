#pragma once

#include "api/api_callbacks.h"
#include "api/api_envelope.h"

#include <functional>
#include <string_view>

namespace ota::backend
{

// The code and status a route answers when its callback returned false.
struct S_FailureAnswer
{
    std::string_view code;
    unsigned status = 0;
};

// Runs a callback and turns its outcome into the envelope, status and log line: success with the
// callback's JSON, a refusal with failureAnswer's code, a throw or invalid JSON as a 500.
S_HttpReply runHandler(std::string_view method, std::string_view path, const JsonHandler& handler,
                       unsigned successStatus, const std::function<S_FailureAnswer()>& failureAnswer);

}  // namespace ota::backend
