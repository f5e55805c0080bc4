// The history read a page at a time: pages by upgrade number across page boundaries, the walk over
// every row that start-up uses, and the cache of rendered records that keeps within its budget.
#include "common/json_text.h"
#include "history/history_operations.h"
#include "history_documents.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace ota::backend
{
namespace
{

using nlohmann::json;

class HistoryPages : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(repository.open(":memory:", error)) << error;
        // Finished tasks numbered 1..250, started in their numbers' order.
        for (std::uint32_t number = 1; number <= 250; ++number)
        {
            const std::int64_t startedAt = 1'700'000'000'000 + number * 1000;
            json state = test::makeStateDocument(number, test::taskId(number), 1, startedAt);
            test::finishStateDocument(state, "SUCCESS", "SUCCESS", startedAt + 10);
            ASSERT_TRUE(repository.upsertTaskSnapshot(
                test::makeSnapshotWrite(number, test::taskId(number), startedAt), error))
                << error;
            ASSERT_TRUE(repository.finalizeReport(
                {number, startedAt + 10, startedAt + 10, "SUCCESS", toJsonText(state)}, error))
                << error;
        }
    }

    std::vector<std::uint32_t> numbers(std::uint32_t before, std::uint32_t limit)
    {
        std::vector<S_UpgradeHistoryRecord> records;
        EXPECT_TRUE(repository.listRecordsBefore(before, limit, records, error)) << error;
        std::vector<std::uint32_t> result;
        for (const S_UpgradeHistoryRecord& record : records)
        {
            result.push_back(record.upgradeNo);
        }
        return result;
    }

    CUpgradeHistoryRepository repository;
    std::string error;
};

TEST_F(HistoryPages, PagesFollowTheUpgradeNumberDownToTheFirstRecord)
{
    EXPECT_EQ(numbers(0, 3), (std::vector<std::uint32_t>{250, 249, 248}));
    EXPECT_EQ(numbers(101, 2), (std::vector<std::uint32_t>{100, 99}));
    EXPECT_EQ(numbers(2, 5), std::vector<std::uint32_t>{1});
    EXPECT_TRUE(numbers(1, 5).empty());

    // Every row once, highest first, across the walk's pages of 100; a visitor may stop it.
    std::vector<std::uint32_t> visited;
    ASSERT_TRUE(repository.forEachRecord(
        [&](const S_UpgradeHistoryRecord& record)
        {
            visited.push_back(record.upgradeNo);
            return true;
        },
        error));
    ASSERT_EQ(visited.size(), 250u);
    EXPECT_EQ(visited.front(), 250u);
    EXPECT_EQ(visited.back(), 1u);
    EXPECT_TRUE(std::is_sorted(visited.rbegin(), visited.rend()));
    std::size_t seen = 0;
    ASSERT_TRUE(repository.forEachRecord([&](const S_UpgradeHistoryRecord&) { return ++seen < 120; }, error));
    EXPECT_EQ(seen, 120u);
}

TEST_F(HistoryPages, APageAnswersItsRecordsAsTheWholeHistoryDoesWithTheNextPagesNumber)
{
    CHistoryRecordCache cache;
    std::string whole;
    ASSERT_TRUE(readHistory(repository, cache, 3650, 1, {}, whole, error)) << error;
    const json all = json::parse(whole);
    ASSERT_FALSE(all.contains("nextBefore"));

    std::vector<json> paged;
    S_HistoryPage page{100, 0};
    std::vector<std::uint32_t> cursors;
    do
    {
        std::string text;
        ASSERT_TRUE(readHistoryPage(repository, cache, 3650, 1, {}, &page, text, error)) << error;
        const json answer = json::parse(text);
        EXPECT_EQ(answer["recordCount"], answer["records"].size());
        for (const json& record : answer["records"])
        {
            paged.push_back(record);
        }
        page.before = answer["nextBefore"];
        cursors.push_back(page.before);
    } while (page.before != 0 && cursors.size() < 10);
    EXPECT_EQ(cursors, (std::vector<std::uint32_t>{151, 51, 0}));
    EXPECT_EQ(json(paged), all["records"]);
}

TEST(HistoryRecordCacheBudget, TheLowestNumbersGiveWayBeyondTheBudget)
{
    CHistoryRecordCache cache(250);
    for (std::uint32_t number = 1; number <= 5; ++number)
    {
        cache.store(number, number, std::string(100, 'x'), "");
    }
    // 500 bytes stored in a budget of 250: the two highest numbers stay.
    EXPECT_EQ(cache.byteSize(), 200u);
    for (std::uint32_t number = 1; number <= 3; ++number)
    {
        EXPECT_FALSE(cache.contains(number, number)) << number;
    }
    EXPECT_TRUE(cache.contains(4, 4));
    EXPECT_TRUE(cache.contains(5, 5));
    // An entry replaced in place is counted once.
    cache.store(5, 6, std::string(50, 'y'), "");
    EXPECT_EQ(cache.byteSize(), 150u);
    cache.retainOnly({});
    EXPECT_EQ(cache.byteSize(), 0u);
}

}  // namespace
}  // namespace ota::backend
