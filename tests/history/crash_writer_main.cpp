// Writes history rows as the running service would, in a loop, until it is killed:
// preview rows, running states, final reports, expiry with VACUUM and selected deletions.
// Usage: history_crash_writer <database path> <first upgrade number>

#include "common/json_text.h"
#include "history/upgrade_history_repository.h"
#include "history_documents.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace ota::backend;

namespace
{

[[noreturn]] void fail(const std::string& step, const std::string& error)
{
    std::fprintf(stderr, "%s failed: %s\n", step.c_str(), error.c_str());
    std::fflush(stderr);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: %s <database> <first upgrade number>\n", argv[0]);
        return 2;
    }
    CUpgradeHistoryRepository repository;
    std::string error;
    if (!repository.open(argv[1], error))
    {
        fail("open", error);
    }
    std::puts("WRITING");
    std::fflush(stdout);

    for (std::uint32_t upgradeNo = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));; ++upgradeNo)
    {
        const std::string upgradeId = ota::test::taskId(upgradeNo);
        const std::int64_t startedAt = 1'000'000'000'000 + static_cast<std::int64_t>(upgradeNo) * 1000;
        if (!repository.upsertTaskSnapshot(ota::test::makeSnapshotWrite(upgradeNo, upgradeId, startedAt, 8), error))
        {
            fail("upsert", error);
        }
        nlohmann::json state = ota::test::makeStateDocument(upgradeNo, upgradeId, 8, startedAt);
        for (int step = 1; step <= 4; ++step)
        {
            for (auto& device : state["devices"])
            {
                device["workflowProgress"] = step * 20;
            }
            if (!repository.updateRunningState({upgradeNo, startedAt + step, "RUNNING", toJsonText(state)}, error))
            {
                fail("update", error);
            }
        }
        if (upgradeNo % 3 != 0)  // every third task stays unfinished
        {
            ota::test::finishStateDocument(state, "SUCCESS", "SUCCESS", startedAt + 10);
            if (!repository.finalizeReport({upgradeNo, startedAt + 10, startedAt + 10, "SUCCESS", toJsonText(state)},
                                           error))
            {
                fail("finalize", error);
            }
        }
        std::uint32_t deleted = 0;
        if (upgradeNo % 7 == 0 && !repository.deleteExpiredFinalized(startedAt - 3000, deleted, error))
        {
            fail("expire", error);
        }
        if (upgradeNo % 5 == 0 && !repository.deleteSelected({upgradeNo - 1, upgradeNo - 2}, deleted, error))
        {
            fail("delete", error);
        }
    }
}
