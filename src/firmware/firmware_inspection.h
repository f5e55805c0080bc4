#pragma once

#include "firmware/firmware_file_info.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ota::backend
{

inline constexpr std::size_t kMaxFirmwareFiles = 32;
inline constexpr std::uint16_t kMaxChunkSize = 32768;

// Checks the request's files array (1..32 entries, each slot used once) and inspects every file
// in order; stops at the first failure and then leaves the output empty.
bool inspectFirmwareFiles(const nlohmann::json& files, std::uint16_t chunkSize, std::vector<S_FirmwareFileInfo>& result,
                          std::string& error);

// One entry at 0-based index: its members, the slot, the file itself and its SHA-256 digest.
bool inspectFirmwareFile(const nlohmann::json& entry, std::size_t index, std::uint16_t chunkSize,
                         S_FirmwareFileInfo& result, std::string& error);

// One streaming pass in 64 KiB blocks; the byte count must equal expectedSize.
bool computeFileSha256(const std::filesystem::path& path, std::uint32_t expectedSize,
                       std::array<std::uint8_t, 32>& digest, std::string& error);

}  // namespace ota::backend
