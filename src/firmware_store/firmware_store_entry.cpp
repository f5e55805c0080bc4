#include "firmware_store/firmware_store_entry.h"

#include "common/utf8.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

bool isFirmwareStoreName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxFirmwareStoreNameBytes || name == "." || name == ".." ||
        name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos)
    {
        return false;
    }
    // Kept in a JSON column and shown as text: a name must read back exactly as it was given.
    for (std::size_t at = 0; at < name.size();)
    {
        const std::size_t length = utf8SequenceLength(name.substr(at));
        if (length == 0)
        {
            return false;
        }
        at += length;
    }
    return true;
}

const char* firmwareStoreSignatureText(E_FirmwareStoreSignature signature)
{
    switch (signature)
    {
        case E_FirmwareStoreSignature::VERIFIED:
            return "VERIFIED";
        case E_FirmwareStoreSignature::NOT_VALID:
            return "NOT_VALID";
        case E_FirmwareStoreSignature::NOT_CHECKED:
            break;
    }
    return "NOT_CHECKED";
}

std::optional<E_FirmwareStoreSignature> parseFirmwareStoreSignature(std::string_view text)
{
    for (const E_FirmwareStoreSignature signature :
         {E_FirmwareStoreSignature::NOT_CHECKED, E_FirmwareStoreSignature::VERIFIED,
          E_FirmwareStoreSignature::NOT_VALID})
    {
        if (text == firmwareStoreSignatureText(signature))
        {
            return signature;
        }
    }
    return std::nullopt;
}

std::string firmwareStoreNamesText(const std::vector<std::string>& names)
{
    return nlohmann::json(names).dump();
}

bool parseFirmwareStoreNames(const std::string& text, std::vector<std::string>& names)
{
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_array() || parsed.empty())
    {
        return false;
    }
    names.clear();
    for (const nlohmann::json& name : parsed)
    {
        if (!name.is_string() || !isFirmwareStoreName(name.get_ref<const std::string&>()))
        {
            return false;
        }
        names.push_back(name.get<std::string>());
    }
    return true;
}

std::optional<FirmwareDigest> parseFirmwareDigest(std::string_view text)
{
    FirmwareDigest digest{};
    if (text.size() != digest.size() * 2)
    {
        return std::nullopt;
    }
    const auto nibble = [](char c) -> int
    {
        if (c >= '0' && c <= '9')
        {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f')
        {
            return c - 'a' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i)
    {
        const int high = nibble(text[2 * i]);
        const int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0)
        {
            return std::nullopt;
        }
        digest[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return digest;
}

std::string firmwareStoreLabelsText(const std::vector<S_FirmwareStoreLabel>& labels)
{
    nlohmann::json list = nlohmann::json::array();
    for (const S_FirmwareStoreLabel& label : labels)
    {
        list.push_back({{"componentTypeId", label.componentTypeId}, {"version", label.version}});
    }
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool parseFirmwareStoreLabels(const std::string& text, std::vector<S_FirmwareStoreLabel>& labels)
{
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_array())
    {
        return false;
    }
    labels.clear();
    for (const nlohmann::json& label : parsed)
    {
        if (!label.is_object() || !label.contains("componentTypeId") || !label.contains("version") ||
            !label["componentTypeId"].is_string() || !label["version"].is_string())
        {
            return false;
        }
        labels.push_back({label["componentTypeId"].get<std::string>(), label["version"].get<std::string>()});
    }
    return true;
}

}  // namespace ota::backend
