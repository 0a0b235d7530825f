// Configuration records of the object-store library: the per-store record
// that openObjectStore takes, and the container record that init takes.
// ObjectStoreConfig is shared with callers as a plain 64-bit layout; its field
// offsets are fixed and checked below.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

namespace ObjectStore {

class DiskCache;

// While a file of this name stands in the container's data root, stores are
// being moved to another disk cache (isCacheMigrationInProgress answers true).
constexpr const char* kCacheMigrationMarker = "CACHE_MIGRATION_IN_PROGRESS";

struct FileAttribs {
    uint32_t mode = 0744;
    uint32_t uid = 0;
    uint32_t gid = 0;
};

struct ObjectStoreConfig {
    std::string storePath;               // 0
    uint64_t subClientId = 0;            // 32
    FileAttribs defaultAttribs;          // 40
    uint64_t extentSize = 1048576;       // 56: bytes per extent file
    std::string metadataDir;             // 64: metadata folder; empty = inside the store folder
    uint64_t timeoutUntilBackup = 15;    // 96: idle seconds before an item is taken for backup
    uint64_t lockWaitMs = 300000;        // 104: longest wait for a metadata lock
    int64_t snapshotTime = 0;            // 112: view time for PIT stores
    uint32_t guidCacheBytes = 10485760;  // 120
    uint32_t versionCacheBytes = 10485760;  // 124
    int64_t attribCacheEntries = 32;     // 128
    int64_t xattrCacheEntries = 32;      // 136
    int64_t dirCacheEntries = 100000;    // 144
    uint32_t maxPath = 4096;             // 152
    uint32_t flushAfterCount = 100;      // 156
    uint32_t flushAfterSeconds = 10;     // 160
    bool readOnly = false;               // 164
    bool writablePIT = false;            // 165
    uint32_t pageSize = 4096;            // 168: metadata page size
    uint32_t copyPrecedence = 0;         // 172
    std::string snapName;                // 176
    std::string backupFilter;            // 208
    bool caseSensitive = true;           // 240
    uint32_t versionInterval = 0;        // 244: seconds
    bool enabledVersions = true;         // 248
    bool isPIT = false;                  // 249
};

static_assert(sizeof(std::string) == 32, "text fields are 32-byte string objects");
static_assert(offsetof(ObjectStoreConfig, storePath) == 0, "layout");
static_assert(offsetof(ObjectStoreConfig, subClientId) == 32, "layout");
static_assert(offsetof(ObjectStoreConfig, defaultAttribs) == 40, "layout");
static_assert(offsetof(ObjectStoreConfig, extentSize) == 56, "layout");
static_assert(offsetof(ObjectStoreConfig, metadataDir) == 64, "layout");
static_assert(offsetof(ObjectStoreConfig, timeoutUntilBackup) == 96, "layout");
static_assert(offsetof(ObjectStoreConfig, lockWaitMs) == 104, "layout");
static_assert(offsetof(ObjectStoreConfig, snapshotTime) == 112, "layout");
static_assert(offsetof(ObjectStoreConfig, guidCacheBytes) == 120, "layout");
static_assert(offsetof(ObjectStoreConfig, versionCacheBytes) == 124, "layout");
static_assert(offsetof(ObjectStoreConfig, attribCacheEntries) == 128, "layout");
static_assert(offsetof(ObjectStoreConfig, xattrCacheEntries) == 136, "layout");
static_assert(offsetof(ObjectStoreConfig, dirCacheEntries) == 144, "layout");
static_assert(offsetof(ObjectStoreConfig, maxPath) == 152, "layout");
static_assert(offsetof(ObjectStoreConfig, flushAfterCount) == 156, "layout");
static_assert(offsetof(ObjectStoreConfig, flushAfterSeconds) == 160, "layout");
static_assert(offsetof(ObjectStoreConfig, readOnly) == 164, "layout");
static_assert(offsetof(ObjectStoreConfig, writablePIT) == 165, "layout");
static_assert(offsetof(ObjectStoreConfig, pageSize) == 168, "layout");
static_assert(offsetof(ObjectStoreConfig, copyPrecedence) == 172, "layout");
static_assert(offsetof(ObjectStoreConfig, snapName) == 176, "layout");
static_assert(offsetof(ObjectStoreConfig, backupFilter) == 208, "layout");
static_assert(offsetof(ObjectStoreConfig, caseSensitive) == 240, "layout");
static_assert(offsetof(ObjectStoreConfig, versionInterval) == 244, "layout");
static_assert(offsetof(ObjectStoreConfig, enabledVersions) == 248, "layout");
static_assert(offsetof(ObjectStoreConfig, isPIT) == 249, "layout");

// Container settings: where stores live, and the shared disk cache.
struct ObjectContainerConfig {
    std::string dataRoot;                 // folder that holds every store
    uint32_t cacheHighWatermarkPct = 90;  // disk cache: start evicting
    uint32_t cacheLowWatermarkPct = 80;   // disk cache: stop evicting
    uint32_t cacheWarnWatermarkPct = 85;  // disk cache: warn
    uint64_t maxOpenStores = 1000;
    uint32_t flags = 0;
    boost::shared_ptr<DiskCache> diskCache;
    bool useDiskCache = false;
};

}  // namespace ObjectStore
