#include "firmware/firmware_file_read.h"

#include "common/digest.h"
#include "common/file_descriptor.h"
#include "firmware/firmware_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace ota::backend
{

namespace
{

constexpr std::size_t kDigestBlockSize = 65536;
// Far above any signature the accepted keys make (512 bytes for RSA-4096); a larger file is no
// signature of theirs.
constexpr std::size_t kMaxSignatureBytes = 16 * 1024;

// Reads F.sig whole; the verdict is MISSING, UNREADABLE or NOT_CHECKED (read, to be verified).
E_FirmwareSignatureVerdict readSignatureFile(const std::filesystem::path& path, std::string& signature)
{
    const CFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.isOpen())
    {
        return errno == ENOENT ? E_FirmwareSignatureVerdict::MISSING : E_FirmwareSignatureVerdict::UNREADABLE;
    }
    struct stat status
    {
    };
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        return E_FirmwareSignatureVerdict::UNREADABLE;
    }
    signature.assign(kMaxSignatureBytes + 1, '\0');
    std::size_t total = 0;
    while (total < signature.size())
    {
        const ssize_t count = ::read(file.get(), signature.data() + total, signature.size() - total);
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return E_FirmwareSignatureVerdict::UNREADABLE;
        }
        if (count == 0)
        {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    signature.resize(total);
    return E_FirmwareSignatureVerdict::NOT_CHECKED;
}

}  // namespace

std::filesystem::path firmwareSignaturePath(const std::filesystem::path& firmwarePath)
{
    std::filesystem::path signature = firmwarePath;
    signature += ".sig";
    return signature;
}

E_FirmwareSignatureVerdict judgeFirmwareSignature(const std::filesystem::path& firmwarePath,
                                                  const std::array<std::uint8_t, 32>& sha256,
                                                  const CFirmwareTrust* trust, std::string& keyFingerprint)
{
    keyFingerprint.clear();
    if (trust == nullptr)
    {
        return E_FirmwareSignatureVerdict::NOT_CHECKED;
    }
    std::string signature;
    const E_FirmwareSignatureVerdict verdict =
        readSignatureFile(firmwareSignaturePath(firmwarePath), signature);
    if (verdict != E_FirmwareSignatureVerdict::NOT_CHECKED)
    {
        return verdict;
    }
    std::optional<std::string> fingerprint = trust->verifyDigest(sha256, signature);
    if (!fingerprint)
    {
        return E_FirmwareSignatureVerdict::NOT_VALID;
    }
    keyFingerprint = std::move(*fingerprint);
    return E_FirmwareSignatureVerdict::VERIFIED;
}

std::optional<std::string> firmwareSignatureRefusal(E_FirmwareSignatureVerdict verdict, bool required,
                                                    const std::string& shownPath)
{
    switch (verdict)
    {
        case E_FirmwareSignatureVerdict::NOT_CHECKED:
        case E_FirmwareSignatureVerdict::VERIFIED:
            return std::nullopt;
        case E_FirmwareSignatureVerdict::MISSING:
            if (!required)
            {
                return std::nullopt;
            }
            return "Firmware signature is missing: " + shownPath;
        case E_FirmwareSignatureVerdict::UNREADABLE:
            return "Firmware signature cannot be read: " + shownPath;
        case E_FirmwareSignatureVerdict::NOT_VALID:
            break;
    }
    return "Firmware signature is not valid: " + shownPath;
}

S_FirmwareFileRead readFirmwareFile(const std::filesystem::path& path, std::uint32_t expectedSize,
                                    const CFirmwareTrust* trust, const FirmwareBlockSink& sink)
{
    S_FirmwareFileRead result;
    // O_NONBLOCK: a path swapped for a FIFO after the caller's checks must not block the thread on open.
    const CFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status
    {
    };
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        result.fault = E_FirmwareReadFault::CANNOT_OPEN;
        return result;
    }
    if (static_cast<std::uint64_t>(status.st_size) != expectedSize)
    {
        result.fault = E_FirmwareReadFault::SIZE_CHANGED;
        return result;
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
            result.fault = E_FirmwareReadFault::READ_FAILED;
            return result;
        }
        if (count == 0)
        {
            break;
        }
        sha.update(buffer.data(), static_cast<std::size_t>(count));
        if (sink)
        {
            sink(buffer.data(), static_cast<std::size_t>(count));
        }
        total += static_cast<std::uint64_t>(count);
        if (total > expectedSize)
        {
            break;  // grew while being read: no need to digest the rest
        }
    }
    if (total != expectedSize)
    {
        result.fault = E_FirmwareReadFault::LENGTH_MISMATCH;
        return result;
    }
    result.sha256 = sha.finish();
    if (trust != nullptr)
    {
        // The signature is judged against the digest of the bytes just read, so a file swapped
        // between two reads can never pass with the other file's signature.
        std::string signature;
        result.signature = readSignatureFile(firmwareSignaturePath(path), signature);
        if (result.signature == E_FirmwareSignatureVerdict::NOT_CHECKED)
        {
            const std::optional<std::string> fingerprint = trust->verifyDigest(result.sha256, signature);
            result.signature =
                fingerprint ? E_FirmwareSignatureVerdict::VERIFIED : E_FirmwareSignatureVerdict::NOT_VALID;
            result.keyFingerprint = fingerprint.value_or(std::string());
        }
    }
    return result;
}

}  // namespace ota::backend
