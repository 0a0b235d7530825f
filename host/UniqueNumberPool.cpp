#include "host/UniqueNumberPool.h"

#include "host/HostLog.h"

UniqueNumberPool::UniqueNumberPool(unsigned int maxNumber) : max_(maxNumber == 0 ? 1 : maxNumber) {}

unsigned int UniqueNumberPool::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (taken_.size() >= max_) {
        HOST_LOG(-1, "ERROR: All [%u] descriptor numbers are in use", max_);
        return 0;
    }
    // At least one number is free, so this loop ends within one round.
    while (taken_.count(next_) != 0) next_ = next_ >= max_ ? 1 : next_ + 1;
    unsigned int number = next_;
    taken_.insert(number);
    next_ = next_ >= max_ ? 1 : next_ + 1;
    return number;
}

void UniqueNumberPool::Release(unsigned int number) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (taken_.erase(number) == 0) {
        HOST_LOG(1, "WARN: Descriptor number [%u] is not in use; nothing freed", number);
    }
}

unsigned int UniqueNumberPool::TakenCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned int>(taken_.size());
}
