// The detached signature kept beside a stored file, where every reader of a firmware path
// already looks for it.
#include "firmware_store/firmware_store.h"

#include "common/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ota::backend
{

namespace
{

// Starts like an admission's temporary file, so that one a crash left goes at the next open too.
constexpr const char* kSignatureTemporaryPattern = ".admit-signature-XXXXXX";

bool writeAll(int descriptor, std::string_view bytes)
{
    while (!bytes.empty())
    {
        const ssize_t count = ::write(descriptor, bytes.data(), bytes.size());
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

}  // namespace

std::optional<S_FirmwareStoreEntry> CFirmwareStore::keepSignature(const FirmwareDigest& sha256,
                                                                  std::string_view signature,
                                                                  std::string& error)
{
    // Under the store's mutex, so that the entry cannot be evicted or removed between the check
    // and the rename (which would leave a signature without its file).
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return std::nullopt;
    }
    std::optional<S_FirmwareStoreEntry> entry = loadEntry(sha256, error);
    if (!entry)
    {
        return std::nullopt;
    }
    std::string temporary = (m_options.directory / kSignatureTemporaryPattern).string();
    const CFileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.isOpen())
    {
        error = "Cannot create firmware signature file in " + m_options.directory.string() + ": " +
                std::strerror(errno);
        return std::nullopt;
    }
    std::filesystem::path target = entry->path;
    target += ".sig";
    const auto failed = [&](const char* what)
    {
        error = std::string(what) + target.string() + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return std::nullopt;
    };
    if (!writeAll(file.get(), signature) || ::fchmod(file.get(), 0444) != 0 || ::fsync(file.get()) != 0)
    {
        return failed("Cannot write firmware signature file ");
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0)
    {
        return failed("Cannot place firmware signature file ");
    }
    const CFileDescriptor directory(::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.isOpen() || ::fsync(directory.get()) != 0)
    {
        error = "Cannot sync firmware store directory " + target.parent_path().string() + ": " +
                std::strerror(errno);
        return std::nullopt;
    }
    return entry;
}

}  // namespace ota::backend
