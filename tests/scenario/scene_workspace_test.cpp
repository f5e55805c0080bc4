#include "scenario/scene_workspace.h"
#include "common/json_text.h"
#include "scenario/scene_topology_parser.h"
#include "scenario/topology_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace ota::scenario
{
namespace
{

using test::validModel;

TEST(SceneWorkspace, StartsEmptyAndReportsNotConfigured)
{
    const CSceneWorkspace workspace;
    const S_WorkspaceSnapshot snapshot = workspace.snapshot();
    EXPECT_FALSE(snapshot.topologyConfigured());
    EXPECT_EQ(snapshot.nodeCount(), 0u);
    EXPECT_EQ(snapshot.directDeviceCount(), 0u);
    EXPECT_EQ(snapshot.upgradeVisibleNodeCount(), 0u);

    std::string response = "stale";
    std::string error = "stale";
    ASSERT_TRUE(buildWorkspaceJson(snapshot, 0, "WORKSPACE_READ", response, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(response,
              "{\"directDeviceCount\":0,\"loadedAt\":null,\"nodeCount\":0,\"operation\":\"WORKSPACE_READ\","
              "\"ready\":false,\"sceneGeneration\":0,\"status\":\"NOT_CONFIGURED\",\"topology\":null,"
              "\"topologyConfigured\":false,\"upgradeVisibleNodeCount\":0}");
}

TEST(SceneWorkspace, ReportsTheInstalledTopology)
{
    CSceneWorkspace workspace;
    workspace.replaceTopology(validModel(), 1765200000123);
    const S_WorkspaceSnapshot snapshot = workspace.snapshot();
    ASSERT_TRUE(snapshot.topologyConfigured());
    EXPECT_EQ(snapshot.loadedAt, 1765200000123);

    std::string response;
    std::string error;
    ASSERT_TRUE(buildWorkspaceJson(snapshot, 3, "SCENE_RELOAD", response, error)) << error;
    EXPECT_THAT(response,
                ::testing::StartsWith("{\"directDeviceCount\":2,\"loadedAt\":1765200000123,\"nodeCount\":4,"
                                      "\"operation\":\"SCENE_RELOAD\",\"ready\":true,\"sceneGeneration\":3,"
                                      "\"status\":\"READY\",\"topology\":{\"nodes\":["));
    EXPECT_THAT(response, ::testing::EndsWith(",\"topologyConfigured\":true,\"upgradeVisibleNodeCount\":2}"));
    nlohmann::json report;
    ASSERT_TRUE(backend::parseJsonText(response, report, error)) << error;
    EXPECT_EQ(report["topology"], test::validTopologyJson());
}

TEST(SceneWorkspace, ReportFailuresGiveOneMessageAndNoResponse)
{
    S_SceneTopology broken = validModel();
    broken.sceneProfile.nodeTypes.clear();
    const S_WorkspaceSnapshot snapshot{std::make_shared<const S_SceneTopology>(broken), 1};
    std::string response = "stale";
    std::string error;
    EXPECT_FALSE(buildWorkspaceJson(snapshot, 1, "WORKSPACE_READ", response, error));
    EXPECT_EQ(error, "Cannot serialize scene topology: Scene profile contains no node type");
    EXPECT_TRUE(response.empty());

    EXPECT_FALSE(buildWorkspaceJson(S_WorkspaceSnapshot{}, 0, "\xFF", response, error));
    EXPECT_THAT(error, ::testing::StartsWith("Cannot build workspace JSON: "));
    EXPECT_TRUE(response.empty());
}

TEST(SceneWorkspace, SnapshotsKeepTheTopologyTheyTook)
{
    CSceneWorkspace workspace;
    workspace.replaceTopology(validModel(), 10);
    const S_WorkspaceSnapshot before = workspace.snapshot();

    S_SceneTopology next = validModel();
    next.nodes.resize(1);
    auto shared = std::make_shared<const S_SceneTopology>(std::move(next));
    EXPECT_TRUE(workspace.replaceTopology(shared, 20));
    const S_WorkspaceSnapshot after = workspace.snapshot();

    EXPECT_EQ(before.loadedAt, 10);
    EXPECT_EQ(before.nodeCount(), 4u);
    EXPECT_EQ(after.topology, shared);
    EXPECT_EQ(after.loadedAt, 20);
    EXPECT_EQ(after.nodeCount(), 1u);

    // There is no way back to an empty workspace.
    EXPECT_FALSE(workspace.replaceTopology(std::shared_ptr<const S_SceneTopology>{}, 30));
    EXPECT_EQ(workspace.snapshot().topology, shared);
    EXPECT_EQ(workspace.snapshot().loadedAt, 20);
}

TEST(SceneWorkspace, ReadersSeeWholeSnapshotsWhileTheTopologyIsReplaced)
{
    // Each installed topology carries its load time in the profile name, so a reader can tell a
    // torn snapshot (pointer of one installation, time of another).
    CSceneWorkspace workspace;
    const auto topologyLoadedAt = [](std::int64_t loadedAt)
    {
        S_SceneTopology topology = validModel();
        topology.sceneProfile.displayName = std::to_string(loadedAt);
        return topology;
    };
    workspace.replaceTopology(topologyLoadedAt(1), 1);
    std::atomic<bool> writerDone{false};
    std::atomic<int> tornSnapshots{0};
    std::vector<std::thread> readers;
    for (int reader = 0; reader < 3; ++reader)
    {
        readers.emplace_back(
            [&]
            {
                while (!writerDone.load())
                {
                    const S_WorkspaceSnapshot snapshot = workspace.snapshot();
                    if (snapshot.topology->sceneProfile.displayName != std::to_string(snapshot.loadedAt))
                    {
                        ++tornSnapshots;
                    }
                }
            });
    }
    for (std::int64_t loadedAt = 2; loadedAt <= 300; ++loadedAt)
    {
        workspace.replaceTopology(topologyLoadedAt(loadedAt), loadedAt);
    }
    writerDone = true;
    for (std::thread& reader : readers)
    {
        reader.join();
    }
    EXPECT_EQ(tornSnapshots.load(), 0);
    EXPECT_EQ(workspace.snapshot().loadedAt, 300);
}

}  // namespace
}  // namespace ota::scenario
