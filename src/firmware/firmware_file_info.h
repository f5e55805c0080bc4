#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ota::backend
{

inline constexpr std::uint16_t kDefaultChunkSize = 10240;

// The outcome of a file's signature check when the site configured trusted keys.
struct S_FirmwareSignatureCheck
{
    bool verified = false;
    std::string keyFingerprint;  // of the verifying key; empty when not verified
};

// One inspected firmware file, ready to be declared and sent over the ota-v1 file transfer.
struct S_FirmwareFileInfo
{
    std::uint8_t fileNo = 0;
    std::string fileSlotKey;
    std::filesystem::path filePath;  // absolute and canonical
    std::string fileName;            // last component of filePath, 1..63 bytes
    std::string targetVersion;       // 1..31 bytes, no NUL
    std::uint32_t fileSize = 0;
    std::uint16_t chunkSize = kDefaultChunkSize;
    std::uint16_t totalChunks = 0;
    std::array<std::uint8_t, 32> sha256{};
    std::optional<S_FirmwareSignatureCheck> signature;  // only when signatures are configured
};

// The file object of the inspection response and of the task snapshot.
nlohmann::json firmwareFileToJson(const S_FirmwareFileInfo& file);

}  // namespace ota::backend
