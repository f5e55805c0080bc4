#include "app/backend_config.h"

#include "common/json_text.h"
#include "common/platform.h"

#include <array>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

namespace ota::backend
{
namespace
{

// Both lists are in ascending byte order: missing and unknown keys are reported in that order.
constexpr std::array<std::string_view, 9> kRequiredKeys = {
    "ackTimeoutMs", "chunkSize", "connectTimeoutMs", "deviceConcurrency", "flashTimeoutMs",
    "httpHost",     "httpPort",  "restartTimeoutMs", "stageTimeoutMs",
};
constexpr std::array<std::string_view, 11> kOptionalKeys = {
    "apiAccess",
    "approvals",
    "database",
    "deviceTcpEnabled",
    "firmwareSignature",
    "firmwareStore",
    "historyRetentionDays",
    "inventoryIntervalSeconds",
    "reconnectIntervalMs",
    "siteHoldFile",
    "topologyFile",
};
constexpr std::size_t kMaxPathBytes = 4096;
constexpr std::size_t kMaxPublicKeyFiles = 16;
constexpr std::uint64_t kMaxTimeoutMs = 86400000;
constexpr std::uint64_t kMinFirmwareStoreBytes = 64ULL << 20;
constexpr std::uint64_t kMaxFirmwareStoreBytes = 1ULL << 40;

bool isKnownKey(const std::string& key)
{
    for (std::string_view known : kRequiredKeys)
    {
        if (key == known)
        {
            return true;
        }
    }
    for (std::string_view known : kOptionalKeys)
    {
        if (key == known)
        {
            return true;
        }
    }
    return false;
}

bool isPathText(const nlohmann::json& value)
{
    return value.is_string() && !value.get_ref<const std::string&>().empty() &&
           value.get_ref<const std::string&>().size() <= kMaxPathBytes &&
           value.get_ref<const std::string&>().find('\0') == std::string::npos;
}

// firmwareSignature: exactly {"required": <bool>, "publicKeyFiles": [1 to 16 paths]}.
bool validateFirmwareSignature(const nlohmann::json& root, std::string& error)
{
    const auto found = root.find("firmwareSignature");
    if (found == root.end())
    {
        return true;
    }
    const nlohmann::json& section = *found;
    if (!section.is_object() || section.size() != 2 || !section.contains("required") ||
        !section.contains("publicKeyFiles"))
    {
        error = "firmwareSignature must be an object with exactly the members required and publicKeyFiles";
        return false;
    }
    if (!section["required"].is_boolean())
    {
        error = "firmwareSignature.required must be a boolean";
        return false;
    }
    const nlohmann::json& files = section["publicKeyFiles"];
    if (!files.is_array() || files.empty() || files.size() > kMaxPublicKeyFiles)
    {
        error = "firmwareSignature.publicKeyFiles must be an array of 1 to 16 key file paths";
        return false;
    }
    for (std::size_t index = 0; index < files.size(); ++index)
    {
        if (!isPathText(files[index]))
        {
            error = "firmwareSignature.publicKeyFiles[" + std::to_string(index) +
                    "] must be a non-empty string of at most 4096 bytes";
            return false;
        }
    }
    return true;
}

// apiAccess: exactly {"tokenFile": <path>}.
bool validateApiAccess(const nlohmann::json& root, std::string& error)
{
    const auto found = root.find("apiAccess");
    if (found == root.end())
    {
        return true;
    }
    if (!found->is_object() || found->size() != 1 || !found->contains("tokenFile"))
    {
        error = "apiAccess must be an object with exactly the member tokenFile";
        return false;
    }
    if (!isPathText((*found)["tokenFile"]))
    {
        error = "apiAccess.tokenFile must be a non-empty string of at most 4096 bytes";
        return false;
    }
    return true;
}

// approvals: {"rollouts": <bool>, "starts": <bool>}, both members optional.
bool validateApprovals(const nlohmann::json& root, std::string& error)
{
    const auto found = root.find("approvals");
    if (found == root.end())
    {
        return true;
    }
    if (!found->is_object())
    {
        error = "approvals must be an object with the optional members rollouts and starts";
        return false;
    }
    for (const auto& item : found->items())
    {
        if (item.key() != "rollouts" && item.key() != "starts")
        {
            error = "Unknown configuration field: approvals." + item.key();
            return false;
        }
        if (!item.value().is_boolean())
        {
            error = "approvals." + item.key() + " must be boolean";
            return false;
        }
    }
    return true;
}

// firmwareStore: {"directory": <path>, "maxBytes": <64 MiB..1 TiB>}, both members optional.
bool validateFirmwareStore(const nlohmann::json& root, std::string& error)
{
    const auto found = root.find("firmwareStore");
    if (found == root.end())
    {
        return true;
    }
    if (!found->is_object())
    {
        error = "firmwareStore must be an object with the optional members directory and maxBytes";
        return false;
    }
    for (const auto& item : found->items())
    {
        if (item.key() != "directory" && item.key() != "maxBytes")
        {
            error = "Unknown configuration field: firmwareStore." + item.key();
            return false;
        }
    }
    if (found->contains("directory") && !isPathText((*found)["directory"]))
    {
        error = "firmwareStore.directory must be a non-empty string of at most 4096 bytes";
        return false;
    }
    if (found->contains("maxBytes"))
    {
        const nlohmann::json& maxBytes = (*found)["maxBytes"];
        if (!maxBytes.is_number_unsigned() || maxBytes.get<std::uint64_t>() < kMinFirmwareStoreBytes ||
            maxBytes.get<std::uint64_t>() > kMaxFirmwareStoreBytes)
        {
            error = "firmwareStore.maxBytes must be an integer from " +
                    std::to_string(kMinFirmwareStoreBytes) + " to " + std::to_string(kMaxFirmwareStoreBytes);
            return false;
        }
    }
    return true;
}

}  // namespace

bool readConfigFile(const std::filesystem::path& path, std::string& text, std::string& error)
{
    error.clear();
    text.clear();
    const std::string shown = path.string();
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(path, code);
    if (code || !std::filesystem::is_regular_file(status))
    {
        error = "Configuration file is not a regular file: " + shown;
        if (code)
        {
            error += " (" + code.message() + ")";
        }
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (code)
    {
        error = "Cannot determine configuration file size: " + shown + " (" + code.message() + ")";
        return false;
    }
    if (size < 1 || size > kMaxConfigFileBytes)
    {
        error = "Configuration file size must be between 1 byte and 1 MiB: " + shown;
        return false;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
    {
        error = "Cannot open configuration file: " + shown;
        return false;
    }
    // Read at most one byte past the limit: a file that grew after the size check is still bounded.
    std::string content(static_cast<std::size_t>(kMaxConfigFileBytes) + 1, '\0');
    stream.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (stream.bad())
    {
        error = "Failed while reading configuration file: " + shown;
        return false;
    }
    content.resize(static_cast<std::size_t>(stream.gcount()));
    if (content.empty() || content.size() > kMaxConfigFileBytes)
    {
        error = "Configuration file size must be between 1 byte and 1 MiB: " + shown;
        return false;
    }
    text = std::move(content);
    return true;
}

bool validateConfigRoot(const nlohmann::json& root, std::string& error)
{
    error.clear();
    if (!root.is_object())
    {
        error = "Configuration root must be a JSON object";
        return false;
    }
    for (std::string_view key : kRequiredKeys)
    {
        if (!root.contains(key))
        {
            error = "Missing required configuration field: " + std::string(key);
            return false;
        }
    }
    // nlohmann objects iterate in ascending byte order of the key.
    for (const auto& item : root.items())
    {
        if (!isKnownKey(item.key()))
        {
            error = "Unknown configuration field: " + item.key();
            return false;
        }
    }
    if (root.contains("database") && !root["database"].is_object())
    {
        error = "Optional configuration field must be an object: database";
        return false;
    }
    if (root.contains("topologyFile"))
    {
        const nlohmann::json& topology = root["topologyFile"];
        if (!topology.is_string() || topology.get_ref<const std::string&>().empty() ||
            topology.get_ref<const std::string&>().size() > 4096)
        {
            error =
                "Optional configuration field must be a non-empty string of at most 4096 bytes: topologyFile";
            return false;
        }
    }
    if (root.contains("siteHoldFile") && !isPathText(root["siteHoldFile"]))
    {
        error = "Optional configuration field must be a non-empty string of at most 4096 bytes: siteHoldFile";
        return false;
    }
    if (root.contains("deviceTcpEnabled") && !root["deviceTcpEnabled"].is_boolean())
    {
        error = "Optional configuration field must be boolean: deviceTcpEnabled";
        return false;
    }
    return validateFirmwareSignature(root, error) && validateApiAccess(root, error) &&
           validateFirmwareStore(root, error) && validateApprovals(root, error);
}

bool readConfigString(const nlohmann::json& object, const std::string& key, std::size_t maximumBytes,
                      std::string& value, std::string& error)
{
    error.clear();
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
    {
        error = "Configuration field must be a string: " + key;
        return false;
    }
    const std::string& text = found->get_ref<const std::string&>();
    if (text.empty() || text.size() > maximumBytes)
    {
        error = "Configuration field has invalid length: " + key;
        return false;
    }
    value = text;
    return true;
}

bool readConfigInteger(const nlohmann::json& object, const std::string& key, std::uint64_t minimum,
                       std::uint64_t maximum, std::uint64_t& value, std::string& error)
{
    error.clear();
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer())
    {
        error = "Configuration field must be an integer: " + key;
        return false;
    }
    std::uint64_t number = 0;
    if (found->is_number_unsigned())
    {
        number = found->get<std::uint64_t>();
    }
    else
    {
        const std::int64_t signedNumber = found->get<std::int64_t>();
        if (signedNumber < 0)
        {
            error = "Configuration field cannot be negative: " + key;
            return false;
        }
        number = static_cast<std::uint64_t>(signedNumber);
    }
    if (number < minimum || number > maximum)
    {
        error = "Configuration field is out of range: " + key + " (expected " + std::to_string(minimum) +
                ".." + std::to_string(maximum) + ")";
        return false;
    }
    value = number;
    return true;
}

namespace
{

// The directory of a file path: the path without its last element, trailing separators dropped.
std::filesystem::path directoryOf(const std::filesystem::path& file)
{
    std::string text = file.string();
    while (!text.empty() && (text.back() == '/' || text.back() == '\\'))
    {
        text.pop_back();
    }
    return std::filesystem::path(text).parent_path();
}

bool readFields(const nlohmann::json& root, S_BackendConfig& config, std::string& error)
{
    std::uint64_t value = 0;
    auto readInteger = [&](const char* key, std::uint64_t minimum, std::uint64_t maximum)
    { return readConfigInteger(root, key, minimum, maximum, value, error); };
    if (!readConfigString(root, "httpHost", 64, config.httpHost, error))
    {
        return false;
    }
    if (!readInteger("httpPort", 1, 65535))
    {
        return false;
    }
    config.httpPort = static_cast<std::uint16_t>(value);
    if (!readInteger("deviceConcurrency", 1, 1000))
    {
        return false;
    }
    config.deviceConcurrency = static_cast<std::uint16_t>(value);
    struct S_TimeoutField
    {
        const char* key;
        std::uint32_t S_BackendConfig::*field;
    };
    const S_TimeoutField timeouts[] = {
        {"connectTimeoutMs", &S_BackendConfig::connectTimeoutMs},
        {"ackTimeoutMs", &S_BackendConfig::ackTimeoutMs},
        {"stageTimeoutMs", &S_BackendConfig::stageTimeoutMs},
        {"flashTimeoutMs", &S_BackendConfig::flashTimeoutMs},
        {"restartTimeoutMs", &S_BackendConfig::restartTimeoutMs},
    };
    for (const S_TimeoutField& timeout : timeouts)
    {
        if (!readInteger(timeout.key, 1, kMaxTimeoutMs))
        {
            return false;
        }
        config.*timeout.field = static_cast<std::uint32_t>(value);
    }
    if (root.contains("reconnectIntervalMs"))
    {
        if (!readInteger("reconnectIntervalMs", 100, kMaxTimeoutMs))
        {
            return false;
        }
        config.reconnectIntervalMs = static_cast<std::uint32_t>(value);
    }
    if (root.contains("historyRetentionDays"))
    {
        if (!readInteger("historyRetentionDays", 1, 3650))
        {
            return false;
        }
        config.historyRetentionDays = static_cast<std::uint16_t>(value);
    }
    if (root.contains("inventoryIntervalSeconds"))
    {
        if (!readInteger("inventoryIntervalSeconds", 0, 86400))
        {
            return false;
        }
        if (value != 0 && value < 60)
        {
            error = "Configuration field is out of range: inventoryIntervalSeconds (expected 0 or 60..86400)";
            return false;
        }
        config.inventoryIntervalSeconds = static_cast<std::uint32_t>(value);
    }
    if (!readInteger("chunkSize", 1, 32768))
    {
        return false;
    }
    config.chunkSize = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

bool loadBackendConfig(const std::filesystem::path& configPath, S_BackendConfig& config, std::string& error)
{
    error.clear();
    std::string text;
    if (!readConfigFile(configPath, text, error))
    {
        return false;
    }
    return parseBackendConfigText(text, configPath, config, error);
}

bool parseBackendConfigText(const std::string& text, const std::filesystem::path& configPath,
                            S_BackendConfig& config, std::string& error)
{
    error.clear();
    const std::string shown = configPath.string();
    const std::string invalid = "Invalid configuration '" + shown + "': ";
    S_BackendConfig loaded;
    try
    {
        nlohmann::json root;
        std::string parseError;
        if (!parseJsonText(text, root, parseError))
        {
            error = "Invalid JSON configuration '" + shown + "': " + parseError;
            return false;
        }
        if (!validateConfigRoot(root, error) || !readFields(root, loaded, error))
        {
            error = invalid + error;
            return false;
        }
        if (loaded.httpHost != "127.0.0.1" && loaded.httpHost != "::1")
        {
            error = invalid + "httpHost must be a loopback address";
            return false;
        }
        if (root.contains("deviceTcpEnabled"))
        {
            loaded.deviceTcpEnabled = root["deviceTcpEnabled"].get<bool>();
        }
        std::string resolveError;
        if (!makeAbsoluteNormalizedPath(configPath, loaded.configPath, resolveError))
        {
            error = "Cannot resolve configuration path '" + shown + "': " + resolveError;
            return false;
        }
        // Relative paths in the file are relative to the file's own directory.
        const auto resolve = [&loaded](const std::string& text)
        {
            std::filesystem::path path(text);
            if (!path.is_absolute())
            {
                path = directoryOf(loaded.configPath) / path;
            }
            return path.lexically_normal();
        };
        if (root.contains("topologyFile"))
        {
            loaded.topologyFile = resolve(root["topologyFile"].get<std::string>());
        }
        if (root.contains("siteHoldFile"))
        {
            loaded.siteHoldFile = resolve(root["siteHoldFile"].get<std::string>());
        }
        if (root.contains("firmwareSignature"))
        {
            const nlohmann::json& section = root["firmwareSignature"];
            S_FirmwareSignatureConfig signature;
            signature.required = section["required"].get<bool>();
            for (const nlohmann::json& file : section["publicKeyFiles"])
            {
                signature.publicKeyFiles.push_back(resolve(file.get<std::string>()));
            }
            loaded.firmwareSignature = std::move(signature);
        }
        if (root.contains("apiAccess"))
        {
            loaded.apiAccess = S_ApiAccessConfig{resolve(root["apiAccess"]["tokenFile"].get<std::string>())};
        }
        if (root.contains("approvals"))
        {
            const nlohmann::json& section = root["approvals"];
            loaded.approvals =
                S_ApprovalsConfig{section.value("rollouts", false), section.value("starts", false)};
        }
        if (root.contains("firmwareStore"))
        {
            const nlohmann::json& section = root["firmwareStore"];
            if (section.contains("directory"))
            {
                loaded.firmwareStore.directory = resolve(section["directory"].get<std::string>());
            }
            if (section.contains("maxBytes"))
            {
                loaded.firmwareStore.maxBytes = section["maxBytes"].get<std::uint64_t>();
            }
        }
    }
    catch (const nlohmann::json::exception& exception)
    {
        error = "Invalid JSON configuration '" + shown + "': " + exception.what();
        return false;
    }
    catch (const std::exception& exception)
    {
        error = "Failed to load configuration '" + shown + "': " + exception.what();
        return false;
    }
    config = std::move(loaded);
    return true;
}

}  // namespace ota::backend
