#include "firmware_store/firmware_store.h"

#include "common/clock.h"
#include "common/file_descriptor.h"
#include "history/sqlite_transaction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;
constexpr std::size_t kSourceBlockBytes = 65536;
constexpr const char* kTemporaryPrefix = ".admit-";

// Another connection (the upgrade history's) works on the same file; both use the write-ahead log.
constexpr const char* kPragmaScript = "PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;";

constexpr const char* kSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS firmware_store_entries("
    "sha256 TEXT PRIMARY KEY CHECK(length(sha256)=64),"
    "size INTEGER NOT NULL CHECK(size>=0),"
    "names_json TEXT NOT NULL CHECK(length(names_json)>2),"
    "added_at INTEGER NOT NULL,"
    "last_used_at INTEGER NOT NULL,"
    "signature_state TEXT NOT NULL DEFAULT 'NOT_CHECKED',"
    "labels_json TEXT NOT NULL DEFAULT '[]');"
    "COMMIT;";

constexpr const char* kNotOpen = "Firmware store is not open";

std::string errnoText()
{
    return std::strerror(errno);
}

// A rename or a new directory entry is durable only once its directory is synced.
bool syncDirectory(const std::filesystem::path& directory, std::string& error)
{
    const CFileDescriptor handle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle.isOpen() || ::fsync(handle.get()) != 0)
    {
        error = "Cannot sync firmware store directory " + directory.string() + ": " + errnoText();
        return false;
    }
    return true;
}

bool makeDirectory(const std::filesystem::path& directory, std::string& error)
{
    std::error_code code;
    std::filesystem::create_directories(directory, code);
    if (code)
    {
        error = "Cannot create firmware store directory " + directory.string() + ": " + code.message();
        return false;
    }
    return true;
}

bool isRegularFile(const std::filesystem::path& path)
{
    struct stat status
    {
    };
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void removeStaleTemporaryFiles(const std::filesystem::path& directory)
{
    std::error_code code;
    for (const std::filesystem::directory_entry& item : std::filesystem::directory_iterator(directory, code))
    {
        if (item.path().filename().string().rfind(kTemporaryPrefix, 0) == 0)
        {
            std::error_code ignored;
            std::filesystem::remove(item.path(), ignored);
        }
    }
}

}  // namespace

CFirmwareStore::~CFirmwareStore()
{
    close();
}

bool CFirmwareStore::open(const std::filesystem::path& databasePath, const S_FirmwareStoreOptions& options,
                          std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (m_connection.isOpen())
    {
        error = "Firmware store is already open";
        return false;
    }
    if (options.directory.empty())
    {
        error = "Firmware store directory is empty";
        return false;
    }
    if (!makeDirectory(options.directory / "sha256", error))
    {
        return false;
    }
    if (!openSqliteStore(m_connection, databasePath, "Cannot open firmware store", kBusyTimeoutMs,
                         kPragmaScript, kSchemaScript, error))
    {
        return false;
    }
    removeStaleTemporaryFiles(options.directory);
    m_options = options;
    removeEntriesWithoutRow();
    return true;
}

void CFirmwareStore::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
}

bool CFirmwareStore::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection.isOpen();
}

S_FirmwareStoreOptions CFirmwareStore::options() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options;
}

bool CFirmwareStore::requireOpen(std::string& error) const
{
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return false;
    }
    return true;
}

std::filesystem::path CFirmwareStore::entryDirectory(const FirmwareDigest& sha256) const
{
    return m_options.directory / "sha256" / toLowerHex(sha256);
}

std::unique_ptr<CFirmwareAdmission> CFirmwareStore::beginAdmission(
    const std::string& name, const std::optional<FirmwareDigest>& expected, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return nullptr;
    }
    if (!isFirmwareStoreName(name))
    {
        error = "Firmware store name must be 1 to 63 bytes of UTF-8 without '/' or NUL";
        return nullptr;
    }
    if (expected)
    {
        const std::optional<S_FirmwareStoreEntry> stored = loadEntry(*expected, error);
        if (!error.empty())
        {
            return nullptr;
        }
        if (stored && isRegularFile(stored->path))
        {
            std::unique_ptr<CFirmwareAdmission> admission(
                new CFirmwareAdmission(*this, name, -1, {}, expected));
            admission->m_announced = expected;
            m_admitting.insert(*expected);
            return admission;
        }
    }
    std::string pattern = (m_options.directory / kTemporaryPrefix).string() + "XXXXXX";
    const int descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor < 0)
    {
        error = "Cannot create firmware store file in " + m_options.directory.string() + ": " + errnoText();
        return nullptr;
    }
    std::unique_ptr<CFirmwareAdmission> admission(
        new CFirmwareAdmission(*this, name, descriptor, pattern, std::nullopt));
    if (expected)
    {
        admission->m_announced = expected;
        m_admitting.insert(*expected);
    }
    return admission;
}

void CFirmwareStore::endAdmission(const FirmwareDigest& expected)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_admitting.find(expected);
    if (found != m_admitting.end())
    {
        m_admitting.erase(found);
    }
}

void CFirmwareStore::setNeededDigests(FirmwareNeededDigests neededDigests)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_neededDigests = std::move(neededDigests);
}

std::optional<S_FirmwareStoreEntry> CFirmwareStore::admit(const std::string& name,
                                                          const FirmwareSource& source, std::string& error)
{
    std::unique_ptr<CFirmwareAdmission> admission = beginAdmission(name, std::nullopt, error);
    if (!admission)
    {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(kSourceBlockBytes);
    while (true)
    {
        const std::ptrdiff_t count = source(buffer.data(), buffer.size());
        if (count < 0)
        {
            error = "Cannot read firmware to be stored: " + name;
            return std::nullopt;  // the admission goes, and its temporary file with it
        }
        if (count == 0)
        {
            break;
        }
        if (!admission->append(buffer.data(), static_cast<std::size_t>(count)))
        {
            break;  // finish() words the write failure
        }
    }
    return admission->finish(error);
}

std::optional<S_FirmwareStoreEntry> CFirmwareStore::find(const FirmwareDigest& sha256, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return std::nullopt;
    }
    return loadEntry(sha256, error);
}

bool CFirmwareStore::touch(const FirmwareDigest& sha256, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    const std::int64_t usedAt = nextUseTime();
    CSqliteCachedStatement statement =
        m_connection.statement("UPDATE firmware_store_entries SET last_used_at=?1 WHERE sha256=?2;", error);
    if (!statement || !statement->bindInt64(1, usedAt, error) ||
        !statement->bindText(2, toLowerHex(sha256), error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot update firmware store entry", m_connection.handle(), resultCode);
        return false;
    }
    if (m_connection.changes() != 1)
    {
        error = "Firmware is not stored: " + toLowerHex(sha256);
        return false;
    }
    return true;
}

std::optional<S_FirmwareStoreEntry> CFirmwareStore::loadEntry(const FirmwareDigest& sha256,
                                                              std::string& error)
{
    const std::string hex = toLowerHex(sha256);
    CSqliteCachedStatement statement = m_connection.statement(
        "SELECT size, names_json, added_at, last_used_at, signature_state, labels_json "
        "FROM firmware_store_entries WHERE sha256=?1;",
        error);
    if (!statement || !statement->bindText(1, hex, error))
    {
        return std::nullopt;
    }
    const int resultCode = statement->step();
    if (resultCode == SQLITE_DONE)
    {
        return std::nullopt;
    }
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot read firmware store entry", m_connection.handle(), resultCode);
        return std::nullopt;
    }
    S_FirmwareStoreEntry entry;
    entry.sha256 = sha256;
    const std::int64_t size = statement->columnInt64(0);
    entry.addedAtMs = statement->columnInt64(2);
    entry.lastUsedAtMs = statement->columnInt64(3);
    const std::optional<E_FirmwareStoreSignature> signature =
        parseFirmwareStoreSignature(statement->columnText(4));
    if (size < 0 || !signature || !parseFirmwareStoreNames(statement->columnText(1), entry.names) ||
        !parseFirmwareStoreLabels(statement->columnText(5), entry.labels))
    {
        error = "Firmware store entry is damaged: " + hex;
        return std::nullopt;
    }
    entry.size = static_cast<std::uint64_t>(size);
    entry.signature = *signature;
    entry.path = entryDirectory(sha256) / entry.names.front();
    return entry;
}

std::optional<S_FirmwareStoreEntry> CFirmwareStore::place(
    const std::string& name, const FirmwareDigest& sha256, std::uint64_t size, int descriptor,
    std::filesystem::path& temporaryPath, std::optional<E_FirmwareStoreRefusal>& refusal, std::string& error)
{
    // The callback takes the locks of the services it asks, so it runs before the store's own.
    FirmwareNeededDigests neededDigests;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        neededDigests = m_neededDigests;
    }
    std::vector<FirmwareDigest> needed = neededDigests ? neededDigests() : std::vector<FirmwareDigest>{};

    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    refusal.reset();
    if (!requireOpen(error))
    {
        return std::nullopt;
    }
    std::optional<S_FirmwareStoreEntry> entry = loadEntry(sha256, error);
    if (!error.empty())
    {
        return std::nullopt;
    }
    const bool filePresent = entry && isRegularFile(entry->path);
    if (descriptor < 0 && !filePresent)
    {
        error = "Firmware is not stored any more: " + toLowerHex(sha256);
        return std::nullopt;
    }
    if (!filePresent)
    {
        needed.insert(needed.end(), m_admitting.begin(), m_admitting.end());
        if (!makeRoom(sha256, size, needed, refusal, error))
        {
            return std::nullopt;
        }
    }
    const std::int64_t now = nextUseTime();
    if (!entry)
    {
        entry = S_FirmwareStoreEntry{};
        entry->sha256 = sha256;
        entry->size = size;
        entry->names = {name};
        entry->addedAtMs = now;
        entry->path = entryDirectory(sha256) / name;
    }
    else if (std::find(entry->names.begin(), entry->names.end(), name) == entry->names.end())
    {
        entry->names.push_back(name);
    }
    entry->lastUsedAtMs = now;

    // The row and the file go in together: every way out before the commit rolls the row back,
    // and a file renamed into place is removed again when the commit fails.
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return std::nullopt;
    }
    CSqliteCachedStatement statement = m_connection.statement(
        "INSERT INTO firmware_store_entries(sha256, size, names_json, added_at, last_used_at) "
        "VALUES(?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT(sha256) DO UPDATE SET names_json=excluded.names_json, "
        "last_used_at=excluded.last_used_at;",
        error);
    if (!statement || !statement->bindText(1, toLowerHex(sha256), error) ||
        !statement->bindInt64(2, static_cast<std::int64_t>(entry->size), error) ||
        !statement->bindText(3, firmwareStoreNamesText(entry->names), error) ||
        !statement->bindInt64(4, entry->addedAtMs, error) || !statement->bindInt64(5, now, error))
    {
        return std::nullopt;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot store firmware store entry", m_connection.handle(), resultCode);
        return std::nullopt;
    }
    if (!filePresent)
    {
        const std::filesystem::path directory = entryDirectory(sha256);
        if (!makeDirectory(directory, error))
        {
            return std::nullopt;
        }
        if (::fchmod(descriptor, 0444) != 0 || ::rename(temporaryPath.c_str(), entry->path.c_str()) != 0)
        {
            error = "Cannot place firmware store file " + entry->path.string() + ": " + errnoText();
            return std::nullopt;
        }
        temporaryPath.clear();
        if (!syncDirectory(directory, error) || !syncDirectory(directory.parent_path(), error) ||
            !transaction.commit(error))
        {
            ::unlink(entry->path.c_str());
            return std::nullopt;
        }
        return entry;
    }
    if (!transaction.commit(error))
    {
        return std::nullopt;
    }
    return entry;
}

std::int64_t CFirmwareStore::nextUseTime()
{
    // Uses are ordered even within a millisecond or after the clock stepped back: the entry used
    // last is the one evicted last.
    std::int64_t latest = 0;
    std::string ignored;
    CSqliteCachedStatement statement =
        m_connection.statement("SELECT COALESCE(MAX(last_used_at), 0) FROM firmware_store_entries;", ignored);
    if (statement && statement->step() == SQLITE_ROW)
    {
        latest = statement->columnInt64(0);
    }
    return std::max(currentUnixMs(), latest + 1);
}

}  // namespace ota::backend
