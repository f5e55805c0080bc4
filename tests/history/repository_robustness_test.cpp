#include "history/upgrade_history_repository.h"

#include "history_documents.h"
#include "sqlite_test_access.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <optional>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ota::backend
{
namespace
{

using test::CRawDatabase;
using test::CTempDirectory;
using test::readWholeFile;

// Sets the immutable attribute, which even root cannot write through; cleared again on destruction.
class CImmutableFile
{
public:
    explicit CImmutableFile(const std::filesystem::path& path) : m_path(path) { m_set = setFlag(true); }
    ~CImmutableFile()
    {
        if (m_set)
        {
            setFlag(false);
        }
    }
    bool isSet() const { return m_set; }

private:
    bool setFlag(bool immutable)
    {
        const int descriptor = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
        {
            return false;
        }
        int flags = 0;
        bool done = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = done && ::ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(descriptor);
        return done;
    }

    std::filesystem::path m_path;
    bool m_set = false;
};

// The audit trail is never replaced: a file the repository cannot use is reported and left as it was.
class HistoryDatabaseFile : public ::testing::Test
{
protected:
    void expectRefusedUnchanged(const std::string& expectedPart)
    {
        const std::string before = readWholeFile(path);
        CUpgradeHistoryRepository repository;
        EXPECT_FALSE(repository.open(path, error));
        EXPECT_NE(error.find(expectedPart), std::string::npos) << error;
        EXPECT_FALSE(repository.isOpen());
        EXPECT_EQ(readWholeFile(path), before);
    }

    // A real history database with enough rows to span many pages.
    void createPopulatedDatabase()
    {
        CUpgradeHistoryRepository repository;
        ASSERT_TRUE(repository.open(path, error)) << error;
        for (std::uint32_t number = 1; number <= 200; ++number)
        {
            ASSERT_TRUE(repository.upsertTaskSnapshot(
                test::makeSnapshotWrite(number, test::taskId(number), 1000, 3), error));
        }
        std::uint32_t unused = 0;
        ASSERT_TRUE(repository.deleteSelected({1}, unused, error));
        repository.close();
        CRawDatabase raw(path);
        ASSERT_EQ(raw.execute("PRAGMA wal_checkpoint(TRUNCATE);"), "");
    }

    CTempDirectory directory;
    std::filesystem::path path = directory / "upgrade-history.db";
    std::string error;
};

TEST_F(HistoryDatabaseFile, NotADatabase)
{
    directory.writeFile("upgrade-history.db", std::string(4096, 'x') + "this is a firmware image, not a database");
    expectRefusedUnchanged("file is not a database");
}

TEST_F(HistoryDatabaseFile, TruncatedDatabase)
{
    createPopulatedDatabase();
    const auto size = std::filesystem::file_size(path);
    ASSERT_GT(size, 8 * 4096u);
    std::filesystem::resize_file(path, size / 2);
    expectRefusedUnchanged("database disk image is malformed");
}

TEST_F(HistoryDatabaseFile, TruncatedHeader)
{
    createPopulatedDatabase();
    std::filesystem::resize_file(path, 60);
    expectRefusedUnchanged("database disk image is malformed");
}

TEST_F(HistoryDatabaseFile, ReadOnlyFile)
{
    createPopulatedDatabase();
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    std::optional<CImmutableFile> immutable;
    if (::access(path.c_str(), W_OK) == 0)
    {
        // Privileged (root, as in CI) ignores the mode; the immutable attribute still refuses writes.
        immutable.emplace(path);
        if (!immutable->isSet())
        {
            GTEST_SKIP() << "file permissions are ignored for this user and the immutable attribute "
                            "cannot be set here, so a read-only file cannot be simulated";
        }
    }
    expectRefusedUnchanged("the database file is read-only");
}

TEST_F(HistoryDatabaseFile, LockedByAnotherWriter)
{
    createPopulatedDatabase();
    CRawDatabase other(path);
    ASSERT_EQ(other.execute("PRAGMA journal_mode=WAL; BEGIN IMMEDIATE; "
                            "UPDATE upgrade_history SET status='RUNNING' WHERE upgrade_no=2;"),
              "");
    CUpgradeHistoryRepository repository;
    EXPECT_FALSE(repository.open(path, error));  // after the 5 s busy timeout
    EXPECT_NE(error.find("database is locked"), std::string::npos) << error;
    EXPECT_FALSE(repository.isOpen());
    ASSERT_EQ(other.execute("ROLLBACK;"), "");
    ASSERT_TRUE(repository.open(path, error)) << error;
    std::vector<S_UpgradeHistoryRecord> records;
    ASSERT_TRUE(repository.listRecords(records, error));
    EXPECT_EQ(records.size(), 199u);
}

TEST_F(HistoryDatabaseFile, ForeignTableLayoutIsReportedNotAltered)
{
    {
        CRawDatabase raw(path);
        ASSERT_EQ(raw.execute("CREATE TABLE upgrade_history(upgrade_no INTEGER PRIMARY KEY, upgrade_id TEXT NOT NULL, "
                              "started_at INTEGER NOT NULL, updated_at INTEGER NOT NULL, completed_at INTEGER, "
                              "status TEXT NOT NULL, snapshot_json TEXT NOT NULL);"
                              "INSERT INTO upgrade_history VALUES(1,'A',1,1,NULL,'RUNNING','{}');"),
                  "");
    }
    expectRefusedUnchanged("incompatible upgrade_history table: missing column state_json");
    CRawDatabase raw(path);
    EXPECT_EQ(raw.scalar("PRAGMA user_version;"), "0");
    EXPECT_EQ(raw.scalar("PRAGMA journal_mode;"), "delete");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master;"), "1");
}

TEST_F(HistoryDatabaseFile, OtherColumnsAndNewerVersions)
{
    {
        CRawDatabase raw(path);
        ASSERT_EQ(raw.execute("CREATE TABLE upgrade_history(id TEXT, payload BLOB);"), "");
    }
    expectRefusedUnchanged("incompatible upgrade_history table: column 1 is id, expected upgrade_no");

    std::filesystem::remove(path);
    {
        CRawDatabase raw(path);
        ASSERT_EQ(raw.execute("PRAGMA user_version=2;"), "");
    }
    expectRefusedUnchanged("schema version 2 is newer than the supported version 1");
}

TEST_F(HistoryDatabaseFile, EmptyFileBecomesANewDatabase)
{
    directory.writeFile("upgrade-history.db", "");
    CUpgradeHistoryRepository repository;
    ASSERT_TRUE(repository.open(path, error)) << error;
    std::vector<S_UpgradeHistoryRecord> records;
    EXPECT_TRUE(repository.listRecords(records, error));
}

}  // namespace
}  // namespace ota::backend
