// The firmware store over a real SQLite file and a real directory: files kept by content, the
// same bytes under a second name, admissions that fail part way, a store opened again, and the
// eviction that keeps it within maxBytes.
#include "firmware_store/firmware_store.h"
#include "common/digest.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace ota::test
{
namespace
{

using namespace ota::backend;

std::string patternBytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index)
    {
        bytes[index] = static_cast<char>((index * 31 + seed * 7) >> 3);
    }
    return bytes;
}

// Hands out the bytes in blocks of at most 1000; fails with -1 once failAt bytes were given.
FirmwareSource sourceOf(const std::string& bytes, std::size_t failAt = std::string::npos)
{
    return [bytes, failAt, offset = std::size_t{0}](std::uint8_t* buffer, std::size_t capacity) mutable
    {
        if (offset >= failAt)
        {
            return std::ptrdiff_t{-1};
        }
        const std::size_t count = std::min({capacity, bytes.size() - offset, std::size_t{1000}});
        std::memcpy(buffer, bytes.data() + offset, count);
        offset += count;
        return static_cast<std::ptrdiff_t>(count);
    };
}

FirmwareDigest digestOf(const std::string& bytes)
{
    return CSha256::digestOf(bytes.data(), bytes.size());
}

// Every file below the directory, relative to it.
std::vector<std::string> filesBelow(const std::filesystem::path& directory)
{
    std::vector<std::string> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(directory))
    {
        if (item.is_regular_file())
        {
            files.push_back(std::filesystem::relative(item.path(), directory).string());
        }
    }
    return files;
}

class FirmwareStoreTest : public ::testing::Test
{
protected:
    void SetUp() override { openStore(store); }

    void openStore(CFirmwareStore& target)
    {
        std::string error;
        ASSERT_TRUE(
            target.open(temp / "history.db", S_FirmwareStoreOptions{storeDirectory(), 64ULL << 20}, error))
            << error;
    }
    std::filesystem::path storeDirectory() const { return temp / "firmware-store"; }

    CTempDirectory temp;
    CFirmwareStore store;
};

TEST_F(FirmwareStoreTest, KeepsFilesByContentUnderTheirFirstName)
{
    const std::string bytes = patternBytes(150000, 1);
    const std::string hex = toLowerHex(digestOf(bytes));
    std::string error;
    const auto first = store.admit("emu.bin", sourceOf(bytes), error);
    ASSERT_TRUE(first) << error;
    EXPECT_EQ(first->path, storeDirectory() / "sha256" / hex / "emu.bin");
    EXPECT_EQ(first->size, bytes.size());
    EXPECT_EQ(readWholeFile(first->path), bytes);
    struct stat status
    {
    };
    ASSERT_EQ(::stat(first->path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0444u);

    // The same bytes under another name: the same entry and path, the name remembered.
    const auto second = store.admit("副本.bin", sourceOf(bytes), error);
    ASSERT_TRUE(second) << error;
    EXPECT_EQ(second->path, first->path);
    EXPECT_EQ(second->names, (std::vector<std::string>{"emu.bin", "副本.bin"}));

    // Announced by digest: only hashed, never written, and the entry is answered.
    auto known = store.beginAdmission("third.bin", digestOf(bytes), error);
    ASSERT_TRUE(known) << error;
    ASSERT_TRUE(known->append(bytes.data(), bytes.size()));
    EXPECT_EQ(filesBelow(storeDirectory()), std::vector<std::string>{"sha256/" + hex + "/emu.bin"});
    const auto third = known->finish(error);
    ASSERT_TRUE(third) << error;
    EXPECT_EQ(third->path, first->path);
    EXPECT_EQ(third->names.size(), 3u);

    // Other bytes announced under a stored digest are refused and kept nowhere.
    auto wrong = store.beginAdmission("wrong.bin", digestOf(bytes), error);
    ASSERT_TRUE(wrong) << error;
    const std::string other = patternBytes(bytes.size(), 2);
    wrong->append(other.data(), other.size());
    EXPECT_FALSE(wrong->finish(error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(store.find(digestOf(other), error)) << error;
    EXPECT_EQ(filesBelow(storeDirectory()).size(), 1u);
}

TEST_F(FirmwareStoreTest, AFailedAdmissionLeavesNoFileAndNoRow)
{
    const std::string bytes = patternBytes(300000, 3);
    std::string error;
    EXPECT_FALSE(store.admit("broken.bin", sourceOf(bytes, 70000), error));
    EXPECT_FALSE(error.empty());
    {
        // Dropped part way without finishing.
        auto dropped = store.beginAdmission("dropped.bin", std::nullopt, error);
        ASSERT_TRUE(dropped) << error;
        ASSERT_TRUE(dropped->append(bytes.data(), 5000));
        EXPECT_EQ(filesBelow(storeDirectory()).size(), 1u);  // its temporary file
    }
    for (const std::string& name : {std::string(), std::string("a/b"), std::string(".."),
                                    std::string("n\0ul", 4), std::string("\xff.bin"), std::string(64, 'x')})
    {
        EXPECT_FALSE(store.beginAdmission(name, std::nullopt, error)) << name;
    }
    EXPECT_TRUE(filesBelow(storeDirectory()).empty());
    EXPECT_FALSE(store.find(digestOf(bytes), error));
    EXPECT_TRUE(error.empty()) << error;
}

TEST_F(FirmwareStoreTest, EntriesOutliveTheStoreAndRecordTheirUse)
{
    const std::string bytes = patternBytes(4096, 4);
    std::string error;
    const auto admitted = store.admit("bms.bin", sourceOf(bytes), error);
    ASSERT_TRUE(admitted) << error;
    store.close();

    CFirmwareStore reopened;
    openStore(reopened);
    auto found = reopened.find(digestOf(bytes), error);
    ASSERT_TRUE(found) << error;
    EXPECT_EQ(found->path, admitted->path);
    EXPECT_EQ(found->size, bytes.size());
    EXPECT_EQ(found->names, std::vector<std::string>{"bms.bin"});
    EXPECT_EQ(found->addedAtMs, admitted->addedAtMs);
    EXPECT_EQ(found->signature, E_FirmwareStoreSignature::NOT_CHECKED);
    EXPECT_TRUE(found->labels.empty());

    ASSERT_TRUE(reopened.touch(digestOf(bytes), error)) << error;
    EXPECT_GE(reopened.find(digestOf(bytes), error)->lastUsedAtMs, found->lastUsedAtMs);
    EXPECT_FALSE(reopened.touch(digestOf("unknown"), error));
}

// Three stored entries of 3000 bytes fill a store of 9000 (A admitted first, C last); one more
// admission then makes room, or is refused and keeps nothing.
TEST(FirmwareStoreEvictionTest, EvictsLeastRecentlyUsedEntriesNobodyNeeds)
{
    constexpr std::uint64_t kMaxBytes = 9000;
    struct S_Case
    {
        const char* what;
        std::string touched;       // entries used again after the three were admitted, in order
        std::string needed;        // entries the needed-digests callback names
        std::string announced;     // entries an unfinished admission announced by digest
        std::size_t incomingSize;  // 0: A's bytes again
        std::string survivors;
        bool admitted;
    };
    const std::vector<S_Case> cases = {
        {"the least recently used goes", "", "", "", 3000, "BC", true},
        {"a use moves an entry back", "A", "", "", 3000, "AC", true},
        {"needed entries stay", "", "AB", "", 3000, "AB", true},
        {"announced entries stay", "", "", "A", 3000, "AC", true},
        {"as many go as it takes", "B", "", "", 6000, "B", true},
        {"stored content needs no room", "", "", "", 0, "ABC", true},
        {"needed entries leave too little room", "", "AB", "", 4000, "ABC", false},
        {"larger than the store", "", "", "", kMaxBytes + 1, "ABC", false},
    };
    for (const S_Case& row : cases)
    {
        SCOPED_TRACE(row.what);
        CTempDirectory temp;
        const S_FirmwareStoreOptions options{temp / "firmware-store", kMaxBytes};
        CFirmwareStore store;
        std::string error;
        ASSERT_TRUE(store.open(temp / "history.db", options, error)) << error;
        std::vector<FirmwareDigest> stored;
        for (unsigned index = 0; index < 3; ++index)
        {
            const std::string bytes = patternBytes(3000, 10 + index);
            ASSERT_TRUE(
                store.admit(std::string(1, static_cast<char>('A' + index)) + ".bin", sourceOf(bytes), error))
                << error;
            stored.push_back(digestOf(bytes));
        }
        const auto digestsOf = [&stored](const std::string& letters)
        {
            std::vector<FirmwareDigest> digests;
            for (const char letter : letters)
            {
                digests.push_back(stored[static_cast<std::size_t>(letter - 'A')]);
            }
            return digests;
        };
        for (const FirmwareDigest& digest : digestsOf(row.touched))
        {
            ASSERT_TRUE(store.touch(digest, error)) << error;
        }
        store.setNeededDigests([needed = digestsOf(row.needed)] { return needed; });
        std::vector<std::unique_ptr<CFirmwareAdmission>> pending;
        for (const FirmwareDigest& digest : digestsOf(row.announced))
        {
            pending.push_back(store.beginAdmission("pending.bin", digest, error));
            ASSERT_TRUE(pending.back()) << error;
        }

        const std::string incoming =
            row.incomingSize == 0 ? patternBytes(3000, 10) : patternBytes(row.incomingSize, 20);
        auto admission = store.beginAdmission("incoming.bin", std::nullopt, error);
        ASSERT_TRUE(admission) << error;
        ASSERT_TRUE(admission->append(incoming.data(), incoming.size()));
        const auto entry = admission->finish(error);
        EXPECT_EQ(entry.has_value(), row.admitted) << error;
        EXPECT_EQ(admission->refusal().has_value(), !row.admitted);
        admission.reset();
        pending.clear();

        EXPECT_EQ(store.find(digestOf(incoming), error).has_value(), row.admitted || row.incomingSize == 0);
        std::set<std::string> expectedFiles;
        for (std::size_t index = 0; index < stored.size(); ++index)
        {
            const bool survives = row.survivors.find(static_cast<char>('A' + index)) != std::string::npos;
            EXPECT_EQ(store.find(stored[index], error).has_value(), survives) << index << error;
            if (survives)
            {
                expectedFiles.insert("sha256/" + toLowerHex(stored[index]) + "/" +
                                     static_cast<char>('A' + index) + ".bin");
            }
        }
        if (row.admitted && row.incomingSize != 0)
        {
            expectedFiles.insert("sha256/" + toLowerHex(digestOf(incoming)) + "/incoming.bin");
        }
        const std::vector<std::string> files = filesBelow(options.directory);
        EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), expectedFiles);
        const std::optional<std::uint64_t> total = store.storedBytes(error);
        ASSERT_TRUE(total) << error;
        EXPECT_LE(*total, kMaxBytes);
        store.close();

        // A file a crash left without its row goes at the next open; the rows stay as they were.
        temp.writeFile("firmware-store/sha256/" + std::string(64, 'f') + "/lost.bin", "lost");
        CFirmwareStore reopened;
        ASSERT_TRUE(reopened.open(temp / "history.db", options, error)) << error;
        EXPECT_EQ(reopened.storedBytes(error), total);
        EXPECT_EQ(filesBelow(options.directory).size(), expectedFiles.size());
    }
}

}  // namespace
}  // namespace ota::test

namespace ota::test
{
namespace
{

TEST_F(FirmwareStoreTest, ListsLabelsAndRemovesEntries)
{
    std::string error;
    std::vector<FirmwareDigest> added;  // oldest first
    for (unsigned index = 0; index < 5; ++index)
    {
        const std::string bytes = patternBytes(2000, 30 + index);
        ASSERT_TRUE(store.admit("f" + std::to_string(index) + ".bin", sourceOf(bytes), error)) << error;
        added.push_back(digestOf(bytes));
    }
    // A use does not move an entry in the list: the order is the order of addition.
    ASSERT_TRUE(store.touch(added[0], error)) << error;

    // Labels are added once each, in order, whatever repeats.
    const S_FirmwareStoreLabel dsp{"PCS_DSP1", "2.0.0"};
    const S_FirmwareStoreLabel arm{"PCS_ARM", "1.4.0"};
    ASSERT_TRUE(store.addLabels(added[1], {dsp}, error)) << error;
    ASSERT_TRUE(store.addLabels(added[1], {arm, dsp, arm}, error)) << error;
    EXPECT_EQ(store.find(added[1], error)->labels, (std::vector<S_FirmwareStoreLabel>{dsp, arm}));
    EXPECT_FALSE(store.addLabels(digestOf("never stored"), {dsp}, error));
    EXPECT_TRUE(error.empty()) << error;
    // A label finds the newest entry carrying it.
    ASSERT_TRUE(store.addLabels(added[3], {dsp}, error)) << error;
    EXPECT_EQ(store.findLabelled(dsp, error)->sha256, added[3]);
    EXPECT_EQ(store.findLabelled(arm, error)->sha256, added[1]);
    EXPECT_FALSE(store.findLabelled({"PCS_ARM", "9.9.9"}, error));
    EXPECT_TRUE(error.empty()) << error;

    // Pages of two, newest first, until nextBefore is 0.
    std::vector<FirmwareDigest> listed;
    std::int64_t before = 0;
    std::size_t pages = 0;
    do
    {
        std::int64_t next = -1;
        const auto page = store.list(2, before, next, error);
        ASSERT_TRUE(page) << error;
        EXPECT_LE(page->size(), 2u);
        for (const S_FirmwareStoreEntry& entry : *page)
        {
            listed.push_back(entry.sha256);
        }
        before = next;
        ASSERT_LT(++pages, 10u);
    } while (before != 0);
    EXPECT_EQ(pages, 3u);
    EXPECT_EQ(listed, std::vector<FirmwareDigest>(added.rbegin(), added.rend()));

    // Removal: refused while needed, then the row and the file go; unknown digests are not stored.
    const std::filesystem::path path = store.find(added[2], error)->path;
    store.setNeededDigests([&added] { return std::vector<FirmwareDigest>{added[2]}; });
    EXPECT_EQ(store.remove(added[2], error), E_FirmwareStoreRemoval::NEEDED);
    EXPECT_TRUE(std::filesystem::exists(path));
    store.setNeededDigests({});
    EXPECT_EQ(store.remove(added[2], error), E_FirmwareStoreRemoval::REMOVED) << error;
    EXPECT_FALSE(std::filesystem::exists(path.parent_path()));
    EXPECT_FALSE(store.find(added[2], error)) << error;
    EXPECT_EQ(store.remove(added[2], error), E_FirmwareStoreRemoval::NOT_STORED);
    EXPECT_EQ(parseFirmwareDigest(toLowerHex(added[3])), added[3]);
    EXPECT_FALSE(parseFirmwareDigest(toUpperHex(added[3].data(), added[3].size())));
}

}  // namespace
}  // namespace ota::test
