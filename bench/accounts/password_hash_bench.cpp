// What a login costs at the accounts' Argon2id cost.
//   BM_PasswordHash: one hash and one verification of a password; target well under 0.5 s each
//     on the site's operator machine, memory = the cost's memory limit per attempt in flight
//   BM_LoginVerify: CAccountStore::verifyPassword, the whole check of a login by name/password
// Counters: memLimitMiB and opsLimit (the cost), peakRssGrowthMiB (the process's peak resident set
// over what it was before the benchmark; the peak is the process's, so the second benchmark shows
// only growth beyond the first's). Measured on the 2-core development machine (Release): hash +
// verification 169 ms, a login's verification 93 ms, 64 MiB, peak RSS +64 MiB.

#include "accounts/account_store.h"
#include "accounts/password_hashing.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>

namespace
{

using namespace ota::backend;

constexpr std::string_view kPassword = "correct horse battery staple";

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

void reportMemory(benchmark::State& state, double rssBefore)
{
    const S_PasswordHashCost cost = defaultPasswordHashCost();
    state.counters["memLimitMiB"] = static_cast<double>(cost.memLimitBytes) / (1024.0 * 1024.0);
    state.counters["opsLimit"] = static_cast<double>(cost.opsLimit);
    state.counters["peakRssGrowthMiB"] = peakRssMiB() - rssBefore;
}

void BM_PasswordHash(benchmark::State& state)
{
    const double rssBefore = peakRssMiB();
    for (auto _ : state)
    {
        const std::optional<std::string> hash = hashSecret(kPassword, defaultPasswordHashCost());
        if (!hash || !verifySecret(*hash, kPassword))
        {
            state.SkipWithError("Argon2id hash or verification failed");
            return;
        }
        benchmark::DoNotOptimize(hash->data());
    }
    reportMemory(state, rssBefore);
}
BENCHMARK(BM_PasswordHash)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_LoginVerify(benchmark::State& state)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ota-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        std::abort();
    }
    const std::filesystem::path directory(pattern);
    {
        std::string error;
        const std::unique_ptr<CAccountStore> store =
            CAccountStore::open(directory / "upgrade-history.db", true, error);
        if (!store || !store->addUser("alice", E_Role::OPERATOR, kPassword, error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        const double rssBefore = peakRssMiB();
        for (auto _ : state)
        {
            benchmark::DoNotOptimize(store->verifyPassword("alice", kPassword));
        }
        reportMemory(state, rssBefore);
    }
    std::filesystem::remove_all(directory);
}
BENCHMARK(BM_LoginVerify)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
