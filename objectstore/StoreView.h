// StoreView: one opened store as the caller sees it (the result of one
// openObjectStore): the live store, a read-only point-in-time view, or a
// writable view whose changes stay in a private scratch store. Holds the
// view's settings, its open files and its directory streams, and checks every
// request before it reaches the engine.
//
// Thread safety: all methods may be called from any thread at once. Open
// files sit in a sharded table; settings that updateObjectStore changes are
// guarded by settingsMutex_. Failures throw StoreFailure (the container turns
// them into CPelError).
#pragma once
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "objectstore/DirHandle.h"
#include "objectstore/ObjectStoreConfig.h"
#include "objectstore/ObjectStoreTypes.h"
#include "objectstore/StoreEngine.h"

namespace ObjectStore {

class OpenFile;

class StoreView {
public:
    // base: the shared engine of the store. For a writable view, scratchDir
    // names the folder of its private changes (created here).
    StoreView(uint64_t index, const ObjectStoreConfig& config, std::shared_ptr<StoreEngine> base,
              const std::string& scratchDir);
    ~StoreView();  // closes every open file and stream, drops writable-view changes
    StoreView(const StoreView&) = delete;
    StoreView& operator=(const StoreView&) = delete;

    const std::shared_ptr<StoreEngine>& BaseEngine() const { return base_; }
    const ObjectStoreConfig& Config() const { return config_; }
    bool IsWritableView() const { return !scratchDir_.empty(); }
    const std::string& ScratchDir() const { return scratchDir_; }

    std::string RootGuid() const;
    std::string GuidToPath(const std::string& guid);
    // False when the item names no object.
    bool Getattr(ItemName& item, struct stat& st);
    void Open(FileHandle& fh, const ItemName& item, int flags, bool newVersion, uint64_t openId);
    void CreateAndOpen(FileHandle& fh, const ItemName& parent, const std::string& name, struct stat& st,
                       int flags, uint64_t openId);
    void Create(ItemName& newItem, const ItemName& parent, const std::string& name, mode_t mode, int type);
    uint64_t Read(FileHandle& fh, void* buffer, uint64_t offset, uint64_t count);
    uint64_t Write(FileHandle& fh, const void* buffer, uint64_t count, uint64_t offset, int sync);
    void Close(FileHandle& fh);
    void Truncate(const ItemName& item, uint64_t size, bool newVersion);
    void Fdatasync(const ItemName& item);

    DirHandle* Opendir(const ItemName& item);
    // entry null at the end. st and cookie only when wanted (non-null).
    void Readdir(DirHandle* dir, struct dirent** entry, std::string& childGuid, struct stat* st,
                 uint64_t* cookie);
    void Seekdir(DirHandle* dir, uint64_t position);
    uint64_t Telldir(DirHandle* dir);
    void Closedir(DirHandle* dir);

    void Remove(const ItemName& item, bool dir);
    void Chmod(const ItemName& item, mode_t mode);
    void Chown(const ItemName& item, uid_t uid, gid_t gid);
    void Utimes(const ItemName& item, const struct timeval& atime, const struct timeval& mtime);
    void Statfs(struct statfs& out);
    void Rename(const std::string& destination, const std::string& source, bool newVersion);
    void Symlink(const std::string& target, const std::string& linkPath);
    std::string ReadLink(const ItemName& item);

    // kind/first/last are checked; EAGAIN with holder on a conflict.
    void Lock(const LockInfo& wanted, LockInfo& holder);
    void Unlock(const LockInfo& lock);
    bool TellLock(const LockInfo& lock);

    std::string GetXattr(const ItemName& item, const std::string& name);
    void SetXattr(const ItemName& item, const std::string& name, const std::string& value);
    void RemoveXattr(const ItemName& item, const std::string& name);

    void Update(const ObjectStoreUpdates& updates);
    NameValueList Stats();
    // Drops a writable view's changes: the view shows the snapshot again.
    // Open files and streams of the view are closed.
    void DiscardWrites();
    void CheckIntegrity(std::vector<std::string>& problems);

private:
    struct Handle {
        std::shared_ptr<OpenFile> file;
        std::string guid;
        int flags = 0;
    };
    static constexpr size_t kShards = 16;
    struct HandleShard {
        std::mutex mutex;
        std::unordered_map<uint64_t, std::shared_ptr<Handle>> handles;  // guarded by mutex
    };

    StoreEngine& Engine() const;
    std::shared_ptr<StoreEngine> EngineRef() const;
    void RequireWritable() const;
    bool CaseSensitive() const;
    // The object an item names; false (FindItem) or ENOENT (ResolveItem) when
    // there is none. EINVAL for a malformed item.
    bool FindItem(const ItemName& item, NodeRow& row);
    NodeRow ResolveItem(const ItemName& item);
    // The GUID an item names, lower-cased; EINVAL when it names none.
    std::string GuidOf(const ItemName& item);
    std::shared_ptr<Handle> FindHandle(const FileHandle& fh);
    std::shared_ptr<Handle> FindHandle(uint64_t openId);
    void AddHandle(FileHandle& fh, const NodeRow& node, std::shared_ptr<OpenFile> file, int flags,
                   uint64_t openId);
    void CloseHandle(uint64_t openId, const std::shared_ptr<Handle>& handle);
    void CheckRange(const LockInfo& lock, LockTable::Range& range, std::shared_ptr<Handle>& handle);
    void CheckDir(DirHandle* dir);
    void CloseEverything();
    // The stream's next row, inside its batch; null at the end.
    const NodeRow* NextEntry(DirHandle* dir);

    const uint64_t index_;
    ObjectStoreConfig config_;  // fixed fields; the changeable ones are guarded by settingsMutex_
    const std::shared_ptr<StoreEngine> base_;
    const std::string scratchDir_;
    const int64_t asOf_;  // view time in base_; kLiveAsOf for live and writable views
    const bool writable_;

    mutable std::mutex scratchMutex_;
    std::shared_ptr<StoreEngine> scratch_;  // guarded by scratchMutex_

    mutable std::mutex settingsMutex_;
    bool caseSensitive_;              // guarded by settingsMutex_
    uint32_t versionInterval_;        // guarded by settingsMutex_
    uint32_t copyPrecedence_;         // guarded by settingsMutex_
    std::string backupFilter_;        // guarded by settingsMutex_
    std::string clientFirst_;         // guarded by settingsMutex_
    std::string clientSecond_;        // guarded by settingsMutex_

    HandleShard shards_[kShards];
    std::mutex dirMutex_;
    std::set<DirHandle*> dirs_;  // guarded by dirMutex_: streams still open
};

}  // namespace ObjectStore
