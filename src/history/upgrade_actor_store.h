#pragma once

#include "history/sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace ota::backend
{

// Who previewed, approved, started and aborted each upgrade task (the latest of each), in a table
// of its own in the history database file keyed by upgrade number: the upgrade history's table,
// schema and version stay untouched. Rows of tasks the history no longer holds are dropped by
// prune(). One mutex serialises every operation and use of the connection.
enum class E_UpgradeActorRole : std::uint8_t
{
    PREVIEWED,
    APPROVED,
    STARTED,
    ABORTED,
};

struct S_UpgradeActors
{
    std::string previewedBy;
    std::string approvedBy;
    std::string startedBy;
    std::string abortedBy;

    bool operator==(const S_UpgradeActors&) const = default;
};

class CUpgradeActorStore
{
public:
    CUpgradeActorStore() = default;
    ~CUpgradeActorStore();
    CUpgradeActorStore(const CUpgradeActorStore&) = delete;
    CUpgradeActorStore& operator=(const CUpgradeActorStore&) = delete;

    // Creates the table when it is missing; the file itself is created when absent.
    bool open(const std::filesystem::path& databasePath, std::string& error);
    void close();

    // Sets one actor of the task; a new preview of the same number starts it afresh.
    bool note(std::uint32_t upgradeNo, E_UpgradeActorRole role, const std::string& name, std::string& error);
    // Every task's actors by upgrade number.
    bool readAll(std::map<std::uint32_t, S_UpgradeActors>& actors, std::string& error);
    // Drops the rows of tasks the upgrade history no longer holds (cleared or past retention).
    bool prune(std::string& error);

private:
    std::mutex m_mutex;
    CSqliteConnection m_connection;
};

}  // namespace ota::backend
