#include "daemon/PruneScheduler.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "daemon/QuaydLog.h"
#include "platform/ZELPlatformInfo.h"

namespace {

// The I/O scheduling class "idle": the disk serves this thread only when
// nobody else wants it (linux/ioprio.h, not in glibc).
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;

void LowestPriority() {
    const pid_t thread = static_cast<pid_t>(syscall(SYS_gettid));
    // Both are hints: a thread that cannot lower its priority prunes anyway.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread), 19) != 0) {
        QUAYD_LOG(2, "INFO: Pruning runs at the normal CPU priority");
    }
    if (syscall(SYS_ioprio_set, kIoprioWhoProcess, thread, kIoprioClassIdle << kIoprioClassShift) != 0) {
        QUAYD_LOG(2, "INFO: Pruning runs at the normal I/O priority");
    }
}

}  // namespace

unsigned long PruneScheduler::IntervalMinutes() {
    unsigned long minutes = kDefaultIntervalMinutes;
    ZELPlatformInfo().getNumber("Quay", "nObjStorePruneIntervalMins", &minutes);
    return minutes == 0 ? 1 : minutes;
}

void PruneScheduler::Start(unsigned long intervalMinutes, std::chrono::seconds period) {
    if (thread_.joinable()) return;
    const unsigned long minutes = intervalMinutes != 0 ? intervalMinutes : IntervalMinutes();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    QUAYD_LOG(1, "INFO: Stores with a retention window are pruned every [%lu] minutes", minutes);
    thread_ = std::thread(&PruneScheduler::Run, this, static_cast<int64_t>(minutes) * 60, period);
}

void PruneScheduler::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

uint64_t PruneScheduler::Passes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return passes_;
}

void PruneScheduler::Run(int64_t intervalSeconds, std::chrono::seconds period) {
    LowestPriority();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        pruning_.PruneDue(intervalSeconds);
        lock.lock();
        ++passes_;
        wake_.wait_for(lock, period, [this] { return stopping_; });
    }
}
