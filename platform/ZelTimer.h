// Periodic timer service: callbacks registered with a task id run on one timer
// thread, each once per period. For tests the timer can be put in manual mode,
// where nothing runs by itself and Tick() runs every registered task once.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

typedef int ZELTimerErrno;
typedef ZELTimerErrno (*ZelTimerCallback)(void*);

class ZelTimer {
public:
    struct Registration {
        int task;
        ZelTimerCallback callback;
        unsigned long periodMs;
        int flags;
        void* argument;
    };

    ZelTimer() = default;
    // Stops the timer thread and waits for a callback in progress. Must not be
    // called from one of this timer's callbacks.
    ~ZelTimer();
    ZelTimer(const ZelTimer&) = delete;
    ZelTimer& operator=(const ZelTimer&) = delete;

    // Registers callback(argument) to run every periodMs milliseconds; the first
    // run is one period after registration. Returns 0, or EINVAL for a null
    // callback or a zero period, or an errno value when the timer thread cannot
    // be started (the registration is then dropped). Each call adds an entry,
    // also for a task id already registered. The callback's result is not
    // used. Thread-safe; may be called from a callback.
    ZELTimerErrno Register(int task, ZelTimerCallback callback, unsigned long periodMs,
                           int flags, void* argument);

    // Test seam: in manual mode the timer thread runs nothing; Tick() runs each
    // registered callback once, in registration order, on the calling thread.
    // Leaving manual mode restarts every period from that moment.
    void SetManualMode(bool manual);
    void Tick();
    // Copy of the registrations, in registration order.
    std::vector<Registration> Registrations();
    // Drops every registration (used between tests and at shutdown). Returns
    // after a callback in progress on the timer thread has finished, so that
    // no callback runs once Clear has returned (unless called from a callback).
    void Clear();

private:
    struct Entry {
        Registration reg;
        uint64_t nextDueMs;
    };
    void Run();
    // Starts the timer thread unless it runs or the timer stops; 0 or errno.
    int EnsureThreadLocked();
    // Index of the first entry due at nowMs, or -1.
    int FirstDueLocked(uint64_t nowMs) const;
    uint64_t EarliestDueLocked() const;

    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Entry> entries_;  // guarded by mutex_
    bool manual_ = false;         // guarded by mutex_
    bool stop_ = false;           // guarded by mutex_
    bool running_ = false;        // guarded by mutex_: timer thread is inside a callback
    std::thread thread_;          // guarded by mutex_; joined by the destructor
};
