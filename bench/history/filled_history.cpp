#include "filled_history.h"

#include "common/clock.h"
#include "common/json_text.h"
#include "history_documents.h"

namespace ota::bench
{

bool fillHistory(ota::backend::CUpgradeHistoryRepository& repository, std::string& error,
                 std::uint32_t records)
{
    using ota::backend::toJsonText;
    const std::int64_t base = ota::backend::currentUnixMs() - 10'000'000;
    for (std::uint32_t number = 1; number <= records; ++number)
    {
        const std::string id = ota::test::taskId(number);
        const std::int64_t startedAt = base + number * 100;
        nlohmann::json document = ota::test::makeStateDocument(number, id, 4, startedAt);
        const std::string running = toJsonText(document);
        ota::test::finishStateDocument(document, "SUCCESS", "SUCCESS", startedAt + 50);
        if (!repository.upsertTaskSnapshot(ota::test::makeSnapshotWrite(number, id, startedAt, 4), error) ||
            !repository.updateRunningState({number, startedAt + 10, "RUNNING", running}, error) ||
            !repository.finalizeReport(
                {number, startedAt + 50, startedAt + 50, "SUCCESS", toJsonText(document)}, error))
        {
            return false;
        }
    }
    return true;
}

}  // namespace ota::bench
