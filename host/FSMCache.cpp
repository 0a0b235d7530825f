#include "host/FSMCache.h"

#include <cerrno>
#include <mutex>

#include "host/HostLog.h"
#include "platform/ZELPlatformInfo.h"
#include "platform/ZelDataDir.h"

boost::shared_ptr<FSMCache> FSMCache::spFsmCache;

namespace {

std::mutex& InitMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

// Planned failures of InitDiskCache, guarded by InitMutex().
int gFailuresLeft = 0;
CPelError gPlannedError;

std::string CachePath() {
    std::string path;
    ZELPlatformInfo registry;
    if (registry.getString("Quay", "sDiskCachePath", &path) && !path.empty()) return path;
    return ZelDataDir() + "/cache";
}

}  // namespace

CPelError FSMCache::InitDiskCache() {
    std::lock_guard<std::mutex> lock(InitMutex());
    if (spFsmCache) return CPelError::Success();
    if (gFailuresLeft > 0) {
        --gFailuresLeft;
        HOST_LOG(-1, "ERROR: Disk cache initialisation failed [%s]",
                 gPlannedError.AsString().c_str());
        return gPlannedError;
    }
    ObjectStore::DiskCacheConfig config;
    config.path = CachePath();
    config.highWatermarkPct = 90;
    config.lowWatermarkPct = 80;
    config.warnWatermarkPct = 85;
    config.maxOpenStores = 1000;
    config.flags = 0;
    boost::shared_ptr<ObjectStore::DiskCache> cache(new ObjectStore::DiskCache(config));
    CPelError error = cache->Init();
    if (error.IsError()) {
        HOST_LOG(-1, "ERROR: Disk cache [%s] initialisation failed [%s]", config.path.c_str(),
                 error.AsString().c_str());
        return error;
    }
    spFsmCache.reset(new FSMCache(cache));
    HOST_LOG(1, "INFO: Disk cache ready [%s]", cache->ToString().c_str());
    return CPelError::Success();
}

void FSMCache::FailNextInit(int count, const CPelError& error) {
    std::lock_guard<std::mutex> lock(InitMutex());
    gFailuresLeft = count > 0 ? count : 0;
    // A planned failure must read as one, or callers would use a cache that is not there.
    gPlannedError = error.IsError() ? error : CPelError(EIO, "planned disk cache failure");
}

void FSMCache::Reset() {
    std::lock_guard<std::mutex> lock(InitMutex());
    spFsmCache.reset();
    gFailuresLeft = 0;
}
