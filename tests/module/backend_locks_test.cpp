// Advisory locks through backend objects: the translation of flock records,
// tests, takes and releases in the store, the order of the checks, and store
// failures.
#include <fcntl.h>

#include <cerrno>
#include <cstdint>

#include <gtest/gtest.h>

#include "module/filehandle/FdToObjectStoreFH.h"
#include "tests/module/BackendFixture.h"

namespace {

using backendtest::BackendTest;

struct flock Record(short type, int64_t start, int64_t length) {
    struct flock record = {};
    record.l_type = type;
    record.l_whence = SEEK_SET;
    record.l_start = start;
    record.l_len = length;
    record.l_pid = 4242;
    return record;
}

void ExpectRecord(const struct flock& record, short type, int64_t start, int64_t length) {
    EXPECT_EQ(type, record.l_type);
    EXPECT_EQ(start, record.l_start);
    EXPECT_EQ(length, record.l_len);
    EXPECT_EQ(4242, record.l_pid);
}

// A file "/f" opened twice: descriptor a for owner A, descriptor b for owner B.
class BackendLocksTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        OpenShare();
        file_ = MakeFile(root_, "f", "0123456789");
        ASSERT_TRUE(file_);
        QuayCtxt ctxt = Allowed();
        a_ = file_->open(&ctxt, "/f", O_RDWR, 0);
        b_ = file_->open(&ctxt, "/f", O_RDWR, 0);
        ASSERT_GT(a_, 0);
        ASSERT_GT(b_, 0);
        ClearLines();
    }

    void TearDown() override {
        QuayCtxt ctxt = Allowed();
        if (a_ > 0) file_->close(&ctxt, a_);
        if (b_ > 0) file_->close(&ctxt, b_);
        file_.reset();
        BackendTest::TearDown();
    }

    int Call(int cmd, struct flock& record, int fd, void* owner) {
        QuayCtxt ctxt = Allowed();
        errno = 0;
        return file_->filelock(&ctxt, cmd, &record, fd, owner);
    }
    int ByA(int cmd, struct flock& record) { return Call(cmd, record, a_, &ownerA_); }
    int ByB(int cmd, struct flock& record) { return Call(cmd, record, b_, &ownerB_); }

    // True when owner B's test of [start, start+length) finds it held.
    bool HeldForB(short type, int64_t start, int64_t length) {
        struct flock record = Record(type, start, length);
        EXPECT_EQ(0, ByB(F_GETLK, record));
        return record.l_type != F_UNLCK;
    }

    BkEndProcPtr file_;
    int a_ = -1;
    int b_ = -1;
    int ownerA_ = 0;
    int ownerB_ = 0;
};

// --- Test.

TEST_F(BackendLocksTest, TestAnswersFreeAndHeldRanges) {
    struct flock idle = Record(F_WRLCK, 0, 10);
    EXPECT_EQ(0, ByB(F_GETLK, idle));
    ExpectRecord(idle, F_UNLCK, 0, 10);
    EXPECT_LOGGED(4, "lock type [1]");
    EXPECT_LOGGED(3, "INFO: file [/f] can be locked");

    struct flock take = Record(F_WRLCK, 0, 10);
    ASSERT_EQ(0, ByA(F_SETLK, take));
    ClearLines();
    struct flock held = Record(F_RDLCK, 5, 10);
    EXPECT_EQ(0, ByB(F_GETLK, held));
    ExpectRecord(held, F_RDLCK, 5, 10);  // left as the caller wrote it
    EXPECT_LOGGED(1, "INFO: file [/f] is already locked");
    EXPECT_NOT_LOGGED("INFO: file [/f] can be locked");

    // The holder's own lock does not stand in its way, nor does a range beside it.
    struct flock own = Record(F_WRLCK, 0, 10);
    EXPECT_EQ(0, ByA(F_GETLK, own));
    EXPECT_EQ(F_UNLCK, own.l_type);
    EXPECT_FALSE(HeldForB(F_WRLCK, 10, 5));
}

// --- Ranges.

TEST_F(BackendLocksTest, WholeFileLockReachesTheStoreAsZeroToEnd) {
    struct flock whole = Record(F_WRLCK, 0, 0);
    ASSERT_EQ(0, ByA(F_SETLK, whole));

    boost::shared_ptr<ObjectStore::FileHandle> other;
    ASSERT_TRUE(FdToObjectStoreFH::find(b_, other));
    ObjectStore::LockInfo farAway;
    farAway.fileHandle = other.get();
    farAway.firstByte = INT64_MAX - 1;
    farAway.lastByte = -1;
    farAway.owner = &ownerB_;
    bool locked = false;
    ASSERT_FALSE(container_->telllock(exp_->GetObjStoreIndex(), farAway, locked).IsError());
    EXPECT_TRUE(locked);
    EXPECT_TRUE(HeldForB(F_RDLCK, 0, 1));
}

TEST_F(BackendLocksTest, ZeroLengthFromAnOffsetReachesToTheEnd) {
    struct flock tail = Record(F_WRLCK, 100, 0);
    ASSERT_EQ(0, ByA(F_SETLK, tail)) << "errno " << errno << "\n" << testsupport::Dump(Lines());
    EXPECT_FALSE(HeldForB(F_WRLCK, 0, 100));
    EXPECT_TRUE(HeldForB(F_WRLCK, 100, 1));
    EXPECT_TRUE(HeldForB(F_WRLCK, int64_t(1) << 50, 1));
}

TEST_F(BackendLocksTest, NegativeLengthCoversTheBytesBeforeTheStart) {
    struct flock before = Record(F_WRLCK, 10, -5);  // bytes 5 to 9
    ASSERT_EQ(0, ByA(F_SETLK, before));
    EXPECT_FALSE(HeldForB(F_WRLCK, 4, 1));
    EXPECT_TRUE(HeldForB(F_WRLCK, 5, 1));
    EXPECT_TRUE(HeldForB(F_WRLCK, 9, 1));
    EXPECT_FALSE(HeldForB(F_WRLCK, 10, 1));
}

TEST_F(BackendLocksTest, RangesOutsideTheFileFailWithEinval) {
    struct {
        int64_t start, length;
    } cases[] = {{-1, 10}, {3, -5}, {INT64_MAX, 2}, {INT64_MIN, 0}};
    for (const auto& c : cases) {
        ClearLines();
        struct flock record = Record(F_WRLCK, c.start, c.length);
        EXPECT_EQ(-1, ByA(F_SETLK, record)) << c.start << " " << c.length;
        EXPECT_EQ(EINVAL, errno);
        EXPECT_LOGGED(-1, "ERROR: Invalid lock range start [" + std::to_string(c.start) +
                              "] length [" + std::to_string(c.length) + "] on the file [/f]");
        ExpectRecord(record, F_WRLCK, c.start, c.length);
    }
    EXPECT_FALSE(HeldForB(F_WRLCK, 0, 0));
}

// --- Commands and checks.

TEST_F(BackendLocksTest, SetLkwIsAcceptedAndTakesNothing) {
    struct flock wait = Record(F_WRLCK, 0, 0);
    EXPECT_EQ(0, ByA(F_SETLKW, wait));
    ExpectRecord(wait, F_WRLCK, 0, 0);
    EXPECT_NOT_LOGGED("INFO: file [/f] is locked");
    EXPECT_FALSE(HeldForB(F_WRLCK, 0, 0));
    struct flock unknownCommand = Record(F_UNLCK, 0, 0);
    EXPECT_EQ(0, ByA(99, unknownCommand));
}

TEST_F(BackendLocksTest, UnknownTypeFailsForEveryCommand) {
    for (int cmd : {F_GETLK, F_SETLK, F_SETLKW, 99}) {
        ClearLines();
        struct flock record = Record(3, 0, 0);
        EXPECT_EQ(-1, ByA(cmd, record)) << cmd;
        EXPECT_EQ(EINVAL, errno);
        EXPECT_LOGGED(4, "lock type [3]");
        EXPECT_LOGGED(-1, "Unknown lock type [3]");
        EXPECT_EQ(3, record.l_type);
    }
}

TEST_F(BackendLocksTest, ClosedDescriptorFailsBeforeTheTypeIsRead) {
    QuayCtxt ctxt = Allowed();
    const int closed = a_;
    ASSERT_EQ(0, file_->close(&ctxt, a_));
    a_ = -1;
    ClearLines();
    struct flock record = Record(7, 0, 0);
    EXPECT_EQ(-1, Call(F_SETLK, record, closed, &ownerA_));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to get FileHandle for fd [" + std::to_string(closed) +
                          "] in map");
    EXPECT_NOT_LOGGED("lock type [7]");
    EXPECT_NOT_LOGGED("Unknown lock type [7]");

    EXPECT_EQ(-1, Call(F_SETLKW, record, closed, &ownerA_));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, Call(F_GETLK, record, 0, &ownerA_));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(BackendLocksTest, MissingRecordIsEfault) {
    QuayCtxt ctxt = Allowed();
    errno = 0;
    EXPECT_EQ(-1, file_->filelock(&ctxt, F_SETLK, nullptr, a_, &ownerA_));
    EXPECT_EQ(EFAULT, errno);
}

// --- Two owners.

TEST_F(BackendLocksTest, OwnersConflictUntilTheHolderReleases) {
    struct flock mine = Record(F_WRLCK, 0, 100);
    ASSERT_EQ(0, ByA(F_SETLK, mine));
    EXPECT_LOGGED(3, "INFO: file [/f] is locked");

    ClearLines();
    struct flock theirs = Record(F_WRLCK, 50, 10);
    EXPECT_EQ(-1, ByB(F_SETLK, theirs));
    EXPECT_EQ(EAGAIN, errno);
    ExpectRecord(theirs, F_WRLCK, 50, 10);
    EXPECT_LOGGED(1, "INFO: file [/f] is already blocked");
    EXPECT_NOT_LOGGED("ERROR: Error in  locking the file [/f]");

    ClearLines();
    struct flock release = Record(F_UNLCK, 0, 100);
    ASSERT_EQ(0, ByA(F_SETLK, release));
    EXPECT_LOGGED(3, "INFO: file [/f] is unlocked");
    EXPECT_EQ(0, ByB(F_SETLK, theirs)) << "errno " << errno;
    EXPECT_FALSE(HeldForB(F_WRLCK, 55, 1));  // B's own lock
    struct flock again = Record(F_RDLCK, 55, 1);
    EXPECT_EQ(-1, ByA(F_SETLK, again));
    EXPECT_EQ(EAGAIN, errno);
}

TEST_F(BackendLocksTest, ReleasingWhatIsNotHeldSucceeds) {
    struct flock release = Record(F_UNLCK, 0, 0);
    EXPECT_EQ(0, ByA(F_SETLK, release));
    EXPECT_LOGGED(3, "INFO: file [/f] is unlocked");
}

// --- Store failures.

TEST_F(BackendLocksTest, StoreFailuresCarryTheStoreErrno) {
    struct flock test = Record(F_WRLCK, 0, 0);
    Faults().FailNext("telllock", 1, EIO);
    EXPECT_EQ(-1, ByA(F_GETLK, test));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Error getting lock info on the file [/f]");
    ExpectRecord(test, F_WRLCK, 0, 0);

    struct flock take = Record(F_WRLCK, 0, 0);
    Faults().FailNext("lock", 1, ENOLCK);
    EXPECT_EQ(-1, ByA(F_SETLK, take));
    EXPECT_EQ(ENOLCK, errno);
    EXPECT_LOGGED(-1, "ERROR: Error in  locking the file [/f]");
    EXPECT_FALSE(HeldForB(F_WRLCK, 0, 0));

    struct flock release = Record(F_UNLCK, 0, 0);
    Faults().FailNext("unlock", 1, EIO);
    EXPECT_EQ(-1, ByA(F_SETLK, release));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Error in  unlocking the file [/f]");
}

TEST_F(BackendLocksTest, PathLookupFailureOnlyEmptiesTheLogPath) {
    Faults().FailNext("guidToPath", 1, EIO);
    struct flock take = Record(F_WRLCK, 0, 0);
    EXPECT_EQ(0, ByA(F_SETLK, take));
    EXPECT_LOGGED(3, "INFO: file [] is locked");
    EXPECT_TRUE(HeldForB(F_WRLCK, 0, 0));
}

}  // namespace
