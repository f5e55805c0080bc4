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

class CFirmwareTrust;

inline constexpr std::size_t kMaxFirmwareFiles = 32;
inline constexpr std::uint16_t kMaxChunkSize = 32768;

// Checks the request's files array (1..32 entries, each slot used once) and inspects every file
// in order; stops at the first failure and then leaves the output empty.
// With a trust, every file's signature is checked in the same read (see firmware_trust.h).
bool inspectFirmwareFiles(const nlohmann::json& files, std::uint16_t chunkSize,
                          std::vector<S_FirmwareFileInfo>& result, std::string& error,
                          const CFirmwareTrust* trust = nullptr);

// One entry at 0-based index: its members, the slot, the file itself, its SHA-256 digest and,
// with a trust, its signature.
bool inspectFirmwareFile(const nlohmann::json& entry, std::size_t index, std::uint16_t chunkSize,
                         S_FirmwareFileInfo& result, std::string& error,
                         const CFirmwareTrust* trust = nullptr);

// One streaming pass in 64 KiB blocks; the byte count must equal expectedSize.
bool computeFileSha256(const std::filesystem::path& path, std::uint32_t expectedSize,
                       std::array<std::uint8_t, 32>& digest, std::string& error);

}  // namespace ota::backend
