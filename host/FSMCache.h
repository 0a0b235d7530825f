// The host's disk cache, shared with the object-store library. Its folder is
// <data dir>/cache unless the registry (section "Quay", "sDiskCachePath") names
// another.
#pragma once
#include <boost/shared_ptr.hpp>

#include "objectstore/DiskCache.h"
#include "platform/CPelError.h"

class FSMCache {
public:
    // Creates the shared cache (once) and its folder. An error when the folder
    // cannot be made; nothing is kept then, so the next call starts again.
    static CPelError InitDiskCache();
    static boost::shared_ptr<FSMCache> spFsmCache;

    explicit FSMCache(boost::shared_ptr<ObjectStore::DiskCache> cache) : diskCache_(cache) {}
    boost::shared_ptr<ObjectStore::DiskCache> getDiskCache() { return diskCache_; }
    ObjectStore::DiskCacheConfig GetDiskCacheConfig() { return diskCache_->Config(); }

    // Test seam: the next InitDiskCache calls fail with this error.
    static void FailNextInit(int count, const CPelError& error);
    static void Reset();  // drops the shared cache

private:
    boost::shared_ptr<ObjectStore::DiskCache> diskCache_;
};
