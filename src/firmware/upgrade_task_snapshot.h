#pragma once

#include "firmware/firmware_file_info.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ota::backend
{

class CFirmwareTrust;

// One node of a target's ancestry as the topology named it when the snapshot was frozen.
struct S_UpgradeTargetPathItem
{
    std::string id;
    std::string name;
    std::string typeId;
    std::string typeName;  // the node type's display name
};

// One device component to upgrade, with everything the execution needs copied out of the
// topology and the bound firmware file.
struct S_UpgradeTarget
{
    std::string nodeId;
    std::string nodeName;
    std::string nodeTypeId;
    std::vector<S_UpgradeTargetPathItem> nodePath;  // root first, ending with the node itself
    std::string protocolNodeType;
    std::string address;
    std::uint16_t port = 0;
    std::string componentTypeId;       // 1..32 bytes
    std::uint16_t componentIndex = 0;  // 1..255
    std::string currentVersion;        // what the device reported at preview time
    std::string targetVersion;         // the bound file's target version
    bool force = false;
    std::uint8_t fileNo = 0;
    std::string fileSlotKey;
};

// The immutable task a preview freezes and a start executes. Built once, then shared as a
// pointer to const: a reader keeps the version it took even after a new preview replaced it.
struct S_UpgradeTaskSnapshot
{
    std::uint32_t upgradeNo = 0;  // never 0 for a real task
    std::string upgradeId;
    std::uint64_t sceneGeneration = 0;
    std::int64_t createdAt = 0;             // Unix milliseconds
    std::vector<S_FirmwareFileInfo> files;  // request order
    std::vector<S_UpgradeTarget> targets;   // request order
    // The keys the files were checked against at preview; the task checks them again against the
    // same keys when it starts. Empty when signatures are not configured.
    std::shared_ptr<const CFirmwareTrust> firmwareTrust;
};

using UpgradeTaskSnapshotPtr = std::shared_ptr<const S_UpgradeTaskSnapshot>;

}  // namespace ota::backend
