#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace ota::backend
{

// One stored rollout: its plan (written once) and its latest state, as JSON text.
struct S_StoredRollout
{
    std::uint32_t rolloutNo = 0;
    std::string planJson;
    std::string stateJson;
};

// The rollouts of the site in the history database file, in their own table beside the upgrade
// history (whose table, schema and version it never touches), over a connection of its own. Rollout
// numbers are never handed out twice, not even after a rollout was deleted. One mutex serialises
// every operation.
class CRolloutStore
{
public:
    CRolloutStore() = default;
    ~CRolloutStore();
    CRolloutStore(const CRolloutStore&) = delete;
    CRolloutStore& operator=(const CRolloutStore&) = delete;

    // Creates the table when it is missing; the file itself is created when absent.
    bool open(const std::filesystem::path& databasePath, std::string& error);
    void close();
    bool isOpen() const;

    // A new rollout; the number is allocated here.
    bool insert(const std::string& rolloutId, const std::string& status, std::int64_t createdAt,
                const std::string& planJson, const std::string& stateJson, std::uint32_t& rolloutNo,
                std::string& error);
    bool update(std::uint32_t rolloutNo, const std::string& status, std::int64_t finishedAt,
                const std::string& stateJson, std::string& error);
    // Every stored rollout, by number.
    bool loadAll(std::vector<S_StoredRollout>& rollouts, std::string& error);
    bool remove(const std::vector<std::uint32_t>& rolloutNos, std::string& error);

private:
    bool requireOpen(std::string& error) const;

    mutable std::mutex m_mutex;
    sqlite3* m_database = nullptr;
};

}  // namespace ota::backend
