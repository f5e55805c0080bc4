// What the trust features add to a request: the access check of a Bearer token and of a session
// cookie (in memory, on the I/O thread), and the audit trail's two durable writes around every
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
BENCHMARK(BM_AuditBeginAndComplete)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
