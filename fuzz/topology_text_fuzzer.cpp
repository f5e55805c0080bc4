// Fuzz target: a scene topology document's text through the parser and validation. Checks: a
// refused text says why; an accepted one serialises, and the serialised form parses again to a
// topology that serialises to the same text.

#include "scenario/scene_topology_parser.h"
#include "scenario/scene_topology_serializer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ota::scenario;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    S_SceneTopology topology;
    std::string error;
    if (!parseSceneTopologyJson(text, topology, error))
    {
        if (error.empty())
        {
            std::abort();
        }
        return 0;
    }
    nlohmann::json written;
    if (!serializeSceneTopology(topology, written, error))
    {
        std::abort();
    }
    const std::string first = written.dump();
    S_SceneTopology again;
    nlohmann::json rewritten;
    if (!parseSceneTopologyJson(first, again, error) || !serializeSceneTopology(again, rewritten, error) ||
        rewritten.dump() != first)
    {
        std::abort();
    }
    return 0;
}
