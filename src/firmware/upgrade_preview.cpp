#include "common/clock.h"
#include "common/digest.h"
#include "common/json_text.h"
#include "firmware/firmware_inspection.h"
#include "firmware/firmware_slot_table.h"
#include "firmware/request_fields.h"
#include "firmware/upgrade_target_path.h"
#include "firmware/upgrade_task_service.h"
#include "firmware/upgrade_task_snapshot_json.h"
#include "protocol/protocol_enums.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace ota::backend
{

namespace
{

constexpr std::size_t kMaxUpgradeIdBytes = 32;
constexpr std::size_t kMaxNodeIdBytes = 128;
constexpr std::size_t kMaxComponentTypeIdBytes = 32;
constexpr std::size_t kVersionFieldWidth = VERSION_FIELD_WIDTH;  // the wire's version field
constexpr std::size_t kMaxFileSlotKeyBytes = 32;
constexpr std::uint16_t kMinComponentIndex = 1;
constexpr std::uint16_t kMaxComponentIndex = 255;
// The target list of one device carries at most this many entries.
constexpr std::size_t kMaxTargetsPerNode = 32;

bool isUpgradeIdCharacter(char character)
{
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
           (character >= '0' && character <= '9') || character == '_';
}

// A non-negative JSON integer; floats (even 1.0), exponents and negative numbers are refused.
bool readComponentIndex(const nlohmann::json& target, const std::string& label, std::uint16_t& value,
                        std::string& error)
{
    const nlohmann::json& member = target.at("componentIndex");
    std::uint64_t number = 0;
    if (member.is_number_unsigned())
    {
        number = member.get<std::uint64_t>();
    }
    else if (member.is_number_integer() && member.get<std::int64_t>() >= 0)
    {
        number = static_cast<std::uint64_t>(member.get<std::int64_t>());
    }
    else
    {
        error = label + ".componentIndex must be an unsigned integer";
        return false;
    }
    if (number < kMinComponentIndex || number > kMaxComponentIndex)
    {
        error = label + ".componentIndex must be between " + std::to_string(kMinComponentIndex) + " and " +
                std::to_string(kMaxComponentIndex);
        return false;
    }
    value = static_cast<std::uint16_t>(number);
    return true;
}

// The members of one target as the request gave them.
struct S_TargetRequest
{
    std::string nodeId;
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::string currentVersion;
    std::string fileSlotKey;
    bool force = false;
};

bool readTargetRequest(const nlohmann::json& target, const std::string& label, S_TargetRequest& result,
                       std::string& error)
{
    if (!validateExactFields(
            target, label,
            {"nodeId", "componentTypeId", "componentIndex", "currentVersion", "fileSlotKey", "force"}, error))
    {
        return false;
    }
    if (!readRequiredString(target, label, "nodeId", kMaxNodeIdBytes, result.nodeId, error) ||
        !readRequiredString(target, label, "componentTypeId", kMaxComponentTypeIdBytes,
                            result.componentTypeId, error) ||
        !readComponentIndex(target, label, result.componentIndex, error) ||
        !readVersionString(target, label, "currentVersion", kVersionFieldWidth, result.currentVersion,
                           error) ||
        !readRequiredString(target, label, "fileSlotKey", kMaxFileSlotKeyBytes, result.fileSlotKey, error))
    {
        return false;
    }
    const nlohmann::json& force = target.at("force");
    if (!force.is_boolean())
    {
        error = label + ".force must be a boolean";
        return false;
    }
    result.force = force.get<bool>();
    return true;
}

std::string componentText(const S_TargetRequest& request)
{
    return request.nodeId + "/" + request.componentTypeId + "#" + std::to_string(request.componentIndex);
}

// What the device last reported must make this target upgradeable right now.
bool checkDeviceStatus(const S_TargetRequest& request, const S_CommunicationNodeStatus* status,
                       std::string& error)
{
    if (status == nullptr)
    {
        error = "Device TCP status is unavailable for node: " + request.nodeId;
        return false;
    }
    if (status->connectionState != E_DeviceConnectionState::CONNECTED)
    {
        error = "Device is not connected: " + request.nodeId;
        return false;
    }
    // A report from before the current connection describes a device that may have restarted since.
    if (status->lastStatusAt == 0 || status->lastStatusAt < status->lastConnectedAt ||
        status->components.empty())
    {
        error = "Device has not reported component status: " + request.nodeId;
        return false;
    }
    // UPGRADING means the device still holds an upgrade context that no task uses any more (the
    // route refuses previews while a task runs): one left by a task that ended after its target
    // list was accepted, or by a backend that was killed mid-task. Nothing but a new target list
    // clears it, so refusing here would keep the device out of every later upgrade. The new
    // task's target list replaces it; a device that cannot give it up (while flashing) refuses
    // that list, and only that device fails.
    const bool abandonedContext = status->upgradeState == "UPGRADING";
    if ((status->upgradeState != "READY" && !abandonedContext) || status->reasonCode != 0)
    {
        error = "Device is not ready for upgrade: " + request.nodeId + ", state=" + status->upgradeState +
                ", reason=" + status->reasonName;
        return false;
    }
    const S_CommunicationComponentStatus* reported = nullptr;
    for (const S_CommunicationComponentStatus& component : status->components)
    {
        if (component.componentTypeId == request.componentTypeId &&
            component.componentIndex == request.componentIndex)
        {
            reported = &component;
            break;
        }
    }
    if (reported == nullptr)
    {
        error = "Target component was not reported by device: " + componentText(request);
        return false;
    }
    if (reported->version != request.currentVersion)
    {
        error = "Target currentVersion is stale for " + componentText(request) + ": expected " +
                reported->version + ", received " + request.currentVersion;
        return false;
    }
    return true;
}

// Everything the target checks look up, built once per preview.
struct S_TargetContext
{
    scenario::SceneNodeIndex nodesById;
    scenario::SceneNodeTypeIndex nodeTypesById;
    std::unordered_map<std::string_view, const S_CommunicationNodeStatus*> statusByNodeId;
    std::unordered_map<std::string_view, std::size_t> fileBySlotKey;
    std::set<std::tuple<std::string, std::string, std::uint16_t>> identities;
    std::unordered_map<std::string, std::size_t> targetsPerNode;
    std::vector<bool> fileReferenced;
};

// The checks of a target that concern its device as it is now (in the topology, connected,
// ready, reporting the target's component at the expected version): a device refused here may
// pass a moment later, and a rollout leaves it out of its group's task instead of failing.
bool checkTargetDevice(const S_TargetRequest& request, const std::string& label,
                       const S_TargetContext& context, const scenario::S_SceneNode*& sceneNode,
                       std::string& error)
{
    const auto node = context.nodesById.find(request.nodeId);
    if (node == context.nodesById.end())
    {
        error = label + ".nodeId does not exist in the loaded topology: " + request.nodeId;
        return false;
    }
    sceneNode = node->second;
    const auto type = context.nodeTypesById.find(sceneNode->typeId);
    if (type == context.nodeTypesById.end() || !type->second->capabilities.supportsCommunication ||
        !type->second->capabilities.supportsUpgrade || !type->second->capabilities.visibleInUpgrade)
    {
        error = label + ".nodeId is not an upgradeable communication node: " + request.nodeId;
        return false;
    }
    const auto status = context.statusByNodeId.find(request.nodeId);
    return checkDeviceStatus(request, status == context.statusByNodeId.end() ? nullptr : status->second,
                             error);
}

// The lookups of the target checks over the topology and the device statuses.
void indexTopologyAndStatuses(const scenario::S_SceneTopology& topology,
                              const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                              S_TargetContext& context)
{
    context.nodesById = scenario::buildSceneNodeIndex(topology);
    context.nodeTypesById = scenario::buildSceneNodeTypeIndex(topology);
    for (const S_CommunicationNodeStatus& status : deviceStatuses)
    {
        context.statusByNodeId.emplace(status.nodeId, &status);
    }
}

bool buildTarget(const nlohmann::json& entry, std::size_t index, S_TargetContext& context,
                 const std::vector<S_FirmwareFileInfo>& files, S_UpgradeTarget& target, bool& deviceRefused,
                 std::string& error)
{
    const std::string label = "targets[" + std::to_string(index) + "]";
    S_TargetRequest request;
    if (!readTargetRequest(entry, label, request, error))
    {
        return false;
    }
    if (!context.identities.emplace(request.nodeId, request.componentTypeId, request.componentIndex).second)
    {
        error = "Duplicate upgrade target at " + label;
        return false;
    }
    if (++context.targetsPerNode[request.nodeId] > kMaxTargetsPerNode)
    {
        error = "Target count for node '" + request.nodeId + "' exceeds protocol per-device limit " +
                std::to_string(kMaxTargetsPerNode);
        return false;
    }
    const scenario::S_SceneNode* sceneNodePointer = nullptr;
    if (!checkTargetDevice(request, label, context, sceneNodePointer, error))
    {
        deviceRefused = true;
        return false;
    }
    const scenario::S_SceneNode& sceneNode = *sceneNodePointer;
    const auto file = context.fileBySlotKey.find(request.fileSlotKey);
    if (file == context.fileBySlotKey.end())
    {
        error = "No firmware file is bound to target fileSlotKey: " + request.fileSlotKey;
        return false;
    }
    const std::optional<S_FirmwareFileSlot> slot = findFileSlot(request.fileSlotKey);
    if (!slot || slot->componentTypeId != request.componentTypeId ||
        (slot->componentIndex != 0 && slot->componentIndex != request.componentIndex))
    {
        error = "Target component identity is incompatible with fileSlotKey at " + label;
        return false;
    }
    if (!buildTargetPath(sceneNode, context.nodesById, context.nodeTypesById, target.nodePath, error))
    {
        return false;
    }
    const S_FirmwareFileInfo& boundFile = files[file->second];
    target.nodeId = sceneNode.id;
    target.nodeName = sceneNode.name;
    target.nodeTypeId = sceneNode.typeId;
    target.protocolNodeType = sceneNode.protocolNodeType;
    target.address = sceneNode.address;
    target.port = sceneNode.port;
    target.componentTypeId = request.componentTypeId;
    target.componentIndex = request.componentIndex;
    target.currentVersion = request.currentVersion;
    target.targetVersion = boundFile.targetVersion;
    target.force = request.force;
    target.fileNo = boundFile.fileNo;
    target.fileSlotKey = boundFile.fileSlotKey;
    context.fileReferenced[file->second] = true;
    return true;
}

}  // namespace

CUpgradeTaskService::CUpgradeTaskService(UnixMsClock clock) : m_clock(std::move(clock)) {}

std::int64_t CUpgradeTaskService::nowUnixMs() const
{
    return m_clock ? m_clock() : currentUnixMs();
}

UpgradeTaskSnapshotPtr CUpgradeTaskService::currentSnapshot() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_currentSnapshot;
}

void CUpgradeTaskService::reserveUpgradeNumbersThrough(std::uint32_t upgradeNo)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_lastUpgradeNo = std::max(m_lastUpgradeNo, upgradeNo);
}

std::uint32_t CUpgradeTaskService::allocateUpgradeNoLocked()
{
    const std::int64_t nowMs = nowUnixMs();
    // Whole seconds (rounded down), then the low 32 bits.
    const std::int64_t seconds = nowMs / 1000 - (nowMs % 1000 < 0 ? 1 : 0);
    std::uint32_t candidate = static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds));
    if (candidate == 0)
    {
        candidate = 1;
    }
    if (m_lastUpgradeNo >= candidate)
    {
        candidate = m_lastUpgradeNo == std::numeric_limits<std::uint32_t>::max() ? 1 : m_lastUpgradeNo + 1;
    }
    m_lastUpgradeNo = candidate;
    return candidate;
}

bool CUpgradeTaskService::buildPreviewSnapshot(
    const std::string& requestJson, std::uint64_t sceneGeneration,
    const std::shared_ptr<const scenario::S_SceneTopology>& topology,
    const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
    const S_ExpectedFileDigests* expectedDigests, S_UpgradeTaskSnapshot& snapshot, S_PreviewRefusal& refusal,
    std::string& error) const
{
    refusal.kind = E_PreviewRefusalKind::REQUEST;
    nlohmann::json request;
    if (!parseRequestObject(requestJson, request, error))
    {
        return false;
    }
    if (!validateExactFields(request, "request", {"upgradeId", "targets", "files"}, error))
    {
        return false;
    }
    if (!topology)
    {
        error = "Upgrade preview requires a loaded topology";
        return false;
    }
    std::string upgradeId;
    if (!readRequiredString(request, "request", "upgradeId", kMaxUpgradeIdBytes, upgradeId, error))
    {
        return false;
    }
    for (const char character : upgradeId)
    {
        if (!isUpgradeIdCharacter(character))
        {
            error = "request.upgradeId must contain only ASCII letters, digits and underscore";
            return false;
        }
    }
    snapshot.upgradeId = upgradeId;
    snapshot.sceneGeneration = sceneGeneration;
    return buildTaskContent(request.at("targets"), request.at("files"), *topology, deviceStatuses,
                            expectedDigests, snapshot, refusal, error);
}

bool CUpgradeTaskService::buildTaskContent(const nlohmann::json& targets, const nlohmann::json& files,
                                           const scenario::S_SceneTopology& topology,
                                           const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                                           const S_ExpectedFileDigests* expectedDigests,
                                           S_UpgradeTaskSnapshot& snapshot, S_PreviewRefusal& refusal,
                                           std::string& error) const
{
    refusal.kind = E_PreviewRefusalKind::REQUEST;
    if (!targets.is_array() || targets.empty())
    {
        error = "targets must be a non-empty JSON array";
        return false;
    }

    const std::uint16_t usedChunkSize = chunkSize();
    snapshot.createdAt = nowUnixMs();
    snapshot.firmwareTrust = firmwareTrust();
    if (!inspectFirmwareFiles(files, usedChunkSize, snapshot.files, error, snapshot.firmwareTrust.get()))
    {
        return false;
    }
    if (expectedDigests != nullptr)
    {
        for (const S_FirmwareFileInfo& file : snapshot.files)
        {
            const auto expected = expectedDigests->sha256BySlot.find(file.fileSlotKey);
            if (expected != expectedDigests->sha256BySlot.end() &&
                expected->second != toLowerHex(file.sha256))
            {
                refusal.kind = E_PreviewRefusalKind::FILE_CHANGED;
                error = expectedDigests->changedFileMessage + file.filePath.string();
                return false;
            }
        }
    }

    S_TargetContext context;
    indexTopologyAndStatuses(topology, deviceStatuses, context);
    for (std::size_t i = 0; i < snapshot.files.size(); ++i)
    {
        context.fileBySlotKey.emplace(snapshot.files[i].fileSlotKey, i);
    }
    context.fileReferenced.assign(snapshot.files.size(), false);

    snapshot.targets.reserve(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i)
    {
        S_UpgradeTarget target;
        bool deviceRefused = false;
        if (!buildTarget(targets[i], i, context, snapshot.files, target, deviceRefused, error))
        {
            if (deviceRefused)
            {
                refusal.kind = E_PreviewRefusalKind::TARGET_DEVICE;
                refusal.targetIndex = i;
            }
            return false;
        }
        snapshot.targets.push_back(std::move(target));
    }
    for (std::size_t i = 0; i < snapshot.files.size(); ++i)
    {
        if (!context.fileReferenced[i])
        {
            error = "Firmware file is not referenced by any upgrade target: " + snapshot.files[i].fileSlotKey;
            return false;
        }
    }
    refusal = S_PreviewRefusal{};
    return true;
}

bool CUpgradeTaskService::checkTaskContent(const nlohmann::json& targets, const nlohmann::json& files,
                                           const scenario::S_SceneTopology& topology,
                                           const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                                           S_UpgradeTaskSnapshot& content, std::string& error) const
{
    error.clear();
    content = S_UpgradeTaskSnapshot{};
    S_PreviewRefusal refusal;
    try
    {
        if (buildTaskContent(targets, files, topology, deviceStatuses, nullptr, content, refusal, error))
        {
            return true;
        }
    }
    catch (const std::exception& exception)
    {
        error = std::string("Upgrade task check failed: ") + exception.what();
    }
    content = S_UpgradeTaskSnapshot{};
    return false;
}

std::vector<std::string> CUpgradeTaskService::findRefusedTargetDevices(
    const nlohmann::json& targets, const scenario::S_SceneTopology& topology,
    const std::vector<S_CommunicationNodeStatus>& deviceStatuses) const
{
    S_TargetContext context;
    indexTopologyAndStatuses(topology, deviceStatuses, context);
    std::vector<std::string> refusals;
    for (std::size_t i = 0; i < targets.size(); ++i)
    {
        const std::string label = "targets[" + std::to_string(i) + "]";
        S_TargetRequest request;
        std::string error;
        const scenario::S_SceneNode* node = nullptr;
        if (readTargetRequest(targets[i], label, request, error))
        {
            checkTargetDevice(request, label, context, node, error);
        }
        refusals.push_back(std::move(error));
    }
    return refusals;
}

bool CUpgradeTaskService::previewUpgrade(const std::string& requestJson, std::uint64_t sceneGeneration,
                                         std::shared_ptr<const scenario::S_SceneTopology> topology,
                                         const std::vector<S_CommunicationNodeStatus>& deviceStatuses,
                                         std::string& responseJson, std::string& error,
                                         const S_ExpectedFileDigests* expectedDigests,
                                         S_PreviewRefusal* refusal)
{
    std::lock_guard<std::mutex> previewLock(m_previewMutex);
    responseJson.clear();
    error.clear();
    S_PreviewRefusal unused;
    S_PreviewRefusal& why = refusal != nullptr ? *refusal : unused;
    why = S_PreviewRefusal{E_PreviewRefusalKind::REQUEST, 0};
    try
    {
        auto snapshot = std::make_shared<S_UpgradeTaskSnapshot>();
        if (!buildPreviewSnapshot(requestJson, sceneGeneration, topology, deviceStatuses, expectedDigests,
                                  *snapshot, why, error))
        {
            return false;
        }
        nlohmann::json response = nlohmann::json::object();
        response["status"] = "PREVIEW_READY";
        response["ready"] = true;
        response["operation"] = "UPGRADE_PREVIEW";
        response["snapshot"] = snapshotToJson(*snapshot);
        // Serialise once before a number is taken: after the switch below the response must not fail.
        std::string serializeError;
        if (!tryToJsonText(response, responseJson, serializeError))
        {
            responseJson.clear();
            error = "Cannot serialize upgrade preview JSON: " + serializeError;
            return false;
        }
        {
            std::lock_guard<std::mutex> stateLock(m_stateMutex);
            snapshot->upgradeNo = allocateUpgradeNoLocked();
            m_currentSnapshot = snapshot;
        }
        response["snapshot"]["upgradeNo"] = snapshot->upgradeNo;
        responseJson = toJsonText(response);
        why = S_PreviewRefusal{};
        return true;
    }
    catch (const std::exception& exception)
    {
        responseJson.clear();
        error = std::string("Upgrade preview failed: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
