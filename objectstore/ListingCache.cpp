#include "objectstore/ListingCache.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace ObjectStore {

ListingCache::ListingCache(size_t maxRows) : maxRows_(maxRows) {}

bool ListingCache::Current(uint64_t changes) {
    if (changes < changes_) return false;
    if (changes > changes_) {
        dirs_.clear();
        recent_.clear();
        rows_ = 0;
        changes_ = changes;
    }
    return true;
}

void ListingCache::Drop(std::unordered_map<std::string, Dir>::iterator dir) {
    for (const auto& page : dir->second.pages) rows_ -= page.second.rows->size();
    recent_.erase(dir->second.recent);
    dirs_.erase(dir);
}

bool ListingCache::Find(const std::string& dir, int64_t fromNo, size_t limit, uint64_t changes, ListedRows& out) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!Current(changes)) return false;
    auto found = dirs_.find(dir);
    if (found == dirs_.end()) return false;
    std::map<int64_t, Page>& pages = found->second.pages;
    auto page = pages.upper_bound(fromNo);
    if (page == pages.begin()) return false;
    --page;
    if (fromNo > page->second.lastNo) return false;
    const std::vector<NodeRow>& rows = *page->second.rows;
    auto from = std::lower_bound(rows.begin(), rows.end(), fromNo,
                                 [](const NodeRow& row, int64_t no) { return row.no < no; });
    out.page = page->second.rows;
    out.next = static_cast<size_t>(from - rows.begin());
    out.end = out.next + std::min(limit, rows.size() - out.next);
    out.changes = changes;
    recent_.splice(recent_.begin(), recent_, found->second.recent);
    return true;
}

void ListingCache::Put(const std::string& dir, int64_t fromNo, std::shared_ptr<const std::vector<NodeRow>> rows,
                       bool toEnd, uint64_t changes) {
    if (rows->size() > maxRows_ || (rows->empty() && !toEnd)) return;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!Current(changes)) return;
    auto found = dirs_.find(dir);
    if (found == dirs_.end()) {
        recent_.push_front(dir);
        found = dirs_.emplace(dir, Dir{{}, recent_.begin()}).first;
    } else {
        recent_.splice(recent_.begin(), recent_, found->second.recent);
    }
    const int64_t lastNo = toEnd ? std::numeric_limits<int64_t>::max() : rows->back().no;
    Page& page = found->second.pages[fromNo];
    if (page.rows) rows_ -= page.rows->size();
    rows_ += rows->size();
    page = Page{lastNo, std::move(rows)};
    // Whole directories go, least recently used first, but never the one
    // just filled.
    while (rows_ > maxRows_ && recent_.back() != dir) Drop(dirs_.find(recent_.back()));
    if (rows_ > maxRows_) Drop(dirs_.find(dir));
}

size_t ListingCache::Rows() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return rows_;
}

}  // namespace ObjectStore
