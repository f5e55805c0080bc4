#include "app/firmware_store_staging.h"

#include <set>
#include <utility>

namespace ota::backend
{

namespace
{

class CFirmwareStoreCopy : public IFirmwareStagingCopy
{
public:
    explicit CFirmwareStoreCopy(std::unique_ptr<CFirmwareAdmission> admission)
        : m_admission(std::move(admission))
    {
    }

    void append(const std::uint8_t* data, std::size_t size) override { m_admission->append(data, size); }

    std::optional<std::filesystem::path> commit(const std::array<std::uint8_t, 32>& sha256,
                                                std::string& error) override
    {
        const std::optional<S_FirmwareStoreEntry> entry = m_admission->finish(error);
        if (!entry)
        {
            return std::nullopt;
        }
        // The store hashed the bytes itself; a caller whose own digest differs read other bytes.
        if (entry->sha256 != sha256)
        {
            error = "Firmware store holds other bytes than the ones checked: " + entry->path.string();
            return std::nullopt;
        }
        return entry->path;
    }

private:
    std::unique_ptr<CFirmwareAdmission> m_admission;
};

}  // namespace

std::unique_ptr<IFirmwareStagingCopy> CFirmwareStoreStaging::beginCopy(
    const std::string& fileName, const std::array<std::uint8_t, 32>& sha256, std::string& error)
{
    // Bytes already stored under this digest are not written again: the read only hashes them.
    std::unique_ptr<CFirmwareAdmission> admission = m_store.beginAdmission(fileName, sha256, error);
    if (!admission)
    {
        return nullptr;
    }
    return std::make_unique<CFirmwareStoreCopy>(std::move(admission));
}

FirmwareNeededDigests neededFirmwareDigests(const CUpgradeTaskService& taskService,
                                            const CRolloutService& rollouts,
                                            const CBaselineService& baselines, CFirmwareStore& store)
{
    return [&taskService, &rollouts, &baselines, &store]
    {
        std::vector<FirmwareDigest> digests = rollouts.unfinishedRolloutFileDigests();
        if (const std::optional<S_BaselineDocument> baseline = baselines.current())
        {
            std::set<std::pair<std::string, std::string>> labels;
            for (const S_BaselineComponent& component : baseline->components)
            {
                labels.emplace(component.componentTypeId, component.version);
            }
            for (const auto& [componentTypeId, version] : labels)
            {
                std::string error;
                if (const auto entry =
                        store.findLabelled(S_FirmwareStoreLabel{componentTypeId, version}, error))
                {
                    digests.push_back(entry->sha256);
                }
            }
        }
        if (const UpgradeTaskSnapshotPtr snapshot = taskService.currentSnapshot())
        {
            for (const S_FirmwareFileInfo& file : snapshot->files)
            {
                digests.push_back(file.sha256);
            }
        }
        return digests;
    };
}

}  // namespace ota::backend
