#pragma once

#include "baseline/baseline_store.h"
#include "baseline/baseline_types.h"
#include "baseline/drift_tracker.h"
#include "device/communication_node_status.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ota::backend
{

// Where a new baseline's components come from.
enum class E_BaselineSource : std::uint8_t
{
    SITE,        // every device's reported components now
    COMPONENTS,  // the list given
    REINSTATE,   // the components of an earlier baseline
};

struct S_BaselineRequest
{
    E_BaselineSource source = E_BaselineSource::SITE;
    std::vector<S_BaselineComponent> components;  // COMPONENTS; type identifiers in any letter case
    std::uint32_t baselineNo = 0;                 // REINSTATE
    bool allowMissing = false;                    // SITE: take what is reported, list the rest
    std::string note;                             // checked by the caller (at most 200 characters)
};

enum class E_BaselineCreation : std::uint8_t
{
    CREATED,
    REJECTED,  // the request cannot be taken (error says why)
    FAILED,    // the store failed
};

inline constexpr std::size_t kMaxBaselineNoteCharacters = 200;
inline constexpr std::size_t kMaxBaselineVersionBytes = 64;

// The site's baselines and the drift from the newest: the one source of the report, the drift
// events' changes and the inventory's findings.
//
// Threads: one mutex guards the store and the tracker; any thread may call any operation. The
// store's writes happen under it too: creating a baseline is rare, and the drift computed while
// it is stored would be against the old one anyway.
class CBaselineService
{
public:
    using Clock = std::function<std::int64_t()>;  // Unix milliseconds

    explicit CBaselineService(Clock clock = {});
    CBaselineService(const CBaselineService&) = delete;
    CBaselineService& operator=(const CBaselineService&) = delete;

    // Opens the tables in the database file and takes the newest baseline as the current one.
    bool open(const std::filesystem::path& databasePath, std::string& error);
    void close();

    // statuses: every device of the topology, in its order. missing: the devices the new baseline
    // has no report of (not connected or never reported); for SITE without allowMissing any such
    // device refuses the request.
    E_BaselineCreation create(const S_BaselineRequest& request,
                              const std::vector<S_CommunicationNodeStatus>& statuses,
                              S_BaselineDocument& created, std::vector<std::string>& missing,
                              std::string& error);

    // The current (newest) baseline; none when there is none.
    std::optional<S_BaselineDocument> current() const;
    bool hasBaseline() const;
    std::optional<std::vector<S_BaselineListEntry>> list(std::uint32_t limit, std::int64_t before,
                                                         std::int64_t& nextBefore, std::string& error) const;

    // Takes the devices' statuses (every device of the topology, in its order): only the devices
    // with a new report or a changed connection are recomputed. The drift when any component's
    // state changed; none otherwise, and always none without a baseline.
    std::optional<S_BaselineDrift> observe(const std::vector<S_CommunicationNodeStatus>& statuses);
    // The components a running task targets (empty when none runs).
    std::optional<S_BaselineDrift> setUpgrading(std::set<S_ComponentKey> keys);

    // The current report, none without a baseline. This is the reader other services use.
    std::optional<S_BaselineReport> report() const;
    // The summary, none without a baseline.
    std::optional<S_BaselineSummary> summary() const;

private:
    std::int64_t now() const;
    bool checkComponents(const std::vector<S_BaselineComponent>& given,
                         const std::vector<S_CommunicationNodeStatus>& statuses,
                         std::vector<S_BaselineComponent>& checked, std::string& error) const;
    std::optional<S_BaselineDrift> observeLocked(const std::vector<S_CommunicationNodeStatus>& statuses);

    const Clock m_clock;
    mutable std::mutex m_mutex;
    mutable CBaselineStore m_store;
    std::optional<S_BaselineDocument> m_current;
    CDriftTracker m_tracker;
};

}  // namespace ota::backend
