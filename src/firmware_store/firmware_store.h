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
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

enum class E_FirmwareStoreRemoval
{
    REMOVED,
    NOT_STORED,
    NEEDED,  // a task or rollout still sends it, or an admission of it is in progress
    FAILED,
};

// The digests whose entries must stay: the files a prepared or running task and the unfinished
// rollouts send. Called without the store's lock held.
using FirmwareNeededDigests = std::function<std::vector<FirmwareDigest>()>;

// Fills buffer with up to capacity bytes: the count, 0 at the end, negative on a read failure.
using FirmwareSource = std::function<std::ptrdiff_t(std::uint8_t* buffer, std::size_t capacity)>;

// Firmware files kept by content: <directory>/sha256/<64 hex>/<name>, read-only, each written
// under a temporary name in the directory, synced and renamed into place, so that a path of the
// store only ever holds the complete bytes of its digest. Their entries live in a table of their
// own in the history database file (whose history table, schema and version it never touches),
// over a connection of its own.
//
// The stored bytes stay within maxBytes: new bytes are placed only after the least recently
// used entries nobody needs made room for them (rows deleted first, then their files, so that no
// row ever names a missing file); a file left without a row by a crash goes at the next open.
//
// Threads: one mutex serialises the connection and every placement; the bytes of an admission
// are hashed and written by its owner without it. The needed-digests callback runs outside it.
class CFirmwareStore
{
public:
    CFirmwareStore() = default;
    ~CFirmwareStore();
    CFirmwareStore(const CFirmwareStore&) = delete;
    CFirmwareStore& operator=(const CFirmwareStore&) = delete;

    // Creates the directory and the table when missing, and removes the temporary files an
    // interrupted admission of an earlier process left, and entry files without a row.
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
    // The sum of the stored entries' sizes; none with error on a failure.
    std::optional<std::uint64_t> storedBytes(std::string& error);

    // Adds each label the entry does not carry yet; false with error empty when not stored.
    bool addLabels(const FirmwareDigest& sha256, const std::vector<S_FirmwareStoreLabel>& labels,
                   std::string& error);
    // Up to limit entries added before the position before (0: from the newest), newest first;
    // nextBefore is where the next page starts, 0 after the last one. None with error on a failure.
    std::optional<std::vector<S_FirmwareStoreEntry>> list(std::size_t limit, std::int64_t before,
                                                          std::int64_t& nextBefore, std::string& error);
    // The entry labelled with label, the most recently added of several; none (error empty) when
    // no entry carries it, none with error on a failure.
    std::optional<S_FirmwareStoreEntry> findLabelled(const S_FirmwareStoreLabel& label, std::string& error);
    // Keeps a detached signature beside the entry's file (<path>.sig), replaced whole: written under
    // a temporary name, synced and renamed into place; it goes with the entry. None with error
    // empty when not stored.
    std::optional<S_FirmwareStoreEntry> keepSignature(const FirmwareDigest& sha256,
                                                      std::string_view signature, std::string& error);
    // Removes an entry nobody needs: its row, then its file.
    E_FirmwareStoreRemoval remove(const FirmwareDigest& sha256, std::string& error);

    // Entries of these digests are never evicted; without it, only admissions in progress are kept.
    void setNeededDigests(FirmwareNeededDigests neededDigests);

private:
    friend class CFirmwareAdmission;
    // Under the mutex: places an admission's synced temporary file under its digest (descriptor
    // < 0: nothing to place, the content must be stored), or adds the name to the stored entry.
    // temporaryPath is cleared once the file has been renamed into place.
    std::optional<S_FirmwareStoreEntry> place(const std::string& name, const FirmwareDigest& sha256,
                                              std::uint64_t size, int descriptor,
                                              std::filesystem::path& temporaryPath,
                                              std::optional<E_FirmwareStoreRefusal>& refusal,
                                              std::string& error);
    // An admission announced by digest ended: its entry may be evicted again.
    void endAdmission(const FirmwareDigest& expected);
    // Under the mutex: evicts least recently used entries outside needed until size more bytes
    // of incoming fit maxBytes; evicts nothing when they cannot fit.
    bool makeRoom(const FirmwareDigest& incoming, std::uint64_t size,
                  const std::vector<FirmwareDigest>& needed, std::optional<E_FirmwareStoreRefusal>& refusal,
                  std::string& error);
    void removeEntriesWithoutRow();
    // Under the mutex: deletes the rows in one transaction, then removes their files.
    bool deleteEntries(const std::vector<std::string>& hexDigests, std::string& error);
    std::int64_t nextUseTime();
    bool requireOpen(std::string& error) const;
    std::optional<S_FirmwareStoreEntry> loadEntry(const FirmwareDigest& sha256, std::string& error);
    std::filesystem::path entryDirectory(const FirmwareDigest& sha256) const;

    mutable std::mutex m_mutex;
    CSqliteConnection m_connection;
    S_FirmwareStoreOptions m_options;
    FirmwareNeededDigests m_neededDigests;
    std::multiset<FirmwareDigest> m_admitting;  // the digests announced by admissions in progress
};

}  // namespace ota::backend
