// Fault injection for tests: "the next N calls of operation X fail with errno E".
// Operation names are the ObjectContainer method names ("open", "write", ...)
// and the steps of a prune ("prune.rows", ...; see StorePruner).
// Thread-safe. A container consults its plan at the start of each operation;
// a failing call changes nothing.
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/CPelError.h"

namespace ObjectStore {

class FaultPlan {
public:
    // The process-wide plan, consulted by every container besides its own.
    // It reaches containers that a component creates internally (the module
    // makes its one container during start-up).
    static FaultPlan& Global();

    // The next count calls of operation fail with errNo, after the next
    // skip calls succeed.
    void FailNext(const std::string& operation, int count, int errNo, int skip = 0);
    void Clear();
    // Consumes one planned failure for the operation; an error when one was
    // planned, success otherwise.
    CPelError Check(const std::string& operation);
    // How many calls of the operation have failed by plan so far.
    int Injected(const std::string& operation);

private:
    struct Plan {
        int skip = 0;
        int remaining = 0;
        int errNo = 0;
        int injected = 0;
    };
    std::mutex mutex_;
    std::map<std::string, Plan> plans_;  // guarded by mutex_
    // False while no failure is planned: Check runs on every operation and
    // every metadata commit (under the writer lock), and then takes no lock.
    std::atomic<bool> planned_{false};
};

}  // namespace ObjectStore
