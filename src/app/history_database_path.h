#pragma once

#include <filesystem>

namespace ota::backend
{

// The history database file, which also holds the tables of the other stores (firmware store,
// rollouts, site holds, audit trail, accounts): "upgrade-history.db" beside the topology file,
// or beside the configuration file when no topology file is configured. The service and the
// users commands both find it here.
std::filesystem::path historyDatabasePath(const std::filesystem::path& topologyPath,
                                          const std::filesystem::path& configPath);

}  // namespace ota::backend
