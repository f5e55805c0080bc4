#include "scenario/scene_topology_parser.h"
#include "common/json_text.h"
#include "scenario/topology_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace ota::scenario
{
namespace
{

using test::isValidUtf8;

using nlohmann::json;
using test::validTopologyJson;

std::string parseError(const std::string& text)
{
    S_SceneTopology topology;
    std::string error;
    EXPECT_FALSE(parseSceneTopologyJson(text, topology, error)) << text.substr(0, 200);
    return error;
}

std::string parseDocumentError(const json& document)
{
    return parseError(backend::toJsonText(document));
}

TEST(SceneTopologyParser, ReadsEveryFieldInFileOrder)
{
    S_SceneTopology topology;
    std::string error = "stale";
    ASSERT_TRUE(parseSceneTopologyJson(backend::toJsonText(validTopologyJson()), topology, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(topology.schemaVersion, 2u);
    EXPECT_EQ(topology.sceneProfile.id, "profile-1");
    EXPECT_EQ(topology.sceneProfile.displayName, "Profile 1");
    ASSERT_EQ(topology.sceneProfile.nodeTypes.size(), 3u);
    const S_SceneNodeType& pcsType = topology.sceneProfile.nodeTypes[1];
    EXPECT_EQ(pcsType.id, "pcs");
    EXPECT_EQ(pcsType.displayName, "pcs type");
    EXPECT_EQ(pcsType.role, E_SceneNodeRole::COMMUNICATION_NODE);
    EXPECT_EQ(pcsType.capabilities, (S_SceneNodeCapabilities{true, false, true, true}));
    EXPECT_EQ(topology.sceneProfile.nodeTypes[2].role, E_SceneNodeRole::DISPLAY_ONLY);
    ASSERT_EQ(topology.nodes.size(), 4u);
    EXPECT_EQ(topology.nodes[1],
              (S_SceneNode{"pcs-1", "site-a", "pcs", "Name pcs-1", "ota-v1", "127.0.0.1", 19001, "PCS"}));
    EXPECT_EQ(topology.nodes[3].id, "label-1");
}

TEST(SceneTopologyParser, LeavesOutputUntouchedOnFailure)
{
    S_SceneTopology topology;
    topology.schemaVersion = 77;
    std::string error;
    json document = validTopologyJson();
    document["nodes"][0]["name"] = "";
    EXPECT_FALSE(parseSceneTopologyJson(backend::toJsonText(document), topology, error));
    EXPECT_EQ(error, "Node id, typeId and name are required");
    EXPECT_EQ(topology.schemaVersion, 77u);
    EXPECT_TRUE(topology.nodes.empty());
}

TEST(SceneTopologyParser, KeySetReportsMissingKeysBeforeUnknownOnesInByteOrder)
{
    EXPECT_EQ(parseError("[]"), "root must be an object");
    EXPECT_EQ(parseError("{}"), "root is missing required field: nodes");
    json document = validTopologyJson();
    document.erase("schemaVersion");
    document.erase("sceneProfile");
    document["aaa"] = 1;
    EXPECT_EQ(parseDocumentError(document), "root is missing required field: sceneProfile");
    document = validTopologyJson();
    document["zeta"] = 1;
    document["Zeta"] = 1;
    document["alpha"] = 1;
    EXPECT_EQ(parseDocumentError(document), "root contains unknown field: Zeta");

    document = validTopologyJson();
    document["nodes"][0].erase("parentId");
    EXPECT_EQ(parseDocumentError(document), "nodes[0] is missing required field: parentId");
    document = validTopologyJson();
    document["nodes"][0]["label"] = "x";
    EXPECT_EQ(parseDocumentError(document), "nodes[0] contains unknown field: label");
    document = validTopologyJson();
    document["sceneProfile"].erase("displayName");
    document["sceneProfile"].erase("id");
    EXPECT_EQ(parseDocumentError(document), "sceneProfile is missing required field: displayName");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"][1].erase("capabilities");
    EXPECT_EQ(parseDocumentError(document),
              "sceneProfile.nodeTypes[1] is missing required field: capabilities");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"][0]["capabilities"].erase("visibleInUpgrade");
    EXPECT_EQ(parseDocumentError(document),
              "sceneProfile.nodeTypes[0].capabilities is missing required field: visibleInUpgrade");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"][0]["capabilities"]["\xC3\xA9t\xC3\xA9"] = true;
    EXPECT_EQ(parseDocumentError(document),
              "sceneProfile.nodeTypes[0].capabilities contains unknown field: \xC3\xA9t\xC3\xA9");
}

TEST(SceneTopologyParser, SchemaVersionMustBeUnsigned32BitInteger)
{
    json document = validTopologyJson();
    document["schemaVersion"] = -1;
    EXPECT_EQ(parseDocumentError(document), "root.schemaVersion must be an unsigned integer");
    document["schemaVersion"] = 2.0;
    EXPECT_EQ(parseDocumentError(document), "root.schemaVersion must be an unsigned integer");
    document["schemaVersion"] = "2";
    EXPECT_EQ(parseDocumentError(document), "root.schemaVersion must be an unsigned integer");
    document["schemaVersion"] = 4294967296ull;
    EXPECT_EQ(parseDocumentError(document), "root.schemaVersion exceeds uint32 range");
    document["schemaVersion"] = 4294967295ull;
    EXPECT_EQ(parseDocumentError(document), "Unsupported scene schema version: 4294967295");
    document["schemaVersion"] = 1;
    EXPECT_EQ(parseDocumentError(document), "Unsupported scene schema version: 1");

    // Beyond 64 bits the number is no longer an integer to the parser.
    std::string text = backend::toJsonText(validTopologyJson());
    text.replace(text.find("\"schemaVersion\":2"), 17, "\"schemaVersion\":123456789012345678901234567890");
    EXPECT_EQ(parseError(text), "root.schemaVersion must be an unsigned integer");
}

TEST(SceneTopologyParser, ProfileAndNodeTypeFieldsHaveTheirTypes)
{
    json document = validTopologyJson();
    document["sceneProfile"] = json::array();
    EXPECT_EQ(parseDocumentError(document), "sceneProfile must be an object");
    document = validTopologyJson();
    document["sceneProfile"]["id"] = 5;
    EXPECT_EQ(parseDocumentError(document), "sceneProfile.id must be a string");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"] = json::object();
    EXPECT_EQ(parseDocumentError(document), "sceneProfile.nodeTypes must be an array");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"][1] = "pcs";
    EXPECT_EQ(parseDocumentError(document), "sceneProfile.nodeTypes[1] must be an object");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"][2]["role"] = "container";
    EXPECT_EQ(parseDocumentError(document), "sceneProfile.nodeTypes[2].role is unsupported: container");
    document["sceneProfile"]["nodeTypes"][2]["role"] = nullptr;
    EXPECT_EQ(parseDocumentError(document), "sceneProfile.nodeTypes[2].role must be a string");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"][0]["capabilities"] = true;
    EXPECT_EQ(parseDocumentError(document), "sceneProfile.nodeTypes[0].capabilities must be an object");
    document = validTopologyJson();
    document["sceneProfile"]["nodeTypes"][0]["capabilities"]["supportsUpgrade"] = 1;
    EXPECT_EQ(parseDocumentError(document),
              "sceneProfile.nodeTypes[0].capabilities.supportsUpgrade must be a boolean");
}

TEST(SceneTopologyParser, NodeFieldsHaveTheirTypes)
{
    json document = validTopologyJson();
    document["nodes"] = json::object();
    EXPECT_EQ(parseDocumentError(document), "nodes must be an array");
    document = validTopologyJson();
    document["nodes"][2] = 5;
    EXPECT_EQ(parseDocumentError(document), "nodes[2] must be an object");
    document = validTopologyJson();
    document["nodes"][1]["address"] = nullptr;
    EXPECT_EQ(parseDocumentError(document), "nodes[1].address must be a string");
    document = validTopologyJson();
    document["nodes"][3]["port"] = 65536;
    EXPECT_EQ(parseDocumentError(document), "nodes[3].port exceeds uint16 range");
    document["nodes"][3]["port"] = -1;
    EXPECT_EQ(parseDocumentError(document), "nodes[3].port must be an unsigned integer");
    document["nodes"][3]["port"] = 1.5;
    EXPECT_EQ(parseDocumentError(document), "nodes[3].port must be an unsigned integer");
    document["nodes"][3]["port"] = "1";
    EXPECT_EQ(parseDocumentError(document), "nodes[3].port must be an unsigned integer");

    // The profile is read completely before the nodes.
    document = validTopologyJson();
    document["nodes"] = 1;
    document["sceneProfile"]["displayName"] = 1;
    EXPECT_EQ(parseDocumentError(document), "sceneProfile.displayName must be a string");
}

TEST(SceneTopologyParser, MalformedTextGivesOnePrefixedJsonError)
{
    const std::string valid = backend::toJsonText(validTopologyJson());
    const std::string nulInside = valid.substr(0, 10) + std::string(1, '\0') + valid.substr(10);
    const std::string invalidUtf8 = "{\"schemaVersion\":2,\"x\":\"\xFF\xC0\x80\"}";
    const std::string cases[] = {"",
                                 std::string(1 << 20, ' '),
                                 valid.substr(0, valid.size() / 2),
                                 "/* comment */" + valid,
                                 valid + " trailing",
                                 nulInside,
                                 valid + std::string(1, '\0'),
                                 invalidUtf8,
                                 "\xFF\xFE{}",
                                 "{\"schemaVersion\":1e999}"};
    for (const std::string& text : cases)
    {
        const std::string error = parseError(text);
        EXPECT_THAT(error, ::testing::StartsWith("Invalid scene topology JSON: ")) << error;
        EXPECT_GT(error.size(), std::string("Invalid scene topology JSON: ").size());
        EXPECT_TRUE(isValidUtf8(error)) << error;
    }
}

TEST(SceneTopologyParser, RefusesDeepNestingBeforeBuildingIt)
{
    const std::string deep(48u << 20, '[');
    EXPECT_EQ(parseError(deep), "Invalid scene topology JSON: nesting is deeper than 64 levels");

    // The root object is the first level; exactly at the limit the document is parsed and reaches
    // the structural checks.
    const std::string valid = backend::toJsonText(validTopologyJson());
    const auto withNestedSchemaVersion = [&valid](std::size_t levels)
    {
        std::string text = valid;
        text.replace(text.find("\"schemaVersion\":2"), 17,
                     "\"schemaVersion\":" + std::string(levels, '[') + "0" + std::string(levels, ']'));
        return text;
    };
    EXPECT_EQ(parseError(withNestedSchemaVersion(63)), "root.schemaVersion must be an unsigned integer");
    EXPECT_EQ(parseError(withNestedSchemaVersion(64)),
              "Invalid scene topology JSON: nesting is deeper than 64 levels");

    // Brackets inside strings (escaped quotes included) are not nesting.
    json document = validTopologyJson();
    document["sceneProfile"]["displayName"] = "\"" + std::string(1000, '[') + "\\";
    S_SceneTopology topology;
    std::string error;
    EXPECT_TRUE(parseSceneTopologyJson(backend::toJsonText(document), topology, error)) << error;
}

}  // namespace
}  // namespace ota::scenario
