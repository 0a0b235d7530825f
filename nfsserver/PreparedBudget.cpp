#include "nfsserver/PreparedBudget.h"

bool PreparedBudget::Reserve(size_t bytes) {
    size_t now = used_.load();
    do {
        if (bytes > limit_ || now > limit_ - bytes) return false;
    } while (!used_.compare_exchange_weak(now, now + bytes));
    return true;
}
