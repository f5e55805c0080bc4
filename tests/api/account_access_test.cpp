// Named accounts in the access control, with a fake account verifier: password and token logins
// and who each grant names; an account token verified once, then kept; the per-account lock;
// accountsChanged. The least role of every route the router serves. And through the real server:
// the acting user of a route call, GET /api/v1/session, and the audit entries naming them.
#include "api/access_control.h"
#include "api/account_verifier.h"
#include "api/api_router.h"
#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "api/audit_trail.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

namespace ota::test
{
namespace
{

using backend::CApiAccessControl;
using backend::CApiRouter;
using backend::E_AccessVerdict;
using backend::E_Role;
using backend::S_ActingUser;
using backend::S_RequestCredentials;
using nlohmann::json;

const std::string kSiteToken = "site-token_0123456789abcdefghijklmnopqrstuvwxyz";

// Accounts as the store would answer for them; counts the slow verifications.
class CFakeVerifier final : public backend::IAccountVerifier
{
public:
    struct S_Account
    {
        std::string password;
        E_Role role = E_Role::VIEWER;
        std::uint64_t stamp = 1;
        bool enabled = true;
    };

    void add(const std::string& name, E_Role role, const std::string& token = {})
    {
        std::lock_guard<std::mutex> lock(mutex);
        accounts[name] = S_Account{name + "-password", role};
        if (!token.empty())
        {
            tokens[token] = {name, name + "-label"};
        }
    }

    std::optional<S_ActingUser> verifyPassword(std::string_view name, std::string_view password) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++passwordChecks;
        const auto found = accounts.find(std::string(name));
        if (found == accounts.end() || !found->second.enabled || found->second.password != password)
        {
            return std::nullopt;
        }
        return S_ActingUser{found->first, found->second.role, "password"};
    }

    std::optional<S_ActingUser> verifyToken(std::string_view token) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++tokenChecks;
        const auto found = tokens.find(std::string(token));
        if (found == tokens.end() || !accounts.contains(found->second.first) ||
            !accounts.at(found->second.first).enabled)
        {
            return std::nullopt;
        }
        return S_ActingUser{found->second.first, accounts.at(found->second.first).role,
                            "api-token:" + found->second.second};
    }

    std::optional<std::pair<E_Role, std::uint64_t>> accountState(std::string_view name) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = accounts.find(std::string(name));
        if (found == accounts.end() || !found->second.enabled)
        {
            return std::nullopt;
        }
        return std::make_pair(found->second.role, found->second.stamp);
    }

    std::mutex mutex;
    std::map<std::string, S_Account> accounts;
    std::map<std::string, std::pair<std::string, std::string>> tokens;  // token -> user, label
    int passwordChecks = 0;
    int tokenChecks = 0;
};

// Credentials that own their header values (S_RequestCredentials only views them).
struct S_OwnedCredentials
{
    std::string authorization;
    std::string cookie;

    S_RequestCredentials view() const
    {
        S_RequestCredentials credentials;
        if (!authorization.empty())
        {
            credentials.authorizations.push_back(authorization);
        }
        if (!cookie.empty())
        {
            credentials.cookies.push_back(cookie);
        }
        return credentials;
    }
};

S_OwnedCredentials bearerOf(const std::string& token)
{
    return {"Bearer " + token, {}};
}

S_OwnedCredentials cookieOf(const std::string& cookie)
{
    return {{}, cookie};
}

std::string sessionCookieOf(const std::string& sessionId)
{
    return "ota_session=" + sessionId;
}

class AccountAccessTest : public ::testing::Test
{
protected:
    AccountAccessTest()
        : verifier(std::make_shared<CFakeVerifier>()),
          access(
              kSiteToken, [this] { return now; }, verifier)
    {
        verifier->add("alice", E_Role::OPERATOR, "alice-token");
        verifier->add("bob", E_Role::APPROVER, "bob-token");
    }

    std::string loginAs(const std::string& name)
    {
        std::string sessionId;
        S_ActingUser user;
        EXPECT_EQ(access.loginWithPassword(name, name + "-password", sessionId, user),
                  E_AccessVerdict::GRANTED)
            << name;
        return sessionCookieOf(sessionId);
    }

    // The verdict on credentials and who it names.
    std::pair<E_AccessVerdict, S_ActingUser> checked(const S_OwnedCredentials& credentials)
    {
        std::string session;
        S_ActingUser principal;
        const E_AccessVerdict verdict = access.check(credentials.view(), session, principal);
        return {verdict, principal};
    }

    std::chrono::steady_clock::time_point now =
        std::chrono::steady_clock::time_point{} + std::chrono::hours(100);
    std::shared_ptr<CFakeVerifier> verifier;
    CApiAccessControl access;
};

TEST_F(AccountAccessTest, EveryGrantNamesWhoActsAndAnAccountTokenIsVerifiedOnce)
{
    std::string tokenSession;
    ASSERT_EQ(access.login(kSiteToken, tokenSession), E_AccessVerdict::GRANTED);
    const std::string tokenCookie = sessionCookieOf(tokenSession);
    const std::string aliceCookie = loginAs("alice");

    struct S_Case
    {
        const char* label;
        S_OwnedCredentials credentials;
        E_AccessVerdict verdict;
        S_ActingUser principal;
    };
    const S_Case cases[] = {
        {"site token",
         bearerOf(kSiteToken),
         E_AccessVerdict::GRANTED,
         {"token", E_Role::ADMIN, "token-file"}},
        {"site token session",
         cookieOf(tokenCookie),
         E_AccessVerdict::GRANTED,
         {"token", E_Role::ADMIN, "token-file"}},
        {"password session",
         cookieOf(aliceCookie),
         E_AccessVerdict::GRANTED,
         {"alice", E_Role::OPERATOR, "password"}},
        {"account token",
         bearerOf("alice-token"),
         E_AccessVerdict::GRANTED,
         {"alice", E_Role::OPERATOR, "api-token:alice-label"}},
        {"account token again",
         bearerOf("alice-token"),
         E_AccessVerdict::GRANTED,
         {"alice", E_Role::OPERATOR, "api-token:alice-label"}},
        {"unknown token", bearerOf("nobody-token"), E_AccessVerdict::INVALID, {"", E_Role::ADMIN, ""}},
    };
    for (const S_Case& testCase : cases)
    {
        const auto [verdict, principal] = checked(testCase.credentials);
        EXPECT_EQ(verdict, testCase.verdict) << testCase.label;
        EXPECT_EQ(principal.name, testCase.principal.name) << testCase.label;
        EXPECT_EQ(principal.role, testCase.principal.role) << testCase.label;
        EXPECT_EQ(principal.authenticatedBy, testCase.principal.authenticatedBy) << testCase.label;
    }
    EXPECT_EQ(verifier->tokenChecks, 2) << "alice's token once, then kept; the unknown one once";
    EXPECT_TRUE(access.wouldGrant(bearerOf("alice-token").view()));
    EXPECT_FALSE(access.wouldGrant(bearerOf("bob-token").view()))
        << "never verified: the reserve does not hash";
    EXPECT_EQ(verifier->tokenChecks, 2);

    // A wrong password and an unknown name are refused alike.
    std::string sessionId;
    S_ActingUser user;
    EXPECT_EQ(access.loginWithPassword("alice", "wrong", sessionId, user), E_AccessVerdict::INVALID);
    EXPECT_EQ(access.loginWithPassword("nobody", "wrong", sessionId, user), E_AccessVerdict::INVALID);
    EXPECT_TRUE(sessionId.empty());
    EXPECT_FALSE(user.known());
}

TEST_F(AccountAccessTest, FiveFailedPasswordsLockTheAccountForFifteenMinutes)
{
    std::string sessionId;
    S_ActingUser user;
    for (int attempt = 1; attempt <= 4; ++attempt)
    {
        EXPECT_EQ(access.loginWithPassword("alice", "wrong", sessionId, user), E_AccessVerdict::INVALID)
            << attempt;
        now += std::chrono::minutes(3);
    }
    EXPECT_EQ(access.loginWithPassword("alice", "wrong", sessionId, user), E_AccessVerdict::LOCKED)
        << "the fifth within 15 minutes locks";
    const int checksAtLock = verifier->passwordChecks;
    EXPECT_EQ(access.loginWithPassword("alice", "alice-password", sessionId, user), E_AccessVerdict::LOCKED)
        << "even with the right password";
    EXPECT_EQ(verifier->passwordChecks, checksAtLock) << "a locked account's password is not looked at";
    loginAs("bob");

    now += std::chrono::minutes(14);
    EXPECT_EQ(access.loginWithPassword("alice", "alice-password", sessionId, user), E_AccessVerdict::LOCKED);
    now += std::chrono::minutes(1);
    EXPECT_EQ(access.loginWithPassword("alice", "alice-password", sessionId, user), E_AccessVerdict::GRANTED);
    EXPECT_EQ(user.name, "alice");

    // Failures spread wider than the window never lock.
    for (int attempt = 1; attempt <= 6; ++attempt)
    {
        EXPECT_EQ(access.loginWithPassword("bob", "wrong", sessionId, user), E_AccessVerdict::INVALID)
            << attempt;
        now += std::chrono::minutes(4);
    }
}

TEST_F(AccountAccessTest, BeyondTheFailedAttemptLimitNothingIsVerified)
{
    for (std::size_t attempt = 0; attempt < CApiAccessControl::kMaxFailedAttempts; ++attempt)
    {
        EXPECT_EQ(checked(bearerOf("guess-" + std::to_string(attempt))).first, E_AccessVerdict::INVALID);
    }
    const int tokenChecks = verifier->tokenChecks;
    const int passwordChecks = verifier->passwordChecks;
    std::string sessionId;
    S_ActingUser user;
    EXPECT_EQ(checked(bearerOf("alice-token")).first, E_AccessVerdict::LIMITED);
    EXPECT_EQ(access.loginWithPassword("alice", "alice-password", sessionId, user), E_AccessVerdict::LIMITED);
    EXPECT_EQ(verifier->tokenChecks, tokenChecks);
    EXPECT_EQ(verifier->passwordChecks, passwordChecks);
    EXPECT_EQ(checked(bearerOf(kSiteToken)).first, E_AccessVerdict::GRANTED)
        << "the site token keeps working";
}

TEST_F(AccountAccessTest, AccountsChangedEndsTheSessionsOfChangedAccountsAndDropsVerifiedTokens)
{
    struct S_Case
    {
        const char* name;
        std::function<void(CFakeVerifier::S_Account&)> change;  // empty: unchanged
        bool sessionStays;
    };
    const S_Case cases[] = {
        {"kept", {}, true},
        {"promoted", [](CFakeVerifier::S_Account& account) { account.role = E_Role::ADMIN; }, false},
        {"disabled", [](CFakeVerifier::S_Account& account) { account.enabled = false; }, false},
        {"repassworded", [](CFakeVerifier::S_Account& account) { ++account.stamp; }, false},
    };
    std::vector<std::string> cookies;
    for (const S_Case& testCase : cases)
    {
        verifier->add(testCase.name, E_Role::OPERATOR);
        cookies.push_back(loginAs(testCase.name));
    }
    std::string tokenSession;
    ASSERT_EQ(access.login(kSiteToken, tokenSession), E_AccessVerdict::GRANTED);
    const std::string removedCookie = loginAs("bob");
    ASSERT_EQ(checked(bearerOf("alice-token")).first, E_AccessVerdict::GRANTED);
    ASSERT_EQ(checked(bearerOf("bob-token")).first, E_AccessVerdict::GRANTED);

    for (const S_Case& testCase : cases)
    {
        if (testCase.change)
        {
            testCase.change(verifier->accounts.at(testCase.name));
        }
    }
    verifier->accounts.erase("bob");
    verifier->tokens.erase("alice-token");
    const int tokenChecks = verifier->tokenChecks;
    access.accountsChanged();

    for (std::size_t index = 0; index < std::size(cases); ++index)
    {
        EXPECT_EQ(checked(cookieOf(cookies[index])).first == E_AccessVerdict::GRANTED,
                  cases[index].sessionStays)
            << cases[index].name;
    }
    EXPECT_EQ(checked(cookieOf(removedCookie)).first, E_AccessVerdict::INVALID) << "a removed account";
    EXPECT_EQ(checked(cookieOf(sessionCookieOf(tokenSession))).first, E_AccessVerdict::GRANTED);
    EXPECT_EQ(checked(bearerOf("alice-token")).first, E_AccessVerdict::INVALID) << "a revoked token";
    EXPECT_EQ(verifier->tokenChecks, tokenChecks + 1) << "asked again, not taken from before the change";
    EXPECT_EQ(access.sessionCount(), 2u);
}

// Every route callback set, so that the router serves every route it has.
backend::S_ApiCallbacks everyCallback()
{
    backend::S_ApiCallbacks c = echoCallbacks();
    const auto ok = [](std::string& response)
    {
        response = "{}";
        return true;
    };
    const auto list = [ok](std::uint32_t, std::int64_t, std::string& response, std::string&)
    { return ok(response); };
    c.auditList = list;
    c.firmwareStoreList = list;
    c.baselineList = list;
    c.auditVerify = [ok](std::string& response, std::string&) { return ok(response); };
    c.metrics = [] { return std::string(); };
    c.firmwareStoreDelete = [ok](const std::string&, std::string& response, std::string&,
                                 backend::E_RouteRefusal&) { return ok(response); };
    c.firmwareStoreUpload = [ok](const backend::S_FirmwareUploadQuery&, const backend::RequestBodySource&,
                                 std::string& response, std::string&, backend::E_RouteRefusal&)
    { return ok(response); };
    c.firmwareStoreSignature = [ok](const std::string&, std::string_view, std::string& response, std::string&,
                                    backend::E_RouteRefusal&) { return ok(response); };
    c.rolloutCreate = c.firmwareInspect;
    c.rolloutConverge = c.firmwareInspect;
    c.rolloutList = c.workspace;
    c.rolloutCurrent = c.workspace;
    const auto rollout = [ok](std::uint32_t, std::string& response, std::string&, backend::E_RouteRefusal&)
    { return ok(response); };
    c.rolloutStart = rollout;
    c.rolloutPause = rollout;
    c.rolloutResume = rollout;
    c.rolloutCancel = rollout;
    c.upgradeRetry = [ok](std::uint32_t, const std::string&, std::string& response, std::string&)
    { return ok(response); };
    c.siteHolds = c.workspace;
    c.siteHoldPlace = [ok](const std::string&, std::string& response, std::string&, backend::E_RouteRefusal&)
    { return ok(response); };
    c.siteHoldRelease = [ok](const std::string&, std::string& response, std::string&,
                             backend::E_RouteRefusal&) { return ok(response); };
    c.baselineCreate = c.siteHoldPlace;
    c.baselineCurrent = c.workspace;
    c.baselineReport = [ok](bool, std::string& response, std::string&, backend::E_RouteRefusal&)
    { return ok(response); };
    return c;
}

// The least role of every POST route, as operators are told it; every GET needs viewer.
const std::map<std::string, E_Role> kLeastPostRoles = {
    {"/api/v1/scene/reload", E_Role::ADMIN},
    {"/api/v1/firmware/inspect", E_Role::OPERATOR},
    {"/api/v1/upgrades/preview", E_Role::OPERATOR},
    {"/api/v1/upgrades/start", E_Role::OPERATOR},
    {"/api/v1/upgrades/:upgradeNo/abort", E_Role::OPERATOR},
    {"/api/v1/upgrades/:upgradeNo/retry", E_Role::OPERATOR},
    {"/api/v1/upgrades/history/clear", E_Role::ADMIN},
    {"/api/v1/devices/frames/capture", E_Role::OPERATOR},
    {"/api/v1/devices/status-query", E_Role::OPERATOR},
    {"/api/v1/devices/reconnect", E_Role::OPERATOR},
    {"/api/v1/firmware/store", E_Role::OPERATOR},
    {"/api/v1/firmware/store/:sha256/signature", E_Role::OPERATOR},
    {"/api/v1/firmware/store/:sha256/delete", E_Role::ADMIN},
    {"/api/v1/rollouts", E_Role::OPERATOR},
    {"/api/v1/rollouts/converge", E_Role::OPERATOR},
    {"/api/v1/rollouts/:rolloutNo/start", E_Role::OPERATOR},
    {"/api/v1/rollouts/:rolloutNo/pause", E_Role::OPERATOR},
    {"/api/v1/rollouts/:rolloutNo/resume", E_Role::OPERATOR},
    {"/api/v1/rollouts/:rolloutNo/cancel", E_Role::OPERATOR},
    {"/api/v1/rollouts/:rolloutNo/approve", E_Role::APPROVER},
    {"/api/v1/rollouts/:rolloutNo/reject", E_Role::APPROVER},
    {"/api/v1/upgrades/preview/approve", E_Role::APPROVER},
    {"/api/v1/site/holds", E_Role::OPERATOR},
    {"/api/v1/site/holds/:source/release", E_Role::OPERATOR},
    {"/api/v1/baseline", E_Role::ADMIN},
};

// A path the pattern takes: its parameter segment filled in.
std::string pathOf(std::string_view pattern)
{
    const std::size_t marker = pattern.find("/:");
    if (marker == std::string_view::npos)
    {
        return std::string(pattern);
    }
    const std::size_t end = pattern.find('/', marker + 1);
    const std::string_view name =
        pattern.substr(marker + 2, end == std::string_view::npos ? end : end - marker - 2);
    return std::string(pattern.substr(0, marker + 1)) + (name == "sha256" ? std::string(64, 'a') : "42") +
           std::string(end == std::string_view::npos ? std::string_view() : pattern.substr(end));
}

TEST(RouteRoles, EveryRouteTakesItsLeastRoleAndRefusesTheRoleBelow)
{
    const auto verifier = std::make_shared<CFakeVerifier>();
    const E_Role roles[] = {E_Role::VIEWER, E_Role::OPERATOR, E_Role::APPROVER, E_Role::ADMIN};
    for (const E_Role role : roles)
    {
        verifier->add(std::string(backend::roleName(role)), role,
                      std::string(backend::roleName(role)) + "-token");
    }
    backend::S_ApiCallbacks callbacks = everyCallback();
    callbacks.accessControl =
        std::make_shared<CApiAccessControl>(kSiteToken, CApiAccessControl::Now{}, verifier);
    const CApiRouter router(callbacks);

    const auto dispatchAs = [&router](const char* method, const std::string& path, std::optional<E_Role> role)
    {
        backend::S_HttpRequestView request;
        request.method = method;
        request.target = path;
        request.client = "127.0.0.1:40000";
        const std::string authorization =
            role ? "Bearer " + std::string(backend::roleName(*role)) + "-token" : std::string();
        if (role)
        {
            request.credentials.authorizations.push_back(authorization);
        }
        return router.dispatch(request);
    };
    int checked = 0;
    for (const std::string_view pattern : router.routePatterns())
    {
        if (pattern == CApiRouter::kEventsPath || pattern == CApiRouter::kHealthPath)
        {
            continue;  // the stream needs viewer, checked at its upgrade; health is open (below)
        }
        const std::string path = pathOf(pattern);
        for (const char* method : {"GET", "POST"})
        {
            const std::string label = std::string(method) + " " + std::string(pattern);
            const CApiRouter::Dispatch asAdmin = dispatchAs(method, path, E_Role::ADMIN);
            if (!std::holds_alternative<CApiRouter::S_RouteCall>(asAdmin))
            {
                continue;  // not a route of this method
            }
            if (std::string(method) == "POST" &&
                (pattern == CApiRouter::kLoginPath || pattern == CApiRouter::kLogoutPath))
            {
                continue;  // below
            }
            E_Role least = E_Role::VIEWER;
            if (std::string(method) == "POST")
            {
                const auto found = kLeastPostRoles.find(std::string(pattern));
                ASSERT_NE(found, kLeastPostRoles.end()) << label << ": a route without its least role here";
                least = found->second;
            }
            ++checked;
            const CApiRouter::Dispatch granted = dispatchAs(method, path, least);
            ASSERT_TRUE(std::holds_alternative<CApiRouter::S_RouteCall>(granted)) << label;
            EXPECT_EQ(std::get<CApiRouter::S_RouteCall>(granted).user.role, least) << label;
            if (least == E_Role::VIEWER)
            {
                continue;
            }
            const E_Role below = static_cast<E_Role>(static_cast<int>(least) - 1);
            const CApiRouter::Dispatch refused = dispatchAs(method, path, below);
            ASSERT_TRUE(std::holds_alternative<backend::S_HttpReply>(refused)) << label;
            const backend::S_HttpReply& reply = std::get<backend::S_HttpReply>(refused);
            EXPECT_EQ(reply.status, 403u) << label;
            const json body = json::parse(reply.body);
            EXPECT_EQ(body["error"]["code"], "INSUFFICIENT_ROLE") << label;
            const std::string message = body["error"]["message"];
            const std::string opening = "The role " + std::string(backend::roleName(below)) + " may not ";
            EXPECT_TRUE(message.starts_with(opening) && message.size() > opening.size() + 3)
                << label << ": " << message;
        }
    }
    EXPECT_GE(checked, 40) << "every route of a full router";

    // The login and the health check need nobody; the logout anybody.
    EXPECT_TRUE(std::holds_alternative<CApiRouter::S_RouteCall>(dispatchAs("POST", "/api/v1/session", {})));
    EXPECT_TRUE(std::holds_alternative<CApiRouter::S_RouteCall>(dispatchAs("GET", "/api/v1/health", {})));
    EXPECT_TRUE(std::holds_alternative<CApiRouter::S_RouteCall>(
        dispatchAs("POST", "/api/v1/session/logout", E_Role::VIEWER)));
}

// Keeps each request's entry as last written (begun, then completed).
class CKeepingTrail final : public backend::IApiAuditTrail
{
public:
    bool begin(const backend::S_AuditRecord& record, std::int64_t& entryId, std::string&) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(record);
        entryId = static_cast<std::int64_t>(entries.size());
        return true;
    }
    void complete(std::int64_t entryId, const backend::S_AuditRecord& outcome) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.at(static_cast<std::size_t>(entryId - 1)) = outcome;
    }
    void record(const backend::S_AuditRecord& record) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(record);
    }
    backend::S_AuditRecord last()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.empty() ? backend::S_AuditRecord{} : entries.back();
    }

    std::mutex mutex;
    std::vector<backend::S_AuditRecord> entries;
};

class AccountServerTest : public ApiServerTest
{
protected:
    void SetUp() override
    {
        verifier->add("alice", E_Role::OPERATOR);
        verifier->add("victor", E_Role::VIEWER, "victor-token");
        callbacks.accessControl =
            std::make_shared<CApiAccessControl>(kSiteToken, CApiAccessControl::Now{}, verifier);
        callbacks.auditTrail = trail;
        callbacks.upgradeStart = [this](std::string& response, std::string&)
        {
            std::lock_guard<std::mutex> lock(trail->mutex);
            actingUsers.push_back(backend::currentActingUser().name);
            response = "{}";
            return true;
        };
        startServer();
    }

    std::shared_ptr<CFakeVerifier> verifier = std::make_shared<CFakeVerifier>();
    std::shared_ptr<CKeepingTrail> trail = std::make_shared<CKeepingTrail>();
    std::vector<std::string> actingUsers;
};

TEST_F(AccountServerTest, ARouteRunsAsItsUserWhomItsAuditEntryNames)
{
    CTestHttpClient client(port);
    const auto login = [&client](const json& body)
    { return client.request("POST", "/api/v1/session", body.dump()); };
    const S_HttpResult opened = login(json{{"user", "alice"}, {"password", "alice-password"}});
    ASSERT_EQ(opened.status, 200u) << opened.body;
    EXPECT_EQ(trail->last().user, "alice");
    EXPECT_EQ(trail->last().authenticatedBy, "password");
    const std::string set = opened.header("Set-Cookie");
    const HeaderList cookie = {{"Cookie", set.substr(0, set.find(';'))}};

    const S_HttpResult session = client.request("GET", "/api/v1/session", "", cookie);
    EXPECT_EQ(session.json["data"],
              (json{{"user", "alice"}, {"role", "operator"}, {"authenticatedBy", "password"}}));
    EXPECT_EQ(client.request("POST", "/api/v1/upgrades/start", "", cookie).status, 202u);
    EXPECT_EQ(trail->last().user, "alice");
    EXPECT_EQ(trail->last().status, 202u);

    const S_HttpResult refused =
        client.request("POST", "/api/v1/upgrades/start", "", {{"Authorization", "Bearer victor-token"}});
    EXPECT_EQ(refused.status, 403u);
    EXPECT_EQ(refused.json["error"]["message"], "The role viewer may not start an upgrade");
    EXPECT_EQ(trail->last().user, "victor");
    EXPECT_EQ(trail->last().authenticatedBy, "api-token:victor-label");
    EXPECT_EQ(trail->last().errorCode, "INSUFFICIENT_ROLE");
    {
        std::lock_guard<std::mutex> lock(trail->mutex);
        EXPECT_EQ(actingUsers, std::vector<std::string>{"alice"}) << "the refused request ran nothing";
    }

    // Wrong passwords are the wrong token's 401 and name nobody; the fifth locks, and its entry says so.
    for (int attempt = 1; attempt <= 4; ++attempt)
    {
        const S_HttpResult wrong = login(json{{"user", "alice"}, {"password", "wrong"}});
        EXPECT_EQ(wrong.status, 401u);
        EXPECT_EQ(wrong.json["error"]["message"], "Access token is not valid");
        EXPECT_EQ(trail->last().user, "");
    }
    EXPECT_EQ(login(json{{"user", "nobody"}, {"password", "wrong"}}).json["error"]["message"],
              "Access token is not valid");
    EXPECT_EQ(login(json{{"user", "alice"}, {"password", "wrong"}}).json["error"]["code"], "ACCOUNT_LOCKED");
    const backend::S_AuditRecord lock = trail->last();
    EXPECT_EQ(lock.errorCode, "ACCOUNT_LOCKED");
    EXPECT_EQ(lock.status, 403u);
    EXPECT_EQ(lock.user, "alice");
    EXPECT_EQ(lock.authenticatedBy, "");
    EXPECT_EQ(login(json{{"user", "alice"}, {"password", "alice-password"}}).status, 403u);

    EXPECT_EQ(login(json{{"token", kSiteToken}}).status, 200u);
    EXPECT_EQ(trail->last().user, "token");
    EXPECT_EQ(trail->last().authenticatedBy, "token-file");
}

}  // namespace
}  // namespace ota::test
