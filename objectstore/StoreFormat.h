// Constants of the on-disk store format (described in FORMAT.md beside this
// file). Changing any of them changes the format: bump kFormatVersion.
#pragma once
#include <cstdint>

namespace ObjectStore {

constexpr int kFormatVersion = 3;

// History rows are valid over [from_us, to_us); a live row has to_us == kOpenEnd.
constexpr int64_t kOpenEnd = INT64_MAX;
// The "as of" time of the live state: later than any real change, earlier than kOpenEnd.
constexpr int64_t kLiveAsOf = INT64_MAX - 1;

// Object types as stored in the nodes table.
enum ObjectType : int { kTypeFile = 1, kTypeDir = 2, kTypeSymlink = 3 };

constexpr uint64_t kMinExtentSize = 4096;
constexpr uint64_t kMaxExtentSize = 1ull << 30;
// Largest file the store holds (as ext4): offsets past it get EFBIG.
constexpr uint64_t kMaxFileSize = 1ull << 44;
constexpr size_t kMaxNameBytes = 255;
constexpr size_t kMaxXattrValueBytes = 65536;
// Writes keep this much of the disk free so that metadata can still commit.
constexpr uint64_t kFreeSpaceReserve = 16ull << 20;
// A file whose data fits in this many bytes of its first extent keeps them in
// its extent-map row ("inline", extent id kInlineExtent) instead of an extent
// file, so that committing it costs one metadata sync. Never more than the
// store's extent size.
constexpr uint64_t kInlineMax = 16384;
constexpr uint64_t kInlineExtent = 0;
// Extent ids of a writable view's private extents start here; lower ids live
// in the base store.
constexpr uint64_t kViewExtentBase = 1ull << 62;
// Extent ids are reserved in blocks, persisted before use, so that an id is
// never handed out twice even across a crash.
constexpr uint64_t kExtentIdBlock = 1024;

// Keys of the meta table that retention keeps (see FORMAT.md).
constexpr const char* kMetaKeptFromUs = "kept_from_us";
constexpr const char* kMetaKeptPins = "kept_pins";
constexpr const char* kMetaRetention = "retention_s";
constexpr const char* kMetaLastPruneUs = "last_prune_us";
constexpr const char* kMetaLastPruneFreed = "last_prune_freed";

constexpr const char* kMetaFileName = "meta.db";
constexpr const char* kExtentDirName = "extents";
constexpr const char* kViewDirName = "views";
constexpr const char* kLockFileName = "LOCK";

}  // namespace ObjectStore
