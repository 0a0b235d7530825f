// PruneScheduler: quayd's background pruning. A thread of the lowest CPU and
// I/O priority wakes every minute and prunes the stores this server serves
// that have a retention window and were not pruned within the interval
// (registry "nObjStorePruneIntervalMins", default 60), one after another.
//
// Thread safety: Start and Stop from one thread; Stop joins.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "daemon/StorePruning.h"

class PruneScheduler {
public:
    static constexpr unsigned long kDefaultIntervalMinutes = 60;

    // pruning is not owned and must outlive Stop.
    explicit PruneScheduler(StorePruning& pruning) : pruning_(pruning) {}
    ~PruneScheduler() { Stop(); }
    PruneScheduler(const PruneScheduler&) = delete;
    PruneScheduler& operator=(const PruneScheduler&) = delete;

    // intervalMinutes 0: read the registry. period: how often to look.
    void Start(unsigned long intervalMinutes = 0, std::chrono::seconds period = std::chrono::seconds(60));
    void Stop();
    // Passes made so far (for tests).
    uint64_t Passes();

    // The registry's interval, or the default.
    static unsigned long IntervalMinutes();

private:
    void Run(int64_t intervalSeconds, std::chrono::seconds period);

    StorePruning& pruning_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    uint64_t passes_ = 0;    // guarded by mutex_
};
