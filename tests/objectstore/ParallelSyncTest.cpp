// Many syncs in flight: every file synced exactly once, failures reported
// only after every call has finished.
#include "objectstore/ParallelSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using ObjectStore::ParallelSync;

TEST(ParallelSyncTest, CallsEveryIndexExactlyOnce) {
    for (size_t count : {0u, 1u, 2u, 7u, 8u, 9u, 100u}) {
        std::vector<std::atomic<int>> calls(count);
        ParallelSync::Run(count, [&](size_t i) { calls[i]++; });
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(calls[i].load(), 1) << "count " << count << " index " << i;
    }
}

TEST(ParallelSyncTest, KeepsSeveralCallsInFlightButNoMoreThanTheBound) {
    std::atomic<int> inFlight{0};
    std::atomic<int> most{0};
    ParallelSync::Run(64, [&](size_t) {
        const int now = ++inFlight;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --inFlight;
    });
    EXPECT_GE(most.load(), 2);
    EXPECT_LE(most.load(), static_cast<int>(ParallelSync::kMaxInFlight));
}

TEST(ParallelSyncTest, RethrowsTheFailureAfterEveryCallFinished) {
    std::atomic<int> finished{0};
    try {
        ParallelSync::Run(20, [&](size_t i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++finished;
            if (i == 3 || i == 11) throw std::runtime_error("sync failed");
        });
        FAIL() << "the failure was swallowed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "sync failed");
    }
    EXPECT_EQ(finished.load(), 20);
}

TEST(ParallelSyncTest, OneFileIsSyncedOnTheCallersThread) {
    std::thread::id where;
    ParallelSync::Run(1, [&](size_t) { where = std::this_thread::get_id(); });
    EXPECT_EQ(where, std::this_thread::get_id());
}
