#pragma once

#include "device/communication_node_status.h"
#include "firmware/firmware_file_info.h"
#include "firmware/upgrade_task_snapshot.h"
#include "scenario/scene_topology.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ota::backend
{

// Why a preview or a content check refused, where the caller acts on the kind rather than the text.
enum class E_PreviewRefusalKind
{
    NONE,
    REQUEST,        // the request itself (shape, identifiers, files, bindings)
    TARGET_DEVICE,  // a target's device as it is now: not in the topology, not connected, not ready, ...
    FILE_CHANGED,   // a file's SHA-256 is not the expected one
};

struct S_PreviewRefusal
{
    E_PreviewRefusalKind kind = E_PreviewRefusalKind::NONE;
    std::size_t targetIndex = 0;  // TARGET_DEVICE: the index in the request's targets
};

// What a preview must find again in files digested earlier (a retry of a finished task, a
// rollout's group): the SHA-256 of each file by its slot, as 64 lowercase hexadecimal characters.
struct S_ExpectedFileDigests
{
    std::map<std::string, std::string> sha256BySlot;
    std::string changedFileMessage;  // the refusal, followed by the file's canonical path
};

// The upgrade task service: firmware inspection, and the upgrade preview that freezes the
// immutable task snapshot a start executes. Inspection and preview share the state mutex and the
// chunk size; the preview lives in its own source file.
class CUpgradeTaskService
{
public:
    // Wall-clock Unix milliseconds; upgrade numbers and snapshot creation times come from it.
    using UnixMsClock = std::function<std::int64_t()>;

    CUpgradeTaskService() = default;
    // A service on another clock, so that tests can place previews in the same or a chosen second.
    explicit CUpgradeTaskService(UnixMsClock clock);
    CUpgradeTaskService(const CUpgradeTaskService&) = delete;
    CUpgradeTaskService& operator=(const CUpgradeTaskService&) = delete;

    // 1..32768 bytes; any other value leaves the chunk size unchanged.
    bool setChunkSize(std::uint16_t chunkSize, std::string& error);
    std::uint16_t chunkSize() const;

    // The keys that vouch for firmware files (set once at start-up; empty: signatures are not
    // checked and the answers carry no signature member).
    void setFirmwareTrust(std::shared_ptr<const CFirmwareTrust> trust);
    std::shared_ptr<const CFirmwareTrust> firmwareTrust() const;

    // POST /api/v1/firmware/inspect: checks and digests the request's files and returns the
    // report as JSON text. Stores nothing. On false only the error is set.
    bool inspectFirmware(const std::string& requestJson, std::string& responseJson, std::string& error) const;

    // POST /api/v1/upgrades/preview: checks every target against the topology and the devices'
    // last reported status, digests the files again, allocates an upgrade number and makes the new
    // snapshot the current one. Previews run one at a time. On false only the error is set and the
    // current snapshot is unchanged.
    // With expected digests, a file digested to anything else refuses the preview (FILE_CHANGED).
    bool previewUpgrade(const std::string& requestJson, std::uint64_t sceneGeneration,
                        std::shared_ptr<const scenario::S_SceneTopology> topology,
                        const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                        std::string& responseJson, std::string& error,
                        const S_ExpectedFileDigests* expectedDigests = nullptr,
                        S_PreviewRefusal* refusal = nullptr);

    // Every check a preview makes of targets and files (each file digested), with the preview's
    // messages and index paths, without allocating a number or touching the current snapshot: the
    // content is what a preview of them would freeze now.
    bool checkTaskContent(const nlohmann::json& targets, const nlohmann::json& files,
                          const scenario::S_SceneTopology& topology,
                          const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                          S_UpgradeTaskSnapshot& content, std::string& error) const;

    // For each of the (well-formed) targets, why the preview would refuse its device now; empty
    // when it would not.
    std::vector<std::string> findRefusedTargetDevices(
        const nlohmann::json& targets, const scenario::S_SceneTopology& topology,
        const std::vector<S_CommunicationNodeStatus>& deviceStatuses) const;

    // The snapshot of the last successful preview; empty before the first one.
    UpgradeTaskSnapshotPtr currentSnapshot() const;

    // Makes every later upgrade number greater than this one (the highest one stored in the
    // history at start-up): the clock alone would hand out a stored number again after a restart
    // within the second of the last preview, after a burst of previews ran ahead of the clock, or
    // after the clock stepped back. Never lowers what was already allocated.
    void reserveUpgradeNumbersThrough(std::uint32_t upgradeNo);

private:
    // Validates the request and fills everything but the upgrade number.
    bool buildPreviewSnapshot(const std::string& requestJson, std::uint64_t sceneGeneration,
                              const std::shared_ptr<const scenario::S_SceneTopology>& topology,
                              const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                              const S_ExpectedFileDigests* expectedDigests, S_UpgradeTaskSnapshot& snapshot,
                              S_PreviewRefusal& refusal, std::string& error) const;
    // Targets and files of a task: creation time, files, targets.
    bool buildTaskContent(const nlohmann::json& targets, const nlohmann::json& files,
                          const scenario::S_SceneTopology& topology,
                          const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                          const S_ExpectedFileDigests* expectedDigests, S_UpgradeTaskSnapshot& snapshot,
                          S_PreviewRefusal& refusal, std::string& error) const;

    // Seconds-based, strictly increasing within the process; wraps to 1. Needs the state mutex.
    std::uint32_t allocateUpgradeNoLocked();

    std::int64_t nowUnixMs() const;

    // Serialises previews, from the first request check to the published snapshot.
    std::mutex m_previewMutex;

    // Guards the chunk size, the firmware trust, the current snapshot and the last upgrade number. Held only
    // briefly; never while files are read.
    mutable std::mutex m_stateMutex;
    std::uint16_t m_chunkSize = kDefaultChunkSize;
    std::shared_ptr<const CFirmwareTrust> m_firmwareTrust;
    UpgradeTaskSnapshotPtr m_currentSnapshot;
    std::uint32_t m_lastUpgradeNo = 0;

    // Set once at construction; empty means the system clock.
    const UnixMsClock m_clock;
};

}  // namespace ota::backend
