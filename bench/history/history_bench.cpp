// Persistence throughput of published execution states and the cost of a history read.
//   persistPublishedState of a 100-device RUNNING document: target at least 200 documents/s
//   readHistory over 10,000 records: target under 1 s
//   the repository's writes alone (running-state update, a task's whole row)

#include "common/clock.h"
#include "common/json_canonical.h"
#include "common/json_text.h"
#include "filled_history.h"
#include "history/history_operations.h"
#include "history_documents.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace
{

using namespace ota::backend;

std::filesystem::path makeDatabasePath(const char* name)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ota-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        std::abort();
    }
    return std::filesystem::path(pattern) / name;
}

void BM_PersistRunningState100Devices(benchmark::State& state)
{
    const std::filesystem::path path = makeDatabasePath("upgrade-history.db");
    {
        CUpgradeHistoryRepository repository;
        std::string error;
        if (!repository.open(path, error) ||
            !repository.upsertTaskSnapshot(
                ota::test::makeSnapshotWrite(1, "BENCH", currentUnixMs() - 1000, 100), error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        // Successive documents of one transfer: only chunk positions move, as between two progress
        // publications; each differs from the one before, so each is written.
        std::vector<std::string> documents;
        nlohmann::json document = ota::test::makeStateDocument(1, "BENCH", 100, currentUnixMs() - 1000);
        for (int index = 0; index < 1000; ++index)
        {
            for (auto& device : document["devices"])
            {
                device["currentFileNo"] = 1;
                device["currentChunkNo"] = index + 1;
            }
            documents.push_back(toJsonText(document));
        }
        state.counters["documentBytes"] = static_cast<double>(documents.front().size());
        std::size_t next = 0;
        for (auto _ : state)
        {
            persistPublishedState(repository, 90, documents[next]);
            next = (next + 1) % documents.size();
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove_all(path.parent_path());
}
BENCHMARK(BM_PersistRunningState100Devices)->Unit(benchmark::kMillisecond)->UseRealTime();

// The repository's own write path, without the JSON work of persistPublishedState: one
// running-state UPDATE of a 1-device and of a 100-device document (each write a little later
// than the one before, so every one is applied).
void BM_RepositoryRunningStateUpdate(benchmark::State& state)
{
    const auto deviceCount = static_cast<std::size_t>(state.range(0));
    const std::filesystem::path path = makeDatabasePath("upgrade-history.db");
    {
        CUpgradeHistoryRepository repository;
        std::string error;
        const std::int64_t startedAt = currentUnixMs() - 1000;
        if (!repository.open(path, error) ||
            !repository.upsertTaskSnapshot(ota::test::makeSnapshotWrite(1, "BENCH", startedAt, deviceCount),
                                           error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        const std::string document =
            toJsonText(ota::test::makeStateDocument(1, "BENCH", deviceCount, startedAt));
        std::int64_t updatedAt = startedAt;
        for (auto _ : state)
        {
            if (!repository.updateRunningState({1, ++updatedAt, "RUNNING", document}, error))
            {
                state.SkipWithError(error.c_str());
                break;
            }
        }
        state.counters["documentBytes"] = static_cast<double>(document.size());
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove_all(path.parent_path());
}
BENCHMARK(BM_RepositoryRunningStateUpdate)
    ->ArgName("devices")
    ->Arg(1)
    ->Arg(100)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// One small task's whole row per iteration: its preview snapshot, one running state and the
// final report (three writes with the reads that guard them).
void BM_RepositoryTaskLifecycle(benchmark::State& state)
{
    const std::filesystem::path path = makeDatabasePath("upgrade-history.db");
    {
        CUpgradeHistoryRepository repository;
        std::string error;
        if (!repository.open(path, error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        const std::int64_t base = currentUnixMs() - 1000;
        const std::string document = toJsonText(ota::test::makeStateDocument(1, "BENCH", 1, base));
        std::uint32_t upgradeNo = 0;
        for (auto _ : state)
        {
            ++upgradeNo;
            const std::int64_t startedAt = base + upgradeNo;
            if (!repository.upsertTaskSnapshot(
                    ota::test::makeSnapshotWrite(upgradeNo, ota::test::taskId(upgradeNo), startedAt),
                    error) ||
                !repository.updateRunningState({upgradeNo, startedAt + 1, "RUNNING", document}, error) ||
                !repository.finalizeReport({upgradeNo, startedAt + 2, startedAt + 2, "SUCCESS", document},
                                           error))
            {
                state.SkipWithError(error.c_str());
                break;
            }
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove_all(path.parent_path());
}
// A fixed count: the table grows by a row per iteration, and the identifier lookup of every
// preview scans it (upgrade_id has no index).
BENCHMARK(BM_RepositoryTaskLifecycle)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(1000);

// A repository holding that history in a temporary directory, removed again at the end.
class CFilledHistory
{
public:
    explicit CFilledHistory(std::uint32_t records = 10'000) : m_path(makeDatabasePath("upgrade-history.db"))
    {
        m_ready = repository.open(m_path, error) && ota::bench::fillHistory(repository, error, records);
    }
    ~CFilledHistory()
    {
        repository.close();
        std::filesystem::remove_all(m_path.parent_path());
    }
    // False (with the benchmark skipped) when the history could not be written.
    bool ready(benchmark::State& state) const
    {
        if (!m_ready)
        {
            state.SkipWithError(error.c_str());
        }
        return m_ready;
    }

    CUpgradeHistoryRepository repository;
    std::string error;

private:
    std::filesystem::path m_path;
    bool m_ready = false;
};

// warm = 0: every read validates and renders every record (a read with an empty cache);
// warm = 1: the application's cache holds what a first read left in it (within its 16 MiB budget,
// the newest 1,900 or so of these records).
void BM_ReadHistory10000Records(benchmark::State& state)
{
    const bool warm = state.range(0) != 0;
    CFilledHistory history;
    if (!history.ready(state))
    {
        return;
    }
    CHistoryRecordCache cache;
    std::string response;
    if (warm && !readHistory(history.repository, cache, 90, 1, {}, response, history.error))
    {
        state.SkipWithError(history.error.c_str());
        return;
    }
    for (auto _ : state)
    {
        CHistoryRecordCache coldCache;
        if (!readHistory(history.repository, warm ? cache : coldCache, 90, 1, {}, response, history.error))
        {
            state.SkipWithError(history.error.c_str());
            break;
        }
    }
    state.counters["responseMiB"] = static_cast<double>(response.size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_ReadHistory10000Records)
    ->ArgName("warm")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// What an operator sees after a restart: the start-up compatibility check (which renders the
// finalized records into the application's cache) and then the first history read. The
// iteration time is the first read; the check's time is the "startupCheckMs" counter.
void BM_FirstReadAfterStartup10000Records(benchmark::State& state)
{
    CFilledHistory history;
    if (!history.ready(state))
    {
        return;
    }
    std::string response;
    double startupCheckMs = 0;
    for (auto _ : state)
    {
        CHistoryRecordCache cache;
        const auto checkStart = std::chrono::steady_clock::now();
        if (!removeIncompatibleHistoryAtStartup(history.repository, cache, history.error))
        {
            state.SkipWithError(history.error.c_str());
            break;
        }
        const auto readStart = std::chrono::steady_clock::now();
        if (!readHistory(history.repository, cache, 90, 1, {}, response, history.error))
        {
            state.SkipWithError(history.error.c_str());
            break;
        }
        const auto readEnd = std::chrono::steady_clock::now();
        startupCheckMs += std::chrono::duration<double, std::milli>(readStart - checkStart).count();
        state.SetIterationTime(std::chrono::duration<double>(readEnd - readStart).count());
    }
    state.counters["startupCheckMs"] = startupCheckMs / static_cast<double>(state.iterations());
    // 1 when the API can embed the answer in its envelope without parsing 85 MB again.
    state.counters["canonical"] = isCanonicalJsonText(response) ? 1 : 0;
}
BENCHMARK(BM_FirstReadAfterStartup10000Records)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

// The start-up compatibility check alone: cache = 0 validates only, cache = 1 also renders the
// finalized records for the first history read.
void BM_StartupCheck10000Records(benchmark::State& state)
{
    const bool withCache = state.range(0) != 0;
    CFilledHistory history;
    if (!history.ready(state))
    {
        return;
    }
    for (auto _ : state)
    {
        CHistoryRecordCache cache;
        const bool checked =
            withCache ? removeIncompatibleHistoryAtStartup(history.repository, cache, history.error)
                      : removeIncompatibleHistoryAtStartup(history.repository, history.error);
        if (!checked)
        {
            state.SkipWithError(history.error.c_str());
            break;
        }
    }
}
BENCHMARK(BM_StartupCheck10000Records)
    ->ArgName("cache")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The console's way through a long history: the start-up check (which fills the bounded cache),
// then every page of 50 from the newest to the oldest, over 1,000 and 10,000 records. The counters
// are the pages' mean time and the cache's size; the backend's memory over the same walk is
// history_memory_bench's.
void BM_PagedHistoryWalk(benchmark::State& state)
{
    CFilledHistory history(static_cast<std::uint32_t>(state.range(0)));
    if (!history.ready(state))
    {
        return;
    }
    double pageMs = 0;
    double pages = 0;
    double cacheMiB = 0;
    for (auto _ : state)
    {
        CHistoryRecordCache cache;
        if (!removeIncompatibleHistoryAtStartup(history.repository, cache, history.error))
        {
            state.SkipWithError(history.error.c_str());
            break;
        }
        S_HistoryPage page{50, 0};
        std::string response;
        do
        {
            const auto begin = std::chrono::steady_clock::now();
            if (!readHistoryPage(history.repository, cache, 90, 1, {}, &page, response, history.error))
            {
                state.SkipWithError(history.error.c_str());
                return;
            }
            pageMs +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            ++pages;
            page.before = nlohmann::json::parse(response).at("nextBefore").get<std::uint32_t>();
        } while (page.before != 0);
        cacheMiB = static_cast<double>(cache.byteSize()) / (1024.0 * 1024.0);
    }
    state.counters["pageMs"] = pageMs / std::max(pages, 1.0);
    state.counters["cacheMiB"] = cacheMiB;
}
BENCHMARK(BM_PagedHistoryWalk)
    ->ArgName("records")
    ->Arg(1'000)
    ->Arg(10'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
