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

CApiAccessControl::CApiAccessControl(std::string_view token, Now now)
    : m_tokenDigest(digestOf(token)), m_now(std::move(now))
{
}

CApiAccessControl::Clock::time_point CApiAccessControl::now() const
{
    return m_now ? m_now() : Clock::now();
}

bool CApiAccessControl::tokenMatches(std::string_view token) const
{
    return equalInConstantTime(digestOf(token), m_tokenDigest);
}

void CApiAccessControl::dropExpiredLocked(Clock::time_point now)
{
    std::erase_if(m_sessions, [now](const auto& entry) { return now - entry.second >= kSessionIdleLimit; });
}

CApiAccessControl::E_Presented CApiAccessControl::evaluateLocked(const S_RequestCredentials& credentials,
                                                                 Clock::time_point now, bool touch,
                                                                 std::string* grantingSession)
{
    E_Presented presented = E_Presented::NONE;
    for (const std::string_view authorization : credentials.authorizations)
    {
        // Any Authorization header is a credential; one that is not a bearer token is a wrong one.
        const std::string_view token = bearerToken(authorization);
        if (!token.empty() && tokenMatches(token))
        {
            return E_Presented::GRANTED;
        }
        presented = E_Presented::INVALID;
    }
    for (const std::string_view sessionId : cookieValues(credentials.cookies, kSessionCookie))
    {
        const auto found = m_sessions.find(toLowerHex(digestOf(sessionId)));
        if (found != m_sessions.end() && now - found->second < kSessionIdleLimit)
        {
            if (touch)
            {
                found->second = now;
            }
            if (grantingSession != nullptr)
            {
                *grantingSession = found->first;
            }
            return E_Presented::GRANTED;
        }
        presented = E_Presented::INVALID;
    }
    return presented;
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

E_AccessVerdict CApiAccessControl::check(const S_RequestCredentials& credentials)
{
    std::string ignored;
    return check(credentials, ignored);
}

E_AccessVerdict CApiAccessControl::check(const S_RequestCredentials& credentials,
                                         std::string& grantingSession)
{
    grantingSession.clear();
    const Clock::time_point at = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    switch (evaluateLocked(credentials, at, true, &grantingSession))
    {
        case E_Presented::GRANTED:
            return E_AccessVerdict::GRANTED;
        case E_Presented::NONE:
            return E_AccessVerdict::MISSING;
        case E_Presented::INVALID:
            break;
    }
    return failLocked(at);
}

bool CApiAccessControl::isSessionLive(const std::string& sessionKey) const
{
    const Clock::time_point at = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sessions.find(sessionKey);
    return found != m_sessions.end() && at - found->second < kSessionIdleLimit;
}

bool CApiAccessControl::wouldGrant(const S_RequestCredentials& credentials)
{
    const Clock::time_point at = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    return evaluateLocked(credentials, at, false) == E_Presented::GRANTED;
}

E_AccessVerdict CApiAccessControl::login(std::string_view token, std::string& sessionId)
{
    sessionId.clear();
    const Clock::time_point at = now();
    const bool matches = tokenMatches(token);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!matches)
    {
        return failLocked(at);
    }
    dropExpiredLocked(at);
    if (m_sessions.size() >= kMaxSessions)
    {
        // The least recently used session makes room: a forgotten browser tab, most likely.
        const auto oldest =
            std::min_element(m_sessions.begin(), m_sessions.end(),
                             [](const auto& left, const auto& right) { return left.second < right.second; });
        m_sessions.erase(oldest);
    }
    sessionId = randomSessionId();
    m_sessions[toLowerHex(digestOf(sessionId))] = at;
    return E_AccessVerdict::GRANTED;
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
                                                  { return at - entry.second < kSessionIdleLimit; }));
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
