// Store tunables: values every export hands to its object store when it
// opens. Each call reads the registry section "Quay" afresh, so a changed
// value applies to the exports opened afterwards. A missing key, or one that
// cannot be read, gives the built-in default without a message.
//
// Thread safety: no shared state; each call builds its own registry reader.
#pragma once
#include <cstdint>

// Extent size in bytes ("nObjStoreExtentSizeInMB", MiB, default 10, bounded
// to 1..1024); a corrected value is logged.
uint64_t GetExtentSize();
// Files collected per flush ("nObjStoreCollectFileFlushCountInH", hundreds,
// default 100, bounded to 1..1000); returns the count, not the hundreds.
uint64_t GetFlushAfterCount();
// The rest pass the registry's 32-bit value through, zero included.
uint32_t GetGuidCacheBytes();      // "GuidCacheBytes", default 524288000
uint32_t GetVersionCacheBytes();   // "VersionCacheBytes", default 104857600
uint32_t GetAttribCacheEntries();  // "AttribCacheMaxEntries", default 10000
uint32_t GetXattrCacheEntries();   // "XattrCacheMaxEntries", default 10000
uint32_t GetDirCacheEntries();     // "DirCacheMaxEntries", default 100000
uint32_t GetTimeoutUntilBackup();  // "nBkpItemIdleTimeInSecs", seconds, default 5
uint32_t GetMaxPath();             // "nObjectStoreMaxPath", bytes, default 4096
