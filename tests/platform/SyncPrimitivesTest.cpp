// Threads, events and critical sections.
#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ZelCriticalSection.h"
#include "platform/ZelEvent.h"
#include "platform/ZelThread.h"

namespace {

void* StoreArgument(void* arg) {
    static_cast<std::atomic<int>*>(arg)->store(42);
    return nullptr;
}

void* SlowIncrement(void* arg) {
    usleep(50 * 1000);
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    return nullptr;
}

TEST(ZelThreadTest, RunsTheFunctionWithItsArgumentAndJoins) {
    std::atomic<int> value{0};
    ZelThread thread;
    EXPECT_FALSE(thread.IsRunning());
    ASSERT_EQ(0, thread.Start(StoreArgument, &value));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_EQ(0, thread.Join());
    EXPECT_EQ(42, value.load());
    EXPECT_FALSE(thread.IsRunning());
}

TEST(ZelThreadTest, ReportsMisuseWithErrnoValues) {
    std::atomic<int> value{0};
    ZelThread thread;
    EXPECT_EQ(EINVAL, thread.Join());
    EXPECT_EQ(EINVAL, thread.Start(nullptr, &value));
    ASSERT_EQ(0, thread.Start(SlowIncrement, &value));
    EXPECT_EQ(EBUSY, thread.Start(SlowIncrement, &value));
    EXPECT_EQ(0, thread.Join());
    EXPECT_EQ(EINVAL, thread.Join());
    EXPECT_EQ(1, value.load());
    // A joined object can run the next thread.
    ASSERT_EQ(0, thread.Start(SlowIncrement, &value));
    EXPECT_EQ(0, thread.Join());
    EXPECT_EQ(2, value.load());
}

TEST(ZelThreadTest, DestructorJoinsARunningThread) {
    std::atomic<int> value{0};
    {
        ZelThread thread;
        ASSERT_EQ(0, thread.Start(SlowIncrement, &value));
    }
    EXPECT_EQ(1, value.load());
}

TEST(ZelThreadTest, MoveAssignmentJoinsTheThreadItReplaces) {
    std::atomic<int> value{0};
    ZelThread first;
    ZelThread second;
    ASSERT_EQ(0, first.Start(SlowIncrement, &value));
    ASSERT_EQ(0, second.Start(SlowIncrement, &value));
    first = std::move(second);  // must not terminate the process
    EXPECT_GE(value.load(), 1);
    EXPECT_FALSE(second.IsRunning());
    EXPECT_EQ(0, first.Join());
    EXPECT_EQ(2, value.load());
}

TEST(ZelThreadTest, ThreadsLiveInAVector) {
    std::atomic<int> value{0};
    std::vector<ZelThread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back();
        ASSERT_EQ(0, threads.back().Start(SlowIncrement, &value));
    }
    for (ZelThread& thread : threads) EXPECT_EQ(0, thread.Join());
    EXPECT_EQ(8, value.load());
}

struct SelfJoin {
    ZelThread thread;
    ZelEvent started;
    ZelEvent done;
    int result = -1;
};

void* JoinSelf(void* arg) {
    SelfJoin* self = static_cast<SelfJoin*>(arg);
    self->started.Wait(ULONG_MAX);  // Start() has stored the thread
    self->result = self->thread.Join();
    self->done.Set();
    return nullptr;
}

TEST(ZelThreadTest, JoinFromTheThreadItselfIsRefused) {
    SelfJoin self;
    ASSERT_EQ(0, self.thread.Start(JoinSelf, &self));
    self.started.Set();
    ASSERT_TRUE(self.done.Wait(30000));
    EXPECT_EQ(EDEADLK, self.result);
    EXPECT_EQ(0, self.thread.Join());
}

TEST(ZelEventTest, StaysSetUntilReset) {
    ZelEvent event;
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(10));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));  // manual reset: a wait does not consume it
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));

    ZelEvent initiallySet(true);
    EXPECT_TRUE(initiallySet.Wait(0));
}

struct Waiter {
    ZelEvent* event;
    std::atomic<int> result{-1};
};

void* WaitLong(void* arg) {
    Waiter* waiter = static_cast<Waiter*>(arg);
    waiter->result = waiter->event->Wait(60000) ? 1 : 0;
    return nullptr;
}

TEST(ZelEventTest, SetWakesEveryWaiterOnOtherThreads) {
    ZelEvent event;
    std::vector<Waiter> waiters(3);
    std::vector<ZelThread> threads(3);
    for (int i = 0; i < 3; ++i) {
        waiters[i].event = &event;
        ASSERT_EQ(0, threads[i].Start(WaitLong, &waiters[i]));
    }
    usleep(20 * 1000);  // let them block (the result holds either way)
    event.Set();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, threads[i].Join());
        EXPECT_EQ(1, waiters[i].result.load());
    }
}

void* SetLater(void* arg) {
    usleep(30 * 1000);
    static_cast<ZelEvent*>(arg)->Set();
    return nullptr;
}

TEST(ZelEventTest, InfiniteTimeoutWaitsInsteadOfOverflowing) {
    ZelEvent event;
    ZelThread setter;
    ASSERT_EQ(0, setter.Start(SetLater, &event));
    EXPECT_TRUE(event.Wait(ULONG_MAX));
    EXPECT_TRUE(event.IsSet());
    EXPECT_EQ(0, setter.Join());
}

struct Contended {
    ZelCriticalSection cs;
    ZelEvent entered;
    long counter = 0;  // guarded by cs
};

void* EnterOnce(void* arg) {
    Contended* shared = static_cast<Contended*>(arg);
    ZelCriticalSectionLock hold(shared->cs);
    shared->entered.Set();
    return nullptr;
}

TEST(ZelCriticalSectionTest, OwnerReentersAndOthersWaitForTheLastLeave) {
    Contended shared;
    ZelThread other;
    {
        ZelCriticalSectionLock outer(shared.cs);
        {
            ZelCriticalSectionLock inner(&shared.cs);
            shared.cs.Enter();  // third level, same thread: no deadlock
            shared.cs.Leave();
            ASSERT_EQ(0, other.Start(EnterOnce, &shared));
        }
        // Still held once by this thread: the other one must not get in.
        EXPECT_FALSE(shared.entered.Wait(50));
    }
    EXPECT_TRUE(shared.entered.Wait(30000));
    EXPECT_EQ(0, other.Join());
}

void* IncrementMany(void* arg) {
    Contended* shared = static_cast<Contended*>(arg);
    for (int i = 0; i < 20000; ++i) {
        ZelCriticalSectionLock hold(shared->cs);
        ++shared->counter;
    }
    return nullptr;
}

TEST(ZelCriticalSectionTest, ExcludesConcurrentIncrements) {
    Contended shared;
    std::vector<ZelThread> threads(4);
    for (ZelThread& thread : threads) ASSERT_EQ(0, thread.Start(IncrementMany, &shared));
    for (ZelThread& thread : threads) EXPECT_EQ(0, thread.Join());
    EXPECT_EQ(4 * 20000, shared.counter);
}

}  // namespace
