#pragma once

#include "firmware_store/firmware_admission.h"
#include "firmware_store/firmware_store_entry.h"
#include "history/sqlite_connection.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ota::backend
{

inline constexpr std::uint64_t kFirmwareStoreDefaultMaxBytes = 8ULL << 30;
inline constexpr std::uint64_t kFirmwareStoreMinMaxBytes = 64ULL << 20;
inline constexpr std::uint64_t kFirmwareStoreMaxMaxBytes = 1ULL << 40;

struct S_FirmwareStoreOptions
{
    std::filesystem::path directory;  // absolute; created when missing
    std::uint64_t maxBytes = kFirmwareStoreDefaultMaxBytes;
};

// Fills buffer with up to capacity bytes: the count, 0 at the end, negative on a read failure.
using FirmwareSource = std::function<std::ptrdiff_t(std::uint8_t* buffer, std::size_t capacity)>;

// Firmware files kept by content: <directory>/sha256/<64 hex>/<name>, read-only, each written
// under a temporary name in the directory, synced and renamed into place, so that a path of the
// store only ever holds the complete bytes of its digest. Their entries live in a table of their
// own in the history database file (whose history table, schema and version it never touches),
// over a connection of its own.
//
// Threads: one mutex serialises the connection and every placement; the bytes of an admission
// are hashed and written by its owner without it.
class CFirmwareStore
{
public:
    CFirmwareStore() = default;
    ~CFirmwareStore();
    CFirmwareStore(const CFirmwareStore&) = delete;
    CFirmwareStore& operator=(const CFirmwareStore&) = delete;

    // Creates the directory and the table when missing, and removes the temporary files an
    // interrupted admission of an earlier process left.
    bool open(const std::filesystem::path& databasePath, const S_FirmwareStoreOptions& options,
              std::string& error);
    void close();
    bool isOpen() const;
    S_FirmwareStoreOptions options() const;

    // Starts an admission of a file to be kept under name. With expected set and that content
    // stored already, nothing is written: the bytes are only hashed, and finish() adds the name.
    std::unique_ptr<CFirmwareAdmission> beginAdmission(const std::string& name,
                                                       const std::optional<FirmwareDigest>& expected,
                                                       std::string& error);
    // Admits everything the source gives, read once; nothing is kept when it fails part way.
    std::optional<S_FirmwareStoreEntry> admit(const std::string& name, const FirmwareSource& source,
                                              std::string& error);

    // The entry of a digest; none (error empty) when not stored, none with error on a failure.
    std::optional<S_FirmwareStoreEntry> find(const FirmwareDigest& sha256, std::string& error);
    // Marks the entry as used now.
    bool touch(const FirmwareDigest& sha256, std::string& error);

private:
    friend class CFirmwareAdmission;
    // Under the mutex: places an admission's synced temporary file under its digest (descriptor
    // < 0: nothing to place, the content must be stored), or adds the name to the stored entry.
    // temporaryPath is cleared once the file has been renamed into place.
    std::optional<S_FirmwareStoreEntry> place(const std::string& name, const FirmwareDigest& sha256,
                                              std::uint64_t size, int descriptor,
                                              std::filesystem::path& temporaryPath, std::string& error);
    bool requireOpen(std::string& error) const;
    std::optional<S_FirmwareStoreEntry> loadEntry(const FirmwareDigest& sha256, std::string& error);
    std::filesystem::path entryDirectory(const FirmwareDigest& sha256) const;

    mutable std::mutex m_mutex;
    CSqliteConnection m_connection;
    S_FirmwareStoreOptions m_options;
};

}  // namespace ota::backend
