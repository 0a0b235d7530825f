#include "objectstore/CommitBatch.h"

#include <cerrno>

#include "objectstore/StoreFailure.h"

namespace ObjectStore {

void CommitBatch::RunAfterCommit(uint64_t ticket) {
    for (const AfterCommit& work : after_) RunQuietly(work, ticket);
    after_.clear();
}

void CommitBatch::RunQuietly(const AfterCommit& work, uint64_t ticket) {
    if (!work) return;
    try {
        work(ticket);
    } catch (...) {
        // Nothing to undo: see the declaration.
    }
}

void CommitBatch::End(uint64_t ticket) {
    std::lock_guard<std::mutex> guard(mutex_);
    done_ = true;
    ticket_ = ticket;
    ended_.notify_all();
}

void CommitBatch::Abandon(int errNo, const std::string& message) {
    std::lock_guard<std::mutex> guard(mutex_);
    done_ = true;
    errNo_ = errNo != 0 ? errNo : EIO;
    message_ = message;
    ended_.notify_all();
}

uint64_t CommitBatch::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.wait(lock, [this] { return done_; });
    if (errNo_ != 0) Fail(errNo_, message_);
    return ticket_;
}

}  // namespace ObjectStore
