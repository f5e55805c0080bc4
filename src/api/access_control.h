#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
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
};

// Operator access control of the API: one access token (from the site's token file) sent as
// "Authorization: Bearer <token>", or a session cookie that a login with the token opened.
//
// The token is never stored or compared as text: only its SHA-256 digest is kept, and a presented
// token is digested and compared in constant time, so neither its content nor its length leaks
// through timing. Session identifiers are 256 random bits; the map keys are their digests.
// Sessions live in memory only: they end after kSessionIdleLimit without use, at logout and at a
// restart. Wrong tokens and unknown sessions are failed attempts; beyond kMaxFailedAttempts in the
// last kFailureWindow each further one is answered 429, while valid credentials keep working.
//
// Thread-safe: one mutex guards the sessions and the failure window; every operation holds it
// briefly and never calls out.
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

    // now: the clock, replaceable by tests; empty is the steady clock.
    explicit CApiAccessControl(std::string_view token, Now now = {});
    CApiAccessControl(const CApiAccessControl&) = delete;
    CApiAccessControl& operator=(const CApiAccessControl&) = delete;

    // The verdict on a request's credentials. A session that grants is kept alive; a failed
    // attempt is counted.
    E_AccessVerdict check(const S_RequestCredentials& credentials);
    // The same; when a session granted (and not the token), grantingSession names it by a key that
    // isSessionLive takes (the digest of its identifier, never the identifier), else it is empty.
    E_AccessVerdict check(const S_RequestCredentials& credentials, std::string& grantingSession);
    // True while the session with this key has neither ended at logout nor idled past the limit;
    // keeps nothing alive (an open event stream is no use of its session).
    bool isSessionLive(const std::string& sessionKey) const;
    // True when the credentials grant access; counts nothing and keeps no session alive (the
    // connection reserve asks before deciding to serve a request at all).
    bool wouldGrant(const S_RequestCredentials& credentials);

    // Login with the token: GRANTED with a new session identifier, or INVALID/LIMITED (counted).
    E_AccessVerdict login(std::string_view token, std::string& sessionId);
    // Ends the sessions the credentials' cookies name; true when one ended.
    bool logout(const S_RequestCredentials& credentials);

    std::size_t sessionCount() const;

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

    E_Presented evaluateLocked(const S_RequestCredentials& credentials, Clock::time_point now, bool touch,
                               std::string* grantingSession = nullptr);
    bool tokenMatches(std::string_view token) const;
    E_AccessVerdict failLocked(Clock::time_point now);
    void dropExpiredLocked(Clock::time_point now);
    Clock::time_point now() const;

    const Digest m_tokenDigest;
    const Now m_now;
    mutable std::mutex m_mutex;
    // Digest of the session identifier (hex) -> last use.
    std::unordered_map<std::string, Clock::time_point> m_sessions;
    // The latest failed attempts, at most kMaxFailedAttempts + 1 of them.
    std::deque<Clock::time_point> m_failures;
};

// The values of the cookies named name in Cookie header values ("a=1; b=2").
std::vector<std::string_view> cookieValues(const std::vector<std::string_view>& cookieHeaders,
                                           std::string_view name);

// The token of an "Authorization: Bearer <token>" value (scheme in any letter case); empty when
// the value is not a bearer credential.
std::string_view bearerToken(std::string_view authorization);

}  // namespace ota::backend
