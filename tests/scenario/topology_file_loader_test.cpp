#include "scenario/topology_file_loader.h"
#include "common/json_text.h"
#include "scenario/topology_fixture.h"
#include "support/temp_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace ota::scenario
{
namespace
{

using test::isValidUtf8;

using ::testing::StartsWith;

struct S_LoadOutcome
{
    E_TopologyLoadResult result;
    std::string error;
};

S_LoadOutcome load(const std::filesystem::path& path)
{
    S_SceneTopology topology;
    topology.schemaVersion = 77;
    std::string error = "stale";
    const E_TopologyLoadResult result = loadTopologyFile(path, topology, error);
    if (result != E_TopologyLoadResult::LOADED)
    {
        EXPECT_EQ(topology.schemaVersion, 77u) << "output written on failure";
    }
    return {result, error};
}

std::string validText()
{
    return backend::toJsonText(test::validTopologyJson());
}

class TopologyFileLoader : public ::testing::Test
{
protected:
    std::string pathText(const std::string& name) const { return (m_directory / name).string(); }

    ota::test::CTempDirectory m_directory;
};

TEST_F(TopologyFileLoader, LoadsAValidFileAndClearsTheError)
{
    S_SceneTopology topology;
    std::string error = "stale";
    EXPECT_EQ(loadTopologyFile(m_directory.writeFile("site.json", validText()), topology, error),
              E_TopologyLoadResult::LOADED);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(topology.directDeviceCount(), 2u);
}

TEST_F(TopologyFileLoader, NoPathOrNoFileIsAbsent)
{
    S_LoadOutcome outcome = load({});
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::ABSENT);
    EXPECT_EQ(outcome.error, "Topology file path is not configured");

    outcome = load(m_directory / "missing.json");
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::ABSENT);
    EXPECT_EQ(outcome.error, "Topology file does not exist: " + pathText("missing.json"));

    outcome = load(m_directory / "no-such-dir" / "site.json");
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::ABSENT);
}

TEST_F(TopologyFileLoader, SomethingOtherThanARegularFileIsInvalid)
{
    std::filesystem::create_directory(m_directory / "folder");
    S_LoadOutcome outcome = load(m_directory / "folder");
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID);
    EXPECT_EQ(outcome.error, "Topology path is not a regular file: " + pathText("folder"));

    // Reading a FIFO would block for ever.
    ASSERT_EQ(::mkfifo(pathText("fifo").c_str(), 0600), 0);
    outcome = load(m_directory / "fifo");
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID);
    EXPECT_EQ(outcome.error, "Topology path is not a regular file: " + pathText("fifo"));

    std::filesystem::create_symlink("loop-b", m_directory / "loop-a");
    std::filesystem::create_symlink("loop-a", m_directory / "loop-b");
    outcome = load(m_directory / "loop-a");
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID);
    EXPECT_THAT(outcome.error, StartsWith("Cannot inspect topology file '" + pathText("loop-a") + "': "));
    EXPECT_GT(outcome.error.size(), ("Cannot inspect topology file '" + pathText("loop-a") + "': ").size());
}

TEST_F(TopologyFileLoader, SizeMustBeBetweenOneByteAnd64MiB)
{
    S_LoadOutcome outcome = load(m_directory.writeFile("empty.json", ""));
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID);
    EXPECT_EQ(outcome.error,
              "Topology file size must be between 1 byte and 64 MiB: " + pathText("empty.json"));

    std::string text = validText();
    text.resize(kMaximumTopologyFileBytes, ' ');
    outcome = load(m_directory.writeFile("largest.json", text));
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::LOADED) << outcome.error;

    text.push_back(' ');
    outcome = load(m_directory.writeFile("too-large.json", text));
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID);
    EXPECT_EQ(outcome.error,
              "Topology file size must be between 1 byte and 64 MiB: " + pathText("too-large.json"));
}

TEST_F(TopologyFileLoader, ByteOrderMarkIsDroppedOnce)
{
    S_SceneTopology plain;
    S_SceneTopology marked;
    std::string error;
    ASSERT_EQ(loadTopologyFile(m_directory.writeFile("plain.json", validText()), plain, error),
              E_TopologyLoadResult::LOADED);
    ASSERT_EQ(
        loadTopologyFile(m_directory.writeFile("marked.json", "\xEF\xBB\xBF" + validText()), marked, error),
        E_TopologyLoadResult::LOADED)
        << error;
    EXPECT_EQ(plain, marked);

    const S_LoadOutcome outcome = load(m_directory.writeFile("mark-only.json", "\xEF\xBB\xBF"));
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID);
    EXPECT_THAT(outcome.error, StartsWith("Topology JSON validation failed for '" +
                                          pathText("mark-only.json") + "': Invalid scene topology JSON: "));
}

TEST_F(TopologyFileLoader, InvalidContentNamesTheFileAndTheFirstFault)
{
    nlohmann::json document = test::validTopologyJson();
    document["schemaVersion"] = 1;
    const S_LoadOutcome outcome = load(m_directory.writeFile("old.json", backend::toJsonText(document)));
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID);
    EXPECT_EQ(outcome.error, "Topology JSON validation failed for '" + pathText("old.json") +
                                 "': Unsupported scene schema version: 1");
}

TEST_F(TopologyFileLoader, HostileFilesGiveOneJsonError)
{
    const std::string valid = validText();
    const std::pair<std::string, std::string> files[] = {
        {"invalid-utf8.json", "{\"schemaVersion\":\"\xC0\xAF\xFF\"}"},
        {"nul.json", valid.substr(0, 20) + std::string(3, '\0') + valid.substr(20)},
        {"nested.json", std::string(kMaximumTopologyFileBytes, '[')},
        {"whitespace.json", std::string(kMaximumTopologyFileBytes, ' ')},
        {"huge-number.json", "{\"schemaVersion\":1" + std::string(400, '0') + "}"},
        {"truncated.json", valid.substr(0, valid.size() - 3)},
        {"binary.json", std::string("\x7F"
                                    "ELF\x02\x01\x01\x00\x00\xFF\xFE",
                                    11)},
    };
    for (const auto& [name, bytes] : files)
    {
        const S_LoadOutcome outcome = load(m_directory.writeFile(name, bytes));
        EXPECT_EQ(outcome.result, E_TopologyLoadResult::INVALID) << name;
        EXPECT_THAT(outcome.error, StartsWith("Topology JSON validation failed for '" + pathText(name) +
                                              "': Invalid scene topology JSON: "))
            << name;
        EXPECT_TRUE(isValidUtf8(outcome.error)) << name << ": " << outcome.error;
    }
}

TEST_F(TopologyFileLoader, PathBytesThatAreNotUtf8AreEscapedInMessages)
{
    const S_LoadOutcome outcome = load(m_directory / "site-\xFF.json");
    EXPECT_EQ(outcome.result, E_TopologyLoadResult::ABSENT);
    EXPECT_EQ(outcome.error,
              "Topology file does not exist: " + m_directory.path().string() + "/site-\\xFF.json");
}

TEST(ExampleTopology, SiteLoadsCleanly)
{
    S_SceneTopology topology;
    std::string error;
    ASSERT_EQ(loadTopologyFile(OTA_SOURCE_DIR "/examples/topology/site.json", topology, error),
              E_TopologyLoadResult::LOADED)
        << error;
    EXPECT_EQ(topology.nodeCount(), 6u);
    EXPECT_EQ(topology.directDeviceCount(), 5u);
    for (const S_SceneNode* device : communicationNodes(topology))
    {
        EXPECT_EQ(device->address, "127.0.0.1");
        EXPECT_EQ(device->protocolAdapterId, "ota-v1");
    }
}

}  // namespace
}  // namespace ota::scenario
