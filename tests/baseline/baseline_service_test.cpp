#include "baseline/baseline_service.h"
#include "history/sqlite_connection.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace ota::backend
{
namespace
{

S_CommunicationNodeStatus reported(const std::string& nodeId,
                                   std::vector<S_CommunicationComponentStatus> components)
{
    S_CommunicationNodeStatus status;
    status.nodeId = nodeId;
    status.connectionState = E_DeviceConnectionState::CONNECTED;
    status.statusReportCount = 1;
    status.components = std::move(components);
    return status;
}

S_CommunicationNodeStatus unreported(const std::string& nodeId)
{
    S_CommunicationNodeStatus status;
    status.nodeId = nodeId;  // never connected
    return status;
}

class BaselineServiceTest : public ::testing::Test
{
protected:
    std::filesystem::path databasePath() const { return m_directory / "upgrade-history.db"; }

    E_BaselineCreation create(CBaselineService& service, const S_BaselineRequest& request,
                              S_BaselineDocument& created, std::vector<std::string>& missing,
                              std::string& error)
    {
        return service.create(request, m_statuses, created, missing, error);
    }

    ota::test::CTempDirectory m_directory;
    std::vector<S_CommunicationNodeStatus> m_statuses = {
        reported("emu-1", {{"EMU", 1, "1.0"}}),
        reported("pcs-1", {{"PCS_DSP1", 1, "2.0"}, {"PCS_ARM", 1, "2.1"}}),
        unreported("bms-1"),
    };
};

TEST_F(BaselineServiceTest, RequestsAreCheckedAgainstTheSite)
{
    CBaselineService service([] { return 5000; });
    std::string error;
    ASSERT_TRUE(service.open(databasePath(), error)) << error;
    struct S_Case
    {
        const char* name;
        S_BaselineRequest request;
        E_BaselineCreation result;
        std::size_t components;
    };
    const S_Case cases[] = {
        {"site with a device missing",
         {E_BaselineSource::SITE, {}, 0, false, ""},
         E_BaselineCreation::REJECTED,
         0},
        {"site, missing allowed",
         {E_BaselineSource::SITE, {}, 0, true, "first"},
         E_BaselineCreation::CREATED,
         3},
        {"unknown node",
         {E_BaselineSource::COMPONENTS, {{"x", "EMU", 1, "1"}}, 0, false, ""},
         E_BaselineCreation::REJECTED,
         0},
        {"unknown type",
         {E_BaselineSource::COMPONENTS, {{"emu-1", "WIND", 1, "1"}}, 0, false, ""},
         E_BaselineCreation::REJECTED,
         0},
        {"empty version",
         {E_BaselineSource::COMPONENTS, {{"emu-1", "EMU", 1, ""}}, 0, false, ""},
         E_BaselineCreation::REJECTED,
         0},
        {"twice",
         {E_BaselineSource::COMPONENTS, {{"emu-1", "EMU", 1, "1"}, {"emu-1", "emu", 1, "2"}}, 0, false, ""},
         E_BaselineCreation::REJECTED,
         0},
        {"none", {E_BaselineSource::COMPONENTS, {}, 0, false, ""}, E_BaselineCreation::REJECTED, 0},
        {"list",
         {E_BaselineSource::COMPONENTS, {{"bms-1", "bms_bcu", 2, "9"}}, 0, false, ""},
         E_BaselineCreation::CREATED,
         1},
        {"unknown number", {E_BaselineSource::REINSTATE, {}, 9, false, ""}, E_BaselineCreation::REJECTED, 0},
        {"reinstate", {E_BaselineSource::REINSTATE, {}, 1, false, "again"}, E_BaselineCreation::CREATED, 3},
    };
    std::uint32_t expectedNo = 1;
    for (const S_Case& c : cases)
    {
        S_BaselineDocument created;
        std::vector<std::string> missing;
        EXPECT_EQ(create(service, c.request, created, missing, error), c.result) << c.name;
        if (c.result != E_BaselineCreation::CREATED)
        {
            EXPECT_FALSE(error.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(created.baselineNo, expectedNo++) << c.name;
        EXPECT_EQ(created.components.size(), c.components) << c.name;
        EXPECT_EQ(created.createdAt, 5000) << c.name;
        // bms-1 is the one device without a report, wherever the baseline names it.
        const bool namesBms =
            std::any_of(created.components.begin(), created.components.end(),
                        [](const S_BaselineComponent& component) { return component.nodeId == "bms-1"; });
        EXPECT_EQ(missing,
                  (namesBms || c.request.source == E_BaselineSource::SITE ? std::vector<std::string>{"bms-1"}
                                                                          : std::vector<std::string>{}))
            << c.name;
    }
    ASSERT_TRUE(service.current().has_value());
    EXPECT_EQ(service.current()->note, "again");
    EXPECT_EQ(service.current()->components[1], (S_BaselineComponent{"pcs-1", "PCS_DSP1", 1, "2.0"}));
    EXPECT_EQ(service.report()->summary, (S_BaselineSummary{3, 0, 0, 0}));
}

TEST_F(BaselineServiceTest, BaselinesSurviveAReopenBesideTheHistoryAndPage)
{
    std::string error;
    {
        CBaselineService service;
        ASSERT_TRUE(service.open(databasePath(), error)) << error;
        EXPECT_FALSE(service.current().has_value());
        EXPECT_FALSE(service.report().has_value());
        for (const char* version : {"1", "2", "3"})
        {
            S_BaselineDocument created;
            std::vector<std::string> missing;
            ASSERT_EQ(
                create(service, {E_BaselineSource::COMPONENTS, {{"emu-1", "EMU", 1, version}}, 0, false, ""},
                       created, missing, error),
                E_BaselineCreation::CREATED)
                << error;
        }
    }
    CBaselineService service;
    ASSERT_TRUE(service.open(databasePath(), error)) << error;
    ASSERT_TRUE(service.current().has_value());
    EXPECT_EQ(service.current()->baselineNo, 3u);
    EXPECT_EQ(service.current()->components[0].version, "3");
    // Before any report the components are missing.
    EXPECT_EQ(service.report()->summary, (S_BaselineSummary{0, 0, 1, 0}));
    const std::optional<S_BaselineDrift> drift = service.observe(m_statuses);
    ASSERT_TRUE(drift.has_value());
    EXPECT_EQ(drift->summary, (S_BaselineSummary{0, 1, 0, 2}));

    std::int64_t nextBefore = 0;
    auto page = service.list(2, 0, nextBefore, error);
    ASSERT_TRUE(page.has_value()) << error;
    ASSERT_EQ(page->size(), 2u);
    EXPECT_EQ((*page)[0].baselineNo, 3u);
    EXPECT_EQ((*page)[1].componentCount, 1u);
    EXPECT_EQ(nextBefore, 2);
    page = service.list(2, nextBefore, nextBefore, error);
    ASSERT_TRUE(page.has_value()) << error;
    ASSERT_EQ(page->size(), 1u);
    EXPECT_EQ((*page)[0].baselineNo, 1u);
    EXPECT_EQ(nextBefore, 0);

    CSqliteConnection connection;
    ASSERT_TRUE(connection.open(databasePath().string(), "test", 5000, error)) << error;
    CSqliteCachedStatement tables = connection.statement(
        "SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE type='table' ORDER BY name);",
        error);
    ASSERT_TRUE(tables && tables->step() == SQLITE_ROW) << error;
    EXPECT_EQ(tables->columnText(0), "baseline,baseline_component");
}

}  // namespace
}  // namespace ota::backend
