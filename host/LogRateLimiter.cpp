#include "host/LogRateLimiter.h"

#include <time.h>

bool LogRateLimiter::Admit(uint64_t nowSeconds, uint64_t& heldBack) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || nowSeconds >= periodStart_ + period_ || nowSeconds < periodStart_) {
        started_ = true;
        periodStart_ = nowSeconds;
        passed_ = 0;
    }
    if (passed_ >= burst_) {
        ++heldBack_;
        return false;
    }
    ++passed_;
    heldBack = heldBack_;
    heldBack_ = 0;
    return true;
}

bool LogRateLimiter::Admit(uint64_t& heldBack) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return Admit(static_cast<uint64_t>(now.tv_sec), heldBack);
}
