#pragma once

#include "api/account_verifier.h"
#include "common/acting_user.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ota::backend
{

// The credentials a request carries: every Authorization and Cookie header value, as sent.
struct S_RequestCredentials
{
    std::vector<std::string_view> authorizations;
    std::vector<std::string_view> cookies;
};

enum class E_AccessVerdict
{
    GRANTED,
    MISSING,  // no credential sent: "Authentication required"
    INVALID,  // a wrong token, an unknown or ended session: "Access token is not valid"
    LIMITED,  // an invalid credential beyond the failed-attempt limit: 429
    LOCKED,   // a login by name while that account is locked after failed passwords: 403
};

// Operator access control of the API: one access token (from the site's token file) sent as
// "Authorization: Bearer <token>", or a session cookie that a login with the token opened. With
// an account verifier, named accounts add logins by name and password and their own API tokens
// (as bearer tokens). Every grant names who acts (S_ActingUser): the token file's holder is the
// built-in account "token" (admin), a password login the account, an API token "api-token:<label>".
//
// The token is never stored or compared as text: only its SHA-256 digest is kept, and a presented
// token is digested and compared in constant time, so neither its content nor its length leaks
// through timing. Session identifiers are 256 random bits; the map keys are their digests.
// Sessions live in memory only: they end after kSessionIdleLimit without use, at logout and at a
// restart. Wrong tokens and unknown sessions are failed attempts; beyond kMaxFailedAttempts in the
// last kFailureWindow each further one is answered 429, while valid credentials keep working.
//
// Five failed passwords for one account name within kAccountFailureWindow lock that name for
// kAccountLockTime: its logins are refused (LOCKED) without looking at the password.
//
// An account's API token is verified by the verifier on its first use (slow: a hash), then kept
// by its SHA-256 digest, so that later requests cost a digest and a lookup as the site token does.
// accountsChanged drops those verifications and ends the sessions of changed accounts.
//
// Thread-safe: one mutex guards the sessions, the verified tokens and the failure windows; every
// operation holds it briefly and never calls out while holding it (the verifier is called
// between two holds).
class CApiAccessControl
{
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    using Digest = std::array<std::uint8_t, 32>;

    static constexpr std::string_view kSessionCookie = "ota_session";
    static constexpr std::chrono::hours kSessionIdleLimit{8};
    static constexpr std::size_t kMaxFailedAttempts = 20;
    static constexpr std::chrono::seconds kFailureWindow{60};
    static constexpr std::size_t kMaxSessions = 256;
    static constexpr std::size_t kMaxAccountFailures = 5;
    static constexpr std::chrono::minutes kAccountFailureWindow{15};
    static constexpr std::chrono::minutes kAccountLockTime{15};
    static constexpr std::size_t kMaxVerifiedTokens = 256;
    static constexpr std::size_t kMaxTrackedAccounts = 1024;

    // now: the clock, replaceable by tests; empty is the steady clock. verifier: the named
    // accounts; without it only the site token and its sessions grant.
    explicit CApiAccessControl(std::string_view token, Now now = {},
                               std::shared_ptr<IAccountVerifier> verifier = nullptr);
    CApiAccessControl(const CApiAccessControl&) = delete;
    CApiAccessControl& operator=(const CApiAccessControl&) = delete;

    // The verdict on a request's credentials. A session that grants is kept alive; a failed
    // attempt is counted.
    E_AccessVerdict check(const S_RequestCredentials& credentials);
    // The same; when a session granted (and not the token), grantingSession names it by a key that
    // isSessionLive takes (the digest of its identifier, never the identifier), else it is empty.
    E_AccessVerdict check(const S_RequestCredentials& credentials, std::string& grantingSession);
    // The same; on GRANTED principal names who acts, else it is empty.
    E_AccessVerdict check(const S_RequestCredentials& credentials, std::string& grantingSession,
                          S_ActingUser& principal);
    // True while the session with this key has neither ended at logout nor idled past the limit;
    // keeps nothing alive (an open event stream is no use of its session).
    bool isSessionLive(const std::string& sessionKey) const;
    // True when the credentials grant access; counts nothing, keeps no session alive and verifies
    // no API token not verified before (the connection reserve asks before deciding to serve a
    // request at all).
    bool wouldGrant(const S_RequestCredentials& credentials);

    // Login with the token: GRANTED with a new session identifier, or INVALID/LIMITED (counted).
    E_AccessVerdict login(std::string_view token, std::string& sessionId);
    // Login by account name and password: GRANTED with a new session identifier and user the
    // account; INVALID/LIMITED (counted for the peers and for the name), or LOCKED. Slow (the
    // verifier hashes): call it on a callback lane. The failed-attempt limit and the lock are
    // checked before the password is.
    E_AccessVerdict loginWithPassword(std::string_view name, std::string_view password,
                                      std::string& sessionId, S_ActingUser& user);
    // The accounts changed: ends every session whose account is gone, disabled, or has another
    // role or stamp than at its login, and drops every API token verified so far. Reads the
    // verifier (the store) outside the lock.
    void accountsChanged();
    // Ends the sessions the credentials' cookies name; true when one ended.
    bool logout(const S_RequestCredentials& credentials);

    std::size_t sessionCount() const;
    // True when named accounts can log in (a verifier was given).
    bool acceptsAccounts() const { return m_verifier != nullptr; }

    // Who presents the site's token: the built-in account "token", admin, by "token-file".
    static const S_ActingUser& tokenFileUser();

    // The Set-Cookie values that open and end a session.
    static std::string sessionCookie(const std::string& sessionId);
    static std::string expiredSessionCookie();

private:
    enum class E_Presented
    {
        NONE,
        INVALID,
        GRANTED,
    };

    struct S_Session
    {
        Clock::time_point lastUse;
        S_ActingUser user;
        std::uint64_t stamp = 0;  // the account's stamp at login (named accounts only)
    };
    struct S_AccountFailures
    {
        std::deque<Clock::time_point> failures;  // within kAccountFailureWindow
        std::optional<Clock::time_point> lockedUntil;
    };
    struct S_DigestHash
    {
        std::size_t operator()(const Digest& digest) const;
    };

    // pendingToken (optional) receives the first bearer token that is neither the site's nor a
    // verified one, for the caller to verify outside the lock.
    E_Presented evaluateLocked(const S_RequestCredentials& credentials, Clock::time_point now, bool touch,
                               std::string* grantingSession, S_ActingUser* principal,
                               std::string_view* pendingToken);
    E_AccessVerdict failLocked(Clock::time_point now);
    bool limitReachedLocked(Clock::time_point now);
    bool accountLockedLocked(const std::string& name, Clock::time_point now);
    // Counts a failed password of name; true when it locked the name.
    bool failAccountLocked(const std::string& name, Clock::time_point now);
    void dropExpiredLocked(Clock::time_point now);
    std::string openSessionLocked(Clock::time_point now, S_ActingUser user, std::uint64_t stamp);
    Clock::time_point now() const;

    const Digest m_tokenDigest;
    const Now m_now;
    const std::shared_ptr<IAccountVerifier> m_verifier;
    mutable std::mutex m_mutex;
    // Digest of the session identifier (hex) -> the session.
    std::unordered_map<std::string, S_Session> m_sessions;
    // Digest of an account API token -> who it acts for, once the verifier accepted it.
    std::unordered_map<Digest, S_ActingUser, S_DigestHash> m_verifiedTokens;
    // Rises at every accountsChanged: a verification begun before one is not kept.
    std::uint64_t m_accountsGeneration = 0;
    // The latest failed attempts, at most kMaxFailedAttempts + 1 of them.
    std::deque<Clock::time_point> m_failures;
    // Failed passwords per account name.
    std::unordered_map<std::string, S_AccountFailures> m_accountFailures;
};

// The values of the cookies named name in Cookie header values ("a=1; b=2").
std::vector<std::string_view> cookieValues(const std::vector<std::string_view>& cookieHeaders,
                                           std::string_view name);

// The token of an "Authorization: Bearer <token>" value (scheme in any letter case); empty when
// the value is not a bearer credential.
std::string_view bearerToken(std::string_view authorization);

}  // namespace ota::backend
