#include "site_holds/site_holds.h"
#include "history/sqlite_connection.h"
#include "site_holds/site_hold_rules.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace ota::backend
{
namespace
{

class SiteHoldsTest : public ::testing::Test
{
protected:
    std::filesystem::path databasePath() const { return m_directory / "upgrade-history.db"; }

    bool tableExists() const
    {
        CSqliteConnection connection;
        std::string error;
        EXPECT_TRUE(connection.open(databasePath().string(), "test", 5000, error)) << error;
        CSqliteCachedStatement statement =
            connection.statement("SELECT 1 FROM sqlite_master WHERE name='site_hold';", error);
        return statement && statement->step() == SQLITE_ROW;
    }

    // Holds on a clock the test moves, observed.
    CSiteHolds& open()
    {
        m_holds = std::make_unique<CSiteHolds>([this] { return m_now.load(); });
        std::string error;
        EXPECT_TRUE(m_holds->open(databasePath(), error)) << error;
        m_holds->setObserver([this](const std::vector<S_SiteHold>& holds) { m_seen.push_back(holds); });
        return *m_holds;
    }

    test::CTempDirectory m_directory;
    std::atomic<std::int64_t> m_now{1'000'000};
    std::unique_ptr<CSiteHolds> m_holds;
    std::vector<std::vector<S_SiteHold>> m_seen;
};

TEST_F(SiteHoldsTest, PlaceRenewReleaseAndLapse)
{
    CSiteHolds& holds = open();
    std::string error;
    ASSERT_TRUE(holds.place("ems", "dispatched", 10, error)) << error;
    m_now += 1000;
    ASSERT_TRUE(holds.place("operator", "storm", 0, error)) << error;
    EXPECT_TRUE(holds.held());

    // A renewal keeps when the hold was placed and moves its lease.
    m_now += 5000;
    ASSERT_TRUE(holds.place("ems", "still dispatched", 10, error)) << error;
    const std::vector<S_SiteHold> expected = {{"ems", "still dispatched", 1'000'000, 1'016'000},
                                              {"operator", "storm", 1'001'000, 0}};
    EXPECT_EQ(holds.list(), expected);
    EXPECT_EQ(m_seen.back(), expected);

    // Just before its end the lease holds; at its end it lapses, told once.
    m_now = 1'015'999;
    holds.tick();
    EXPECT_EQ(holds.list().size(), 2u);
    const std::size_t changes = m_seen.size();
    m_now = 1'016'000;
    holds.tick();
    holds.tick();
    EXPECT_EQ(m_seen.size(), changes + 1);
    EXPECT_EQ(holds.list(), std::vector<S_SiteHold>{expected[1]});

    EXPECT_EQ(holds.release("ems", error), E_SiteHoldRelease::NOT_FOUND);
    EXPECT_EQ(holds.release("operator", error), E_SiteHoldRelease::RELEASED);
    EXPECT_FALSE(holds.held());
    EXPECT_TRUE(m_seen.back().empty());
}

TEST_F(SiteHoldsTest, HoldsSurviveAReopenAndLeasesLapseAfterIt)
{
    std::string error;
    {
        CSiteHolds& holds = open();
        // A site that never held keeps its file as it was.
        EXPECT_FALSE(tableExists());
        ASSERT_TRUE(holds.place("ems", "dispatched", 60, error)) << error;
        ASSERT_TRUE(holds.place("operator", "storm", 0, error)) << error;
        ASSERT_TRUE(holds.place("gone", "x", 0, error)) << error;
        ASSERT_EQ(holds.release("gone", error), E_SiteHoldRelease::RELEASED);
    }
    const std::vector<S_SiteHold> before = m_holds->list();
    m_holds.reset();

    CSiteHolds& reopened = open();
    EXPECT_EQ(reopened.list(), before);
    m_now += 60'000;
    reopened.tick();
    ASSERT_EQ(reopened.list().size(), 1u);
    EXPECT_EQ(reopened.list().front().source, "operator");
    m_holds.reset();
    // The lapse was stored as well.
    EXPECT_EQ(open().list().size(), 1u);
}

TEST_F(SiteHoldsTest, TheHoldFileHoldsWhileItExists)
{
    CSiteHolds& holds = open();
    const std::filesystem::path file = m_directory / "hold";
    holds.setHoldFile(file);
    holds.tick();
    EXPECT_FALSE(holds.held());

    struct S_Case
    {
        std::string text;
        std::string reason;
    };
    const S_Case cases[] = {
        {"grid event\r\nsecond line", "grid event"},
        {"", ""},
        {std::string(250, 'x'), std::string(200, 'x')},
        {"ok\xff bad", "ok"},
    };
    for (const S_Case& item : cases)
    {
        m_directory.writeFile("hold", item.text);
        holds.tick();
        ASSERT_TRUE(holds.held());
        EXPECT_EQ(holds.list().front().source, "file");
        EXPECT_EQ(holds.list().front().reason, item.reason);
    }
    std::filesystem::remove(file);
    holds.tick();
    EXPECT_FALSE(holds.held());
    EXPECT_TRUE(m_seen.back().empty());
}

TEST(SiteHoldRulesTest, SourcesAndReasons)
{
    for (const char* valid : {"a", "ems-1.primary_A", "abcdefghijklmnopqrstuvwxyz012345"})
    {
        EXPECT_TRUE(isValidHoldSource(valid)) << valid;
    }
    for (const char* invalid : {"", "a b", "a/b", "abcdefghijklmnopqrstuvwxyz0123456", "é"})
    {
        EXPECT_FALSE(isValidHoldSource(invalid)) << invalid;
    }
    EXPECT_TRUE(isValidHoldReason(""));
    std::string twoHundred;
    for (int index = 0; index < 200; ++index)
    {
        twoHundred += "\xC3\xA9";
    }
    EXPECT_TRUE(isValidHoldReason(twoHundred));
    EXPECT_FALSE(isValidHoldReason(twoHundred + "x"));
    EXPECT_FALSE(isValidHoldReason("bad \xff"));
}

}  // namespace
}  // namespace ota::backend
