#pragma once

#include "firmware/upgrade_task_service.h"
#include "firmware_store/firmware_store.h"
#include "upgrade/upgrade_execution_service.h"

#include <vector>

namespace ota::backend
{

// The labels an ended task earns its files: (component type, target version) for every
// component of a device that ended SUCCESS, keyed by the digest of the file it was sent from.
// Empty unless the state is final and of the snapshot's task.
std::vector<std::pair<FirmwareDigest, S_FirmwareStoreLabel>> firmwareLabelsOfEndedTask(
    const S_UpgradeTaskSnapshot& snapshot, const S_ExecutionState& state);

// The state observer that labels the store entries of an ended task's files after the inner
// observer has seen the state. A label that cannot be written is logged and the state goes on.
// The store and the task service must outlive the observer.
UpgradeStateSnapshotObserver labelFirmwareOfEndedTasks(UpgradeStateSnapshotObserver inner,
                                                       CFirmwareStore& store,
                                                       const CUpgradeTaskService& taskService);

}  // namespace ota::backend
