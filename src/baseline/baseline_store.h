#pragma once

#include "baseline/baseline_types.h"
#include "history/sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// The baselines in their own two tables of the history database file (never the history's),
// made with the first baseline so that a site without one keeps its file as it was.
//
// Threads: no lock; the owner serialises every call.
class CBaselineStore
{
public:
    bool open(const std::filesystem::path& databasePath, std::string& error);
    void close();
    bool isOpen() const { return m_connection.isOpen(); }

    // Stores a new baseline under the next number (document.baselineNo is set); durable once true.
    bool insert(S_BaselineDocument& document, std::string& error);
    // The newest baseline, none when there is none; false when it cannot be read.
    bool latest(std::optional<S_BaselineDocument>& document, std::string& error);
    bool find(std::uint32_t baselineNo, std::optional<S_BaselineDocument>& document, std::string& error);
    // Newest first, those numbered below before (0: from the newest), at most limit; nextBefore is
    // the number to pass for the next page, 0 when there is none.
    std::optional<std::vector<S_BaselineListEntry>> list(std::uint32_t limit, std::int64_t before,
                                                         std::int64_t& nextBefore, std::string& error);

private:
    bool readComponents(S_BaselineDocument& document, std::string& error);
    bool readOne(const char* sql, std::int64_t parameter, std::optional<S_BaselineDocument>& document,
                 std::string& error);

    CSqliteConnection m_connection;
    bool m_tablesReady = false;
};

}  // namespace ota::backend
