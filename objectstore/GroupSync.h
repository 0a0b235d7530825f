// GroupSync: one sync of the metadata log for every commit that is waiting
// for it. Every commit takes a ticket, its place in the log, once its COMMIT
// has written the log (under the writer lock); a durable one waits for its
// ticket after releasing that lock.
// The first waiter to find no sync running runs one, for every ticket taken
// until then; those that arrive meanwhile wait and are served together by
// the next. N clients committing at once so cost about two syncs a round,
// not N, and no sync is run while the writer lock is held.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace ObjectStore {

class GroupSync {
public:
    // sync: makes everything written to the log so far durable; returns 0
    // or an errno.
    explicit GroupSync(std::function<int()> sync) : sync_(std::move(sync)) {}
    GroupSync(const GroupSync&) = delete;
    GroupSync& operator=(const GroupSync&) = delete;

    // Call after every commit has written the log, before another commit
    // can: tickets follow the log's order, so a sync that covers one covers
    // every earlier one.
    uint64_t Ticket();
    // The ticket of the last commit so far; 0 before the first.
    uint64_t Last() const;
    // Whether every commit so far is durable already, so that a sync would
    // write nothing (clients often send a second COMMIT with their CLOSE).
    bool Clean() const;
    // Returns once a sync begun after the ticket was taken has succeeded
    // (at once for a ticket a successful sync covered already).
    // Throws StoreFailure (with the sync's errno) once any sync has failed:
    // the pages that did not reach the disk may be gone from memory too, so
    // a later sync that succeeds proves nothing about them. The log stays
    // suspect until the store is opened again.
    void Wait(uint64_t ticket);
    // How many syncs have run.
    uint64_t Syncs() const;

private:
    const std::function<int()> sync_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    // Taken without mutex_: the writer, which holds the writer lock, never
    // waits behind the waiters a finished sync wakes.
    std::atomic<uint64_t> issued_{0};
    // Everything below is guarded by mutex_.
    uint64_t synced_ = 0;  // every ticket up to this is durable
    int failedErrNo_ = 0;  // of the first sync that failed
    bool running_ = false;
    uint64_t syncs_ = 0;
};

}  // namespace ObjectStore
