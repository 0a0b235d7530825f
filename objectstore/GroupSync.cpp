#include "objectstore/GroupSync.h"

#include <algorithm>
#include <string>

#include "objectstore/StoreFailure.h"

namespace ObjectStore {

uint64_t GroupSync::Ticket() { return issued_.fetch_add(1) + 1; }

uint64_t GroupSync::Last() const { return issued_.load(); }

bool GroupSync::Clean() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return failedErrNo_ == 0 && synced_ == issued_.load();
}

void GroupSync::Wait(uint64_t ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (synced_ < ticket) {
        if (failedErrNo_ != 0) Fail(failedErrNo_, "cannot sync the metadata log");
        if (running_) {
            done_.wait(lock);
            continue;
        }
        // Every ticket issued so far is in the log already (each is taken
        // after its commit wrote it): one sync covers them all.
        running_ = true;
        const uint64_t covers = issued_.load();
        lock.unlock();
        const int error = sync_();
        lock.lock();
        running_ = false;
        ++syncs_;
        if (error == 0) synced_ = std::max(synced_, covers);
        if (error != 0 && failedErrNo_ == 0) failedErrNo_ = error;
        done_.notify_all();
    }
}

uint64_t GroupSync::Syncs() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return syncs_;
}

}  // namespace ObjectStore
