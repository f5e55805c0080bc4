#include "app/firmware_store_routes.h"

#include "common/console_log.h"
#include "common/digest.h"
#include "firmware/firmware_file_read.h"

#include <algorithm>
#include <vector>

namespace ota::backend
{

namespace
{

// What a task's target takes for a component type and a version, so that a label an upload sets
// reads like one a finished task sets.
constexpr std::size_t kMaxLabelComponentTypeIdBytes = 32;
constexpr std::size_t kMaxLabelVersionBytes = 31;

bool isLabelText(const std::string& text, std::size_t maxBytes)
{
    return !text.empty() && text.size() <= maxBytes && text.find('\0') == std::string::npos;
}

nlohmann::json signatureJson(const S_FirmwareStoreEntry& entry, const CFirmwareTrust* trust)
{
    if (trust != nullptr)
    {
        std::string fingerprint;
        const E_FirmwareSignatureVerdict verdict =
            judgeFirmwareSignature(entry.path, entry.sha256, trust, fingerprint);
        return {{"keyFingerprint", fingerprint},
                {"verified", verdict == E_FirmwareSignatureVerdict::VERIFIED}};
    }
    // Without a trust nothing is judged: absent judgement is null, the store keeps no key fingerprint.
    if (entry.signature == E_FirmwareStoreSignature::NOT_CHECKED)
    {
        return nullptr;
    }
    return {{"verified", entry.signature == E_FirmwareStoreSignature::VERIFIED}};
}

// The answer of the upload and of the signature route: where the file is and what it holds.
nlohmann::json storedFileJson(const S_FirmwareStoreEntry& entry, const std::string& name,
                              const CFirmwareTrust* trust)
{
    return {{"sha256", toLowerHex(entry.sha256)},
            {"size", entry.size},
            {"name", name},
            {"path", entry.path.string()},
            {"signature", signatureJson(entry, trust)}};
}

bool uploadQueryFits(const S_FirmwareUploadQuery& query, std::string& error)
{
    if (!isFirmwareStoreName(query.name))
    {
        error = "name must be 1 to " + std::to_string(kMaxFirmwareStoreNameBytes) +
                " bytes of UTF-8, a single file name without '/' or NUL";
        return false;
    }
    if (query.labelled && (!isLabelText(query.componentTypeId, kMaxLabelComponentTypeIdBytes) ||
                           !isLabelText(query.version, kMaxLabelVersionBytes)))
    {
        error = "componentTypeId must be 1 to " + std::to_string(kMaxLabelComponentTypeIdBytes) +
                " bytes and version 1 to " + std::to_string(kMaxLabelVersionBytes) + " bytes, without NUL";
        return false;
    }
    return true;
}

// Streams the body into an admission; nothing is kept unless every byte arrived and was placed.
std::optional<S_FirmwareStoreEntry> admitUpload(CFirmwareStore& store, const S_FirmwareUploadQuery& query,
                                                const RequestBodySource& body, std::string& error,
                                                E_RouteRefusal& refusal)
{
    std::unique_ptr<CFirmwareAdmission> admission = store.beginAdmission(query.name, std::nullopt, error);
    if (!admission)
    {
        return std::nullopt;
    }
    while (true)
    {
        const std::uint8_t* data = nullptr;
        const std::ptrdiff_t count = body(data);
        if (count < 0)
        {
            error = "The firmware upload ended before its last byte: " + query.name;
            return std::nullopt;
        }
        if (count == 0)
        {
            break;
        }
        if (!admission->append(data, static_cast<std::size_t>(count)))
        {
            break;  // finish() words the write failure; the rest of the body is not read
        }
    }
    std::optional<S_FirmwareStoreEntry> entry = admission->finish(error);
    if (!entry && admission->refusal() == E_FirmwareStoreRefusal::FULL)
    {
        refusal = E_RouteRefusal::FULL;
    }
    return entry;
}

}  // namespace

nlohmann::json firmwareStoreEntryJson(const S_FirmwareStoreEntry& entry, const CFirmwareTrust* trust)
{
    nlohmann::json labels = nlohmann::json::array();
    for (const S_FirmwareStoreLabel& label : entry.labels)
    {
        labels.push_back({{"componentTypeId", label.componentTypeId}, {"version", label.version}});
    }
    return {{"sha256", toLowerHex(entry.sha256)},
            {"size", entry.size},
            {"name", entry.names.empty() ? std::string() : entry.names.front()},
            {"path", entry.path.string()},
            {"signature", signatureJson(entry, trust)},
            {"names", entry.names},
            {"labels", std::move(labels)},
            {"addedAt", entry.addedAtMs},
            {"lastUsedAt", entry.lastUsedAtMs}};
}

void addFirmwareStoreRoutes(CFirmwareStore& store, FirmwareTrustSource trustSource, S_ApiCallbacks& callbacks)
{
    callbacks.firmwareStoreList = [&store, trustSource](std::uint32_t limit, std::int64_t before,
                                                        std::string& response, std::string& error)
    {
        std::int64_t nextBefore = 0;
        const auto entries = store.list(limit, before, nextBefore, error);
        if (!entries)
        {
            return false;
        }
        const std::shared_ptr<const CFirmwareTrust> trust = trustSource ? trustSource() : nullptr;
        nlohmann::json list = nlohmann::json::array();
        for (const S_FirmwareStoreEntry& entry : *entries)
        {
            list.push_back(firmwareStoreEntryJson(entry, trust.get()));
        }
        response = nlohmann::json{{"entries", std::move(list)}, {"nextBefore", nextBefore}}.dump();
        return true;
    };
    callbacks.firmwareStoreUploadLimit = std::min(kMaxFirmwareUploadBytes, store.options().maxBytes);
    callbacks.firmwareStoreUpload =
        [&store, trustSource](const S_FirmwareUploadQuery& query, const RequestBodySource& body,
                              std::string& response, std::string& error, E_RouteRefusal& refusal)
    {
        if (!uploadQueryFits(query, error))
        {
            refusal = E_RouteRefusal::INVALID_QUERY;
            return false;
        }
        std::optional<S_FirmwareStoreEntry> entry = admitUpload(store, query, body, error, refusal);
        if (!entry)
        {
            return false;
        }
        if (query.labelled &&
            !store.addLabels(entry->sha256, {{query.componentTypeId, query.version}}, error))
        {
            if (error.empty())
            {
                error = "Firmware is not stored any more: " + toLowerHex(entry->sha256);
            }
            return false;
        }
        consoleOut("[FIRMWARE] Stored uploaded firmware " + toLowerHex(entry->sha256) + " (" +
                   std::to_string(entry->size) + " bytes)");
        const std::shared_ptr<const CFirmwareTrust> trust = trustSource ? trustSource() : nullptr;
        response = storedFileJson(*entry, query.name, trust.get()).dump();
        return true;
    };
    callbacks.firmwareStoreSignature =
        [&store, trustSource](const std::string& sha256, std::string_view signature, std::string& response,
                              std::string& error, E_RouteRefusal& refusal)
    {
        const std::optional<FirmwareDigest> digest = parseFirmwareDigest(sha256);
        std::optional<S_FirmwareStoreEntry> entry;
        if (digest)
        {
            entry = store.keepSignature(*digest, signature, error);
        }
        if (!entry)
        {
            if (error.empty())
            {
                refusal = E_RouteRefusal::NOT_FOUND;
                error = "Firmware is not stored: " + sha256;
            }
            return false;
        }
        const std::shared_ptr<const CFirmwareTrust> trust = trustSource ? trustSource() : nullptr;
        response = storedFileJson(*entry, entry->names.front(), trust.get()).dump();
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
