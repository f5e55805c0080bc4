#pragma once

#include "history/sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// One hold on the site: while any is in place, no upgrade starts.
struct S_SiteHold
{
    std::string source;
    std::string reason;
    std::int64_t placedAt = 0;   // Unix milliseconds
    std::int64_t expiresAt = 0;  // Unix milliseconds; 0 = until released

    bool operator==(const S_SiteHold&) const = default;
};

enum class E_SiteHoldRelease : std::uint8_t
{
    RELEASED,
    NOT_FOUND,  // the source holds nothing
    FAILED,     // the store refused the change; the hold stays
};

// The holds of the site: each source holds at most once. A hold with a ttl is a lease that its
// source renews and that lapses by itself when it is not; one without is kept until released.
// Holds placed through place() are stored in their own table of the history database file and
// survive a restart; the hold file's hold is what the file says, re-read by tick().
//
// Threads: one mutex guards the holds, the connection and the observer; any thread may call any
// operation. The observer runs under that mutex, on the thread whose call changed the holds, so
// changes reach it one at a time and in order; it must not call back into this object.
class CSiteHolds
{
public:
    using Clock = std::function<std::int64_t()>;  // Unix milliseconds
    using Observer = std::function<void(const std::vector<S_SiteHold>& holds)>;

    explicit CSiteHolds(Clock clock = {});
    ~CSiteHolds();
    CSiteHolds(const CSiteHolds&) = delete;
    CSiteHolds& operator=(const CSiteHolds&) = delete;

    // Opens (or creates) the table in the database file and reads the stored holds.
    bool open(const std::filesystem::path& databasePath, std::string& error);
    void close();
    // The file whose existence holds the site (empty: none). Set before the first tick().
    void setHoldFile(std::filesystem::path holdFile);
    // Told of every change with the holds after it.
    void setObserver(Observer observer);

    // Places the source's hold, or renews it (its reason and lease replaced, placedAt kept).
    // ttlSeconds 0: until released. The caller has checked the values (site_hold_rules.h).
    bool place(const std::string& source, const std::string& reason, std::uint32_t ttlSeconds,
               std::string& error);
    E_SiteHoldRelease release(const std::string& source, std::string& error);
    // Lets lapsed leases go and re-reads the hold file; call it at least once a second.
    void tick();

    // Oldest first (by placedAt, then source).
    std::vector<S_SiteHold> list() const;
    bool held() const;

private:
    std::int64_t now() const;
    std::vector<S_SiteHold> listLocked() const;
    // Removes the leases lapsed at `at` (from the store too); true when any went.
    bool lapseLocked(std::int64_t at);
    // Reads the hold file; true when its hold changed.
    bool readHoldFileLocked(std::int64_t at);
    void notifyLocked() const;

    const Clock m_clock;
    mutable std::mutex m_mutex;
    CSqliteConnection m_connection;
    bool m_tableReady = false;        // the table exists in the file
    std::vector<S_SiteHold> m_holds;  // stored, by source
    std::filesystem::path m_holdFile;
    std::optional<S_SiteHold> m_fileHold;
    Observer m_observer;
};

}  // namespace ota::backend
