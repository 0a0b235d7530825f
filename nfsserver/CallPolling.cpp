#include "nfsserver/CallPolling.h"

#include <poll.h>
#include <sched.h>

#include <thread>

CallPolling::CallPolling(unsigned microseconds, unsigned slots) : budget_(microseconds), slots_(slots) {}

unsigned CallPolling::DefaultSlots() {
    const unsigned cores = std::thread::hardware_concurrency();  // 0 when unknown
    return cores > 1 ? cores - 1 : 1;
}

bool CallPolling::TakeSlot() {
    unsigned taken = polling_.load();
    do {
        if (taken >= slots_) return false;
    } while (!polling_.compare_exchange_weak(taken, taken + 1));
    return true;
}

bool CallPolling::AwaitReadable(int fd) {
    if (budget_.count() == 0 || !TakeSlot()) return false;
    const auto deadline = std::chrono::steady_clock::now() + budget_;
    pollfd ready{fd, POLLIN, 0};
    bool readable = false;
    for (;;) {
        ready.revents = 0;
        // Hang-ups and errors count as readable: the caller's recv reports them.
        readable = poll(&ready, 1, 0) > 0;
        if (readable || std::chrono::steady_clock::now() >= deadline) break;
        // Lets a runnable thread on this core (a client on the same machine,
        // a sync finishing) go first: it is what the poll is waiting for.
        sched_yield();
    }
    polling_.fetch_sub(1);
    return readable;
}
