// PageKeyBound: an upper bound of the page numbers one SQLite page cache
// holds, so that a truncation above every cached page can be skipped.
//
// SQLite truncates each connection's page cache at every commit, to the
// database size. Its built-in cache does that in time proportional to the
// range between the limit and the highest page number it ever held, and
// walks the whole cache when that range is wide. B-tree rebalancing parks a
// page under a temporary number far above the database for a moment (the
// number of the lock-byte page, 1 GiB into the file); the next commit then
// walks every cached page, about 250 us with 4,000 pages cached, after one
// in five small-file creates. The bound keeps such parked numbers apart as
// outliers, which leave again when their page is renumbered.
//
// Conservative: pages the cache drops without telling (recycling) only make
// the bound higher than needed, never lower. Not thread-safe: one cache, one
// connection at a time.
#pragma once
#include <cstddef>

namespace ObjectStore {

class PageKeyBound {
public:
    // page is cached under key (fetched, possibly created).
    void Fetched(const void* page, unsigned key) noexcept;
    // page now has newKey.
    void Rekeyed(const void* page, unsigned newKey) noexcept;
    // page left the cache.
    void Discarded(const void* page) noexcept;
    // False only when no cached page can have a key at or above limit.
    bool MayHoldFrom(unsigned limit) const noexcept;
    // Every page at or above limit left the cache.
    void Truncated(unsigned limit) noexcept;

private:
    static constexpr size_t kMaxOutliers = 8;
    struct Outlier {
        const void* page;
        unsigned key;
    };
    int Find(const void* page) const noexcept;
    void Erase(int index) noexcept;
    void Fold() noexcept;  // outliers into the bound, when they are too many

    unsigned bound_ = 0;  // no cached key is above it, the outliers' aside
    Outlier outliers_[kMaxOutliers] = {};
    size_t outlierCount_ = 0;
};

}  // namespace ObjectStore
