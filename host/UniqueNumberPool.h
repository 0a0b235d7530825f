// A pool of numbers from 1 to a maximum: never 0, never one number twice
// while it is taken. Numbers are handed out in rising order and wrap around
// to the lowest free one, so a freed number comes back only after the rest
// of the range has been used, which keeps a late release of an old number
// from touching its next owner. Memory grows with the numbers taken, not
// with the numbers ever handed out. Thread-safe.
#pragma once
#include <mutex>
#include <unordered_set>

class UniqueNumberPool {
public:
    explicit UniqueNumberPool(unsigned int maxNumber);
    UniqueNumberPool(const UniqueNumberPool&) = delete;
    UniqueNumberPool& operator=(const UniqueNumberPool&) = delete;

    // A free number, or 0 when all are taken (logged at level -1).
    unsigned int Take();
    // Returns the number to the pool. A number that is not taken is ignored
    // and logged at level 1.
    void Release(unsigned int number);
    unsigned int TakenCount();

private:
    std::mutex mutex_;
    const unsigned int max_;
    unsigned int next_ = 1;                   // guarded by mutex_
    std::unordered_set<unsigned int> taken_;  // guarded by mutex_
};
