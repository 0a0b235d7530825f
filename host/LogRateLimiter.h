// LogRateLimiter: keeps a line that any network client can cause once per
// call from filling the log. At most `burst` lines pass in each period of
// `periodSeconds`; the lines beyond are counted, and the count is handed to
// the caller with the next line that passes, to be logged with it.
//
// Thread-safe.
#pragma once
#include <cstdint>
#include <mutex>

class LogRateLimiter {
public:
    LogRateLimiter(unsigned burst, unsigned periodSeconds) : burst_(burst), period_(periodSeconds) {}
    LogRateLimiter(const LogRateLimiter&) = delete;
    LogRateLimiter& operator=(const LogRateLimiter&) = delete;

    // Whether a line may be written at nowSeconds (a monotonic clock); when
    // it may, heldBack is the number of lines held back since the last one
    // that passed.
    bool Admit(uint64_t nowSeconds, uint64_t& heldBack);
    // The same on CLOCK_MONOTONIC.
    bool Admit(uint64_t& heldBack);

private:
    const unsigned burst_;
    const unsigned period_;
    std::mutex mutex_;
    bool started_ = false;      // guarded by mutex_
    uint64_t periodStart_ = 0;  // guarded by mutex_
    unsigned passed_ = 0;       // guarded by mutex_; lines passed in this period
    uint64_t heldBack_ = 0;     // guarded by mutex_
};
