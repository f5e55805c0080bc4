#include "app/firmware_store_routes.h"

#include "common/console_log.h"
#include "common/digest.h"

namespace ota::backend
{

nlohmann::json firmwareStoreEntryJson(const S_FirmwareStoreEntry& entry)
{
    nlohmann::json labels = nlohmann::json::array();
    for (const S_FirmwareStoreLabel& label : entry.labels)
    {
        labels.push_back({{"componentTypeId", label.componentTypeId}, {"version", label.version}});
    }
    // As an inspection reports it: absent judgement is null, the store keeps no key fingerprint.
    nlohmann::json signature = nullptr;
    if (entry.signature != E_FirmwareStoreSignature::NOT_CHECKED)
    {
        signature = {{"verified", entry.signature == E_FirmwareStoreSignature::VERIFIED}};
    }
    return {{"sha256", toLowerHex(entry.sha256)},
            {"size", entry.size},
            {"name", entry.names.empty() ? std::string() : entry.names.front()},
            {"path", entry.path.string()},
            {"signature", std::move(signature)},
            {"names", entry.names},
            {"labels", std::move(labels)},
            {"addedAt", entry.addedAtMs},
            {"lastUsedAt", entry.lastUsedAtMs}};
}

void addFirmwareStoreRoutes(CFirmwareStore& store, S_ApiCallbacks& callbacks)
{
    callbacks.firmwareStoreList =
        [&store](std::uint32_t limit, std::int64_t before, std::string& response, std::string& error)
    {
        std::int64_t nextBefore = 0;
        const auto entries = store.list(limit, before, nextBefore, error);
        if (!entries)
        {
            return false;
        }
        nlohmann::json list = nlohmann::json::array();
        for (const S_FirmwareStoreEntry& entry : *entries)
        {
            list.push_back(firmwareStoreEntryJson(entry));
        }
        response = nlohmann::json{{"entries", std::move(list)}, {"nextBefore", nextBefore}}.dump();
        return true;
    };
    callbacks.firmwareStoreDelete = [&store](const std::string& sha256, std::string& response,
                                             std::string& error, E_RouteRefusal& refusal)
    {
        const std::optional<FirmwareDigest> digest = parseFirmwareDigest(sha256);
        if (!digest)
        {
            refusal = E_RouteRefusal::NOT_FOUND;
            error = "Firmware is not stored: " + sha256;
            return false;
        }
        switch (store.remove(*digest, error))
        {
            case E_FirmwareStoreRemoval::REMOVED:
                consoleOut("[FIRMWARE] Removed stored firmware " + sha256);
                response = nlohmann::json{{"sha256", sha256}, {"deleted", true}}.dump();
                return true;
            case E_FirmwareStoreRemoval::NOT_STORED:
                refusal = E_RouteRefusal::NOT_FOUND;
                error = "Firmware is not stored: " + sha256;
                return false;
            case E_FirmwareStoreRemoval::NEEDED:
                refusal = E_RouteRefusal::IN_USE;
                error = "Firmware is still needed by a task or an unfinished rollout: " + sha256;
                return false;
            case E_FirmwareStoreRemoval::FAILED:
                break;
        }
        return false;
    };
}

}  // namespace ota::backend
