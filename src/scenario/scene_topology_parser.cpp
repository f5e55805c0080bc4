#include "scenario/scene_topology_parser.h"

#include "common/json_text.h"
#include "common/json_nesting_limit.h"
#include "common/message_text.h"
#include "scenario/scene_topology_validation.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <utility>
#include <vector>

namespace ota::scenario
{

using backend::maximumJsonNestingDepth;
using backend::toMessageText;
namespace
{

using Json = nlohmann::json;

const std::string kJsonErrorPrefix = "Invalid scene topology JSON: ";

// Reads one topology document; every method stops at the first fault and leaves its message.
class CSceneTopologyReader
{
public:
    explicit CSceneTopologyReader(std::string& error) : m_error(error) {}

    bool readTopology(const Json& root, S_SceneTopology& topology)
    {
        const std::string path = "root";
        if (!requireObject(root, path) ||
            !checkKeySet(root, path, {"schemaVersion", "sceneProfile", "nodes"}))
        {
            return false;
        }
        std::uint64_t schemaVersion = 0;
        if (!readUnsigned(root, path, "schemaVersion", std::numeric_limits<std::uint32_t>::max(),
                          " exceeds uint32 range", schemaVersion))
        {
            return false;
        }
        topology.schemaVersion = static_cast<std::uint32_t>(schemaVersion);
        return readProfile(root.at("sceneProfile"), topology.sceneProfile) &&
               readNodes(root.at("nodes"), topology.nodes);
    }

private:
    bool fail(std::string message)
    {
        m_error = std::move(message);
        return false;
    }

    bool requireObject(const Json& value, const std::string& path)
    {
        return value.is_object() || fail(path + " must be an object");
    }

    bool requireArray(const Json& value, const std::string& path)
    {
        return value.is_array() || fail(path + " must be an array");
    }

    // Missing keys first, then unknown ones, each in ascending byte order.
    bool checkKeySet(const Json& object, const std::string& path,
                     std::initializer_list<std::string_view> keys)
    {
        std::vector<std::string_view> sortedKeys(keys);
        std::sort(sortedKeys.begin(), sortedKeys.end());
        for (const std::string_view key : sortedKeys)
        {
            if (!object.contains(key))
            {
                return fail(path + " is missing required field: " + std::string(key));
            }
        }
        // Object members are stored in ascending byte order of their keys.
        for (const auto& [key, value] : object.items())
        {
            if (!std::binary_search(sortedKeys.begin(), sortedKeys.end(), std::string_view(key)))
            {
                return fail(path + " contains unknown field: " + key);
            }
        }
        return true;
    }

    bool readString(const Json& object, const std::string& path, const char* key, std::string& out)
    {
        const Json& value = object.at(key);
        if (!value.is_string())
        {
            return fail(path + "." + key + " must be a string");
        }
        out = value.get_ref<const std::string&>();
        return true;
    }

    bool readBool(const Json& object, const std::string& path, const char* key, bool& out)
    {
        const Json& value = object.at(key);
        if (!value.is_boolean())
        {
            return fail(path + "." + key + " must be a boolean");
        }
        out = value.get<bool>();
        return true;
    }

    // A non-negative JSON integer; negatives, fractions and numbers beyond 64 bits (which the
    // parser keeps as floating point) are type errors.
    bool readUnsigned(const Json& object, const std::string& path, const char* key, std::uint64_t maximum,
                      const char* rangeMessage, std::uint64_t& out)
    {
        const Json& value = object.at(key);
        if (!value.is_number_unsigned())
        {
            return fail(path + "." + key + " must be an unsigned integer");
        }
        const auto number = value.get<std::uint64_t>();
        if (number > maximum)
        {
            return fail(path + "." + key + rangeMessage);
        }
        out = number;
        return true;
    }

    bool readProfile(const Json& value, S_SceneProfile& profile)
    {
        const std::string path = "sceneProfile";
        if (!requireObject(value, path) || !checkKeySet(value, path, {"id", "displayName", "nodeTypes"}) ||
            !readString(value, path, "id", profile.id) ||
            !readString(value, path, "displayName", profile.displayName))
        {
            return false;
        }
        const Json& nodeTypes = value.at("nodeTypes");
        if (!requireArray(nodeTypes, path + ".nodeTypes"))
        {
            return false;
        }
        profile.nodeTypes.reserve(nodeTypes.size());
        for (std::size_t index = 0; index < nodeTypes.size(); ++index)
        {
            S_SceneNodeType& type = profile.nodeTypes.emplace_back();
            if (!readNodeType(nodeTypes[index], path + ".nodeTypes[" + std::to_string(index) + "]", type))
            {
                return false;
            }
        }
        return true;
    }

    bool readNodeType(const Json& value, const std::string& path, S_SceneNodeType& type)
    {
        std::string roleText;
        if (!requireObject(value, path) ||
            !checkKeySet(value, path, {"id", "displayName", "role", "capabilities"}) ||
            !readString(value, path, "id", type.id) ||
            !readString(value, path, "displayName", type.displayName) ||
            !readString(value, path, "role", roleText))
        {
            return false;
        }
        const std::optional<E_SceneNodeRole> role = sceneNodeRoleFromText(roleText);
        if (!role)
        {
            return fail(path + ".role is unsupported: " + roleText);
        }
        type.role = *role;
        const Json& capabilities = value.at("capabilities");
        const std::string capabilitiesPath = path + ".capabilities";
        S_SceneNodeCapabilities& out = type.capabilities;
        return requireObject(capabilities, capabilitiesPath) &&
               checkKeySet(capabilities, capabilitiesPath,
                           {"supportsCommunication", "supportsRuntimeDiscovery", "supportsUpgrade",
                            "visibleInUpgrade"}) &&
               readBool(capabilities, capabilitiesPath, "supportsCommunication", out.supportsCommunication) &&
               readBool(capabilities, capabilitiesPath, "supportsRuntimeDiscovery",
                        out.supportsRuntimeDiscovery) &&
               readBool(capabilities, capabilitiesPath, "supportsUpgrade", out.supportsUpgrade) &&
               readBool(capabilities, capabilitiesPath, "visibleInUpgrade", out.visibleInUpgrade);
    }

    bool readNodes(const Json& value, std::vector<S_SceneNode>& nodes)
    {
        if (!requireArray(value, "nodes"))
        {
            return false;
        }
        nodes.reserve(value.size());
        for (std::size_t index = 0; index < value.size(); ++index)
        {
            if (!readNode(value[index], "nodes[" + std::to_string(index) + "]", nodes.emplace_back()))
            {
                return false;
            }
        }
        return true;
    }

    bool readNode(const Json& value, const std::string& path, S_SceneNode& node)
    {
        std::uint64_t port = 0;
        if (!requireObject(value, path) ||
            !checkKeySet(value, path,
                         {"id", "parentId", "typeId", "name", "protocolAdapterId", "address", "port",
                          "protocolNodeType"}) ||
            !readString(value, path, "id", node.id) || !readString(value, path, "parentId", node.parentId) ||
            !readString(value, path, "typeId", node.typeId) || !readString(value, path, "name", node.name) ||
            !readString(value, path, "protocolAdapterId", node.protocolAdapterId) ||
            !readString(value, path, "address", node.address) ||
            !readUnsigned(value, path, "port", std::numeric_limits<std::uint16_t>::max(),
                          " exceeds uint16 range", port) ||
            !readString(value, path, "protocolNodeType", node.protocolNodeType))
        {
            return false;
        }
        node.port = static_cast<std::uint16_t>(port);
        return true;
    }

    std::string& m_error;
};

}  // namespace

bool parseSceneTopologyJson(std::string_view jsonText, S_SceneTopology& topology, std::string& error)
{
    error.clear();
    if (maximumJsonNestingDepth(jsonText, kMaximumTopologyJsonDepth) > kMaximumTopologyJsonDepth)
    {
        error = kJsonErrorPrefix + "nesting is deeper than " + std::to_string(kMaximumTopologyJsonDepth) +
                " levels";
        return false;
    }
    Json document;
    std::string parseError;
    if (!backend::parseJsonText(jsonText, document, parseError))
    {
        error = kJsonErrorPrefix + toMessageText(parseError);
        return false;
    }
    S_SceneTopology parsed;
    try
    {
        CSceneTopologyReader reader(error);
        if (!reader.readTopology(document, parsed))
        {
            return false;
        }
    }
    catch (const Json::exception& exception)
    {
        error = kJsonErrorPrefix + toMessageText(exception.what());
        return false;
    }
    if (!validateSceneTopology(parsed, error))
    {
        return false;
    }
    topology = std::move(parsed);
    return true;
}

}  // namespace ota::scenario
