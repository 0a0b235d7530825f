#include "host/ExportCache.h"

namespace {

// Created on first use and never destroyed: exports may be looked up from
// other libraries' static initialisers and destructors.
ExportCache& ProcessExportCache() {
    static ExportCache* cache = new ExportCache();
    return *cache;
}

}  // namespace

ExportCache* gAllExports = &ProcessExportCache();

bool ExportCache::FindExport(unsigned int shareId, ExportPtr& exp) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto found = exports_.find(shareId);
    if (found == exports_.end()) return false;
    exp = found->second;
    return true;
}

bool ExportCache::AddExport(ExportPtr& exp) {
    if (!exp) return false;
    ExportPtr replaced = exp;  // the old entry is released after the lock
    std::lock_guard<std::shared_mutex> lock(mutex_);
    exports_[exp->GetShareId()].swap(replaced);
    return true;
}

bool ExportCache::RemoveExport(ExportPtr& exp) {
    if (!exp) return false;
    ExportPtr removed;  // released after the lock, so a destructor never runs under it
    std::lock_guard<std::shared_mutex> lock(mutex_);
    auto found = exports_.find(exp->GetShareId());
    if (found == exports_.end() || found->second != exp) return false;
    removed.swap(found->second);
    exports_.erase(found);
    return true;
}

std::vector<ExportPtr> ExportCache::List() {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    std::vector<ExportPtr> all;
    all.reserve(exports_.size());
    for (const auto& entry : exports_) all.push_back(entry.second);
    return all;
}

void ExportCache::Clear() {
    std::map<unsigned int, ExportPtr> dropped;
    {
        std::lock_guard<std::shared_mutex> lock(mutex_);
        dropped.swap(exports_);
    }
}
