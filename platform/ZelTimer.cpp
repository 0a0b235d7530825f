#include "platform/ZelTimer.h"

#include <errno.h>

#include <chrono>
#include <new>
#include <system_error>

namespace {

// Longest single sleep of the timer thread; it re-checks its entries after
// that, so huge periods never overflow the clock arithmetic.
const uint64_t kMaxSleepMs = 3600 * 1000;

// The timer whose thread is the calling thread, if any: lets Clear() tell a
// call from its own callback (must not wait for itself) from any other call.
thread_local const ZelTimer* tTimerOfThisThread = nullptr;

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint64_t DueAfter(uint64_t fromMs, unsigned long periodMs) {
    uint64_t due = fromMs + periodMs;
    return due < fromMs ? UINT64_MAX : due;  // saturate instead of wrapping
}

}  // namespace

ZelTimer::~ZelTimer() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        thread = std::move(thread_);
        cond_.notify_all();
    }
    if (thread.joinable()) thread.join();
}

ZELTimerErrno ZelTimer::Register(int task, ZelTimerCallback callback, unsigned long periodMs,
                                 int flags, void* argument) {
    if (callback == nullptr || periodMs == 0) return EINVAL;
    std::lock_guard<std::mutex> lock(mutex_);
    Entry entry{{task, callback, periodMs, flags, argument}, DueAfter(NowMs(), periodMs)};
    entries_.push_back(entry);
    if (!manual_) {
        int err = EnsureThreadLocked();
        if (err != 0) {
            entries_.pop_back();
            return err;
        }
    }
    cond_.notify_all();
    return 0;
}

void ZelTimer::SetManualMode(bool manual) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (manual_ && !manual) {
        uint64_t now = NowMs();
        for (Entry& entry : entries_) entry.nextDueMs = DueAfter(now, entry.reg.periodMs);
    }
    manual_ = manual;
    // A failed start leaves the entries waiting; the next Register retries.
    if (!manual_ && !entries_.empty()) EnsureThreadLocked();
    cond_.notify_all();
}

void ZelTimer::Tick() {
    // Callbacks run without the lock: they may register or clear.
    for (const Registration& reg : Registrations()) reg.callback(reg.argument);
}

std::vector<ZelTimer::Registration> ZelTimer::Registrations() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Registration> regs;
    regs.reserve(entries_.size());
    for (const Entry& entry : entries_) regs.push_back(entry.reg);
    return regs;
}

void ZelTimer::Clear() {
    std::unique_lock<std::mutex> lock(mutex_);
    entries_.clear();
    cond_.notify_all();
    if (tTimerOfThisThread == this) return;
    cond_.wait(lock, [this] { return !running_; });
}

int ZelTimer::EnsureThreadLocked() {
    if (stop_ || thread_.joinable()) return 0;
    try {
        thread_ = std::thread(&ZelTimer::Run, this);
    } catch (const std::system_error& e) {
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

int ZelTimer::FirstDueLocked(uint64_t nowMs) const {
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].nextDueMs <= nowMs) return static_cast<int>(i);
    }
    return -1;
}

uint64_t ZelTimer::EarliestDueLocked() const {
    uint64_t earliest = UINT64_MAX;
    for (const Entry& entry : entries_) {
        if (entry.nextDueMs < earliest) earliest = entry.nextDueMs;
    }
    return earliest;
}

void ZelTimer::Run() {
    tTimerOfThisThread = this;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (manual_ || entries_.empty()) {
            cond_.wait(lock);
            continue;
        }
        uint64_t now = NowMs();
        int due = FirstDueLocked(now);
        if (due < 0) {
            uint64_t sleepMs = EarliestDueLocked() - now;
            if (sleepMs > kMaxSleepMs) sleepMs = kMaxSleepMs;
            cond_.wait_for(lock, std::chrono::milliseconds(sleepMs));
            continue;
        }
        // One callback at a time, in registration order; the next run is
        // scheduled before the lock is dropped. A late run is not caught up.
        Entry& entry = entries_[static_cast<size_t>(due)];
        uint64_t next = DueAfter(entry.nextDueMs, entry.reg.periodMs);
        entry.nextDueMs = next > now ? next : DueAfter(now, entry.reg.periodMs);
        Registration reg = entry.reg;
        running_ = true;
        lock.unlock();
        reg.callback(reg.argument);
        lock.lock();
        running_ = false;
        cond_.notify_all();
    }
}
