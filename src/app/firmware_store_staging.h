#pragma once

#include "baseline/baseline_service.h"
#include "firmware/upgrade_task_service.h"
#include "firmware_store/firmware_store.h"
#include "rollout/rollout_service.h"
#include "upgrade/firmware_staging.h"

namespace ota::backend
{

// The engine's staging over the firmware store: a task's files become (or are found as) store
// entries, and their chunks are read from the entries' read-only files. The store must outlive
// the staging, and the staging every task that uses it.
class CFirmwareStoreStaging : public IFirmwareStaging
{
public:
    explicit CFirmwareStoreStaging(CFirmwareStore& store) : m_store(store) {}

    std::unique_ptr<IFirmwareStagingCopy> beginCopy(const std::string& fileName,
                                                    const std::array<std::uint8_t, 32>& sha256,
                                                    std::string& error) override;

private:
    CFirmwareStore& m_store;
};

// The store entries that must outlive an eviction: the files of the last previewed task (the one
// a start runs; only one task runs at a time, and its files are admitted at its start), of the
// unfinished rollouts, and the files a converge to the current baseline would send (the newest
// entry labelled with each of its component types and versions). Every service must outlive the
// callback; the store calls it without its own lock held.
FirmwareNeededDigests neededFirmwareDigests(const CUpgradeTaskService& taskService,
                                            const CRolloutService& rollouts,
                                            const CBaselineService& baselines, CFirmwareStore& store);

}  // namespace ota::backend
