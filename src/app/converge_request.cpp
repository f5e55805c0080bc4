#include "app/converge_request.h"

#include "app/rollout_request.h"
#include "firmware/firmware_slot_table.h"

#include <nlohmann/json.hpp>

#include <map>
#include <set>

namespace ota::backend
{

bool buildConvergeRequest(const std::string& requestJson, const S_BaselineReport& report,
                          const StoredFirmwareLookup& storedFile, std::string& rolloutJson,
                          std::string& error)
{
    error.clear();
    nlohmann::json request = nlohmann::json::parse(requestJson, nullptr, false);
    if (!request.is_object())
    {
        rolloutJson = requestJson;
        return true;
    }
    for (const char* member : {"targets", "files"})
    {
        if (request.contains(member))
        {
            error =
                std::string("request.") + member + " is not accepted: converge chooses the targets and files";
            return false;
        }
    }
    // The identifier and the policy are refused before the baseline is looked at.
    {
        nlohmann::json shape = request;
        shape["targets"] = nlohmann::json::array();
        shape["files"] = nlohmann::json::array();
        S_RolloutRequest checked;
        if (!readRolloutRequest(shape.dump(), checked, error))
        {
            return false;
        }
    }

    // Each drifted component goes back to its baseline version. A task sends one file per
    // component type, so one type wanted at two versions at once cannot be converged in one go.
    std::map<std::string, std::set<std::string>> versionsByType;
    std::vector<const S_BaselineReportRow*> drifted;
    for (const S_BaselineReportRow& row : report.components)
    {
        if (row.drifted() && row.expected && row.reported)
        {
            drifted.push_back(&row);
            versionsByType[row.componentTypeId].insert(*row.expected);
        }
    }
    if (drifted.empty())
    {
        error = "Nothing to converge: every component matches the baseline";
        return false;
    }
    for (const auto& [type, versions] : versionsByType)
    {
        if (versions.size() > 1)
        {
            error = "The baseline wants " + type + " at " + *versions.begin() + " and " + *versions.rbegin() +
                    " at once: a rollout sends one file per component type";
            return false;
        }
    }

    nlohmann::json files = nlohmann::json::array();
    std::map<std::string, std::string> slotByType;
    std::string missing;
    for (const auto& [type, versions] : versionsByType)
    {
        const std::string& version = *versions.begin();
        const std::optional<S_FirmwareFileSlot> slot = findFileSlotForComponent(type);
        std::string lookupError;
        const std::optional<std::filesystem::path> path =
            slot ? storedFile(S_FirmwareStoreLabel{type, version}, lookupError) : std::nullopt;
        if (!lookupError.empty())
        {
            error = lookupError;
            return false;
        }
        if (!path)
        {
            missing +=
                (missing.empty() ? "" : "; ") + std::string("No stored firmware for ") + type + " " + version;
            continue;
        }
        slotByType.emplace(type, slot->fileSlotKey);
        files.push_back(
            {{"fileSlotKey", slot->fileSlotKey}, {"filePath", path->string()}, {"targetVersion", version}});
    }
    if (!missing.empty())
    {
        error = missing;
        return false;
    }

    // Back to the baseline is authoritative, often older than what runs: every target is forced.
    nlohmann::json targets = nlohmann::json::array();
    for (const S_BaselineReportRow* row : drifted)
    {
        targets.push_back({{"nodeId", row->nodeId},
                           {"componentTypeId", row->componentTypeId},
                           {"componentIndex", row->componentIndex},
                           {"currentVersion", *row->reported},
                           {"fileSlotKey", slotByType.at(row->componentTypeId)},
                           {"force", true}});
    }
    request["targets"] = std::move(targets);
    request["files"] = std::move(files);
    rolloutJson = request.dump();
    return true;
}

}  // namespace ota::backend
