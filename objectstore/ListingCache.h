// ListingCache: pages of directory listings (live children in listing
// order), kept while the store does not change. Clients list the same big
// directory again and again (a restore browses, `ls -l` follows `ls`), and
// each page of a READDIRPLUS would otherwise be a query over the directory's
// index. Every write transaction of the store ends every page at once: the
// pages carry the store's change count they were read at, which makes the
// cache right without knowing which change touches which listing.
//
// A page holds every live child of its directory with an object number from
// its first number up to its last row's (or to the end of the directory), so
// a listing resumed anywhere inside a page is answered from it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "objectstore/DirHandle.h"
#include "objectstore/MetaDb.h"

namespace ObjectStore {

class ListingCache {
public:
    // Holds at most maxRows rows in all (0: nothing).
    explicit ListingCache(size_t maxRows);
    ListingCache(const ListingCache&) = delete;
    ListingCache& operator=(const ListingCache&) = delete;

    // Points out at the rows of dir from number fromNo on, at most limit,
    // when a page read at `changes` holds fromNo; false when none does.
    // True with no rows: the directory has no child from fromNo on.
    bool Find(const std::string& dir, int64_t fromNo, size_t limit, uint64_t changes, ListedRows& out);
    // Keeps rows, every live child of dir numbered fromNo up to the last
    // row's, or on to the end of the directory when toEnd; read at `changes`.
    void Put(const std::string& dir, int64_t fromNo, std::shared_ptr<const std::vector<NodeRow>> rows, bool toEnd,
             uint64_t changes);

    size_t Rows() const;

private:
    struct Page {
        int64_t lastNo;  // the last number it answers for
        std::shared_ptr<const std::vector<NodeRow>> rows;
    };
    struct Dir {
        std::map<int64_t, Page> pages;  // by first number
        std::list<std::string>::iterator recent;
    };
    // Drops everything read before `changes`; false when the caller's
    // `changes` is older than what the cache holds.
    bool Current(uint64_t changes);
    void Drop(std::unordered_map<std::string, Dir>::iterator dir);

    const size_t maxRows_;
    mutable std::mutex mutex_;
    uint64_t changes_ = 0;                       // guarded by mutex_: what every page was read at
    size_t rows_ = 0;                            // guarded by mutex_
    std::unordered_map<std::string, Dir> dirs_;  // guarded by mutex_
    std::list<std::string> recent_;              // guarded by mutex_: directories, most recent first
};

}  // namespace ObjectStore
