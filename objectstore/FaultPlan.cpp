#include "objectstore/FaultPlan.h"

namespace ObjectStore {

FaultPlan& FaultPlan::Global() {
    // Never destroyed: containers on other threads may consult it at exit.
    static FaultPlan* plan = new FaultPlan();
    return *plan;
}

void FaultPlan::FailNext(const std::string& operation, int count, int errNo, int skip) {
    std::lock_guard<std::mutex> guard(mutex_);
    planned_.store(true, std::memory_order_release);
    Plan& plan = plans_[operation];
    plan.skip = skip;
    plan.remaining = count;
    plan.errNo = errNo;
}

void FaultPlan::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    plans_.clear();
    planned_.store(false, std::memory_order_release);
}

CPelError FaultPlan::Check(const std::string& operation) {
    if (!planned_.load(std::memory_order_acquire)) return CPelError::Success();
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = plans_.find(operation);
    if (it == plans_.end() || it->second.remaining <= 0) return CPelError::Success();
    if (it->second.skip > 0) {
        --it->second.skip;
        return CPelError::Success();
    }
    --it->second.remaining;
    ++it->second.injected;
    return CPelError(it->second.errNo, "injected failure of " + operation);
}

int FaultPlan::Injected(const std::string& operation) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = plans_.find(operation);
    return it == plans_.end() ? 0 : it->second.injected;
}

}  // namespace ObjectStore
