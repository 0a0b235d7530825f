// Byte-range locks between owners: shared and exclusive ranges, conflicts
// answered with EAGAIN and the holder, releases that split ranges.
#include <fcntl.h>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class LockTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(LiveConfig());
        std::string f = MakeFile(s_, Root(s_), "f", "data");
        ASSERT_EQ(0, container_->open(s_, fhA_, ItemName(f, false), O_RDWR, false).ErrNo());
        ASSERT_EQ(0, container_->open(s_, fhB_, ItemName(f, false), O_RDWR, false).ErrNo());
    }
    void TearDown() override {
        container_->close(s_, fhA_);
        container_->close(s_, fhB_);
        StoreTest::TearDown();
    }
    LockInfo Info(FileHandle& fh, int kind, int64_t first, int64_t last, void* owner) {
        LockInfo l;
        l.fileHandle = &fh;
        l.kind = kind;
        l.firstByte = first;
        l.lastByte = last;
        l.owner = owner;
        return l;
    }
    int Take(FileHandle& fh, int kind, int64_t first, int64_t last, void* owner, LockInfo* holder = nullptr) {
        LockInfo h;
        int e = container_->lock(s_, Info(fh, kind, first, last, owner), h).ErrNo();
        if (holder) *holder = h;
        return e;
    }
    bool Locked(FileHandle& fh, int kind, int64_t first, int64_t last, void* owner) {
        bool locked = false;
        EXPECT_EQ(0, container_->telllock(s_, Info(fh, kind, first, last, owner), locked).ErrNo());
        return locked;
    }
    uint64_t s_ = 0;
    FileHandle fhA_, fhB_;
    int ownerA_ = 0, ownerB_ = 0;
    void* a_ = &ownerA_;
    void* b_ = &ownerB_;
};

TEST_F(LockTest, SharedLocksOfTwoOwnersCoexist) {
    EXPECT_EQ(0, Take(fhA_, LOCK_SHARED, 0, 99, a_));
    EXPECT_EQ(0, Take(fhB_, LOCK_SHARED, 50, 149, b_));
    EXPECT_TRUE(Locked(fhB_, LOCK_EXCLUSIVE, 0, 10, b_));
    EXPECT_FALSE(Locked(fhB_, LOCK_SHARED, 0, 10, b_));
}

TEST_F(LockTest, ConflictIsEagainAndDescribesTheHolder) {
    ASSERT_EQ(0, Take(fhA_, LOCK_EXCLUSIVE, 100, 199, a_));
    LockInfo holder;
    EXPECT_EQ(EAGAIN, Take(fhB_, LOCK_SHARED, 150, 160, b_, &holder));
    EXPECT_EQ(LOCK_EXCLUSIVE, holder.kind);
    EXPECT_EQ(100, holder.firstByte);
    EXPECT_EQ(199, holder.lastByte);
    EXPECT_EQ(a_, holder.owner);
    // Ranges that do not overlap are free.
    EXPECT_EQ(0, Take(fhB_, LOCK_EXCLUSIVE, 200, 299, b_));
    EXPECT_EQ(0, Take(fhB_, LOCK_EXCLUSIVE, 0, 99, b_));
}

TEST_F(LockTest, WholeFileLockReachesToTheEnd) {
    ASSERT_EQ(0, Take(fhA_, LOCK_EXCLUSIVE, 0, -1, a_));
    EXPECT_EQ(EAGAIN, Take(fhB_, LOCK_SHARED, INT64_MAX - 1, INT64_MAX - 1, b_));
    EXPECT_TRUE(Locked(fhB_, LOCK_SHARED, 1 << 30, -1, b_));
}

TEST_F(LockTest, AnOwnerMayChangeItsOwnLock) {
    ASSERT_EQ(0, Take(fhA_, LOCK_SHARED, 0, 99, a_));
    EXPECT_EQ(0, Take(fhA_, LOCK_EXCLUSIVE, 0, 99, a_));  // upgrade
    EXPECT_EQ(EAGAIN, Take(fhB_, LOCK_SHARED, 0, 0, b_));
    EXPECT_EQ(0, Take(fhA_, LOCK_SHARED, 0, 99, a_));  // downgrade
    EXPECT_EQ(0, Take(fhB_, LOCK_SHARED, 0, 0, b_));
}

TEST_F(LockTest, UpgradeIsRefusedWhileAnotherOwnerShares) {
    ASSERT_EQ(0, Take(fhA_, LOCK_SHARED, 0, 99, a_));
    ASSERT_EQ(0, Take(fhB_, LOCK_SHARED, 0, 99, b_));
    EXPECT_EQ(EAGAIN, Take(fhA_, LOCK_EXCLUSIVE, 0, 99, a_));
}

TEST_F(LockTest, UnlockOfTheMiddleSplitsTheRange) {
    ASSERT_EQ(0, Take(fhA_, LOCK_EXCLUSIVE, 0, 299, a_));
    ASSERT_EQ(0, container_->unlock(s_, Info(fhA_, LOCK_EXCLUSIVE, 100, 199, a_)).ErrNo());
    EXPECT_EQ(0, Take(fhB_, LOCK_EXCLUSIVE, 100, 199, b_));
    EXPECT_EQ(EAGAIN, Take(fhB_, LOCK_SHARED, 99, 99, b_));
    EXPECT_EQ(EAGAIN, Take(fhB_, LOCK_SHARED, 200, 200, b_));
    // Another owner cannot release what it does not hold.
    ASSERT_EQ(0, container_->unlock(s_, Info(fhB_, LOCK_SHARED, 0, -1, b_)).ErrNo());
    EXPECT_TRUE(Locked(fhB_, LOCK_SHARED, 0, 0, b_));
    // Releasing a range nobody holds is fine.
    EXPECT_EQ(0, container_->unlock(s_, Info(fhA_, LOCK_SHARED, 5000, 6000, a_)).ErrNo());
}

TEST_F(LockTest, ClosingTheFileReleasesItsLocks) {
    ASSERT_EQ(0, Take(fhA_, LOCK_EXCLUSIVE, 0, -1, a_));
    ASSERT_EQ(0, container_->close(s_, fhA_).ErrNo());
    EXPECT_EQ(0, Take(fhB_, LOCK_EXCLUSIVE, 0, -1, b_));
}

TEST_F(LockTest, BadRequestsAreRefused) {
    LockInfo h;
    EXPECT_EQ(EINVAL, container_->lock(s_, Info(fhA_, 3, 0, 1, a_), h).ErrNo());
    EXPECT_EQ(EINVAL, container_->lock(s_, Info(fhA_, 0, 0, 1, a_), h).ErrNo());
    EXPECT_EQ(EINVAL, container_->lock(s_, Info(fhA_, LOCK_SHARED, -1, 1, a_), h).ErrNo());
    EXPECT_EQ(EINVAL, container_->lock(s_, Info(fhA_, LOCK_SHARED, 10, 5, a_), h).ErrNo());
    EXPECT_EQ(EINVAL, container_->lock(s_, Info(fhA_, LOCK_SHARED, 0, -2, a_), h).ErrNo());
    LockInfo none;
    EXPECT_EQ(EINVAL, container_->lock(s_, none, h).ErrNo());
    FileHandle closed;
    EXPECT_EQ(EBADF, container_->lock(s_, Info(closed, LOCK_SHARED, 0, 1, a_), h).ErrNo());
    bool locked = true;
    EXPECT_EQ(EBADF, container_->telllock(s_, Info(closed, LOCK_SHARED, 0, 1, a_), locked).ErrNo());
    EXPECT_EQ(EBADF, container_->unlock(s_, Info(closed, LOCK_SHARED, 0, 1, a_)).ErrNo());
    // None of these took a lock.
    EXPECT_FALSE(Locked(fhB_, LOCK_EXCLUSIVE, 0, -1, b_));
}

}  // namespace
}  // namespace ObjectStore
