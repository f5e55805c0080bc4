#pragma once

#include "scenario/scene_topology.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace ota::backend
{

struct S_SiteLayout
{
    unsigned emuCount = 0;
    unsigned pcsCount = 0;
    unsigned bmsCount = 0;
    unsigned bcuCount = 6;               // per BMS: 6 or 12
    std::uint16_t basePort = 19001;      // devices take consecutive ports from here
    std::string address = "127.0.0.1";
    std::uint16_t httpPort = 18080;      // of the written backend configuration
};

inline constexpr unsigned MAX_GENERATED_DEVICES = 10000;

// Container k holds EMU k, PCS k and BMS k (those that exist), so a site of 1 EMU, 4 PCS and 4
// BMS has 4 containers. Device ports are basePort + 0, 1, ... in the order EMU, PCS, BMS.
bool buildSiteTopology(const S_SiteLayout& layout, ota::scenario::S_SceneTopology& topology, std::string& error);

struct S_GeneratedSiteFiles
{
    std::filesystem::path topologyFile;   // <dir>/site.json
    std::filesystem::path configFile;     // <dir>/ota-backend.json (topologyFile "site.json")
    std::filesystem::path scenarioFile;   // <dir>/sim-scenario.json (the BCU count of the BMSs)
};

// Creates the directory when needed and (over)writes the three files.
bool writeSiteFiles(const S_SiteLayout& layout, const std::filesystem::path& directory, S_GeneratedSiteFiles& files,
                    std::string& error);

}  // namespace ota::backend
