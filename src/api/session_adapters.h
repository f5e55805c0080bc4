#pragma once

#include "api/access_control.h"
#include "api/api_adapters.h"
#include "api/api_envelope.h"
#include "common/acting_user.h"

#include <string>
#include <string_view>

namespace ota::backend
{

// What a login body asks: the site token, or an account's name and password.
struct S_LoginRequest
{
    bool byPassword = false;
    std::string token;     // byPassword false
    std::string user;      // byPassword true
    std::string password;  // byPassword true
};

// A login body: exactly {"token": "<token>"}, or, when accounts is true, exactly
// {"user": "<name>", "password": "<password>"}. On false code and message hold the 400 refusal
// ("INVALID_REQUEST_JSON" or "INVALID_REQUEST_BODY"). Pure.
bool parseLoginBody(std::string_view body, bool accounts, S_LoginRequest& login, std::string& code,
                    std::string& message);

// POST /api/v1/session: opens a session (200 and its cookie) for the token or an account's
// password; a wrong one is 401, 429 beyond the failed-attempt limit, 403 "ACCOUNT_LOCKED" for a
// locked account. who (optional) receives whom the audit entry names: the user logged in, or the
// account a refusal for its lock is about; empty otherwise.
S_HttpReply invokeLogin(std::string_view path, CApiAccessControl& access, const S_ApiRequest& request,
                        S_ActingUser* who = nullptr);
// POST /api/v1/session/logout: ends the session the cookie names; 200 {"authenticated":false}.
S_HttpReply invokeLogout(std::string_view path, CApiAccessControl& access, const S_ApiRequest& request);
// GET /api/v1/session: who the request acts for, {"user","role","authenticatedBy"}.
S_HttpReply invokeSessionInfo(std::string_view path, const S_ActingUser& user);

}  // namespace ota::backend
