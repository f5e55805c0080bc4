#include "common/json_text.h"
#include "scenario/scene_workspace.h"
#include "scenario/topology_file_loader.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace
{

using namespace ota::scenario;

nlohmann::json nodeJson(const std::string& id, const std::string& parentId, const std::string& typeId,
                        const std::string& address, std::uint16_t port, const std::string& protocolNodeType)
{
    return {{"id", id},
            {"parentId", parentId},
            {"typeId", typeId},
            {"name", "Node " + id},
            {"protocolAdapterId", port == 0 ? "" : "ota-v1"},
            {"address", address},
            {"port", port},
            {"protocolNodeType", protocolNodeType}};
}

nlohmann::json nodeTypeJson(const std::string& id, bool communication)
{
    return {{"id", id},
            {"displayName", id},
            {"role", communication ? "COMMUNICATION_NODE" : "CONTAINER"},
            {"capabilities",
             {{"supportsCommunication", communication},
              {"supportsRuntimeDiscovery", false},
              {"supportsUpgrade", communication},
              {"visibleInUpgrade", communication}}}};
}

// A site of nodeCount nodes: one root, containers of 100 devices each below it.
std::string siteText(std::size_t nodeCount)
{
    nlohmann::json nodes = nlohmann::json::array({nodeJson("site", "", "container", "", 0, "")});
    std::string container;
    for (std::size_t index = 1; index < nodeCount; ++index)
    {
        if (index % 101 == 1)
        {
            container = "container-" + std::to_string(index);
            nodes.push_back(nodeJson(container, "site", "container", "", 0, ""));
            continue;
        }
        nodes.push_back(
            nodeJson("pcs-" + std::to_string(index), container, "pcs",
                     "10.0." + std::to_string(index / 250) + "." + std::to_string(index % 250 + 1),
                     static_cast<std::uint16_t>(19000 + index % 1000), "PCS"));
    }
    const nlohmann::json document = {
        {"schemaVersion", 2},
        {"sceneProfile",
         {{"id", "bench"},
          {"displayName", "Benchmark site"},
          {"nodeTypes", {nodeTypeJson("container", false), nodeTypeJson("pcs", true)}}}},
        {"nodes", std::move(nodes)}};
    return ota::backend::toJsonText(document);
}

class CTopologyFile
{
public:
    explicit CTopologyFile(std::size_t nodeCount)
        : m_path(std::filesystem::temp_directory_path() /
                 ("ota-topology-bench-" + std::to_string(::getpid()) + ".json"))
    {
        std::ofstream(m_path, std::ios::binary) << siteText(nodeCount);
    }
    ~CTopologyFile() { std::filesystem::remove(m_path); }

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

void BM_LoadTopologyFile(benchmark::State& state)
{
    const CTopologyFile file(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
    {
        S_SceneTopology topology;
        std::string error;
        if (loadTopologyFile(file.path(), topology, error) != E_TopologyLoadResult::LOADED)
        {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(topology);
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(file.path()));
}
BENCHMARK(BM_LoadTopologyFile)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_BuildWorkspaceJson(benchmark::State& state)
{
    const CTopologyFile file(static_cast<std::size_t>(state.range(0)));
    S_SceneTopology topology;
    std::string error;
    if (loadTopologyFile(file.path(), topology, error) != E_TopologyLoadResult::LOADED)
    {
        state.SkipWithError(error.c_str());
        return;
    }
    CSceneWorkspace workspace;
    workspace.replaceTopology(std::move(topology), 0);
    for (auto _ : state)
    {
        std::string response;
        if (!buildWorkspaceJson(workspace.snapshot(), 1, "WORKSPACE_READ", response, error))
        {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(response);
    }
}
BENCHMARK(BM_BuildWorkspaceJson)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
