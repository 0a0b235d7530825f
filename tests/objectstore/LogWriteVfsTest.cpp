// The metadata log's writes: a commit's frames reach the file in two writes,
// yet whatever a commit wrote is in the file when it returns (a copy of the
// files taken then, as a crash would leave them, holds it), readers of other
// connections see each commit, and a failed write fails the commit alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "objectstore/FaultPlan.h"
#include "objectstore/LogWriteVfs.h"
#include "objectstore/SqlConnection.h"
#include "objectstore/StoreFailure.h"
#include "tests/support/TempDir.h"

namespace ObjectStore {
namespace {

class LogWriteVfsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SqlConnection c(path_, true, false, 5000);
        c.Exec("PRAGMA journal_mode=WAL");
        c.Exec("CREATE TABLE t(k INTEGER PRIMARY KEY, v BLOB NOT NULL)");
        c.Exec("CREATE INDEX t_by_v ON t(v)");
    }
    void TearDown() override { FaultPlan::Global().Clear(); }

    // A writer as the store's: its commits write the log without syncing
    // it, and most of them copy nothing back (which reads the log).
    SqlConnection& Writer(SqlConnection& c) {
        c.Exec("PRAGMA synchronous=NORMAL");
        c.Exec("PRAGMA wal_autocheckpoint=0");
        return c;
    }
    // rows rows of bytes random bytes each, keys from first on.
    static void Insert(SqlConnection& c, int first, int rows, int bytes) {
        for (int k = first; k < first + rows; ++k)
            c.Exec("INSERT INTO t VALUES(" + std::to_string(k) + ", randomblob(" + std::to_string(bytes) + "))");
    }
    static int64_t Single(SqlConnection& c, const char* sql) {
        SqlConnection::Stmt s(c, sql);
        EXPECT_TRUE(s.Step());
        return s.Int(0);
    }
    static int64_t Count(SqlConnection& c) { return Single(c, "SELECT count(*) FROM t"); }
    static std::string IntegrityCheck(SqlConnection& c) {
        SqlConnection::Stmt s(c, "PRAGMA integrity_check");
        EXPECT_TRUE(s.Step());
        return s.Text(0);
    }
    // The database and its log as they are in the file system now, under
    // another name: what a crash would leave. The shared index is left
    // behind, so that opening the copy reads the log from its file alone.
    std::string CopyAsCrashLeavesIt() {
        const std::string copy = dir_.path() + "/copy" + std::to_string(++copies_) + ".db";
        std::filesystem::copy_file(path_, copy);
        std::filesystem::copy_file(path_ + "-wal", copy + "-wal");
        return copy;
    }

    testsupport::TempDir dir_;
    const std::string path_ = dir_.path() + "/t.db";
    int copies_ = 0;
};

TEST_F(LogWriteVfsTest, CommitsReachTheFileInTwoWritesWhateverTheirSize) {
    SqlConnection c(path_, false, false, 5000);
    Writer(c);
    Insert(c, 0, 1, 100);  // the log's header goes out with the first commit
    for (int pages : {12, 40}) {
        const uint64_t framesBefore = LogWriteVfs::FramesAsked();
        const uint64_t writesBefore = LogWriteVfs::FileWrites();
        c.Exec("BEGIN IMMEDIATE");
        Insert(c, pages * 1000, pages, 3000);  // a table page and an index page a row
        c.Exec("COMMIT");
        const uint64_t frames = LogWriteVfs::FramesAsked() - framesBefore;
        const uint64_t writes = LogWriteVfs::FileWrites() - writesBefore;
        EXPECT_GE(frames, static_cast<uint64_t>(pages)) << pages;
        // Less than 128 KiB a write: the frames before the commit's last in
        // pieces of 31 (4,120 bytes each) with that frame's header, then its
        // page.
        EXPECT_EQ(writes, std::max<uint64_t>(1, (frames - 1 + 30) / 31) + 1) << frames << " frames";
    }
    EXPECT_EQ("ok", IntegrityCheck(c));
}

TEST_F(LogWriteVfsTest, EveryCommitIsInTheFileWhenItReturns) {
    SqlConnection c(path_, false, false, 5000);
    Writer(c);
    Insert(c, 0, 5, 500);
    SqlConnection small(CopyAsCrashLeavesIt(), false, false, 5000);
    EXPECT_EQ(5, Count(small));

    // A transaction bigger than the page cache writes frames before its
    // commit and then writes some of them again in place, which makes SQLite
    // rewrite their headers after the commit's last frame.
    c.Exec("PRAGMA cache_size=10");
    c.Exec("BEGIN IMMEDIATE");
    Insert(c, 100, 300, 2000);
    c.Exec("UPDATE t SET v = randomblob(1500) WHERE k % 3 = 0");
    c.Exec("COMMIT");
    // Before anything else reads the log (which writes what waits).
    SqlConnection big(CopyAsCrashLeavesIt(), false, false, 5000);
    const int64_t sum = Single(c, "SELECT sum(length(v)) FROM t");
    EXPECT_EQ(305, Count(big));
    EXPECT_EQ(sum, Single(big, "SELECT sum(length(v)) FROM t"));
    EXPECT_EQ("ok", IntegrityCheck(big));
}

TEST_F(LogWriteVfsTest, ReadersOfOtherConnectionsSeeEachCommit) {
    SqlConnection writer(path_, false, false, 5000);
    Writer(writer);
    SqlConnection reader(path_, false, false, 5000);
    int rows = 0;
    for (int round = 1; round <= 40; ++round) {
        writer.Exec("BEGIN IMMEDIATE");
        Insert(writer, rows, round % 7 + 1, 700 * round);
        writer.Exec("COMMIT");
        rows += round % 7 + 1;
        ASSERT_EQ(rows, Count(reader)) << "round " << round;
        ASSERT_EQ(Single(writer, "SELECT sum(length(v)) FROM t"), Single(reader, "SELECT sum(length(v)) FROM t"));
    }
    EXPECT_EQ("ok", IntegrityCheck(reader));
}

TEST_F(LogWriteVfsTest, AFailedWriteFailsTheCommitAndNothingElse) {
    SqlConnection c(path_, false, false, 5000);
    Writer(c);
    Insert(c, 0, 10, 300);
    FaultPlan::Global().FailNext("meta.log.write", 1, EIO);
    c.Exec("BEGIN IMMEDIATE");
    Insert(c, 100, 8, 3000);
    try {
        c.Exec("COMMIT");
        ADD_FAILURE() << "the commit whose write failed succeeded";
    } catch (const StoreFailure& failure) {
        EXPECT_EQ(EIO, failure.ErrNo());
    }
    EXPECT_EQ(1, FaultPlan::Global().Injected("meta.log.write"));
    if (!c.InAutocommit()) c.Exec("ROLLBACK");

    SqlConnection other(path_, false, false, 5000);
    EXPECT_EQ(10, Count(other));
    Insert(c, 200, 3, 3000);
    EXPECT_EQ(13, Count(other));
    SqlConnection copy(CopyAsCrashLeavesIt(), false, false, 5000);
    EXPECT_EQ(13, Count(copy));
    EXPECT_EQ("ok", IntegrityCheck(other));
}

}  // namespace
}  // namespace ObjectStore
