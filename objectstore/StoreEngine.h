// StoreEngine: one store on disk (metadata database, extent files, open-file
// table, byte-range locks, caches). The live store and every point-in-time
// view of the same store path share one engine; a writable view has a private
// scratch engine of its own over the base store's extents.
//
// Thread safety: every method may be called from any thread. Metadata changes
// are serialised by the database writer; reads use pooled connections; file
// data moves under per-file locks only. Failures throw StoreFailure.
#pragma once
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "objectstore/DirHandle.h"
#include "objectstore/ExtentStore.h"
#include "objectstore/GuidNameCache.h"
#include "objectstore/ListingCache.h"
#include "objectstore/LockTable.h"
#include "objectstore/LruCache.h"
#include "objectstore/MetaDb.h"
#include "objectstore/ObjectStoreConfig.h"

namespace ObjectStore {

class OpenFile;

class StoreEngine {
public:
    struct Options {
        std::string folder;   // store folder (extents live here)
        std::string dbPath;   // metadata database file
        bool create = false;  // create the store when missing
        bool lockFolder = true;  // hold an exclusive lock on the folder
        ObjectStoreConfig config;  // sizes, caches and root attributes of the first opener
        std::shared_ptr<ExtentStore> baseExtents;  // writable views: the base store's extents
    };
    explicit StoreEngine(const Options& options);
    ~StoreEngine();  // commits open files and checkpoints the metadata
    StoreEngine(const StoreEngine&) = delete;
    StoreEngine& operator=(const StoreEngine&) = delete;

    // The process's one engine of options.folder: the open one, or a new one
    // made from options (a store folder is locked by one engine at a time).
    static std::shared_ptr<StoreEngine> Shared(const Options& options);
    // The open engine of folder, or null.
    static std::shared_ptr<StoreEngine> FindShared(const std::string& folder);

    // Builds a writable view's scratch store in folder from the base store's
    // state as of asOf. The base's extents are shared, never written.
    static std::unique_ptr<StoreEngine> CreateScratch(StoreEngine& base, const std::string& folder,
                                                      int64_t asOf);

    const std::string& RootGuid() const { return rootGuid_; }
    uint64_t ExtentSize() const { return extentSize_; }
    const std::string& Folder() const { return folder_; }
    MetaDb& Db() { return *db_; }
    ExtentStore& Extents() { return *extents_; }
    std::shared_ptr<ExtentStore> SharedExtents() { return extents_; }
    LockTable& Locks() { return locks_; }
    uint32_t FlushAfterCount() const { return flushAfterCount_; }
    uint32_t FlushAfterSeconds() const { return flushAfterSeconds_; }

    // Strictly increasing wall-clock microseconds for history rows.
    int64_t NowUs();
    // A view opened now: rows committed so far must not change in place.
    void MarkViewOpened();
    // True when a row written at fromUs may be seen by some view or later
    // view time, so that it must be closed and replaced rather than updated.
    bool Frozen(int64_t fromUs, int64_t nowUs) const;
    uint64_t AllocateExtent();
    // ENOSPC when fewer than bytes (plus a reserve) are free on the disk.
    void CheckSpace(uint64_t bytes);

    // --- reading, at asOf ---
    bool GetNode(const std::string& guid, int64_t asOf, NodeRow& out);
    // Resolves path components from the root; false when one does not exist
    // (an answer, not a failure: look-ups of absent names are common). ENOTDIR.
    bool FindPath(const std::vector<std::string>& parts, bool caseSensitive, int64_t asOf, NodeRow& out);
    // As FindPath, with ENOENT for an absent component.
    NodeRow Resolve(const std::vector<std::string>& parts, bool caseSensitive, int64_t asOf);
    // Path of the object; ENOENT when it does not exist at asOf.
    std::string PathOf(const std::string& guid, int64_t asOf);
    // At most limit children from number fromNo on; none at the end. Pages
    // of live listings are kept until the store changes, and the names of
    // live children cached as they are read: the handle of each listed entry
    // is built next, and with it the entry's path.
    void List(const std::string& dirGuid, int64_t fromNo, int limit, int64_t asOf, ListedRows& out);
    // Notes, for this thread, the path of a live child just listed from rows
    // current at `changes`: PathOf answers it without a walk while the store
    // stays unchanged.
    void NoteListed(const NodeRow& child, uint64_t changes);
    // The live path NoteListed noted for exactly this GUID text (the store's
    // own, lower-case form), while still current; false otherwise.
    bool NotedPath(const std::string& guid, std::string& path) const;
    void FillStat(const NodeRow& row, int64_t asOf, struct stat& st);

    // --- changing the live state ---
    NodeRow Create(const std::string& parentGuid, const std::string& name, int type, uint32_t mode,
                   uint32_t uid, uint32_t gid, const std::string& link, bool caseSensitive);
    // Removes a file or symbolic link (dir false) or an empty directory.
    void Remove(const std::string& guid, bool dir);
    // Applies change to the live row of guid (attributes only).
    void Update(const std::string& guid, const std::function<void(NodeRow&)>& change);
    // POSIX rename with replace. Returns the moved object's GUID.
    std::string Rename(const std::vector<std::string>& src, const std::vector<std::string>& dst,
                       bool caseSensitive);
    bool GetXattr(const std::string& guid, const std::string& name, int64_t asOf, std::string& value);
    void SetXattr(const std::string& guid, const std::string& name, const std::string& value);
    void RemoveXattr(const std::string& guid, const std::string& name);
    // Makes every committed change durable.
    void SyncMetadata();

    // --- files ---
    // The live file's shared OpenFile (asOf kLiveAsOf) or a private read-only one.
    std::shared_ptr<OpenFile> AcquireFile(const NodeRow& node, int64_t asOf);
    void ReleaseFile(const std::shared_ptr<OpenFile>& file);
    // The shared OpenFile when the file is open live; null otherwise.
    std::shared_ptr<OpenFile> FindOpen(const std::string& guid);
    // Writes a node change with the history rule (in place or close + insert).
    void StoreNode(SqlConnection& c, NodeRow& row, int64_t nowUs);
    // Drops the cached copies of a row after its change has committed.
    void InvalidateNode(const NodeRow& row);
    // Caches the new row of a node whose attributes alone changed (its name
    // and place stay, so its path stays cached); caller holds the writer
    // lock, with the change committed.
    void CacheTouched(const NodeRow& row);

    // --- retention (see StorePruner) ---
    // What stays of the history besides the live state: every state from
    // keptFromUs on, and the states at the pinned times.
    struct KeptStates {
        int64_t keptFromUs = 0;
        std::set<int64_t> pinnedUs;
        bool Keeps(int64_t asOf) const { return asOf >= keptFromUs || pinnedUs.count(asOf) != 0; }
    };
    KeptStates Kept();
    // Serialises a prune's choice of what stays with views opening.
    std::mutex& RetentionMutex() { return retentionMutex_; }
    // Caller holds RetentionMutex().
    const KeptStates& KeptLocked() const { return kept_; }
    // One prune at a time.
    std::mutex& PruneMutex() { return pruneMutex_; }
    // Caller holds RetentionMutex(); the choice is persisted already.
    void SetKeptLocked(const KeptStates& kept) { kept_ = kept; }
    // A view of the state at asOf opens (its time is kept while it is open);
    // ERANGE when that state has been pruned away.
    void AdmitView(int64_t asOf);
    void ReleaseView(int64_t asOf);
    // Times of the views open now; caller holds RetentionMutex().
    std::vector<int64_t> OpenViewTimesLocked() const;
    // Extent ids below this were handed out before this engine opened.
    uint64_t ExtentWatermark() const { return extentWatermark_; }
    // GUIDs of the files open now.
    std::set<std::string> OpenFileGuids();
    // Time of the first state the store holds (its creation), microseconds.
    int64_t CreatedUs() const { return createdUs_; }

    // Ordered statistics for people.
    std::vector<std::pair<std::string, std::string>> Stats();
    // Checks the metadata and that every extent a row needs exists with the
    // needed length. Problems are described in `problems`.
    void CheckIntegrity(std::vector<std::string>& problems);

private:
    class Change;
    void OpenOrCreate(const Options& options);
    void CreateRoot(SqlConnection& c, const ObjectStoreConfig& config);
    bool LookupChild(const std::string& parent, const std::string& name, bool caseSensitive, int64_t asOf,
                     NodeRow& out);
    NodeRow ResolveWith(SqlConnection& c, const std::vector<std::string>& parts, bool caseSensitive);
    static std::string DirKey(const std::string& parent, const std::string& name, bool caseSensitive);
    void InvalidateName(const std::string& parent, const std::string& name);
    // Caches a node just created; caller holds the writer lock.
    void CacheCreated(const NodeRow& row, bool caseSensitive);
    // Stamps a directory changed now; subdirDelta: subdirectories it gained
    // (or lost, negative).
    void TouchDir(Change& change, const std::string& guid, int64_t nowUs, int subdirDelta = 0);

    const uint64_t id_;  // unique among the engines of this process
    std::string folder_;
    uint64_t extentSize_ = 0;
    uint32_t flushAfterCount_ = 100;
    uint32_t flushAfterSeconds_ = 10;
    std::string rootGuid_;
    dev_t devId_ = 0;
    int lockFd_ = -1;
    std::unique_ptr<MetaDb> db_;
    std::shared_ptr<ExtentStore> extents_;
    LockTable locks_;
    std::atomic<int64_t> lastUs_{0};
    std::atomic<int64_t> sealBarrierUs_{0};
    std::mutex extentIdMutex_;
    uint64_t nextExtent_ = 0;      // guarded by extentIdMutex_
    uint64_t reservedExtent_ = 0;  // guarded by extentIdMutex_: ids below are persisted as used
    std::mutex spaceMutex_;
    int64_t spaceCheckedUs_ = 0;   // guarded by spaceMutex_
    uint64_t spaceFree_ = 0;       // guarded by spaceMutex_

    // Caches of the live state only.
    LruCache<std::string, NodeRow> attrCache_;    // guid -> live row
    LruCache<std::string, NodeRow> dirCache_;     // parent + name -> child's live row
    GuidNameCache guidCache_;                     // guid -> parent and name
    ListingCache listings_;                       // pages of live listings

    uint64_t extentWatermark_ = 0;
    int64_t createdUs_ = 0;
    std::mutex pruneMutex_;
    std::mutex retentionMutex_;
    KeptStates kept_;                       // guarded by retentionMutex_
    std::multiset<int64_t> openViewTimes_;  // guarded by retentionMutex_

    // Live open files and their handle counts, in shards by GUID: opening a
    // file reads its rows under its shard's lock, and every attribute read
    // looks its file up (FillStat), so one open must not hold up the others.
    struct OpenShard {
        std::shared_mutex mutex;
        std::unordered_map<std::string, std::pair<std::shared_ptr<OpenFile>, int>> files;  // guarded by mutex
    };
    static constexpr size_t kOpenShards = 64;
    static size_t HashOf(const std::string& guid) { return std::hash<std::string>()(guid); }
    OpenShard& ShardOf(size_t hash) { return openShards_[hash % kOpenShards]; }
    OpenShard& ShardOf(const std::string& guid) { return ShardOf(HashOf(guid)); }
    std::array<OpenShard, kOpenShards> openShards_;
    // How many open files fall on each slot, by the GUID's hash above the
    // shard bits. Changed under the shard's lock; FindOpen reads it without
    // one and, at 0, answers at once: most attribute reads (every listed
    // entry's) are of files nobody has open. Sequentially consistent, so that
    // a look-up that misses a file was, as with the lock, before its opening.
    static constexpr size_t kOpenSlots = 4096;
    std::atomic<uint32_t>& OpenSlotOf(size_t hash) { return openSlots_[(hash / kOpenShards) % kOpenSlots]; }
    std::array<std::atomic<uint32_t>, kOpenSlots> openSlots_{};
};

}  // namespace ObjectStore
