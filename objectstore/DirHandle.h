// DirHandle: a directory stream of one open store view. Positions: 0 is
// before ".", 1 before "..", and n + 2 before the first child whose object
// number is at least n. Object numbers never change, so a position taken by
// telldir stays meaningful after entries are added or removed.
#pragma once
#include <dirent.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "objectstore/MetaDb.h"

namespace ObjectStore {

// Children of a listing read ahead: rows [next, end) of a page, which the
// store's listing cache may share.
struct ListedRows {
    std::shared_ptr<const std::vector<NodeRow>> page;
    size_t next = 0;
    size_t end = 0;
    uint64_t changes = 0;  // live listings: the store's change count the rows are current at
};

struct DirHandle {
    uint64_t storeIndex = 0;
    std::string guid;    // the directory listed
    std::mutex mutex;    // guards everything below: one call at a time per stream
    uint64_t position = 0;
    ListedRows batch;
    struct dirent entry;  // what the last readdir returned
};

}  // namespace ObjectStore
