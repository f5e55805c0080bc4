#include "app/history_database_path.h"

namespace ota::backend
{

std::filesystem::path historyDatabasePath(const std::filesystem::path& topologyPath,
                                          const std::filesystem::path& configPath)
{
    const std::filesystem::path& anchor = topologyPath.empty() ? configPath : topologyPath;
    return anchor.parent_path() / "upgrade-history.db";
}

}  // namespace ota::backend
