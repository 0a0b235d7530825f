#include "objectstore/SqlPageCache.h"

#include <sqlite3.h>

#include <atomic>
#include <new>

#include "objectstore/PageKeyBound.h"

namespace ObjectStore {

namespace {

sqlite3_pcache_methods2 builtIn;  // filled once, before the first cache exists
std::atomic<uint64_t> skipped{0};

struct Cache {
    sqlite3_pcache* inner;
    PageKeyBound bound;
};

Cache* Of(sqlite3_pcache* cache) { return reinterpret_cast<Cache*>(cache); }

int Init(void* arg) { return builtIn.xInit(arg); }

void Shutdown(void* arg) {
    if (builtIn.xShutdown != nullptr) builtIn.xShutdown(arg);
}

sqlite3_pcache* Create(int pageSize, int extraSize, int purgeable) {
    Cache* cache = new (std::nothrow) Cache{nullptr, {}};
    if (cache == nullptr) return nullptr;
    cache->inner = builtIn.xCreate(pageSize, extraSize, purgeable);
    if (cache->inner == nullptr) {
        delete cache;
        return nullptr;
    }
    return reinterpret_cast<sqlite3_pcache*>(cache);
}

void Cachesize(sqlite3_pcache* cache, int pages) { builtIn.xCachesize(Of(cache)->inner, pages); }

int Pagecount(sqlite3_pcache* cache) { return builtIn.xPagecount(Of(cache)->inner); }

sqlite3_pcache_page* Fetch(sqlite3_pcache* cache, unsigned key, int createFlag) {
    sqlite3_pcache_page* page = builtIn.xFetch(Of(cache)->inner, key, createFlag);
    if (page != nullptr) Of(cache)->bound.Fetched(page, key);
    return page;
}

void Unpin(sqlite3_pcache* cache, sqlite3_pcache_page* page, int discard) {
    if (discard) Of(cache)->bound.Discarded(page);
    builtIn.xUnpin(Of(cache)->inner, page, discard);
}

void Rekey(sqlite3_pcache* cache, sqlite3_pcache_page* page, unsigned oldKey, unsigned newKey) {
    builtIn.xRekey(Of(cache)->inner, page, oldKey, newKey);
    Of(cache)->bound.Rekeyed(page, newKey);
}

void Truncate(sqlite3_pcache* cache, unsigned limit) {
    if (!Of(cache)->bound.MayHoldFrom(limit)) {
        skipped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    builtIn.xTruncate(Of(cache)->inner, limit);
    Of(cache)->bound.Truncated(limit);
}

void Destroy(sqlite3_pcache* cache) {
    builtIn.xDestroy(Of(cache)->inner);
    delete Of(cache);
}

void Shrink(sqlite3_pcache* cache) { builtIn.xShrink(Of(cache)->inner); }

// Unless SQLite is initialized already: it then refuses (SQLITE_MISUSE).
bool Install() {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    if (sqlite3_config(SQLITE_CONFIG_GETPCACHE2, &builtIn) != SQLITE_OK) return false;
    sqlite3_pcache_methods2 ours = builtIn;
    ours.xInit = &Init;
    ours.xShutdown = &Shutdown;
    ours.xCreate = &Create;
    ours.xCachesize = &Cachesize;
    ours.xPagecount = &Pagecount;
    ours.xFetch = &Fetch;
    ours.xUnpin = &Unpin;
    ours.xRekey = &Rekey;
    ours.xTruncate = &Truncate;
    ours.xDestroy = &Destroy;
    ours.xShrink = &Shrink;
    return sqlite3_config(SQLITE_CONFIG_PCACHE2, &ours) == SQLITE_OK;
}

// When this library is loaded, before any of its connections opens.
const bool installed = Install();

}  // namespace

bool SqlPageCache::Installed() { return installed; }

uint64_t SqlPageCache::SkippedTruncations() { return skipped.load(std::memory_order_relaxed); }

}  // namespace ObjectStore
