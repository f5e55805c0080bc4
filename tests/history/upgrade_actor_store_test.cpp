// Who acted on each task, in its own table beside the upgrade history: the latest of each role,
// a new preview starting afresh, and the rows of tasks the history dropped pruned.
#include "history/upgrade_actor_store.h"
#include "history/upgrade_history_repository.h"

#include "history_documents.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

TEST(UpgradeActorStoreTest, KeepsTheLatestOfEachRoleUntilTheHistoryDropsTheTask)
{
    test::CTempDirectory directory;
    const std::filesystem::path path = directory / "upgrade-history.db";
    std::string error;
    CUpgradeHistoryRepository repository;
    ASSERT_TRUE(repository.open(path, error)) << error;
    for (const std::uint32_t upgradeNo : {1u, 2u})
    {
        ASSERT_TRUE(repository.upsertTaskSnapshot(
            test::makeSnapshotWrite(upgradeNo, test::taskId(upgradeNo), 1000), error))
            << error;
    }
    CUpgradeActorStore store;
    ASSERT_TRUE(store.open(path, error)) << error;
    const std::tuple<std::uint32_t, E_UpgradeActorRole, const char*> notes[] = {
        {1, E_UpgradeActorRole::APPROVED, "old"},  // before its preview: the preview starts afresh
        {1, E_UpgradeActorRole::PREVIEWED, "alice"}, {1, E_UpgradeActorRole::APPROVED, "bob"},
        {1, E_UpgradeActorRole::STARTED, "carol"},   {1, E_UpgradeActorRole::STARTED, "dave"},
        {2, E_UpgradeActorRole::ABORTED, ""},        {3, E_UpgradeActorRole::STARTED, "erin"},
    };
    for (const auto& [upgradeNo, role, name] : notes)
    {
        ASSERT_TRUE(store.note(upgradeNo, role, name, error)) << error;
    }
    std::map<std::uint32_t, S_UpgradeActors> actors;
    ASSERT_TRUE(store.readAll(actors, error)) << error;
    const std::map<std::uint32_t, S_UpgradeActors> expected = {
        {1, {"alice", "bob", "dave", ""}}, {2, {"", "", "", ""}}, {3, {"", "", "erin", ""}}};
    EXPECT_EQ(actors, expected);

    std::uint32_t deleted = 0;
    ASSERT_TRUE(repository.deleteSelected({2}, deleted, error)) << error;
    ASSERT_TRUE(store.prune(error)) << error;
    ASSERT_TRUE(store.readAll(actors, error)) << error;
    ASSERT_EQ(actors.size(), 1u);
    EXPECT_EQ(actors.count(1), 1u);
}

}  // namespace
}  // namespace ota::backend
