// What the trust features add to a request: the access check of a Bearer token and of a session
// cookie (in memory, on the I/O thread), the same for a named account's session and its API token
// once verified, and the audit trail's two durable writes around every
// POST operation (begin, then complete; each commit synced to disk) on a real database file.

#include "api/access_control.h"
#include "audit/audit_store.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

namespace
{

using namespace ota::backend;

const std::string kToken = "bench-token-0123456789abcdefghijklmnopqrstuvwxyz";
const std::string kAccountToken = "account-token-0123456789abcdefghijklmnopqrstuvwxyz";

// Accounts that always verify: the check's own cost is measured, not a store's.
class CBenchVerifier final : public IAccountVerifier
{
public:
    std::optional<S_ActingUser> verifyPassword(std::string_view name, std::string_view) override
    {
        return S_ActingUser{std::string(name), E_Role::OPERATOR, "password"};
    }
    std::optional<S_ActingUser> verifyToken(std::string_view) override
    {
        return S_ActingUser{"operator-1", E_Role::OPERATOR, "api-token:bench"};
    }
    std::optional<std::pair<E_Role, std::uint64_t>> accountState(std::string_view) override
    {
        return std::make_pair(E_Role::OPERATOR, std::uint64_t{1});
    }
};

void BM_AccessCheckBearer(benchmark::State& state)
{
    CApiAccessControl access(kToken);
    const S_RequestCredentials credentials{{"Bearer " + kToken}, {}};
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(access.check(credentials));
    }
}

void BM_AccessCheckSessionCookie(benchmark::State& state)
{
    CApiAccessControl access(kToken);
    std::string sessionId;
    for (int index = 0; index < 100; ++index)
    {
        access.login(kToken, sessionId);  // a hundred open sessions
    }
    const std::string cookie = "theme=dark; ota_session=" + sessionId;
    const S_RequestCredentials credentials{{}, {cookie}};
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(access.check(credentials));
    }
}

void BM_AccessCheckNamedSession(benchmark::State& state)
{
    CApiAccessControl access(kToken, {}, std::make_shared<CBenchVerifier>());
    std::string sessionId;
    S_ActingUser user;
    for (int index = 0; index < 100; ++index)
    {
        access.loginWithPassword("operator-" + std::to_string(index), "password", sessionId, user);
    }
    const std::string cookie = "theme=dark; ota_session=" + sessionId;
    const S_RequestCredentials credentials{{}, {cookie}};
    std::string session;
    S_ActingUser principal;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(access.check(credentials, session, principal));
    }
}

void BM_AccessCheckAccountToken(benchmark::State& state)
{
    CApiAccessControl access(kToken, {}, std::make_shared<CBenchVerifier>());
    const S_RequestCredentials credentials{{"Bearer " + kAccountToken}, {}};
    std::string session;
    S_ActingUser principal;
    access.check(credentials, session, principal);  // the first use verifies it
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(access.check(credentials, session, principal));
    }
}

// One audited POST: the entry begun before the operation, completed after it.
void BM_AuditBeginAndComplete(benchmark::State& state)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ota-audit-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        state.SkipWithError("no temp directory");
        return;
    }
    const std::filesystem::path directory = pattern;
    {
        CAuditStore store;
        std::string error;
        if (!store.open(directory / "upgrade-history.db", error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        S_AuditEntry entry;
        entry.at = 1700000000000;
        entry.client = "127.0.0.1:50000";
        entry.method = "POST";
        entry.route = "/api/v1/devices/status-query";
        S_AuditEntry outcome;
        outcome.status = 202;
        outcome.requestId = "ota-1700000000000-1";
        for (auto _ : state)
        {
            std::int64_t id = 0;
            if (!store.begin(entry, id, error) || !store.complete(id, outcome, error))
            {
                state.SkipWithError(error.c_str());
                break;
            }
        }
    }
    std::filesystem::remove_all(directory);
}

BENCHMARK(BM_AccessCheckBearer);
BENCHMARK(BM_AccessCheckSessionCookie);
BENCHMARK(BM_AccessCheckNamedSession);
BENCHMARK(BM_AccessCheckAccountToken);
BENCHMARK(BM_AuditBeginAndComplete)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
