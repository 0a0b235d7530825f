#include "platform/ZelEvent.h"

#include <chrono>

namespace {

// Longer waits are treated as "forever": a deadline of now + 2^64 ms would
// overflow the clock (ULONG_MAX is the usual "infinite" of callers).
const unsigned long kMaxWaitMs = 10UL * 365 * 24 * 3600 * 1000;

}  // namespace

void ZelEvent::Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cond_.notify_all();
}

void ZelEvent::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool ZelEvent::IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

bool ZelEvent::Wait(unsigned long timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutMs >= kMaxWaitMs) {
        cond_.wait(lock, [this] { return set_; });
        return true;
    }
    return cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}
