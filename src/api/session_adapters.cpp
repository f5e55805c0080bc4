#include "api/session_adapters.h"

#include "common/clock.h"
#include "common/json_text.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

namespace
{

S_HttpReply successReply(std::string_view method, std::string_view path, nlohmann::json data)
{
    const std::int64_t startMs = currentUnixMs();
    const std::string requestId = generateRequestId();
    S_HttpReply reply;
    reply.status = 200;
    reply.body = buildSuccessEnvelope(std::move(data), requestId, startMs);
    logHttpResult(method, path, reply.status, "requestId=" + requestId);
    return reply;
}

bool isStringMember(const nlohmann::json& object, const char* name)
{
    const auto found = object.find(name);
    return found != object.end() && found->is_string();
}

}  // namespace

bool parseLoginBody(std::string_view body, bool accounts, S_LoginRequest& login, std::string& code,
                    std::string& message)
{
    login = S_LoginRequest{};
    nlohmann::json parsed;
    std::string parseError;
    if (body.empty())
    {
        code = "INVALID_REQUEST_BODY";
        message = "Request body must not be empty";
        return false;
    }
    if (!parseJsonText(body, parsed, parseError))
    {
        code = "INVALID_REQUEST_JSON";
        message = "Request body is not valid JSON: " + parseError;
        return false;
    }
    if (parsed.is_object() && parsed.size() == 1 && isStringMember(parsed, "token"))
    {
        login.token = parsed["token"].get<std::string>();
        return true;
    }
    if (accounts && parsed.is_object() && parsed.size() == 2 && isStringMember(parsed, "user") &&
        isStringMember(parsed, "password"))
    {
        login.byPassword = true;
        login.user = parsed["user"].get<std::string>();
        login.password = parsed["password"].get<std::string>();
        return true;
    }
    code = "INVALID_REQUEST_BODY";
    message = accounts
                  ? "Request body must be exactly {\"user\": \"<name>\", \"password\": \"<password>\"} or "
                    "{\"token\": \"<token>\"}"
                  : "Request body must be exactly {\"token\": \"<token>\"}";
    return false;
}

S_HttpReply invokeLogin(std::string_view path, CApiAccessControl& access, const S_ApiRequest& request,
                        S_ActingUser* who)
{
    S_LoginRequest login;
    std::string code;
    std::string message;
    if (!parseLoginBody(request.body, access.acceptsAccounts(), login, code, message))
    {
        return rejectRequest("POST", path, 400, code, message);
    }
    std::string sessionId;
    S_ActingUser user;
    E_AccessVerdict verdict = E_AccessVerdict::INVALID;
    if (login.byPassword)
    {
        verdict = access.loginWithPassword(login.user, login.password, sessionId, user);
    }
    else
    {
        verdict = access.login(login.token, sessionId);
        user = CApiAccessControl::tokenFileUser();
    }
    if (verdict != E_AccessVerdict::GRANTED)
    {
        if (who != nullptr && verdict == E_AccessVerdict::LOCKED)
        {
            // The lock's entry names the account it is about; nobody is authenticated.
            *who = S_ActingUser{login.user, E_Role::VIEWER, {}};
        }
        return rejectUnauthorized("POST", path, verdict);
    }
    if (who != nullptr)
    {
        *who = user;
    }
    S_HttpReply reply = successReply("POST", path, nlohmann::json{{"authenticated", true}});
    reply.headers.emplace_back("Set-Cookie", CApiAccessControl::sessionCookie(sessionId));
    reply.headers.emplace_back("Cache-Control", "no-store");
    return reply;
}

S_HttpReply invokeLogout(std::string_view path, CApiAccessControl& access, const S_ApiRequest& request)
{
    access.logout(request.credentials);
    S_HttpReply reply = successReply("POST", path, nlohmann::json{{"authenticated", false}});
    reply.headers.emplace_back("Set-Cookie", CApiAccessControl::expiredSessionCookie());
    return reply;
}

S_HttpReply invokeSessionInfo(std::string_view path, const S_ActingUser& user)
{
    S_HttpReply reply = successReply("GET", path,
                                     nlohmann::json{{"user", user.name},
                                                    {"role", std::string(roleName(user.role))},
                                                    {"authenticatedBy", user.authenticatedBy}});
    reply.headers.emplace_back("Cache-Control", "no-store");
    return reply;
}

}  // namespace ota::backend
