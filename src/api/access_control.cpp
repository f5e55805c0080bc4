#include "api/access_control.h"

#include "common/digest.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace ota::backend
{

namespace
{

constexpr std::size_t kSessionIdBytes = 32;
constexpr std::size_t kMaxAccountNameLength = 32;
constexpr std::string_view kTokenFileUser = "token";
constexpr std::string_view kTokenFileMethod = "token-file";
constexpr std::string_view kPasswordMethod = "password";

// 1 to 32 of letters, digits, "_", "-", ".": the names the account store accepts.
bool isAccountNameShaped(std::string_view name)
{
    return !name.empty() && name.size() <= kMaxAccountNameLength &&
           std::all_of(name.begin(), name.end(),
                       [](char character)
                       {
                           return (character >= 'a' && character <= 'z') ||
                                  (character >= 'A' && character <= 'Z') ||
                                  (character >= '0' && character <= '9') || character == '_' ||
                                  character == '-' || character == '.';
                       });
}

CApiAccessControl::Digest digestOf(std::string_view text)
{
    return CSha256::digestOf(text.data(), text.size());
}

// Compares two digests in time that does not depend on where they differ.
bool equalInConstantTime(const CApiAccessControl::Digest& left, const CApiAccessControl::Digest& right)
{
    std::uint8_t difference = 0;
    for (std::size_t index = 0; index < left.size(); ++index)
    {
        difference = static_cast<std::uint8_t>(difference | (left[index] ^ right[index]));
    }
    return difference == 0;
}

std::string randomSessionId()
{
    std::array<std::uint8_t, kSessionIdBytes> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size())
    {
        const ssize_t count = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            throw std::runtime_error("Cannot draw a random session identifier");
        }
        filled += static_cast<std::size_t>(count);
    }
    return toLowerHex(bytes);
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::vector<std::string_view> cookieValues(const std::vector<std::string_view>& cookieHeaders,
                                           std::string_view name)
{
    std::vector<std::string_view> values;
    for (std::string_view header : cookieHeaders)
    {
        while (!header.empty())
        {
            const std::size_t end = header.find(';');
            const std::string_view pair = trim(header.substr(0, end));
            header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
            const std::size_t equals = pair.find('=');
            if (equals != std::string_view::npos && trim(pair.substr(0, equals)) == name)
            {
                std::string_view value = trim(pair.substr(equals + 1));
                if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                {
                    value = value.substr(1, value.size() - 2);
                }
                values.push_back(value);
            }
        }
    }
    return values;
}

std::string_view bearerToken(std::string_view authorization)
{
    const std::string_view value = trim(authorization);
    constexpr std::string_view kScheme = "bearer";
    if (value.size() <= kScheme.size() || value[kScheme.size()] != ' ')
    {
        return {};
    }
    for (std::size_t index = 0; index < kScheme.size(); ++index)
    {
        if (std::tolower(static_cast<unsigned char>(value[index])) != kScheme[index])
        {
            return {};
        }
    }
    return trim(value.substr(kScheme.size() + 1));
}

CApiAccessControl::CApiAccessControl(std::string_view token, Now now,
                                     std::shared_ptr<IAccountVerifier> verifier)
    : m_tokenDigest(digestOf(token)), m_now(std::move(now)), m_verifier(std::move(verifier))
{
}

std::size_t CApiAccessControl::S_DigestHash::operator()(const Digest& digest) const
{
    // The digest is already uniformly distributed: its first bytes are a hash.
    std::size_t value = 0;
    for (std::size_t index = 0; index < sizeof(value); ++index)
    {
        value = (value << 8) | digest[index];
    }
    return value;
}

const S_ActingUser& CApiAccessControl::tokenFileUser()
{
    // Built once: every request with the token copies it instead of building its strings anew.
    static const S_ActingUser user{std::string(kTokenFileUser), E_Role::ADMIN, std::string(kTokenFileMethod)};
    return user;
}

CApiAccessControl::Clock::time_point CApiAccessControl::now() const
{
    return m_now ? m_now() : Clock::now();
}

void CApiAccessControl::dropExpiredLocked(Clock::time_point now)
{
    std::erase_if(m_sessions,
                  [now](const auto& entry) { return now - entry.second.lastUse >= kSessionIdleLimit; });
}

CApiAccessControl::E_Presented CApiAccessControl::evaluateLocked(const S_RequestCredentials& credentials,
                                                                 Clock::time_point now, bool touch,
                                                                 std::string* grantingSession,
                                                                 S_ActingUser* principal,
                                                                 std::string_view* pendingToken)
{
    E_Presented presented = E_Presented::NONE;
    for (const std::string_view authorization : credentials.authorizations)
    {
        // Any Authorization header is a credential; one that is not a bearer token is a wrong one.
        const std::string_view token = bearerToken(authorization);
        if (!token.empty())
        {
            const Digest digest = digestOf(token);
            if (equalInConstantTime(digest, m_tokenDigest))
            {
                if (principal != nullptr)
                {
                    *principal = tokenFileUser();
                }
                return E_Presented::GRANTED;
            }
            const auto verified = m_verifiedTokens.find(digest);
            if (verified != m_verifiedTokens.end())
            {
                if (principal != nullptr)
                {
                    *principal = verified->second;
                }
                return E_Presented::GRANTED;
            }
            if (pendingToken != nullptr && pendingToken->empty())
            {
                *pendingToken = token;
            }
        }
        presented = E_Presented::INVALID;
    }
    for (const std::string_view sessionId : cookieValues(credentials.cookies, kSessionCookie))
    {
        const auto found = m_sessions.find(toLowerHex(digestOf(sessionId)));
        if (found != m_sessions.end() && now - found->second.lastUse < kSessionIdleLimit)
        {
            if (touch)
            {
                found->second.lastUse = now;
            }
            if (grantingSession != nullptr)
            {
                *grantingSession = found->first;
            }
            if (principal != nullptr)
            {
                *principal = found->second.user;
            }
            return E_Presented::GRANTED;
        }
        presented = E_Presented::INVALID;
    }
    return presented;
}

bool CApiAccessControl::limitReachedLocked(Clock::time_point now)
{
    while (!m_failures.empty() && now - m_failures.front() >= kFailureWindow)
    {
        m_failures.pop_front();
    }
    return m_failures.size() >= kMaxFailedAttempts;
}

E_AccessVerdict CApiAccessControl::failLocked(Clock::time_point now)
{
    while (!m_failures.empty() && now - m_failures.front() >= kFailureWindow)
    {
        m_failures.pop_front();
    }
    m_failures.push_back(now);
    if (m_failures.size() > kMaxFailedAttempts + 1)
    {
        m_failures.pop_front();
    }
    return m_failures.size() > kMaxFailedAttempts ? E_AccessVerdict::LIMITED : E_AccessVerdict::INVALID;
}

bool CApiAccessControl::accountLockedLocked(const std::string& name, Clock::time_point now)
{
    const auto found = m_accountFailures.find(name);
    return found != m_accountFailures.end() && found->second.lockedUntil && now < *found->second.lockedUntil;
}

bool CApiAccessControl::failAccountLocked(const std::string& name, Clock::time_point now)
{
    const auto forgotten = [now](const S_AccountFailures& entry)
    {
        return (!entry.lockedUntil || now >= *entry.lockedUntil) &&
               (entry.failures.empty() || now - entry.failures.back() >= kAccountFailureWindow);
    };
    if (m_accountFailures.size() >= kMaxTrackedAccounts &&
        m_accountFailures.find(name) == m_accountFailures.end())
    {
        // The failed-attempt limit keeps the names tried within a window far below the bound; this
        // only keeps memory bounded if that ever changes.
        std::erase_if(m_accountFailures, [&forgotten](const auto& entry) { return forgotten(entry.second); });
        if (m_accountFailures.size() >= kMaxTrackedAccounts)
        {
            m_accountFailures.erase(m_accountFailures.begin());
        }
    }
    S_AccountFailures& entry = m_accountFailures[name];
    if (entry.lockedUntil && now >= *entry.lockedUntil)
    {
        // A lock that ended starts the count afresh.
        entry = S_AccountFailures{};
    }
    while (!entry.failures.empty() && now - entry.failures.front() >= kAccountFailureWindow)
    {
        entry.failures.pop_front();
    }
    entry.failures.push_back(now);
    if (entry.failures.size() < kMaxAccountFailures)
    {
        return false;
    }
    entry.failures.clear();
    entry.lockedUntil = now + kAccountLockTime;
    return true;
}

E_AccessVerdict CApiAccessControl::check(const S_RequestCredentials& credentials)
{
    std::string ignored;
    return check(credentials, ignored);
}

E_AccessVerdict CApiAccessControl::check(const S_RequestCredentials& credentials,
                                         std::string& grantingSession)
{
    S_ActingUser ignored;
    return check(credentials, grantingSession, ignored);
}

E_AccessVerdict CApiAccessControl::check(const S_RequestCredentials& credentials,
                                         std::string& grantingSession, S_ActingUser& principal)
{
    grantingSession.clear();
    principal = S_ActingUser{};
    const Clock::time_point at = now();
    std::string_view pendingToken;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (evaluateLocked(credentials, at, true, &grantingSession, &principal, &pendingToken))
        {
            case E_Presented::GRANTED:
                return E_AccessVerdict::GRANTED;
            case E_Presented::NONE:
                return E_AccessVerdict::MISSING;
            case E_Presented::INVALID:
                break;
        }
        // Beyond the limit nothing is verified: a flood of guessed tokens costs no hashing.
        if (pendingToken.empty() || !m_verifier || limitReachedLocked(at))
        {
            return failLocked(at);
        }
        generation = m_accountsGeneration;
    }
    // The first use of an account's API token is verified here, on the thread that checks the
    // request: an I/O thread. It is bounded: a text not shaped like one of the store's tokens, or
    // naming no stored token, is refused without hashing, and every refusal counts towards the
    // failed-attempt limit checked above, so at most kMaxFailedAttempts hashes per kFailureWindow
    // are spent on wrong tokens. A verified token is then kept by its digest.
    std::optional<S_ActingUser> verified = m_verifier->verifyToken(pendingToken);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!verified)
    {
        return failLocked(at);
    }
    if (generation == m_accountsGeneration)
    {
        if (m_verifiedTokens.size() >= kMaxVerifiedTokens)
        {
            m_verifiedTokens.clear();
        }
        m_verifiedTokens[digestOf(pendingToken)] = *verified;
    }
    principal = std::move(*verified);
    return E_AccessVerdict::GRANTED;
}

bool CApiAccessControl::isSessionLive(const std::string& sessionKey) const
{
    const Clock::time_point at = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sessions.find(sessionKey);
    return found != m_sessions.end() && at - found->second.lastUse < kSessionIdleLimit;
}

bool CApiAccessControl::wouldGrant(const S_RequestCredentials& credentials)
{
    const Clock::time_point at = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    return evaluateLocked(credentials, at, false, nullptr, nullptr, nullptr) == E_Presented::GRANTED;
}

std::string CApiAccessControl::openSessionLocked(Clock::time_point now, S_ActingUser user,
                                                 std::uint64_t stamp)
{
    dropExpiredLocked(now);
    if (m_sessions.size() >= kMaxSessions)
    {
        // The least recently used session makes room: a forgotten browser tab, most likely.
        const auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(),
                                             [](const auto& left, const auto& right)
                                             { return left.second.lastUse < right.second.lastUse; });
        m_sessions.erase(oldest);
    }
    std::string sessionId = randomSessionId();
    m_sessions[toLowerHex(digestOf(sessionId))] = S_Session{now, std::move(user), stamp};
    return sessionId;
}

E_AccessVerdict CApiAccessControl::login(std::string_view token, std::string& sessionId)
{
    sessionId.clear();
    const Clock::time_point at = now();
    const bool matches = equalInConstantTime(digestOf(token), m_tokenDigest);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!matches)
    {
        return failLocked(at);
    }
    sessionId = openSessionLocked(at, tokenFileUser(), 0);
    return E_AccessVerdict::GRANTED;
}

E_AccessVerdict CApiAccessControl::loginWithPassword(std::string_view name, std::string_view password,
                                                     std::string& sessionId, S_ActingUser& user)
{
    sessionId.clear();
    user = S_ActingUser{};
    const Clock::time_point at = now();
    // Only a name an account can have is counted and locked: other texts are plain wrong logins.
    const bool accountName = isAccountNameShaped(name);
    const std::string key(accountName ? name : std::string_view());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (limitReachedLocked(at))
        {
            return failLocked(at);
        }
        if (accountName && accountLockedLocked(key, at))
        {
            return E_AccessVerdict::LOCKED;
        }
        if (!m_verifier || !accountName)
        {
            return failLocked(at);
        }
    }
    // The state first: a change between the two reads leaves the session with an older stamp,
    // which the next accountsChanged ends, never the other way round.
    const std::optional<std::pair<E_Role, std::uint64_t>> state = m_verifier->accountState(name);
    std::optional<S_ActingUser> verified = m_verifier->verifyPassword(name, password);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!verified || !state || verified->name != name)
    {
        const E_AccessVerdict verdict = failLocked(at);
        return failAccountLocked(key, at) ? E_AccessVerdict::LOCKED : verdict;
    }
    m_accountFailures.erase(key);
    verified->authenticatedBy = std::string(kPasswordMethod);
    user = *verified;
    sessionId = openSessionLocked(at, std::move(*verified), state->second);
    return E_AccessVerdict::GRANTED;
}

void CApiAccessControl::accountsChanged()
{
    struct S_NamedSession
    {
        std::string key;
        std::string name;
        E_Role role;
        std::uint64_t stamp;
    };
    std::vector<S_NamedSession> named;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_accountsGeneration;
        m_verifiedTokens.clear();
        for (const auto& [key, session] : m_sessions)
        {
            if (session.user.authenticatedBy == kPasswordMethod)
            {
                named.push_back({key, session.user.name, session.user.role, session.stamp});
            }
        }
    }
    if (named.empty() || !m_verifier)
    {
        return;
    }
    std::unordered_map<std::string, std::optional<std::pair<E_Role, std::uint64_t>>> states;
    for (const S_NamedSession& session : named)
    {
        if (!states.contains(session.name))
        {
            states.emplace(session.name, m_verifier->accountState(session.name));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only the sessions seen above: one opened meanwhile carries a state read after the change.
    for (const S_NamedSession& session : named)
    {
        const auto& state = states.at(session.name);
        if (!state || state->first != session.role || state->second != session.stamp)
        {
            m_sessions.erase(session.key);
        }
    }
}

bool CApiAccessControl::logout(const S_RequestCredentials& credentials)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool ended = false;
    for (const std::string_view sessionId : cookieValues(credentials.cookies, kSessionCookie))
    {
        ended = m_sessions.erase(toLowerHex(digestOf(sessionId))) > 0 || ended;
    }
    return ended;
}

std::size_t CApiAccessControl::sessionCount() const
{
    const Clock::time_point at = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(std::count_if(m_sessions.begin(), m_sessions.end(),
                                                  [at](const auto& entry)
                                                  { return at - entry.second.lastUse < kSessionIdleLimit; }));
}

std::string CApiAccessControl::sessionCookie(const std::string& sessionId)
{
    return std::string(kSessionCookie) + "=" + sessionId + "; HttpOnly; SameSite=Strict; Path=/";
}

std::string CApiAccessControl::expiredSessionCookie()
{
    return std::string(kSessionCookie) + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0";
}

}  // namespace ota::backend
