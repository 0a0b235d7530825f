#include "nfsserver/PreparedBudget.h"

bool PreparedBudget::Reserve(size_t bytes) {
    size_t now = used_.load();
    do {
        if (bytes > limit_ || now > limit_ - bytes) return false;
    } while (!used_.compare_exchange_weak(now, now + bytes));
    return true;
}

bool PreparedBudget::Lease::Take(size_t bytes) {
    Return();
    if (!budget_.Reserve(bytes)) return false;
    bytes_ = bytes;
    return true;
}

void PreparedBudget::Lease::Return() {
    // Every answered call returns its lease: one that holds nothing leaves
    // the counter all connections share alone.
    if (bytes_ == 0) return;
    budget_.used_.fetch_sub(bytes_);
    bytes_ = 0;
}
