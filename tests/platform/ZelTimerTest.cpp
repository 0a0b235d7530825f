// The periodic timer: real periods, the manual test mode, re-entrant use from
// callbacks, and shutdown.
#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ZelEvent.h"
#include "platform/ZelThread.h"
#include "platform/ZelTimer.h"

namespace {

const unsigned long kBoundMs = 30000;  // generous: only a hang should reach it

struct Counter {
    std::atomic<int> runs{0};
    int target = 2;
    ZelEvent reached;
};

ZELTimerErrno CountRun(void* arg) {
    Counter* counter = static_cast<Counter*>(arg);
    if (counter->runs.fetch_add(1) + 1 >= counter->target) counter->reached.Set();
    return 0;
}

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

TEST(ZelTimerTest, RejectsNullCallbackAndZeroPeriod) {
    ZelTimer timer;
    Counter counter;
    EXPECT_EQ(EINVAL, timer.Register(1, nullptr, 20, 0, &counter));
    EXPECT_EQ(EINVAL, timer.Register(1, CountRun, 0, 0, &counter));
    EXPECT_TRUE(timer.Registrations().empty());
}

TEST(ZelTimerTest, ListsRegistrationsInOrderAndClearDropsThem) {
    ZelTimer timer;
    timer.SetManualMode(true);
    Counter counter;
    ASSERT_EQ(0, timer.Register(3, CountRun, 60000, 0, nullptr));
    ASSERT_EQ(0, timer.Register(7, CountRun, 1000, 5, &counter));
    ASSERT_EQ(0, timer.Register(3, CountRun, 60000, 0, nullptr));  // each call adds an entry
    std::vector<ZelTimer::Registration> regs = timer.Registrations();
    ASSERT_EQ(3u, regs.size());
    EXPECT_EQ(3, regs[0].task);
    EXPECT_EQ(60000ul, regs[0].periodMs);
    EXPECT_EQ(nullptr, regs[0].argument);
    EXPECT_EQ(7, regs[1].task);
    EXPECT_EQ(CountRun, regs[1].callback);
    EXPECT_EQ(1000ul, regs[1].periodMs);
    EXPECT_EQ(5, regs[1].flags);
    EXPECT_EQ(&counter, regs[1].argument);
    EXPECT_EQ(3, regs[2].task);
    timer.Clear();
    EXPECT_TRUE(timer.Registrations().empty());
    timer.Tick();
    EXPECT_EQ(0, counter.runs.load());
}

TEST(ZelTimerTest, StartsItsThreadAtTheFirstRegistrationOnly) {
    // A sanitizer starts its helper thread with the first thread; get that done.
    std::thread([] {}).join();
    int before = ThreadCount();
    ASSERT_GT(before, 0);
    ZelTimer timer;
    EXPECT_EQ(before, ThreadCount());
    Counter counter;
    ASSERT_EQ(0, timer.Register(1, CountRun, 60000, 0, &counter));
    EXPECT_EQ(before + 1, ThreadCount());
    ASSERT_EQ(0, timer.Register(2, CountRun, 60000, 0, &counter));
    EXPECT_EQ(before + 1, ThreadCount());
}

TEST(ZelTimerTest, ShortPeriodRunsRepeatedlyAndStopsAtDestruction) {
    Counter counter;
    counter.target = 3;
    auto timer = std::make_unique<ZelTimer>();
    ASSERT_EQ(0, timer->Register(1, CountRun, 20, 0, &counter));
    EXPECT_TRUE(counter.reached.Wait(kBoundMs));
    timer.reset();
    int runs = counter.runs.load();
    usleep(100 * 1000);
    EXPECT_EQ(runs, counter.runs.load());
}

TEST(ZelTimerTest, FirstRunIsOnePeriodAfterRegistration) {
    ZelTimer timer;
    Counter counter;
    ASSERT_EQ(0, timer.Register(1, CountRun, 60000, 0, &counter));
    usleep(100 * 1000);
    EXPECT_EQ(0, counter.runs.load());
}

TEST(ZelTimerTest, HugePeriodNeitherFiresNorOverflows) {
    Counter counter;
    {
        ZelTimer timer;
        ASSERT_EQ(0, timer.Register(1, CountRun, ULONG_MAX, 0, &counter));
        usleep(100 * 1000);
    }
    EXPECT_EQ(0, counter.runs.load());
}

struct Recorder {
    std::mutex mutex;
    std::vector<int> order;              // guarded by mutex
    std::vector<std::thread::id> where;  // guarded by mutex
    void Add(int id) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(id);
        where.push_back(std::this_thread::get_id());
    }
};

Recorder* gRecorder = nullptr;
ZELTimerErrno RecordA(void*) { gRecorder->Add(1); return 0; }
ZELTimerErrno RecordB(void*) { gRecorder->Add(2); return 0; }

TEST(ZelTimerTest, ManualModeRunsOnlyOnTickInOrderOnTheCaller) {
    Recorder recorder;
    gRecorder = &recorder;
    ZelTimer timer;
    timer.SetManualMode(true);
    ASSERT_EQ(0, timer.Register(1, RecordA, 10, 0, nullptr));
    ASSERT_EQ(0, timer.Register(2, RecordB, 10, 0, nullptr));
    usleep(100 * 1000);
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        EXPECT_TRUE(recorder.order.empty());
    }
    timer.Tick();
    timer.Tick();
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ((std::vector<int>{1, 2, 1, 2}), recorder.order);
    for (std::thread::id id : recorder.where) EXPECT_EQ(std::this_thread::get_id(), id);
}

TEST(ZelTimerTest, LeavingManualModeStartsTheRegisteredTasks) {
    ZelTimer timer;
    timer.SetManualMode(true);
    Counter counter;
    ASSERT_EQ(0, timer.Register(1, CountRun, 20, 0, &counter));
    timer.SetManualMode(false);
    EXPECT_TRUE(counter.reached.Wait(kBoundMs));
}

struct Chain {
    ZelTimer* timer;
    std::atomic<bool> registered{false};
    Counter second;
};

ZELTimerErrno RegisterAnother(void* arg) {
    Chain* chain = static_cast<Chain*>(arg);
    if (!chain->registered.exchange(true)) {
        chain->timer->Register(2, CountRun, 20, 0, &chain->second);
    }
    return 0;
}

TEST(ZelTimerTest, CallbackMayRegisterOnTheTimerThread) {
    ZelTimer timer;
    Chain chain;
    chain.timer = &timer;
    ASSERT_EQ(0, timer.Register(1, RegisterAnother, 20, 0, &chain));
    EXPECT_TRUE(chain.second.reached.Wait(kBoundMs));
    EXPECT_EQ(2u, timer.Registrations().size());
}

TEST(ZelTimerTest, CallbackMayRegisterDuringTick) {
    ZelTimer timer;
    timer.SetManualMode(true);
    Chain chain;
    chain.timer = &timer;
    ASSERT_EQ(0, timer.Register(1, RegisterAnother, 20, 0, &chain));
    timer.Tick();
    EXPECT_EQ(2u, timer.Registrations().size());
    EXPECT_EQ(0, chain.second.runs.load());  // added during the tick: runs from the next one
    timer.Tick();
    EXPECT_EQ(1, chain.second.runs.load());
}

struct Blocking {
    ZelTimer* timer = nullptr;
    ZelEvent started;
    ZelEvent release;
    std::atomic<bool> finished{false};
    std::atomic<bool> clearSawFinished{false};
    std::atomic<int> runs{0};
};

ZELTimerErrno BlockUntilReleased(void* arg) {
    Blocking* b = static_cast<Blocking*>(arg);
    b->runs.fetch_add(1);
    b->started.Set();
    b->release.Wait(kBoundMs);
    b->finished = true;
    return 0;
}

void* ClearTimer(void* arg) {
    Blocking* b = static_cast<Blocking*>(arg);
    b->timer->Clear();
    b->clearSawFinished = b->finished.load();
    return nullptr;
}

TEST(ZelTimerTest, ClearWaitsForTheCallbackInProgress) {
    ZelTimer timer;
    Blocking b;
    b.timer = &timer;
    ASSERT_EQ(0, timer.Register(1, BlockUntilReleased, 10, 0, &b));
    ASSERT_TRUE(b.started.Wait(kBoundMs));
    ZelThread clearer;
    ASSERT_EQ(0, clearer.Start(ClearTimer, &b));
    usleep(50 * 1000);
    b.release.Set();
    ASSERT_EQ(0, clearer.Join());
    EXPECT_TRUE(b.clearSawFinished.load());
    EXPECT_TRUE(timer.Registrations().empty());
    int runs = b.runs.load();
    usleep(100 * 1000);
    EXPECT_EQ(runs, b.runs.load());
}

struct SelfClearing {
    ZelTimer* timer;
    std::atomic<int> runs{0};
    ZelEvent done;
};

ZELTimerErrno ClearFromCallback(void* arg) {
    SelfClearing* s = static_cast<SelfClearing*>(arg);
    s->runs.fetch_add(1);
    s->timer->Clear();  // must not wait for itself
    s->done.Set();
    return 0;
}

TEST(ZelTimerTest, CallbackMayClearItsOwnTimer) {
    ZelTimer timer;
    SelfClearing s;
    s.timer = &timer;
    ASSERT_EQ(0, timer.Register(1, ClearFromCallback, 10, 0, &s));
    ASSERT_TRUE(s.done.Wait(kBoundMs));
    usleep(100 * 1000);
    EXPECT_EQ(1, s.runs.load());
    EXPECT_TRUE(timer.Registrations().empty());
}

ZELTimerErrno SlowRun(void* arg) {
    Blocking* b = static_cast<Blocking*>(arg);
    b->started.Set();
    usleep(50 * 1000);
    b->finished = true;
    return 0;
}

TEST(ZelTimerTest, DestructorWaitsForTheCallbackInProgress) {
    Blocking b;
    auto timer = std::make_unique<ZelTimer>();
    ASSERT_EQ(0, timer->Register(1, SlowRun, 10, 0, &b));
    ASSERT_TRUE(b.started.Wait(kBoundMs));
    timer.reset();
    EXPECT_TRUE(b.finished.load());
}

}  // namespace
