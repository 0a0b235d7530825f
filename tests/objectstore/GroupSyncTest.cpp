// One log sync for every durable commit waiting at once: commits that arrive
// while a sync runs share the next, and a failed sync is never followed by a
// success that could hide lost pages.
#include "objectstore/GroupSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "objectstore/StoreFailure.h"

namespace {

using ObjectStore::GroupSync;
using ObjectStore::StoreFailure;

// A sync that blocks until released, so that tests decide what arrives while
// it runs.
class GatedSync {
public:
    int operator()() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++started_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_ >= started_; });
        return errNo_;
    }
    void WaitStarted(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return started_ >= n; });
    }
    void Release(int errNo = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        errNo_ = errNo;
        ++released_;
        changed_.notify_all();
    }
    void ReleaseAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = 1 << 30;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int started_ = 0;
    int released_ = 0;
    int errNo_ = 0;
};

TEST(GroupSyncTest, CommitsArrivingDuringASyncShareTheNextOne) {
    GatedSync gate;
    GroupSync group([&] { return gate(); });
    std::thread first([&] { group.Wait(group.Ticket()); });
    gate.WaitStarted(1);
    // Two more commits reach the log while the first sync runs: it cannot
    // cover them, and one sync after it covers both.
    const uint64_t second = group.Ticket();
    const uint64_t third = group.Ticket();
    std::thread a([&] { group.Wait(second); });
    std::thread b([&] { group.Wait(third); });
    gate.Release();
    gate.ReleaseAll();
    first.join();
    a.join();
    b.join();
    EXPECT_EQ(2u, group.Syncs());
    // Everything is durable now: a ticket already covered costs no sync.
    group.Wait(third);
    EXPECT_EQ(2u, group.Syncs());
}

TEST(GroupSyncTest, AFailedSyncFailsItsWaitersAndEveryLaterOne) {
    GatedSync gate;
    GroupSync group([&] { return gate(); });
    const uint64_t durable = group.Ticket();
    gate.Release();
    group.Wait(durable);
    const uint64_t lost = group.Ticket();
    std::thread failing([&] {
        try {
            group.Wait(lost);
            ADD_FAILURE() << "a failed sync was reported as success";
        } catch (const StoreFailure& failure) {
            EXPECT_EQ(EIO, failure.ErrNo());
        }
    });
    gate.WaitStarted(2);
    gate.Release(EIO);
    failing.join();
    // A later sync would succeed, but the pages the failed one lost may be
    // gone from memory: nothing is reported durable any more.
    gate.ReleaseAll();
    try {
        group.Wait(group.Ticket());
        ADD_FAILURE() << "a sync after a failure was trusted";
    } catch (const StoreFailure& failure) {
        EXPECT_EQ(EIO, failure.ErrNo());
    }
    // What was durable before the failure stays so.
    EXPECT_NO_THROW(group.Wait(durable));
}

TEST(GroupSyncTest, CleanOnlyWhileEveryCommitIsCoveredByASuccessfulSync) {
    int result = 0;
    GroupSync group([&] { return result; });
    EXPECT_TRUE(group.Clean());
    EXPECT_EQ(0u, group.Last());
    const uint64_t first = group.Ticket();
    EXPECT_FALSE(group.Clean());
    group.Wait(group.Ticket());
    EXPECT_TRUE(group.Clean());
    EXPECT_EQ(1u, group.Syncs());
    group.Ticket();
    result = EIO;
    EXPECT_THROW(group.Wait(group.Last()), StoreFailure);
    EXPECT_FALSE(group.Clean());
    // A commit the successful sync covered stays durable.
    EXPECT_NO_THROW(group.Wait(first));
}

TEST(GroupSyncTest, ManyCommittersAllReturnWithNoMoreSyncsThanCommits) {
    std::atomic<int> inSync{0};
    std::atomic<bool> overlapped{false};
    GroupSync group([&] {
        if (++inSync > 1) overlapped = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --inSync;
        return 0;
    });
    constexpr int kThreads = 8;
    constexpr int kCommits = 50;
    std::mutex writer;  // tickets are taken under the writer lock
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCommits; ++i) {
                uint64_t ticket = 0;
                {
                    std::lock_guard<std::mutex> guard(writer);
                    ticket = group.Ticket();
                }
                group.Wait(ticket);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(overlapped.load()) << "two syncs ran at once";
    EXPECT_GE(group.Syncs(), 1u);
    EXPECT_LE(group.Syncs(), uint64_t(kThreads * kCommits));
}

}  // namespace
