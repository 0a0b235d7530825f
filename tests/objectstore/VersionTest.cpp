// File versions: a new version keeps the previous content; the version
// interval refuses (open) or skips (truncate, rename) a new version.
#include <fcntl.h>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class VersionTest : public StoreTest {
protected:
    uint64_t OpenWithInterval(uint32_t interval, bool enabled = true) {
        ObjectStoreConfig cfg = LiveConfig();
        cfg.versionInterval = interval;
        cfg.enabledVersions = enabled;
        return Open(cfg);
    }
    int OpenForWrite(uint64_t s, const std::string& guid, bool newVersion, FileHandle& fh, int extra = 0) {
        return container_->open(s, fh, ItemName(guid, false), O_WRONLY | extra, newVersion).ErrNo();
    }
};

TEST_F(VersionTest, NewVersionKeepsThePreviousContent) {
    uint64_t s = OpenWithInterval(0);
    std::string f = MakeFile(s, Root(s), "f", "version one");
    int64_t t1 = EndOfSecond();
    FileHandle fh;
    ASSERT_EQ(0, OpenForWrite(s, f, true, fh, O_TRUNC));
    uint64_t count = 11;
    ASSERT_EQ(0, container_->write(s, fh, "version two", count, 0, 0).ErrNo());
    ASSERT_EQ(0, container_->close(s, fh).ErrNo());
    EXPECT_EQ("version two", ReadPath(s, "/f"));
    EXPECT_EQ("2", StatValue(s, "Versions"));
    // The previous version is still there, unchanged.
    uint64_t view = Open(PitConfig(t1, false));
    EXPECT_EQ("version one", ReadPath(view, "/f"));
}

TEST_F(VersionTest, OverwriteInANewVersionLeavesTheOldOneIntact) {
    uint64_t s = OpenWithInterval(0);
    std::string data = Pattern(200000, 5);  // several 64 KiB extents
    std::string f = MakeFile(s, Root(s), "big", data);
    int64_t t1 = EndOfSecond();
    FileHandle fh;
    ASSERT_EQ(0, OpenForWrite(s, f, true, fh));
    uint64_t count = 10;
    ASSERT_EQ(0, container_->write(s, fh, "0123456789", count, 70000, 0).ErrNo());
    ASSERT_EQ(0, container_->close(s, fh).ErrNo());
    std::string changed = data;
    changed.replace(70000, 10, "0123456789");
    EXPECT_EQ(changed, ReadPath(s, "/big"));
    uint64_t view = Open(PitConfig(t1, false));
    EXPECT_EQ(data, ReadPath(view, "/big"));
    std::vector<std::string> problems;
    ASSERT_EQ(0, container_->checkIntegrity(s, problems).ErrNo());
    EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(VersionTest, YoungVersionRefusesANewOneWithEagain) {
    uint64_t s = OpenWithInterval(3600);
    std::string f = MakeFile(s, Root(s), "f", "one");
    FileHandle fh;
    EXPECT_EQ(EAGAIN, OpenForWrite(s, f, true, fh));
    EXPECT_EQ(0u, fh.openId);
    EXPECT_EQ("1", StatValue(s, "Versions"));
    // Without the flag the file opens as usual.
    ASSERT_EQ(0, OpenForWrite(s, f, false, fh));
    EXPECT_EQ(0, container_->close(s, fh).ErrNo());
    // Readers never ask for versions.
    ASSERT_EQ(0, container_->open(s, fh, ItemName(f, false), O_RDONLY, true).ErrNo());
    EXPECT_EQ(0, container_->close(s, fh).ErrNo());
}

TEST_F(VersionTest, IntervalChangedByUpdateAppliesAtOnce) {
    uint64_t s = OpenWithInterval(3600);
    std::string f = MakeFile(s, Root(s), "f", "one");
    ObjectStoreUpdates u;
    u.hasVersionInterval = true;
    u.versionInterval = 0;
    ASSERT_EQ(0, container_->updateObjectStore(s, u).ErrNo());
    FileHandle fh;
    ASSERT_EQ(0, OpenForWrite(s, f, true, fh));
    EXPECT_EQ(0, container_->close(s, fh).ErrNo());
    EXPECT_EQ("2", StatValue(s, "Versions"));
}

TEST_F(VersionTest, VersionsDisabledIgnoresTheFlag) {
    uint64_t s = OpenWithInterval(3600, false);
    std::string f = MakeFile(s, Root(s), "f", "one");
    FileHandle fh;
    ASSERT_EQ(0, OpenForWrite(s, f, true, fh));
    EXPECT_EQ(0, container_->close(s, fh).ErrNo());
    EXPECT_EQ("1", StatValue(s, "Versions"));
}

TEST_F(VersionTest, TruncateWithTheFlagKeepsThePreviousContent) {
    uint64_t s = OpenWithInterval(0);
    std::string f = MakeFile(s, Root(s), "f", "keep me");
    int64_t t1 = EndOfSecond();
    ASSERT_EQ(0, container_->truncate(s, ItemName(f, false), 2, true).ErrNo());
    EXPECT_EQ("ke", ReadPath(s, "/f"));
    EXPECT_EQ("2", StatValue(s, "Versions"));
    uint64_t view = Open(PitConfig(t1, false));
    EXPECT_EQ("keep me", ReadPath(view, "/f"));
}

TEST_F(VersionTest, TruncateOfAYoungVersionWorksInPlace) {
    uint64_t s = OpenWithInterval(3600);
    std::string f = MakeFile(s, Root(s), "f", "abcdef");
    ASSERT_EQ(0, container_->truncate(s, ItemName(f, false), 3, true).ErrNo());
    EXPECT_EQ("abc", ReadPath(s, "/f"));
    EXPECT_EQ("1", StatValue(s, "Versions"));
}

TEST_F(VersionTest, RenameWithTheFlagStartsANewVersionOfTheMovedFile) {
    uint64_t s = OpenWithInterval(0);
    MakeFile(s, Root(s), "tmp", "new data");
    MakeFile(s, Root(s), "target", "old data");
    int64_t t1 = EndOfSecond();
    ASSERT_EQ(0, container_->rename(s, "/target", "/tmp", true).ErrNo());
    EXPECT_EQ("new data", ReadPath(s, "/target"));
    EXPECT_EQ("3", StatValue(s, "Versions"));  // two files' first versions + one new
    uint64_t view = Open(PitConfig(t1, false));
    EXPECT_EQ("old data", ReadPath(view, "/target"));
    EXPECT_EQ("new data", ReadPath(view, "/tmp"));
}

}  // namespace
}  // namespace ObjectStore
