#include "module/export/BackupFSMTunables.h"

#include "module/fsm/BackupFSMLog.h"
#include "platform/ZELPlatformInfo.h"

namespace {

const char kSection[] = "Quay";
const char kExtentSizeKey[] = "nObjStoreExtentSizeInMB";
const char kFlushCountKey[] = "nObjStoreCollectFileFlushCountInH";

const uint32_t kMiB = 1048576;
const uint32_t kMaxExtentSizeMB = 1024;
const uint32_t kFlushCountUnit = 100;
const uint32_t kMaxFlushCountInH = 1000;

// The default unless the key exists; a wider value keeps its low 32 bits.
uint32_t ReadNumber(const char* key, uint32_t defaultValue) {
    ZELPlatformInfo registry;
    unsigned long value = 0;
    if (!registry.getNumber(kSection, key, &value)) return defaultValue;
    return static_cast<uint32_t>(value);
}

}  // namespace

uint64_t GetExtentSize() {
    uint32_t sizeMB = ReadNumber(kExtentSizeKey, 10);
    if (sizeMB == 0) {
        BFSM_LOG(-1, "%s [%d]. Resetting to [1 MB].", kExtentSizeKey, static_cast<int>(sizeMB));
        sizeMB = 1;
    }
    if (sizeMB > kMaxExtentSizeMB) {
        BFSM_LOG(-1, "%s [%d]. Resetting to [1024 MB].", kExtentSizeKey,
                 static_cast<int>(sizeMB));
        sizeMB = kMaxExtentSizeMB;
    }
    BFSM_LOG(-1, "ExtentSize [%d MB]. This extent size will be used for all new files.",
             static_cast<int>(sizeMB));
    return static_cast<uint64_t>(sizeMB) * kMiB;
}

uint64_t GetFlushAfterCount() {
    uint32_t countInH = ReadNumber(kFlushCountKey, 100);
    if (countInH == 0) {
        BFSM_LOG(-1, "%s [%d]. Resetting to [100].", kFlushCountKey, static_cast<int>(countInH));
        countInH = 1;
    }
    if (countInH > kMaxFlushCountInH) {
        BFSM_LOG(-1, "%s [%d]. Resetting to [100000].", kFlushCountKey,
                 static_cast<int>(countInH));
        countInH = kMaxFlushCountInH;
    }
    const uint64_t count = static_cast<uint64_t>(countInH) * kFlushCountUnit;
    BFSM_LOG(-1, "CollectFileFlushCount [%d].", static_cast<int>(count));
    return count;
}

uint32_t GetGuidCacheBytes() { return ReadNumber("GuidCacheBytes", 524288000); }
uint32_t GetVersionCacheBytes() { return ReadNumber("VersionCacheBytes", 104857600); }
uint32_t GetAttribCacheEntries() { return ReadNumber("AttribCacheMaxEntries", 10000); }
uint32_t GetXattrCacheEntries() { return ReadNumber("XattrCacheMaxEntries", 10000); }
uint32_t GetDirCacheEntries() { return ReadNumber("DirCacheMaxEntries", 100000); }
uint32_t GetTimeoutUntilBackup() { return ReadNumber("nBkpItemIdleTimeInSecs", 5); }
uint32_t GetMaxPath() { return ReadNumber("nObjectStoreMaxPath", 4096); }
