#include "firmware_store/firmware_admission.h"

#include "firmware_store/firmware_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ota::backend
{

CFirmwareAdmission::CFirmwareAdmission(CFirmwareStore& store, std::string name, int descriptor,
                                       std::filesystem::path temporaryPath,
                                       std::optional<FirmwareDigest> expected)
    : m_store(store),
      m_name(std::move(name)),
      m_descriptor(descriptor),
      m_temporaryPath(std::move(temporaryPath)),
      m_expected(expected)
{
}

CFirmwareAdmission::~CFirmwareAdmission()
{
    discard();
    if (m_announced)
    {
        m_store.endAdmission(*m_announced);
    }
}

void CFirmwareAdmission::discard() noexcept
{
    if (!m_temporaryPath.empty())
    {
        ::unlink(m_temporaryPath.c_str());
        m_temporaryPath.clear();
    }
    if (m_descriptor >= 0)
    {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

bool CFirmwareAdmission::append(const void* data, std::size_t size)
{
    if (m_finished || !m_writeFailure.empty())
    {
        return false;
    }
    m_sha256.update(data, size);
    m_size += size;
    if (m_descriptor < 0)
    {
        return true;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t written = 0;
    while (written < size)
    {
        const ssize_t count = ::write(m_descriptor, bytes + written, size - written);
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            m_writeFailure = std::strerror(errno);
            discard();
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    // Start the write-back of every full stretch as it completes: the disk works while the next
    // bytes arrive and are hashed, the final sync has little left to wait for, and a large file
    // never piles up as dirty pages. Only a hint: a failure is caught by that sync.
    while (m_size - m_flushedUpTo >= kWriteBackStretch)
    {
        ::sync_file_range(m_descriptor, static_cast<off_t>(m_flushedUpTo),
                          static_cast<off_t>(kWriteBackStretch), SYNC_FILE_RANGE_WRITE);
        m_flushedUpTo += kWriteBackStretch;
    }
    return true;
}

std::optional<S_FirmwareStoreEntry> CFirmwareAdmission::finish(std::string& error)
{
    error.clear();
    if (m_finished)
    {
        error = "Firmware admission has already finished";
        return std::nullopt;
    }
    m_finished = true;
    if (!m_writeFailure.empty())
    {
        error = "Cannot write firmware store file: " + m_writeFailure;
        return std::nullopt;
    }
    const FirmwareDigest digest = m_sha256.finish();
    if (m_expected && digest != *m_expected)
    {
        // Only the stored copy's digest was expected: these bytes were never written anywhere.
        error = "Firmware bytes differ from the stored entry " + toLowerHex(*m_expected);
        discard();
        return std::nullopt;
    }
    if (m_descriptor >= 0 && ::fsync(m_descriptor) != 0)
    {
        error = std::string("Cannot sync firmware store file: ") + std::strerror(errno);
        discard();
        return std::nullopt;
    }
    std::optional<S_FirmwareStoreEntry> entry =
        m_store.place(m_name, digest, m_size, m_descriptor, m_temporaryPath, m_refusal, error);
    discard();
    return entry;
}

}  // namespace ota::backend
