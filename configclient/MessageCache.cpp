#include "configclient/MessageCache.h"

MessageCache& MessageCache::Instance() {
    static MessageCache* instance = new MessageCache();
    return *instance;
}

void MessageCache::SetEnabled(bool enable) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enable) {
        properties_.clear();
        subclients_.clear();
        ++epoch_;
    }
    enabled_ = enable;
}

bool MessageCache::Enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

void MessageCache::Drop() {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_.clear();
    subclients_.clear();
    ++epoch_;
}

uint64_t MessageCache::Epoch() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return epoch_;
}

bool MessageCache::GetProperty(unsigned long subclientId, const std::string& name, std::string& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = properties_.find(std::make_pair(subclientId, name));
    if (found == properties_.end()) return false;
    value = found->second;
    return true;
}

void MessageCache::PutProperty(unsigned long subclientId, const std::string& name, const std::string& value,
                               uint64_t epoch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_ || epoch != epoch_) return;
    MakeRoom();
    properties_[std::make_pair(subclientId, name)] = value;
}

bool MessageCache::GetSubclient(unsigned long subclientId, SubclientRecord& record) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = subclients_.find(subclientId);
    if (found == subclients_.end()) return false;
    record = found->second;
    return true;
}

void MessageCache::PutSubclient(const SubclientRecord& record, uint64_t epoch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_ || epoch != epoch_) return;
    MakeRoom();
    subclients_[record.id] = record;
}

int MessageCache::WriteProperty(unsigned long subclientId, const std::string& name, const std::string& value,
                                const std::function<int()>& write) {
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    const int status = write();
    std::lock_guard<std::mutex> lock(mutex_);
    // Reads in flight may have fetched the old value: keep them out.
    ++epoch_;
    const auto key = std::make_pair(subclientId, name);
    if (status != 0 || !enabled_) {
        properties_.erase(key);
        return status;
    }
    MakeRoom();
    properties_[key] = value;
    return status;
}

void MessageCache::MakeRoom() {
    if (properties_.size() + subclients_.size() < kMaxEntries) return;
    properties_.clear();
    subclients_.clear();
}
