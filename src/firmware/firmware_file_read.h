#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace ota::backend
{

// What can go wrong while a firmware file is read for its digest. The callers word the faults
// in their own language (inspection and preview in English, the task's re-check in the task's).
enum class E_FirmwareReadFault
{
    NONE,
    CANNOT_OPEN,   // missing, unreadable, or not a regular file (a FIFO swapped in is never opened blocking)
    SIZE_CHANGED,  // the open file's size differs from the expected one
    READ_FAILED,   // a read error part way
    LENGTH_MISMATCH,  // the bytes read differ from the expected size (it grew or shrank while read)
};

class CFirmwareTrust;

// The signature file F.sig beside a firmware file F, as the trust judged it.
enum class E_FirmwareSignatureVerdict
{
    NOT_CHECKED,  // no trust configured
    VERIFIED,     // a trusted key verifies it over F's digest
    MISSING,      // there is no F.sig
    NOT_VALID,    // F.sig verifies with no trusted key (foreign key, changed file, truncated)
    UNREADABLE,   // F.sig exists but cannot be read (permissions, not a regular file)
};

struct S_FirmwareFileRead
{
    E_FirmwareReadFault fault = E_FirmwareReadFault::NONE;
    std::array<std::uint8_t, 32> sha256{};  // set when fault is NONE
    E_FirmwareSignatureVerdict signature = E_FirmwareSignatureVerdict::NOT_CHECKED;
    std::string keyFingerprint;  // the verifying key's, when VERIFIED
};

// Receives each block of a firmware file as it is read for its digest, in order.
using FirmwareBlockSink = std::function<void(const std::uint8_t* data, std::size_t size)>;

// The one pass over a firmware file shared by inspection, preview and the task's re-check at
// start: open without blocking, compare the size, read in 64 KiB blocks into SHA-256, and, with
// a trust, verify F.sig against that same digest. The file is never held in memory and is read
// once whatever the number of keys. A sink sees exactly the bytes digested, so a copy made from
// them is what the digest describes; it is only worth keeping when the read has no fault.
S_FirmwareFileRead readFirmwareFile(const std::filesystem::path& path, std::uint32_t expectedSize,
                                    const CFirmwareTrust* trust = nullptr,
                                    const FirmwareBlockSink& sink = nullptr);

// The path of a firmware file's detached signature: the file's own path with ".sig" appended.
std::filesystem::path firmwareSignaturePath(const std::filesystem::path& firmwarePath);

// F.sig beside a firmware file whose digest is known already, as the trust judges it (NOT_CHECKED
// without one); keyFingerprint is the verifying key's when VERIFIED.
E_FirmwareSignatureVerdict judgeFirmwareSignature(const std::filesystem::path& firmwarePath,
                                                  const std::array<std::uint8_t, 32>& sha256,
                                                  const CFirmwareTrust* trust, std::string& keyFingerprint);

// The refusal of a file whose signature the trust does not accept, naming shownPath; none when the
// file may be used (verified, or unsigned while signatures are not required).
std::optional<std::string> firmwareSignatureRefusal(E_FirmwareSignatureVerdict verdict, bool required,
                                                    const std::string& shownPath);

}  // namespace ota::backend
