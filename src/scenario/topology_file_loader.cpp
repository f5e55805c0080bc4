#include "scenario/topology_file_loader.h"

#include "common/file_descriptor.h"
#include "common/message_text.h"
#include "scenario/scene_topology_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace ota::scenario
{

using backend::CFileDescriptor;
using backend::toMessageText;
namespace
{

enum class E_ReadOutcome : std::uint8_t
{
    READ,
    OPEN_FAILED,
    READ_FAILED,
    SIZE_OUT_OF_RANGE,
};

bool isSizeInRange(std::uintmax_t size)
{
    return size >= 1 && size <= kMaximumTopologyFileBytes;
}

// Never blocks on something that turned into a FIFO or device after the status check, and never
// holds more than the limit plus one byte, however much the file grew meanwhile.
E_ReadOutcome readBoundedFile(const std::filesystem::path& path, std::uintmax_t expectedSize,
                              std::string& content)
{
    const CFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file.isOpen())
    {
        return E_ReadOutcome::OPEN_FAILED;
    }
    struct stat status
    {
    };
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        return E_ReadOutcome::OPEN_FAILED;
    }
    content.clear();
    content.reserve(static_cast<std::size_t>(expectedSize));
    std::vector<char> buffer(256u * 1024u);
    while (true)
    {
        const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return E_ReadOutcome::READ_FAILED;
        }
        if (got == 0)
        {
            break;
        }
        if (content.size() + static_cast<std::size_t>(got) > kMaximumTopologyFileBytes)
        {
            return E_ReadOutcome::SIZE_OUT_OF_RANGE;
        }
        content.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return isSizeInRange(content.size()) ? E_ReadOutcome::READ : E_ReadOutcome::SIZE_OUT_OF_RANGE;
}

void dropUtf8ByteOrderMark(std::string& content)
{
    if (content.size() > 2 && content.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        content.erase(0, 3);
    }
}

}  // namespace

E_TopologyLoadResult loadTopologyFile(const std::filesystem::path& path, S_SceneTopology& topology,
                                      std::string& error)
{
    error.clear();
    if (path.empty())
    {
        error = "Topology file path is not configured";
        return E_TopologyLoadResult::ABSENT;
    }
    const std::string pathText = toMessageText(path.string());
    std::error_code statusError;
    const std::filesystem::file_status status = std::filesystem::status(path, statusError);
    // A missing file (or a missing directory on the way) is reported with an error code as well;
    // it is the ordinary "not there yet" case, not a failure to inspect.
    if (status.type() == std::filesystem::file_type::not_found)
    {
        error = "Topology file does not exist: " + pathText;
        return E_TopologyLoadResult::ABSENT;
    }
    if (statusError)
    {
        error = "Cannot inspect topology file '" + pathText + "': " + toMessageText(statusError.message());
        return E_TopologyLoadResult::INVALID;
    }
    std::error_code regularError;
    if (!std::filesystem::is_regular_file(path, regularError))
    {
        error = "Topology path is not a regular file: " + pathText;
        if (regularError)
        {
            error += " (" + toMessageText(regularError.message()) + ")";
        }
        return E_TopologyLoadResult::INVALID;
    }
    std::error_code sizeError;
    const std::uintmax_t size = std::filesystem::file_size(path, sizeError);
    if (sizeError)
    {
        error =
            "Cannot determine topology file size '" + pathText + "': " + toMessageText(sizeError.message());
        return E_TopologyLoadResult::INVALID;
    }
    const std::string sizeMessage = "Topology file size must be between 1 byte and 64 MiB: " + pathText;
    if (!isSizeInRange(size))
    {
        error = sizeMessage;
        return E_TopologyLoadResult::INVALID;
    }
    std::string content;
    switch (readBoundedFile(path, size, content))
    {
        case E_ReadOutcome::READ:
            break;
        case E_ReadOutcome::OPEN_FAILED:
            error = "Cannot open topology file: " + pathText;
            return E_TopologyLoadResult::INVALID;
        case E_ReadOutcome::READ_FAILED:
            error = "Failed while reading topology file: " + pathText;
            return E_TopologyLoadResult::INVALID;
        case E_ReadOutcome::SIZE_OUT_OF_RANGE:
            error = sizeMessage;
            return E_TopologyLoadResult::INVALID;
    }
    dropUtf8ByteOrderMark(content);
    std::string parseError;
    if (!parseSceneTopologyJson(content, topology, parseError))
    {
        error = "Topology JSON validation failed for '" + pathText + "': " + parseError;
        return E_TopologyLoadResult::INVALID;
    }
    return E_TopologyLoadResult::LOADED;
}

}  // namespace ota::scenario
