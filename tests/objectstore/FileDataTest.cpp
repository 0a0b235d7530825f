// File data: writes and reads across extents, holes, truncation, handles,
// createAndOpen flags, sync and full-disk answers.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <functional>
#include <utility>
#include <vector>

#include "objectstore/FaultPlan.h"
#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class FileDataTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ObjectStoreConfig cfg = LiveConfig();
        cfg.extentSize = 4096;  // small extents so that tests cross many of them
        s_ = Open(cfg);
        guid_ = MakeFile(s_, Root(s_), "f", "");
    }
    FileHandle OpenRw() {
        FileHandle fh;
        EXPECT_EQ(0, container_->open(s_, fh, ItemName(guid_, false), O_RDWR, false).ErrNo());
        return fh;
    }
    uint64_t Size() {
        struct stat st;
        ItemName item(guid_, false);
        EXPECT_EQ(0, container_->getattr(s_, item, st).ErrNo());
        return static_cast<uint64_t>(st.st_size);
    }
    uint64_t s_ = 0;
    std::string guid_;
};

TEST_F(FileDataTest, DataSpanningManyExtentsReadsBackExactly) {
    std::string data = Pattern(4096 * 5 + 123, 1);
    WriteAt(s_, guid_, 0, data);
    EXPECT_EQ(data, ReadAll(s_, ItemName(guid_, false)));
    // Overwrite across an extent boundary.
    std::string patch = Pattern(5000, 2);
    WriteAt(s_, guid_, 3000, patch);
    data.replace(3000, patch.size(), patch);
    EXPECT_EQ(data, ReadAll(s_, ItemName(guid_, false)));
}

TEST_F(FileDataTest, HolesReadAsZeros) {
    WriteAt(s_, guid_, 10000, "tail");
    EXPECT_EQ(10004u, Size());
    std::string expect(10000, '\0');
    expect += "tail";
    EXPECT_EQ(expect, ReadAll(s_, ItemName(guid_, false)));
}

TEST_F(FileDataTest, ReadIsShortAtEndOfFile) {
    WriteAt(s_, guid_, 0, "0123456789");
    FileHandle fh = OpenRw();
    char buf[32];
    uint64_t count = sizeof(buf);
    ASSERT_EQ(0, container_->read(s_, fh, buf, 4, count).ErrNo());
    EXPECT_EQ(6u, count);
    EXPECT_EQ("456789", std::string(buf, 6));
    count = sizeof(buf);
    ASSERT_EQ(0, container_->read(s_, fh, buf, 10, count).ErrNo());
    EXPECT_EQ(0u, count);
    count = sizeof(buf);
    ASSERT_EQ(0, container_->read(s_, fh, buf, 1 << 30, count).ErrNo());
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
}

TEST_F(FileDataTest, TruncateShrinksAndGrowsWithZeros) {
    std::string data = Pattern(9000, 3);
    WriteAt(s_, guid_, 0, data);
    ASSERT_EQ(0, container_->truncate(s_, ItemName(guid_, false), 5000, false).ErrNo());
    EXPECT_EQ(5000u, Size());
    EXPECT_EQ(data.substr(0, 5000), ReadAll(s_, ItemName(guid_, false)));
    ASSERT_EQ(0, container_->truncate(s_, ItemName(guid_, false), 12000, false).ErrNo());
    std::string expect = data.substr(0, 5000) + std::string(7000, '\0');
    EXPECT_EQ(expect, ReadAll(s_, ItemName(guid_, false)));
    // A write past the truncated data must not bring the old bytes back.
    WriteAt(s_, guid_, 7000, "Z");
    expect[7000] = 'Z';
    EXPECT_EQ(expect, ReadAll(s_, ItemName(guid_, false)));
}

TEST_F(FileDataTest, WritesOfAnOpenFileAreSeenByOtherHandles) {
    FileHandle a = OpenRw();
    FileHandle b;
    ASSERT_EQ(0, container_->open(s_, b, ItemName("/f"), O_RDONLY, false).ErrNo());
    EXPECT_EQ(guid_, b.item.getObjGuid());
    uint64_t count = 5;
    ASSERT_EQ(0, container_->write(s_, a, "hello", count, 0, 0).ErrNo());
    char buf[8];
    count = sizeof(buf);
    ASSERT_EQ(0, container_->read(s_, b, buf, 0, count).ErrNo());
    EXPECT_EQ("hello", std::string(buf, count));
    EXPECT_EQ(0, container_->close(s_, a).ErrNo());
    EXPECT_EQ(0, container_->close(s_, b).ErrNo());
}

// The size of writes not yet committed comes from the open file; an
// attribute read must find it however often the file was opened and closed.
TEST_F(FileDataTest, StatSeesUncommittedWritesOfEveryOpeningOfTheFile) {
    for (uint64_t round = 1; round <= 3; ++round) {
        FileHandle a = OpenRw();
        FileHandle b = OpenRw();
        uint64_t count = 4;
        ASSERT_EQ(0, container_->write(s_, a, "abcd", count, 8 * round, 0).ErrNo());
        EXPECT_EQ(8 * round + 4, Size()) << "round " << round;
        ASSERT_EQ(0, container_->close(s_, a).ErrNo());
        count = 4;
        ASSERT_EQ(0, container_->write(s_, b, "efgh", count, 8 * round + 4, 0).ErrNo());
        EXPECT_EQ(8 * round + 8, Size()) << "round " << round;
        ASSERT_EQ(0, container_->close(s_, b).ErrNo());
        EXPECT_EQ(8 * round + 8, Size()) << "round " << round;
    }
}

TEST_F(FileDataTest, HandlesAreRefusedAfterClose) {
    FileHandle fh = OpenRw();
    FileHandle copy = fh;
    ASSERT_EQ(0, container_->close(s_, fh).ErrNo());
    EXPECT_EQ(0u, fh.openId);
    char buf[4];
    uint64_t count = 4;
    EXPECT_EQ(EBADF, container_->read(s_, copy, buf, 0, count).ErrNo());
    EXPECT_EQ(0u, count);
    count = 4;
    EXPECT_EQ(EBADF, container_->write(s_, copy, "abcd", count, 0, 0).ErrNo());
    EXPECT_EQ(EBADF, container_->close(s_, copy).ErrNo());
    FileHandle never;
    EXPECT_EQ(EBADF, container_->close(s_, never).ErrNo());
}

TEST_F(FileDataTest, HandleOfOneStoreIsUnknownInAnother) {
    uint64_t other = Open(LiveConfig("/stores/other"));
    FileHandle fh = OpenRw();
    char buf[4];
    uint64_t count = 4;
    EXPECT_EQ(EBADF, container_->read(other, fh, buf, 0, count).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
}

TEST_F(FileDataTest, ReadOnlyHandleCannotWrite) {
    FileHandle fh;
    ASSERT_EQ(0, container_->open(s_, fh, ItemName(guid_, false), O_RDONLY, false).ErrNo());
    uint64_t count = 1;
    EXPECT_EQ(EBADF, container_->write(s_, fh, "x", count, 0, 0).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
}

TEST_F(FileDataTest, OpenWithTruncEmptiesTheFile) {
    WriteAt(s_, guid_, 0, "something");
    FileHandle fh;
    ASSERT_EQ(0, container_->open(s_, fh, ItemName(guid_, false), O_WRONLY | O_TRUNC, false).ErrNo());
    EXPECT_EQ(0u, Size());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
}

TEST_F(FileDataTest, DirectoriesCannotBeOpenedAsFiles) {
    Mkdir(s_, Root(s_), "d");
    FileHandle fh;
    EXPECT_EQ(EISDIR, container_->open(s_, fh, ItemName("/d"), O_RDONLY, false).ErrNo());
    EXPECT_EQ(EISDIR, container_->truncate(s_, ItemName("/d"), 0, false).ErrNo());
}

TEST_F(FileDataTest, CreateAndOpenHonoursExclusiveCreation) {
    FileHandle fh;
    struct stat st;
    ASSERT_EQ(0, container_->createAndOpen(s_, fh, Root(s_), "new", st, O_RDWR | O_CREAT | O_EXCL).ErrNo());
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0, st.st_size);
    EXPECT_EQ(32u, fh.item.getObjGuid().size());
    EXPECT_NE(0u, fh.openId);
    uint64_t count = 3;
    ASSERT_EQ(0, container_->write(s_, fh, "abc", count, 0, 1).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
    FileHandle again;
    EXPECT_EQ(EEXIST, container_->createAndOpen(s_, again, Root(s_), "new", st, O_RDWR | O_CREAT | O_EXCL).ErrNo());
    ASSERT_EQ(0, container_->createAndOpen(s_, again, Root(s_), "new", st, O_RDWR | O_CREAT).ErrNo());
    EXPECT_EQ(fh.item.getObjGuid(), again.item.getObjGuid());
    EXPECT_EQ(3, st.st_size);
    EXPECT_EQ(0, container_->close(s_, again).ErrNo());
}

TEST_F(FileDataTest, WritePastTheLargestFileIsEfbigAndChangesNothing) {
    WriteAt(s_, guid_, 0, "abc");
    FileHandle fh = OpenRw();
    uint64_t count = 10;
    EXPECT_EQ(EFBIG, container_->write(s_, fh, "0123456789", count, (1ull << 44) - 5, 0).ErrNo());
    EXPECT_EQ(0u, count);
    count = 1;
    EXPECT_EQ(EFBIG, container_->write(s_, fh, "x", count, UINT64_MAX, 0).ErrNo());
    EXPECT_EQ(EFBIG, container_->truncate(s_, ItemName(guid_, false), (1ull << 44) + 1, false).ErrNo());
    char buf[4];
    count = 4;
    EXPECT_EQ(EFBIG, container_->read(s_, fh, buf, UINT64_MAX, count).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
    EXPECT_EQ(3u, Size());
}

TEST_F(FileDataTest, NullBufferIsRefused) {
    FileHandle fh = OpenRw();
    uint64_t count = 4;
    EXPECT_EQ(EFAULT, container_->write(s_, fh, nullptr, count, 0, 0).ErrNo());
    count = 4;
    EXPECT_EQ(EFAULT, container_->read(s_, fh, nullptr, 0, count).ErrNo());
    count = 0;
    EXPECT_EQ(0, container_->write(s_, fh, nullptr, count, 0, 0).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
}

TEST_F(FileDataTest, FdatasyncAcceptsOpenAndClosedFilesAndDirectories) {
    FileHandle fh = OpenRw();
    uint64_t count = 4;
    ASSERT_EQ(0, container_->write(s_, fh, "sync", count, 0, 0).ErrNo());
    EXPECT_EQ(0, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
    EXPECT_EQ(0, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    EXPECT_EQ(0, container_->fdatasync(s_, Root(s_)).ErrNo());
    EXPECT_EQ(ENOENT, container_->fdatasync(s_, ItemName(std::string(32, 'b'), false)).ErrNo());
}

TEST_F(FileDataTest, ALostMetadataSyncFailsEveryLaterSyncUntilTheStoreIsOpenedAgain) {
    FileHandle fh = OpenRw();
    uint64_t count = 4;
    ASSERT_EQ(0, container_->write(s_, fh, "data", count, 0, 0).ErrNo());
    FaultPlan::Global().FailNext("meta.sync", 1, EIO);
    EXPECT_EQ(EIO, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    EXPECT_EQ(EIO, container_->fdatasync(s_, Root(s_)).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
    Restart();
    s_ = Open(LiveConfig());
    EXPECT_EQ(0, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    EXPECT_EQ("data", ReadAll(s_, ItemName(guid_, false)));
}

TEST_F(FileDataTest, ASecondSyncWithNothingNewWritesNothing) {
    FileHandle fh = OpenRw();
    uint64_t count = 4;
    ASSERT_EQ(0, container_->write(s_, fh, "data", count, 0, 0).ErrNo());
    ASSERT_EQ(0, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    // A failing sync would be seen: none may run for a file already durable.
    FaultPlan::Global().FailNext("meta.sync", 1, EIO);
    EXPECT_EQ(0, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
    EXPECT_EQ(0, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    EXPECT_EQ(0, FaultPlan::Global().Injected("meta.sync"));
    FaultPlan::Global().Clear();
}

// With many clients the log is seldom clean: a file already durable syncs
// nothing for other files' commits, but does for each later change of its
// own, whichever way it came.
TEST_F(FileDataTest, ASyncOfAFileWaitsOnlyForCommitsThatChangedIt) {
    const ItemName file(guid_, false);
    const std::vector<std::pair<std::string, std::function<int()>>> ownChanges = {
        {"chmod", [&] { return container_->chmod(s_, file, 0600).ErrNo(); }},
        {"setxattr", [&] { return container_->setxattr(s_, file, "ACL", "acl").ErrNo(); }},
        {"rename", [&] { return container_->rename(s_, "/renamed", "/f", false).ErrNo(); }},  // the last one
    };
    for (const auto& change : ownChanges) {
        SCOPED_TRACE(change.first);
        FileHandle fh = OpenRw();
        uint64_t count = 4;
        ASSERT_EQ(0, container_->write(s_, fh, "data", count, 0, 0).ErrNo());
        ASSERT_EQ(0, container_->fdatasync(s_, file).ErrNo());
        MakeFile(s_, Root(s_), "other-" + change.first, "other");
        // A failing sync would be seen: none may run for this file yet.
        FaultPlan::Global().FailNext("meta.sync", 1, EIO);
        EXPECT_EQ(0, container_->fdatasync(s_, file).ErrNo());
        ASSERT_EQ(0, change.second());
        EXPECT_EQ(EIO, container_->fdatasync(s_, file).ErrNo());
        EXPECT_EQ(1, FaultPlan::Global().Injected("meta.sync"));
        FaultPlan::Global().Clear();
        EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
        Restart();
        s_ = Open(LiveConfig());
    }
}

// An open file the store knows no commit of (opened after its last change)
// makes every commit so far durable: its own creation may be among them.
TEST_F(FileDataTest, ASyncOfAFileWithNoKnownCommitSyncsEveryCommit) {
    FileHandle fh = OpenRw();
    MakeFile(s_, Root(s_), "other", "other");
    FaultPlan::Global().FailNext("meta.sync", 1, EIO);
    EXPECT_EQ(EIO, container_->fdatasync(s_, ItemName(guid_, false)).ErrNo());
    EXPECT_EQ(1, FaultPlan::Global().Injected("meta.sync"));
    FaultPlan::Global().Clear();
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
}

TEST_F(FileDataTest, FullDiskAnswersEnospc) {
    container_->faultPlan().FailNext("write", 1, ENOSPC);
    FileHandle fh = OpenRw();
    uint64_t count = 3;
    EXPECT_EQ(ENOSPC, container_->write(s_, fh, "abc", count, 0, 0).ErrNo());
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
    EXPECT_EQ(0u, Size());
    // A write larger than the free disk space is refused by the store itself.
    FileHandle big = OpenRw();
    struct statfs fs;
    ASSERT_EQ(0, container_->statfs(s_, fs).ErrNo());
    uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_bsize;
    std::string small = "x";
    count = free + (64ull << 20);
    // The size check comes before the buffer is touched.
    EXPECT_EQ(ENOSPC, container_->write(s_, big, small.data(), count, 0, 0).ErrNo());
    EXPECT_EQ(0, container_->close(s_, big).ErrNo());
    EXPECT_EQ(0u, Size());
}

}  // namespace
}  // namespace ObjectStore
