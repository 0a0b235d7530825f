// Polls a connection's socket for a short while before its thread goes to
// sleep waiting for the next call. Clients send their next call a few
// microseconds after a reply arrives (a path lookup is a chain of calls, a
// small-file copy four of them), and waking a thread that slept costs more
// than that: on a virtual machine an idle vCPU halts and takes 30-100 us to
// come back, more than a GETATTR takes to serve. Polling is bounded in time
// and in how many threads do it at once, so it never takes every core from
// the work it waits for.
#pragma once
#include <atomic>
#include <chrono>

class CallPolling {
public:
    // Polls for up to microseconds (0: never), with at most slots threads
    // polling at once.
    CallPolling(unsigned microseconds, unsigned slots);
    CallPolling(const CallPolling&) = delete;
    CallPolling& operator=(const CallPolling&) = delete;

    // The slot count that leaves one core to the rest of the process and
    // the clients on the same machine.
    static unsigned DefaultSlots();

    // True once fd is readable (or hung up), within the time allowed. False
    // when the time ran out or every slot was taken: the caller then sleeps
    // in poll as it would have without polling.
    bool AwaitReadable(int fd);

    // Threads polling right now; for tests.
    unsigned Polling() const { return polling_.load(); }

private:
    bool TakeSlot();

    const std::chrono::microseconds budget_;
    const unsigned slots_;
    std::atomic<unsigned> polling_{0};
};
