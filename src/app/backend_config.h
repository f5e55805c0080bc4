#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// "firmwareSignature": the keys that vouch for firmware files (read at start-up).
struct S_FirmwareSignatureConfig
{
    bool required = false;
    std::vector<std::filesystem::path> publicKeyFiles;  // absolute, normalised; 1..16
};

// "apiAccess": the operator access token's file (read at start-up).
struct S_ApiAccessConfig
{
    std::filesystem::path tokenFile;  // absolute, normalised
};

// "firmwareStore": where the firmware that tasks send is kept, and how much of it may be kept.
struct S_FirmwareStoreConfig
{
    std::filesystem::path
        directory;  // absolute, normalised; empty = "firmware-store" beside the history database
    std::uint64_t maxBytes = 8ULL << 30;
};

// "approvals": what needs a second person's approval before it changes the site.
struct S_ApprovalsConfig
{
    bool rollouts = false;  // a created rollout awaits approval before it can start
    bool starts = false;    // a previewed task awaits approval before it can start
};

// The validated configuration; read-only after start-up.
struct S_BackendConfig
{
    std::string httpHost;
    std::uint16_t httpPort = 0;
    std::filesystem::path topologyFile;  // absolute, normalised; empty = no topology file configured
    bool deviceTcpEnabled = true;
    std::uint16_t deviceConcurrency = 0;
    std::uint32_t connectTimeoutMs = 0;
    std::uint32_t reconnectIntervalMs = 5000;
    std::uint32_t ackTimeoutMs = 0;
    std::uint32_t stageTimeoutMs = 0;
    std::uint32_t flashTimeoutMs = 0;
    std::uint32_t restartTimeoutMs = 0;
    std::uint16_t chunkSize = 0;
    std::uint16_t historyRetentionDays = 90;
    // The periodic inventory's interval (every device's status queried while no task runs); 0 = off.
    std::uint32_t inventoryIntervalSeconds = 0;
    std::filesystem::path configPath;  // the file that was read, absolute and normalised
    // Optional; without them firmware is not signature-checked and the API needs no token.
    std::optional<S_FirmwareSignatureConfig> firmwareSignature;
    std::optional<S_ApiAccessConfig> apiAccess;
    // Always in force; the defaults without the key.
    S_FirmwareStoreConfig firmwareStore;
    // Optional: while this file exists the site is held (absolute, normalised).
    std::optional<std::filesystem::path> siteHoldFile;
    // Optional: approvals, and the names of who acted in the documents.
    std::optional<S_ApprovalsConfig> approvals;
};

inline constexpr std::uintmax_t kMaxConfigFileBytes = 1048576;

// Loads and strictly validates a configuration file. The record is written only when every check
// passed, so a failed load leaves the previous values in place.
bool loadBackendConfig(const std::filesystem::path& configPath, S_BackendConfig& config, std::string& error);
// The same checks on a configuration's text; configPath is where it was read from (relative paths
// in the text resolve against its folder). Reads no file.
bool parseBackendConfigText(const std::string& text, const std::filesystem::path& configPath,
                            S_BackendConfig& config, std::string& error);

bool readConfigFile(const std::filesystem::path& path, std::string& text, std::string& error);
bool validateConfigRoot(const nlohmann::json& root, std::string& error);
bool readConfigString(const nlohmann::json& object, const std::string& key, std::size_t maximumBytes,
                      std::string& value, std::string& error);
bool readConfigInteger(const nlohmann::json& object, const std::string& key, std::uint64_t minimum,
                       std::uint64_t maximum, std::uint64_t& value, std::string& error);

}  // namespace ota::backend
