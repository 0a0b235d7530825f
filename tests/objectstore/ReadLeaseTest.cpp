// Short reads on the writer connection: taken only while no transaction holds
// it, never waited for, never showing uncommitted rows.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "objectstore/MetaDb.h"
#include "tests/support/TempDir.h"

namespace ObjectStore {
namespace {

class ReadLeaseTest : public ::testing::Test {
protected:
    void SetUp() override { db_.reset(new MetaDb(dir_.path() + "/meta.db", true, 5000, 1024)); }
    void Commit(const std::string& key, const std::string& value) {
        MetaDb::WriteTxn txn(*db_);
        MetaDb::SetMeta(txn.conn(), key, value);
        txn.Commit();
    }
    testsupport::TempDir dir_;  // outlives db_
    std::unique_ptr<MetaDb> db_;
};

TEST_F(ReadLeaseTest, AShortReadBorrowsTheIdleWriterAndOtherReadsDoNot) {
    Commit("k", "committed");
    {
        MetaDb::ReadLease lease(*db_, MetaDb::ReadLease::kShort);
        EXPECT_TRUE(lease.OnWriter());
        EXPECT_EQ("committed", MetaDb::GetMeta(lease.conn(), "k"));
    }
    MetaDb::ReadLease scan(*db_);
    EXPECT_FALSE(scan.OnWriter());
    EXPECT_EQ("committed", MetaDb::GetMeta(scan.conn(), "k"));
    // Only one lease holds the writer at a time; the next short one reads
    // from the pool.
    MetaDb::ReadLease first(*db_, MetaDb::ReadLease::kShort);
    MetaDb::ReadLease second(*db_, MetaDb::ReadLease::kShort);
    EXPECT_TRUE(first.OnWriter());
    EXPECT_FALSE(second.OnWriter());
    EXPECT_EQ("committed", MetaDb::GetMeta(second.conn(), "k"));
}

TEST_F(ReadLeaseTest, AShortReadInsideItsOwnThreadsTransactionSeesOnlyCommittedRows) {
    Commit("k", "committed");
    MetaDb::WriteTxn txn(*db_);
    MetaDb::SetMeta(txn.conn(), "k", "uncommitted");
    {
        MetaDb::ReadLease lease(*db_, MetaDb::ReadLease::kShort);
        EXPECT_FALSE(lease.OnWriter());
        EXPECT_EQ("committed", MetaDb::GetMeta(lease.conn(), "k"));
    }
    txn.Commit();
    MetaDb::ReadLease lease(*db_, MetaDb::ReadLease::kShort);
    EXPECT_EQ("uncommitted", MetaDb::GetMeta(lease.conn(), "k"));
}

TEST_F(ReadLeaseTest, AShortReadDoesNotWaitForAnotherThreadsTransaction) {
    Commit("k", "committed");
    std::promise<void> begun, read;
    std::thread writer([&] {
        MetaDb::WriteTxn txn(*db_);
        MetaDb::SetMeta(txn.conn(), "k", "uncommitted");
        begun.set_value();
        read.get_future().wait();
        txn.Commit();
    });
    begun.get_future().wait();
    // The writer commits only after this read: a read that waited for the
    // writer mutex would never finish.
    auto reading = std::async(std::launch::async, [&] {
        MetaDb::ReadLease lease(*db_, MetaDb::ReadLease::kShort);
        return std::make_pair(lease.OnWriter(), MetaDb::GetMeta(lease.conn(), "k"));
    });
    const bool finished = reading.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    read.set_value();
    writer.join();
    ASSERT_TRUE(finished);
    auto result = reading.get();
    EXPECT_FALSE(result.first);
    EXPECT_EQ("committed", result.second);
    MetaDb::ReadLease after(*db_, MetaDb::ReadLease::kShort);
    EXPECT_TRUE(after.OnWriter());
    EXPECT_EQ("uncommitted", MetaDb::GetMeta(after.conn(), "k"));
}

}  // namespace
}  // namespace ObjectStore
