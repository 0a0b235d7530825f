// CommitBatch: the changes of several writers committed by one SQLite COMMIT.
// A writer whose change is done while others wait for the writer connection
// may leave its transaction open for them (MetaDb::WriteTxn::kShared) instead
// of committing it: the next writer goes on in the same transaction, and
// whoever ends it commits for all. A COMMIT writes every page the batch
// changed once, so changes of many clients at once cost about one COMMIT per
// batch instead of one each.
//
// The members wait until the batch has ended. Whoever ends it runs their
// after-commit work in the order the changes were made, still under the
// writer lock, and then wakes them with the outcome: the batch's ticket, or
// the failure that lost every change in it.
//
// Thread safety: Join and RunAfterCommit are called under the writer lock;
// Wait from the members, which no longer hold it; End and Abandon by whoever
// holds the writer lock.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ObjectStore {

class CommitBatch {
public:
    using AfterCommit = std::function<void(uint64_t ticket)>;

    // A member's change is in the open transaction; afterCommit (may be
    // empty) runs once it has committed.
    void Join(AfterCommit afterCommit) { after_.push_back(std::move(afterCommit)); }
    size_t Members() const { return after_.size(); }
    // Runs every member's after-commit work, in order.
    void RunAfterCommit(uint64_t ticket);
    // Runs one change's after-commit work. Work that throws is cut short:
    // the change has committed, and a cache entry that is not put is read
    // again from the database.
    static void RunQuietly(const AfterCommit& work, uint64_t ticket);
    // The batch committed: wakes the members with its ticket.
    void End(uint64_t ticket);
    // The batch's changes are lost: wakes the members with the failure.
    void Abandon(int errNo, const std::string& message);
    // Member side: returns the batch's ticket once it committed, or throws
    // StoreFailure when it was lost.
    uint64_t Wait();

private:
    std::vector<AfterCommit> after_;  // guarded by the writer lock
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;     // guarded by mutex_, as are the fields below
    uint64_t ticket_ = 0;
    int errNo_ = 0;
    std::string message_;
};

}  // namespace ObjectStore
