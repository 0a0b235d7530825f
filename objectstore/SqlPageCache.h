// SqlPageCache: SQLite's built-in page cache, with each cache instance
// tracking a PageKeyBound so that truncations above every cached page (one
// at each commit) return at once instead of walking the cache.
//
// A page cache is process-wide SQLite configuration and can only be set
// before SQLite initializes; this library installs it when it is loaded.
// Where SQLite was already initialized by then, the built-in cache stays,
// which is correct, only slower. So does the other setting made then:
// SQLite keeps no memory statistics. Keeping them takes one process-wide
// mutex on every allocation and free, and the writer of every store then
// waits on the readers of all of them (nothing here reads the statistics).
#pragma once
#include <cstdint>

namespace ObjectStore {

class SqlPageCache {
public:
    // True when the cache is in use.
    static bool Installed();
    // Truncations answered without asking the built-in cache; for tests
    // and statistics.
    static uint64_t SkippedTruncations();
};

}  // namespace ObjectStore
