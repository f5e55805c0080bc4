#pragma once

#include "common/digest.h"
#include "firmware_store/firmware_store_entry.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ota::backend
{

class CFirmwareStore;

// Why an admission was refused, as opposed to failing on a fault of the disk or the database.
enum class E_FirmwareStoreRefusal
{
    FULL,  // the bytes do not fit maxBytes even with every entry nobody needs evicted
};

// One file on its way into the store. Its bytes are hashed as they come and, unless the store
// already holds the expected content, written to a temporary file in the store's directory;
// finish() places them under their digest or answers the entry that holds them already. Dropped
// without finish(), or after a failed one, it leaves no file and no row behind.
//
// One owner at a time (not thread-safe itself); the store must outlive it.
class CFirmwareAdmission
{
public:
    ~CFirmwareAdmission();
    CFirmwareAdmission(const CFirmwareAdmission&) = delete;
    CFirmwareAdmission& operator=(const CFirmwareAdmission&) = delete;

    // False once a write has failed; every later call is then ignored and finish() fails.
    bool append(const void* data, std::size_t size);
    // Syncs and places the bytes appended (or finds them stored); at most once.
    std::optional<S_FirmwareStoreEntry> finish(std::string& error);

    std::uint64_t size() const { return m_size; }
    // Set when finish() failed because the store refused the bytes (not on a fault).
    std::optional<E_FirmwareStoreRefusal> refusal() const { return m_refusal; }

private:
    friend class CFirmwareStore;
    // descriptor < 0: the expected content is stored already, and the bytes are only hashed.
    CFirmwareAdmission(CFirmwareStore& store, std::string name, int descriptor,
                       std::filesystem::path temporaryPath, std::optional<FirmwareDigest> expected);
    void discard() noexcept;

    CFirmwareStore& m_store;
    std::string m_name;
    int m_descriptor = -1;
    std::filesystem::path m_temporaryPath;  // empty once placed or removed
    std::optional<FirmwareDigest> m_expected;
    std::optional<FirmwareDigest> m_announced;  // kept from eviction while this admission lasts
    CSha256 m_sha256;
    std::uint64_t m_size = 0;
    std::string m_writeFailure;
    static constexpr std::uint64_t kWriteBackStretch = 8ULL << 20;
    std::uint64_t m_flushedUpTo = 0;  // the write-back of the bytes before it has been started
    std::optional<E_FirmwareStoreRefusal> m_refusal;
    bool m_finished = false;
};

}  // namespace ota::backend
