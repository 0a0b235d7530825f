// Inline data: small files keep their bytes in the metadata instead of an
// extent file, move to an extent file when they grow, and keep every history
// guarantee (views, versions, writable views, restarts) that extents give.
// Also the migration of format-1 stores, which have no inline data.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>

#include "objectstore/SqlConnection.h"
#include "objectstore/StoreFormat.h"
#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

// The columns of the extmap table as format 1 had them, without data.
const char* const kFormat1ExtmapColumns =
    "(id INTEGER PRIMARY KEY, guid TEXT NOT NULL, version INTEGER NOT NULL, idx INTEGER NOT NULL, "
    "extent INTEGER NOT NULL, len INTEGER NOT NULL, sealed INTEGER NOT NULL, from_us INTEGER NOT NULL, "
    "to_us INTEGER NOT NULL)";

int extentFiles = 0;
int CountExtentFile(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_F && std::string(path).find(std::string("/") + kExtentDirName + "/") != std::string::npos)
        ++extentFiles;
    return 0;
}

// Extent files anywhere under dir: the store's own and its writable views'.
int ExtentFilesUnder(const std::string& dir) {
    extentFiles = 0;
    ::nftw(dir.c_str(), CountExtentFile, 16, FTW_PHYS);
    return extentFiles;
}

class InlineDataTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(LiveConfig());
    }
    std::string StoreFolder() const { return dataRoot_ + "/stores%2Fs1"; }
    int ExtentFiles() const { return ExtentFilesUnder(StoreFolder()); }
    void Fdatasync(uint64_t store, const std::string& guid) {
        CPelError err = container_->fdatasync(store, ItemName(guid, false));
        EXPECT_EQ(0, err.ErrNo()) << err.Message();
    }
    void Truncate(uint64_t store, const std::string& guid, uint64_t size) {
        CPelError err = container_->truncate(store, ItemName(guid, false), size, false);
        EXPECT_EQ(0, err.ErrNo()) << err.Message();
    }
    void ExpectIntact(uint64_t store) {
        std::vector<std::string> problems;
        ASSERT_EQ(0, container_->checkIntegrity(store, problems).ErrNo());
        for (const std::string& p : problems) ADD_FAILURE() << p;
    }
    uint64_t s_ = 0;
};

TEST_F(InlineDataTest, SmallFileIsCommittedWithoutAnExtentFile) {
    std::string data = Pattern(4096, 1);
    std::string f = MakeFile(s_, Root(s_), "small", data);
    Fdatasync(s_, f);
    EXPECT_EQ(0, ExtentFiles());
    EXPECT_EQ(data, ReadPath(s_, "/small"));
    // A file exactly at the limit is still inline.
    std::string full = Pattern(kInlineMax, 2);
    MakeFile(s_, Root(s_), "full", full);
    EXPECT_EQ(0, ExtentFiles());
    EXPECT_EQ(full, ReadPath(s_, "/full"));
    ExpectIntact(s_);
}

TEST_F(InlineDataTest, InlineDataSurvivesARestart) {
    std::string data = Pattern(3000, 3);
    std::string f = MakeFile(s_, Root(s_), "small", data);
    WriteAt(s_, f, 5000, "tail", 1);
    Restart();
    uint64_t s = Open(LiveConfig());
    std::string expect = data + std::string(2000, '\0') + "tail";
    EXPECT_EQ(expect, ReadPath(s, "/small"));
    EXPECT_EQ(0, ExtentFiles());
    ExpectIntact(s);
}

TEST_F(InlineDataTest, GrowingPastTheLimitMovesTheDataToAnExtentFile) {
    // Data with a hole inside the inline range.
    std::string head = Pattern(1000, 4);
    std::string f = MakeFile(s_, Root(s_), "grow", head);
    WriteAt(s_, f, 6000, "after the hole");
    EXPECT_EQ(0, ExtentFiles());
    std::string expect = head + std::string(5000, '\0') + "after the hole";
    EXPECT_EQ(expect, ReadPath(s_, "/grow"));

    std::string tail = Pattern(500, 5);
    WriteAt(s_, f, kInlineMax - 100, tail);
    EXPECT_EQ(1, ExtentFiles());
    expect.resize(kInlineMax - 100, '\0');
    expect += tail;
    EXPECT_EQ(expect, ReadPath(s_, "/grow"));
    // Once promoted it stays an ordinary extent, even when it shrinks again.
    Truncate(s_, f, 10);
    WriteAt(s_, f, 0, "x");
    EXPECT_EQ(1, ExtentFiles());
    EXPECT_EQ("x" + expect.substr(1, 9), ReadPath(s_, "/grow"));
    ExpectIntact(s_);
}

TEST_F(InlineDataTest, WritingAnotherExtentMovesTheDataToAnExtentFile) {
    std::string f = MakeFile(s_, Root(s_), "sparse", "head");
    uint64_t far = LiveConfig().extentSize + 10;  // inside extent index 1
    WriteAt(s_, f, far, "far");
    EXPECT_EQ(2, ExtentFiles());
    std::string expect = "head" + std::string(far - 4, '\0') + "far";
    EXPECT_EQ(expect, ReadPath(s_, "/sparse"));
    ExpectIntact(s_);
}

TEST_F(InlineDataTest, TruncateAndExtendZeroFillLikeAnExtent) {
    std::string f = MakeFile(s_, Root(s_), "t", "0123456789");
    Truncate(s_, f, 4);
    EXPECT_EQ("0123", ReadPath(s_, "/t"));
    Truncate(s_, f, 8);
    EXPECT_EQ(std::string("0123\0\0\0\0", 8), ReadPath(s_, "/t"));
    // A write past the end leaves a gap of zeros, not the cut-off bytes.
    WriteAt(s_, f, 12, "x");
    EXPECT_EQ(std::string("0123\0\0\0\0\0\0\0\0x", 13), ReadPath(s_, "/t"));
    Truncate(s_, f, 0);
    EXPECT_EQ("", ReadPath(s_, "/t"));
    // Extended far past the inline limit without data: still no extent file.
    Truncate(s_, f, 100000);
    EXPECT_EQ(std::string(100000, '\0'), ReadPath(s_, "/t"));
    EXPECT_EQ(0, ExtentFiles());
    ExpectIntact(s_);
}

TEST_F(InlineDataTest, PointInTimeViewKeepsTheOldBytes) {
    std::string f = MakeFile(s_, Root(s_), "f", "first! content");
    int64_t t1 = EndOfSecond();
    WriteAt(s_, f, 0, "SECOND");
    // A view time in the future means "now": the view sees the row just
    // written, which from then on must not change in place.
    uint64_t view2 = Open(PitConfig(t1 + 3600, false));
    WriteAt(s_, f, 0, "THIRD!");
    uint64_t view1 = Open(PitConfig(t1, false));
    EXPECT_EQ("first! content", ReadPath(view1, "/f"));
    EXPECT_EQ("SECOND content", ReadPath(view2, "/f"));
    EXPECT_EQ("THIRD! content", ReadPath(s_, "/f"));
    // Promotion leaves the views' inline rows alone too.
    WriteAt(s_, f, kInlineMax, "big");
    EXPECT_EQ("first! content", ReadPath(view1, "/f"));
    EXPECT_EQ("SECOND content", ReadPath(view2, "/f"));
    ExpectIntact(s_);
}

TEST_F(InlineDataTest, OlderVersionsKeepTheirBytes) {
    ObjectStoreConfig cfg = LiveConfig("/stores/versions");
    cfg.enabledVersions = true;
    uint64_t s = Open(cfg);
    std::string f = MakeFile(s, Root(s), "f", "version one");
    int64_t t1 = EndOfSecond();
    FileHandle fh;
    ASSERT_EQ(0, container_->open(s, fh, ItemName(f, false), O_RDWR, true).ErrNo());
    uint64_t count = 3;
    ASSERT_EQ(0, container_->write(s, fh, "TWO", count, 8, 0).ErrNo());
    ASSERT_EQ(0, container_->close(s, fh).ErrNo());
    EXPECT_EQ("2", StatValue(s, "Versions"));
    EXPECT_EQ("version TWO", ReadPath(s, "/f"));
    EXPECT_EQ("version one", ReadPath(Open(PitConfig(t1, false, "/stores/versions")), "/f"));
    ExpectIntact(s);
}

TEST_F(InlineDataTest, WritableViewSeesInlineFilesAndKeepsItsOwnInline) {
    std::string f = MakeFile(s_, Root(s_), "base", "base bytes");
    uint64_t view = Open(PitConfig(EndOfSecond(), true));
    EXPECT_EQ("base bytes", ReadPath(view, "/base"));
    WriteAt(view, f, 0, "VIEW");
    MakeFile(view, Root(view), "mine", "view file");
    EXPECT_EQ("VIEW bytes", ReadPath(view, "/base"));
    EXPECT_EQ("view file", ReadPath(view, "/mine"));
    EXPECT_EQ("base bytes", ReadPath(s_, "/base"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/mine"));
    EXPECT_EQ(0, ExtentFiles());
    ExpectIntact(view);
    // Growing the inherited file in the view gives the view an extent of its own.
    std::string big = Pattern(kInlineMax + 1, 6);
    WriteAt(view, f, 0, big);
    EXPECT_EQ(big, ReadPath(view, "/base"));
    EXPECT_EQ("base bytes", ReadPath(s_, "/base"));
    EXPECT_EQ(1, ExtentFilesUnder(StoreFolder() + "/" + kViewDirName));
    EXPECT_EQ(1, ExtentFiles());
    ExpectIntact(view);
    ExpectIntact(s_);
}

TEST_F(InlineDataTest, Format1StoreIsMigratedAndReadsItsFiles) {
    std::string big = Pattern(100000, 7);
    MakeFile(s_, Root(s_), "big", big);
    // A small file in an extent file, as format 1 kept every file.
    std::string small = MakeFile(s_, Root(s_), "small", Pattern(kInlineMax + 5, 8));
    Truncate(s_, small, 20);
    int extents = ExtentFiles();
    ASSERT_EQ(3, extents);
    container_.reset();
    {
        SqlConnection c(StoreFolder() + "/" + kMetaFileName, false, false, 5000);
        c.Exec("BEGIN");
        c.Exec(std::string("CREATE TABLE extmap_old") + kFormat1ExtmapColumns);
        c.Exec("INSERT INTO extmap_old SELECT id, guid, version, idx, extent, len, sealed, from_us, to_us "
               "FROM extmap");
        c.Exec("DROP TABLE extmap");
        c.Exec("ALTER TABLE extmap_old RENAME TO extmap");
        c.Exec("CREATE INDEX extmap_by_file ON extmap(guid, version, to_us, idx)");
        c.Exec("ALTER TABLE nodes DROP COLUMN subdirs");
        c.Exec("UPDATE meta SET value = '1' WHERE key = 'format'");
        c.Exec("COMMIT");
    }
    Restart();
    uint64_t s = Open(LiveConfig());
    EXPECT_EQ(big, ReadPath(s, "/big"));
    EXPECT_EQ(Pattern(kInlineMax + 5, 8).substr(0, 20), ReadPath(s, "/small"));
    ExpectIntact(s);
    // New small files go inline in the migrated store.
    MakeFile(s, Root(s), "new", "new small file");
    EXPECT_EQ("new small file", ReadPath(s, "/new"));
    EXPECT_EQ(extents, ExtentFiles());
    container_.reset();
    SqlConnection c(StoreFolder() + "/" + kMetaFileName, false, true, 5000);
    SqlConnection::Stmt format(c, "SELECT value FROM meta WHERE key = 'format'");
    ASSERT_TRUE(format.Step());
    EXPECT_EQ(std::to_string(kFormatVersion), format.Text(0));
}

TEST_F(InlineDataTest, IntegrityCheckFindsAnInlineRowShorterThanItsLength) {
    MakeFile(s_, Root(s_), "f", "ten bytes!");
    container_.reset();
    int64_t row = 0;
    {
        SqlConnection c(StoreFolder() + "/" + kMetaFileName, false, false, 5000);
        SqlConnection::Stmt find(c, "SELECT id FROM extmap WHERE extent = 0");
        ASSERT_TRUE(find.Step());
        row = find.Int(0);
        c.Exec("UPDATE extmap SET len = 100 WHERE id = " + std::to_string(row));
        c.Exec("UPDATE nodes SET size = 100 WHERE name = 'f'");
    }
    Restart();
    uint64_t s = Open(LiveConfig());
    std::vector<std::string> problems;
    ASSERT_EQ(0, container_->checkIntegrity(s, problems).ErrNo());
    EXPECT_EQ(std::vector<std::string>{"inline extent row " + std::to_string(row) + " holds fewer than 100 bytes"},
              problems);
    // Reading it cannot run past the stored bytes: the missing ones read as zeros.
    EXPECT_EQ("ten bytes!" + std::string(90, '\0'), ReadPath(s, "/f"));
}

TEST_F(InlineDataTest, NewerFormatIsRefused) {
    container_.reset();
    {
        SqlConnection c(StoreFolder() + "/" + kMetaFileName, false, false, 5000);
        c.Exec("UPDATE meta SET value = '" + std::to_string(kFormatVersion + 1) + "' WHERE key = 'format'");
    }
    Restart();
    uint64_t index = 0;
    EXPECT_EQ(EPROTO, container_->openObjectStore(index, LiveConfig()).ErrNo());
}

}  // namespace
}  // namespace ObjectStore
