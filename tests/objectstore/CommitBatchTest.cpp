// Shared write transactions: a writer that finds others waiting leaves its
// change for the next one to commit, and one COMMIT carries them all. Each
// member's failure undoes its own change alone; a lost COMMIT fails every
// member; whoever must not wait for others commits a batch left open first.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "objectstore/FaultPlan.h"
#include "objectstore/MetaDb.h"
#include "objectstore/StoreFailure.h"
#include "tests/support/TempDir.h"

namespace ObjectStore {
namespace {

using Txn = MetaDb::WriteTxn;

class CommitBatchTest : public ::testing::Test {
protected:
    void SetUp() override { db_.reset(new MetaDb(dir_.path() + "/meta.db", true, 5000, 1024)); }
    void TearDown() override { FaultPlan::Global().Clear(); }

    std::string Read(const std::string& key) {
        MetaDb::ReadLease lease(*db_);
        return MetaDb::GetMeta(lease.conn(), key);
    }
    // Sets key in a transaction of its own: it works only once the writer
    // connection is out of every transaction again.
    void CommitAlone(const std::string& key) {
        Txn txn(*db_);
        MetaDb::SetMeta(txn.conn(), key, "set");
        txn.Commit();
    }
    template <typename Work>
    static int ErrNoOf(Work work) {
        try {
            work();
        } catch (const StoreFailure& f) {
            return f.ErrNo();
        }
        return 0;
    }
    void AwaitWriters(int count) {
        while (db_->WritersWaiting() < count) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Sets key in a shared transaction that holds the writer until another
    // writer waits, so that its commit leaves the change to that one. The
    // future gives the change's ticket, or throws what its commit threw.
    std::future<uint64_t> LeaveOpen(const std::string& key, std::vector<std::string>* order = nullptr) {
        // Shared: this function may return while set_value is still running.
        auto holding = std::make_shared<std::promise<void>>();
        std::future<void> held = holding->get_future();
        std::future<uint64_t> done = std::async(std::launch::async, [this, key, order, holding] {
            Txn txn(*db_, false, Txn::kShared);
            MetaDb::SetMeta(txn.conn(), key, "set");
            holding->set_value();
            AwaitWriters(1);
            txn.Commit([order, key](uint64_t) {
                if (order) order->push_back(key);
            });
            return txn.Logged();
        });
        held.wait();
        return done;
    }

    testsupport::TempDir dir_;  // outlives db_
    std::unique_ptr<MetaDb> db_;
};

TEST_F(CommitBatchTest, TheNextWriterCommitsBothChangesAtOnceInTheirOrder) {
    const uint64_t commitsBefore = db_->Commits();
    std::vector<std::string> order;
    std::future<uint64_t> first = LeaveOpen("first", &order);
    uint64_t second = 0;
    {
        Txn txn(*db_, false, Txn::kShared);
        MetaDb::SetMeta(txn.conn(), "second", "set");
        txn.Commit([&order](uint64_t) { order.push_back("second"); });
        second = txn.Logged();
    }
    const uint64_t firstTicket = first.get();
    EXPECT_EQ(second, firstTicket);
    EXPECT_NE(0u, firstTicket);
    EXPECT_EQ(commitsBefore + 1, db_->Commits());
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), order);
    EXPECT_EQ("set", Read("first"));
    EXPECT_EQ("set", Read("second"));
}

TEST_F(CommitBatchTest, AMemberReturnsOnlyOnceItsChangeIsVisibleAndCounted) {
    std::promise<void> holding;
    std::future<void> held = holding.get_future();
    struct Seen {
        std::string second;
        uint64_t changes;
    };
    std::future<Seen> seen = std::async(std::launch::async, [&] {
        {
            Txn txn(*db_, false, Txn::kShared);
            MetaDb::SetMeta(txn.conn(), "first", "set");
            holding.set_value();
            AwaitWriters(1);
            txn.Commit();
        }
        // The batch ended before this commit returned: a reader sees the
        // next writer's change as well, and the count of changes moved.
        return Seen{Read("second"), db_->Changes()};
    });
    held.wait();
    {
        Txn txn(*db_, false, Txn::kShared);
        // Slow, so that a first writer that did not wait would read first.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        MetaDb::SetMeta(txn.conn(), "second", "set");
        txn.Commit();
    }
    const Seen first = seen.get();
    EXPECT_EQ("set", first.second);
    EXPECT_EQ(db_->Changes(), first.changes);
}

TEST_F(CommitBatchTest, AFailedMemberUndoesItsOwnChangeAndCommitsTheOthers) {
    std::future<uint64_t> first = LeaveOpen("first");
    {
        Txn txn(*db_, false, Txn::kShared);
        MetaDb::SetMeta(txn.conn(), "failed", "set");
        // Ends without committing, as a change that throws does.
    }
    EXPECT_NE(0u, first.get());
    EXPECT_EQ("set", Read("first"));
    EXPECT_EQ("", Read("failed"));
    CommitAlone("after");
    EXPECT_EQ("set", Read("after"));
}

TEST_F(CommitBatchTest, ALostCommitFailsEveryMemberAndKeepsNothing) {
    FaultPlan::Global().FailNext("meta.commit", 1, ENOSPC);
    std::future<uint64_t> first = LeaveOpen("first");
    EXPECT_EQ(ENOSPC, ErrNoOf([this] {
        Txn txn(*db_, false, Txn::kShared);
        MetaDb::SetMeta(txn.conn(), "second", "set");
        txn.Commit();
    }));
    EXPECT_EQ(ENOSPC, ErrNoOf([&first] { first.get(); }));
    EXPECT_EQ("", Read("first"));
    EXPECT_EQ("", Read("second"));
    CommitAlone("after");
    EXPECT_EQ("set", Read("after"));
}

TEST_F(CommitBatchTest, WritersThatMustNotWaitForOthersCommitAnOpenBatchFirst) {
    // A transaction of its own ends the batch before it begins, and its
    // failure does not touch the batch's changes.
    std::future<uint64_t> first = LeaveOpen("first");
    {
        Txn own(*db_);
        EXPECT_EQ("set", Read("first"));
        MetaDb::SetMeta(own.conn(), "own", "set");
    }
    EXPECT_NE(0u, first.get());
    EXPECT_EQ("set", Read("first"));
    EXPECT_EQ("", Read("own"));
    // So do a checkpoint and a view's opening (CommitPending).
    std::future<uint64_t> second = LeaveOpen("second");
    db_->Checkpoint();
    EXPECT_NE(0u, second.get());
    std::future<uint64_t> third = LeaveOpen("third");
    db_->CommitPending();
    EXPECT_NE(0u, third.get());
    EXPECT_EQ("set", Read("third"));
}

TEST_F(CommitBatchTest, AWriterWithNobodyWaitingCommitsAtOnce) {
    const uint64_t before = db_->Commits();
    for (int i = 0; i < 3; ++i) {
        Txn txn(*db_, false, Txn::kShared);
        MetaDb::SetMeta(txn.conn(), "k" + std::to_string(i), "set");
        txn.Commit();
        EXPECT_EQ(before + i + 1, db_->Commits());
    }
}

}  // namespace
}  // namespace ObjectStore
