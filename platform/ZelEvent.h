// A manual-reset event: Set() wakes every waiter and stays set until Reset().
#pragma once
#include <condition_variable>
#include <mutex>

class ZelEvent {
public:
    explicit ZelEvent(bool initiallySet = false) : set_(initiallySet) {}
    ZelEvent(const ZelEvent&) = delete;
    ZelEvent& operator=(const ZelEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet();
    // Waits up to timeoutMs milliseconds; true when the event is (or becomes)
    // set, false on time-out.
    bool Wait(unsigned long timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool set_;  // guarded by mutex_
};
