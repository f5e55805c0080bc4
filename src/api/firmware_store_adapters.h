#pragma once

#include "api/api_adapters.h"
#include "api/api_callbacks.h"
#include "api/api_envelope.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace ota::backend
{

// The upload's query: name once (required, non-empty), componentTypeId and version once each and
// both or neither; values percent-decoded ('+' is a space); other parameters ignored. On false the
// error says what is wrong. Pure.
bool parseFirmwareUploadQuery(std::string_view query, S_FirmwareUploadQuery& result, std::string& error);

// POST /api/v1/firmware/store?name=: the body comes from the request's stream (or its body when it
// has none). A bad query is 400 "INVALID_REQUEST_QUERY", a body past limit 413
// "REQUEST_TOO_LARGE", a file the store has no room for 507 "FIRMWARE_STORE_FULL", a body that
// broke off 400 "INVALID_HTTP_REQUEST", any other failure 503 "FIRMWARE_STORE_UNAVAILABLE".
S_HttpReply invokeFirmwareStoreUploadHandler(std::string_view path, const FirmwareUploadHandler& handler,
                                             std::uint64_t limit, const S_ApiRequest& request);

// POST /api/v1/firmware/store/:sha256/signature: the body is the signature's bytes. 400
// "INVALID_FIRMWARE_SHA256" unless 64 lower-case hex digits; 404 "FIRMWARE_NOT_FOUND" when not stored.
S_HttpReply invokeFirmwareStoreSignatureHandler(std::string_view path,
                                                const FirmwareDigestBodyHandler& handler,
                                                const S_ApiRequest& request);

}  // namespace ota::backend
