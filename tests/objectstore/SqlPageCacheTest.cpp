// The page cache installed into SQLite: commits after b-tree rebalancing skip
// the walk of the cache, and every database stays intact and consistent
// between connections through splits, rollbacks, deletes and VACUUM. SQLite
// keeps no memory statistics.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "objectstore/SqlConnection.h"
#include "objectstore/SqlPageCache.h"
#include "tests/support/TempDir.h"

namespace ObjectStore {
namespace {

class SqlPageCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        SqlConnection c(path_, true, false, 5000);
        c.Exec("PRAGMA journal_mode=WAL");
        // Random keys split leaves all over the index, as object GUIDs do.
        c.Exec("CREATE TABLE t(k TEXT PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID");
    }
    static void InsertEach(SqlConnection& c, int rows, int bytes) {
        for (int i = 0; i < rows; ++i)
            c.Exec("INSERT INTO t VALUES(hex(randomblob(16)), randomblob(" + std::to_string(bytes) + "))");
    }
    static int64_t Count(SqlConnection& c) {
        SqlConnection::Stmt s(c, "SELECT count(*) FROM t");
        EXPECT_TRUE(s.Step());
        return s.Int(0);
    }
    static std::string IntegrityCheck(SqlConnection& c) {
        SqlConnection::Stmt s(c, "PRAGMA integrity_check");
        EXPECT_TRUE(s.Step());
        return s.Text(0);
    }

    testsupport::TempDir dir_;
    const std::string path_ = dir_.path() + "/t.db";
};

TEST_F(SqlPageCacheTest, CommitsAfterRebalancingSkipTheCacheWalk) {
    ASSERT_TRUE(SqlPageCache::Installed());
    SqlConnection c(path_, false, false, 5000);
    const uint64_t before = SqlPageCache::SkippedTruncations();
    InsertEach(c, 2000, 200);
    // Each commit truncates the cache to the database size; with nothing
    // cached above it, almost every one returns at once.
    EXPECT_GT(SqlPageCache::SkippedTruncations() - before, 1900u);
    EXPECT_EQ(2000, Count(c));
    EXPECT_EQ("ok", IntegrityCheck(c));
}

// Set when the library loads, with the cache: no allocation of any
// connection takes SQLite's process-wide statistics mutex.
TEST_F(SqlPageCacheTest, SqliteKeepsNoMemoryStatistics) {
    SqlConnection c(path_, false, false, 5000);
    InsertEach(c, 100, 2000);
    EXPECT_EQ(100, Count(c));
    EXPECT_EQ(0, sqlite3_memory_used());
}

TEST_F(SqlPageCacheTest, RollbacksDeletesAndVacuumLeaveEveryConnectionConsistent) {
    SqlConnection writer(path_, false, false, 5000);
    SqlConnection reader(path_, false, false, 5000);
    InsertEach(writer, 500, 300);
    EXPECT_EQ(500, Count(reader));  // the reader caches the grown database

    // A transaction that grew the file by many pages, rolled back: the pages
    // it allocated are allocated again below, with other contents.
    writer.Exec("BEGIN IMMEDIATE");
    InsertEach(writer, 400, 3000);
    writer.Exec("ROLLBACK");
    writer.Exec("BEGIN IMMEDIATE");
    InsertEach(writer, 300, 1000);
    writer.Exec("COMMIT");
    EXPECT_EQ(800, Count(writer));
    EXPECT_EQ(800, Count(reader));

    // The file shrinks under the reader's cache, then grows again.
    writer.Exec("DELETE FROM t WHERE k < '8'");
    const int64_t left = Count(writer);
    writer.Exec("VACUUM");
    EXPECT_EQ(left, Count(reader));
    InsertEach(writer, 300, 500);
    EXPECT_EQ(left + 300, Count(reader));
    EXPECT_EQ("ok", IntegrityCheck(writer));
    EXPECT_EQ("ok", IntegrityCheck(reader));

    SqlConnection reopened(path_, false, false, 5000);
    EXPECT_EQ(left + 300, Count(reopened));
    EXPECT_EQ("ok", IntegrityCheck(reopened));
}

}  // namespace
}  // namespace ObjectStore
