#include "firmware/firmware_inspection.h"

#include "common/digest.h"
#include "common/file_descriptor.h"
#include "firmware/firmware_slot_table.h"
#include "firmware/request_fields.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

namespace ota::backend
{

namespace
{

constexpr std::size_t kDigestBlockSize = 65536;
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

bool computeFileSha256(const std::filesystem::path& path, std::uint32_t expectedSize,
                       std::array<std::uint8_t, 32>& digest, std::string& error)
{
    const std::string shown = path.string();
    // O_NONBLOCK: a path swapped for a FIFO after the checks must not block the worker on open.
    const CFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status{};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        error = "Cannot open firmware file for reading: " + shown;
        return false;
    }
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<std::uint8_t> buffer(kDigestBlockSize);
    CSha256 sha;
    std::uint64_t total = 0;
    while (true)
    {
        const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            error = "Cannot finish reading firmware file: " + shown;
            return false;
        }
        if (count == 0)
        {
            break;
        }
        sha.update(buffer.data(), static_cast<std::size_t>(count));
        total += static_cast<std::uint64_t>(count);
        if (total > expectedSize)
        {
            break;  // grew while being read: no need to digest the rest
        }
    }
    if (total != expectedSize)
    {
        error = "Firmware file changed while being inspected: " + shown;
        return false;
    }
    digest = sha.finish();
    return true;
}

bool inspectFirmwareFile(const nlohmann::json& entry, std::size_t index, std::uint16_t chunkSize,
                         S_FirmwareFileInfo& result, std::string& error)
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
    if (!computeFileSha256(canonicalPath, info.fileSize, info.sha256, error))
    {
        return false;
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

bool inspectFirmwareFiles(const nlohmann::json& files, std::uint16_t chunkSize, std::vector<S_FirmwareFileInfo>& result,
                          std::string& error)
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
        if (!inspectFirmwareFile(files[index], index, chunkSize, info, error))
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
