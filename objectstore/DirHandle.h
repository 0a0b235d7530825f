// DirHandle: a directory stream of one open store view. Positions: 0 is
// before ".", 1 before "..", and n + 2 before the first child whose object
// number is at least n. Object numbers never change, so a position taken by
// telldir stays meaningful after entries are added or removed.
#pragma once
#include <dirent.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "objectstore/MetaDb.h"

namespace ObjectStore {

struct DirHandle {
    uint64_t storeIndex = 0;
    std::string guid;    // the directory listed
    std::mutex mutex;    // guards everything below: one call at a time per stream
    uint64_t position = 0;
    std::vector<NodeRow> batch;  // children read ahead, from batchNext on
    size_t batchNext = 0;
    uint64_t batchChanges = 0;   // live listings: the store's change count the batch is current at
    struct dirent entry;  // what the last readdir returned
};

}  // namespace ObjectStore
