#include "nfsserver/ChangeClock.h"

ChangeClock& ChangeClock::Global() {
    static ChangeClock clock;
    return clock;
}

bool ChangeClock::QuietStamp(uint64_t& stamp) const {
    // Begun is read first: a change that begins and ends between the two
    // reads makes them differ (not quiet), and one that began after the
    // first read fails Unchanged.
    stamp = begun_.load();
    return ended_.load() == stamp;
}
