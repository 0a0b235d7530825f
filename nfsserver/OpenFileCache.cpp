#include "nfsserver/OpenFileCache.h"

#include <fcntl.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "host/ExportCache.h"

namespace {

// Whether the export is still the one served under its share id.
bool Served(const ExportPtr& exp) {
    ExportPtr current;
    return gAllExports != nullptr && gAllExports->FindExport(exp->GetShareId(), current) && current == exp;
}

}  // namespace

OpenFileCache::OpenFileCache(size_t capacity, std::chrono::milliseconds idle,
                             std::function<Clock::time_point()> now)
    : capacity_(capacity == 0 ? 1 : capacity), idle_(idle), now_(std::move(now)) {}

OpenFileCache::~OpenFileCache() { Clear(); }

int OpenFileCache::Acquire(const FileRequest& request, bool write, std::shared_ptr<OpenFile>& file) {
    const std::string key = request.Key();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(key);
        if (it != entries_.end() && (!write || it->second.file->Writable()) &&
            it->second.file->GetExport() == request.GetExport()) {
            it->second.lastUse = now_();
            order_.splice(order_.begin(), order_, it->second.order);
            file = it->second.file;
            return 0;
        }
    }
    // Opened outside the lock: an open is a store call and must not stall
    // other files' calls.
    const BkEndProcPtr& object = request.Object();
    QuayCtxt ctxt = request.Context(object);
    const std::string& path = object->GetClientPath();
    const int fd = object->open(&ctxt, path.c_str(), write ? O_RDWR : O_RDONLY, 0);
    if (fd < 0) return errno != 0 ? errno : EIO;
    file = std::make_shared<OpenFile>(object, request.GetExport(), fd, write);
    std::vector<std::shared_ptr<OpenFile>> dropped;  // closed after the lock is released
    std::lock_guard<std::mutex> lock(mutex_);
    InsertLocked(key, file, dropped);
    return 0;
}

void OpenFileCache::InsertLocked(const std::string& key, std::shared_ptr<OpenFile> file,
                                 std::vector<std::shared_ptr<OpenFile>>& dropped) {
    auto it = entries_.find(key);
    if (it != entries_.end()) {
        dropped.push_back(std::move(it->second.file));
        order_.erase(it->second.order);
        entries_.erase(it);
    }
    while (entries_.size() >= capacity_) {
        auto last = entries_.find(order_.back());
        dropped.push_back(std::move(last->second.file));
        entries_.erase(last);
        order_.pop_back();
    }
    order_.push_front(key);
    entries_[key] = Entry{std::move(file), now_(), order_.begin()};
}

std::shared_ptr<OpenFile> OpenFileCache::Find(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.file;
}

void OpenFileCache::Forget(const std::string& key) {
    std::shared_ptr<OpenFile> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return;
    dropped = std::move(it->second.file);
    order_.erase(it->second.order);
    entries_.erase(it);
}

void OpenFileCache::CloseIdle() {
    std::vector<std::shared_ptr<OpenFile>> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point limit = now_() - idle_;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.lastUse <= limit || !Served(it->second.file->GetExport())) {
            dropped.push_back(std::move(it->second.file));
            order_.erase(it->second.order);
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

void OpenFileCache::Clear() {
    std::vector<std::shared_ptr<OpenFile>> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : entries_) dropped.push_back(std::move(entry.second.file));
    entries_.clear();
    order_.clear();
}

size_t OpenFileCache::Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}
