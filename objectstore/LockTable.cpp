#include "objectstore/LockTable.h"

namespace ObjectStore {

bool LockTable::Conflicts(const std::string& guid, const Range& wanted, Range* holder) {
    std::lock_guard<std::mutex> guard(mutex_);
    return ConflictsLocked(guid, wanted, holder);
}

bool LockTable::ConflictsLocked(const std::string& guid, const Range& wanted, Range* holder) {
    auto it = locks_.find(guid);
    if (it == locks_.end()) return false;
    for (const Range& r : it->second) {
        if (r.owner == wanted.owner) continue;
        if (!Overlap(r, wanted)) continue;
        if (r.kind == 1 && wanted.kind == 1) continue;
        if (holder) *holder = r;
        return true;
    }
    return false;
}

void LockTable::RemoveOwnerRange(std::vector<Range>& locks, const Range& range) {
    std::vector<Range> kept;
    for (const Range& r : locks) {
        if (r.owner != range.owner || !Overlap(r, range)) {
            kept.push_back(r);
            continue;
        }
        // Keep the parts of r outside the range.
        if (r.first < range.first) {
            Range left = r;
            left.last = range.first - 1;
            kept.push_back(left);
        }
        if (End(range) != INT64_MAX && End(r) > End(range)) {
            Range right = r;
            right.first = End(range) + 1;
            kept.push_back(right);
        }
    }
    locks.swap(kept);
}

bool LockTable::Lock(const std::string& guid, const Range& wanted, Range& holder) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ConflictsLocked(guid, wanted, &holder)) return false;
    std::vector<Range>& locks = locks_[guid];
    RemoveOwnerRange(locks, wanted);
    locks.push_back(wanted);
    return true;
}

void LockTable::Unlock(const std::string& guid, const Range& range) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = locks_.find(guid);
    if (it == locks_.end()) return;
    RemoveOwnerRange(it->second, range);
    if (it->second.empty()) locks_.erase(it);
}

void LockTable::DropOpen(uint64_t openId) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = locks_.begin(); it != locks_.end();) {
        std::vector<Range>& v = it->second;
        for (size_t i = 0; i < v.size();) {
            if (v[i].openId == openId) {
                v[i] = v.back();
                v.pop_back();
            } else {
                ++i;
            }
        }
        it = v.empty() ? locks_.erase(it) : std::next(it);
    }
}

size_t LockTable::Count(const std::string& guid) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = locks_.find(guid);
    return it == locks_.end() ? 0 : it->second.size();
}

}  // namespace ObjectStore

