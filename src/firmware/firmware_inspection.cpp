#include "firmware/firmware_inspection.h"

#include "firmware/firmware_file_read.h"
#include "firmware/firmware_slot_table.h"
#include "firmware/firmware_trust.h"
#include "firmware/request_fields.h"

#include <set>

namespace ota::backend
{

namespace
{

constexpr std::size_t kMaxSlotKeyBytes = 32;
constexpr std::size_t kMaxFilePathBytes = 4096;
constexpr std::size_t kVersionFieldWidth = 32;
constexpr std::size_t kMaxFileNameBytes = 63;
constexpr std::uint64_t kMaxChunks = 65535;
constexpr std::uint64_t kMaxFileSize = 4294967295ULL;

bool checkChunkSize(std::uint16_t chunkSize, std::string& error)
{
    if (chunkSize == 0 || chunkSize > kMaxChunkSize)
    {
        error = "Chunk size must be between 1 and " + std::to_string(kMaxChunkSize);
        return false;
    }
    return true;
}

}  // namespace

namespace
{

// The inspection's wording of a read fault; empty when there is none.
std::string describeReadFault(E_FirmwareReadFault fault, const std::string& shown)
{
    switch (fault)
    {
        case E_FirmwareReadFault::NONE:
            return {};
        case E_FirmwareReadFault::CANNOT_OPEN:
            return "Cannot open firmware file for reading: " + shown;
        case E_FirmwareReadFault::READ_FAILED:
            return "Cannot finish reading firmware file: " + shown;
        case E_FirmwareReadFault::SIZE_CHANGED:
        case E_FirmwareReadFault::LENGTH_MISMATCH:
            break;
    }
    return "Firmware file changed while being inspected: " + shown;
}

}  // namespace

bool computeFileSha256(const std::filesystem::path& path, std::uint32_t expectedSize,
                       std::array<std::uint8_t, 32>& digest, std::string& error)
{
    const S_FirmwareFileRead read = readFirmwareFile(path, expectedSize);
    error = describeReadFault(read.fault, path.string());
    if (!error.empty())
    {
        return false;
    }
    digest = read.sha256;
    return true;
}

bool inspectFirmwareFile(const nlohmann::json& entry, std::size_t index, std::uint16_t chunkSize,
                         S_FirmwareFileInfo& result, std::string& error, const CFirmwareTrust* trust)
{
    result = S_FirmwareFileInfo{};
    if (!checkChunkSize(chunkSize, error))
    {
        return false;
    }
    const std::string label = "files[" + std::to_string(index) + "]";
    std::string slotKey;
    std::string pathText;
    std::string targetVersion;
    if (!validateExactFields(entry, label, {"fileSlotKey", "filePath", "targetVersion"}, error) ||
        !readRequiredString(entry, label, "fileSlotKey", kMaxSlotKeyBytes, slotKey, error) ||
        !readRequiredString(entry, label, "filePath", kMaxFilePathBytes, pathText, error) ||
        !readVersionString(entry, label, "targetVersion", kVersionFieldWidth, targetVersion, error))
    {
        return false;
    }
    // The operating system would silently cut the path at the first NUL and inspect another file.
    if (pathText.find('\0') != std::string::npos)
    {
        error = label + ".filePath must not contain NUL bytes";
        return false;
    }
    if (!findFileSlot(slotKey).has_value())
    {
        error = label + ".fileSlotKey is not supported: " + slotKey;
        return false;
    }

    const std::filesystem::path givenPath(pathText);
    std::error_code fileError;
    const std::filesystem::file_status status = std::filesystem::status(givenPath, fileError);
    if (status.type() == std::filesystem::file_type::not_found)
    {
        error = "Firmware file does not exist: " + pathText;
        return false;
    }
    if (fileError)
    {
        error = "Cannot read firmware file status: " + pathText + ": " + fileError.message();
        return false;
    }
    if (status.type() != std::filesystem::file_type::regular)
    {
        error = "Firmware path is not a regular file: " + pathText;
        return false;
    }
    const std::filesystem::path absolutePath = std::filesystem::absolute(givenPath, fileError);
    if (fileError)
    {
        error = "Cannot make firmware file path absolute";
        return false;
    }
    const std::filesystem::path canonicalPath = std::filesystem::canonical(absolutePath, fileError);
    if (fileError)
    {
        error = "Cannot normalize firmware file path";
        return false;
    }
    const std::string shown = canonicalPath.string();

    const std::uintmax_t size = std::filesystem::file_size(canonicalPath, fileError);
    if (fileError)
    {
        error = "Cannot read firmware file size: " + shown;
        return false;
    }
    if (size == 0)
    {
        error = "Firmware file must not be empty: " + shown;
        return false;
    }
    if (size > kMaxFileSize)
    {
        error = "Firmware file exceeds protocol uint32 size limit: " + shown;
        return false;
    }
    const std::string fileName = canonicalPath.filename().string();
    if (fileName.empty() || fileName.size() > kMaxFileNameBytes)
    {
        error = "Firmware file name length must be between 1 and " + std::to_string(kMaxFileNameBytes) +
                " bytes: " + fileName;
        return false;
    }
    const std::uint64_t totalChunks = (size + chunkSize - 1) / chunkSize;
    if (totalChunks > kMaxChunks)
    {
        error = "Firmware file chunk count exceeds protocol uint16 limit: " + shown;
        return false;
    }

    S_FirmwareFileInfo info;
    info.fileNo = static_cast<std::uint8_t>(index + 1);
    info.fileSlotKey = slotKey;
    info.filePath = canonicalPath;
    info.fileName = fileName;
    info.targetVersion = targetVersion;
    info.fileSize = static_cast<std::uint32_t>(size);
    info.chunkSize = chunkSize;
    info.totalChunks = static_cast<std::uint16_t>(totalChunks);
    const S_FirmwareFileRead read = readFirmwareFile(canonicalPath, info.fileSize, trust);
    error = describeReadFault(read.fault, shown);
    if (!error.empty())
    {
        return false;
    }
    info.sha256 = read.sha256;
    if (trust != nullptr)
    {
        if (std::optional<std::string> refusal =
                firmwareSignatureRefusal(read.signature, trust->required(), shown))
        {
            error = std::move(*refusal);
            return false;
        }
        info.signature = S_FirmwareSignatureCheck{read.signature == E_FirmwareSignatureVerdict::VERIFIED,
                                                  read.keyFingerprint};
    }
    const std::uintmax_t sizeAfter = std::filesystem::file_size(canonicalPath, fileError);
    if (fileError || sizeAfter != size)
    {
        error = "Firmware file changed while being inspected: " + shown;
        return false;
    }
    result = std::move(info);
    return true;
}

bool inspectFirmwareFiles(const nlohmann::json& files, std::uint16_t chunkSize,
                          std::vector<S_FirmwareFileInfo>& result, std::string& error,
                          const CFirmwareTrust* trust)
{
    result.clear();
    if (!files.is_array() || files.empty())
    {
        error = "files must be a non-empty JSON array";
        return false;
    }
    if (files.size() > kMaxFirmwareFiles)
    {
        error = "files count exceeds protocol limit " + std::to_string(kMaxFirmwareFiles);
        return false;
    }
    std::set<std::string> usedSlots;
    for (std::size_t index = 0; index < files.size(); ++index)
    {
        S_FirmwareFileInfo info;
        if (!inspectFirmwareFile(files[index], index, chunkSize, info, error, trust))
        {
            result.clear();
            return false;
        }
        if (!usedSlots.insert(info.fileSlotKey).second)
        {
            error = "Duplicate fileSlotKey: " + info.fileSlotKey;
            result.clear();
            return false;
        }
        result.push_back(std::move(info));
    }
    return true;
}

}  // namespace ota::backend
