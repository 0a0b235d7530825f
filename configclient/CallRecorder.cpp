#include "configclient/CallRecorder.h"

bool CallRecorder::Record(unsigned long subclientId, const std::string& operation, int& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    Key key(subclientId, operation);
    ++counts_[key];
    if (log_.size() == kLogCapacity) log_.pop_front();
    log_.push_back(ConfigCall{subclientId, operation});
    const auto found = overrides_.find(key);
    if (found == overrides_.end()) return false;
    status = found->second;
    return true;
}

void CallRecorder::SetOverride(unsigned long subclientId, const std::string& operation, int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_[Key(subclientId, operation)] = status;
}

void CallRecorder::ClearOverrides() {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_.clear();
}

uint64_t CallRecorder::Count(unsigned long subclientId, const std::string& operation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = counts_.find(Key(subclientId, operation));
    return found == counts_.end() ? 0 : found->second;
}

std::vector<ConfigCall> CallRecorder::Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<ConfigCall>(log_.begin(), log_.end());
}

void CallRecorder::ClearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.clear();
    log_.clear();
}
