// ObjectContainer: the object-store library's entry point. One container keeps
// any number of open stores, each named by the index openObjectStore returns.
//
// Every operation returns a CPelError; its errno (FXErrorUtil::GetErrNo) says
// why it failed. All operations are thread-safe: any number of threads may call
// any operation on any store at once. Bad input (unknown index, GUID, handle or
// stream; a bad name; a path past maxPath) gets a clear errno and changes nothing.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "objectstore/FaultPlan.h"
#include "objectstore/ObjectStoreConfig.h"
#include "objectstore/ObjectStoreTypes.h"
#include "platform/CPelError.h"

namespace ObjectStore {

class StoreEngine;

class ObjectContainer {
public:
    ObjectContainer();
    ~ObjectContainer();  // closes every store still open
    ObjectContainer(const ObjectContainer&) = delete;
    ObjectContainer& operator=(const ObjectContainer&) = delete;

    // Prepares the container: creates dataRoot when missing. EINVAL for an
    // empty dataRoot; the errno of the file system when it cannot be created.
    CPelError init(const ObjectContainerConfig& config);
    // True while stores are being moved to a new disk cache (never, in this
    // implementation, unless a test sets it).
    bool isCacheMigrationInProgress() const;
    void setCacheMigrationInProgress(bool inProgress);  // test seam

    // Opens (creating on first use) the store at config.storePath under the
    // data root and returns its index. Opening one path again (a live export
    // and its point-in-time views) shares the engine underneath.
    CPelError openObjectStore(uint64_t& storeIndex, const ObjectStoreConfig& config);
    CPelError closeObjectStore(uint64_t storeIndex);

    // GUID of the store's root directory; empty for an unknown index.
    std::string getRootGuid(uint64_t storeIndex);
    // Path of the object ("/" for the root). Empty path and ENOENT when unknown.
    CPelError guidToPath(uint64_t storeIndex, const std::string& guid, std::string& path);
    // Attributes of the item; fills its GUID when named by path. ENOENT when absent.
    CPelError getattr(uint64_t storeIndex, ItemName& item, struct stat& st);

    // Opens a file. newVersion asks for a new version when the store keeps
    // versions: EAGAIN when the current version is younger than versionInterval.
    CPelError open(uint64_t storeIndex, FileHandle& fh, const ItemName& item, int flags,
                   bool newVersion);
    // Creates name under parent and opens it; fh.item names the new file.
    CPelError createAndOpen(uint64_t storeIndex, FileHandle& fh, const ItemName& parent,
                            const std::string& name, struct stat& st, int flags);
    CPelError create(uint64_t storeIndex, ItemName& newItem, const ItemName& parent,
                     const std::string& name, mode_t mode);
    CPelError mkdir(uint64_t storeIndex, ItemName& newItem, const ItemName& parent,
                    const std::string& name, mode_t mode);
    // count in: bytes wanted; out: bytes read (short at end of file).
    CPelError read(uint64_t storeIndex, FileHandle& fh, void* buffer, uint64_t offset,
                   uint64_t& count);
    // count in: bytes to write; out: bytes written. sync 1: durable on return.
    // ENOSPC when the store is full, EFBIG past the largest offset.
    CPelError write(uint64_t storeIndex, FileHandle& fh, const void* buffer, uint64_t& count,
                    uint64_t offset, Sync sync);
    CPelError close(uint64_t storeIndex, FileHandle& fh);
    CPelError truncate(uint64_t storeIndex, const ItemName& item, uint64_t size, bool newVersion);
    CPelError fdatasync(uint64_t storeIndex, const ItemName& item);

    // Directory streams list "." and ".." first; *entry is null at the end.
    // The dirent belongs to the stream and is valid until the next call on it.
    CPelError opendir(uint64_t storeIndex, DirHandle** dir, const ItemName& item);
    CPelError readdir(uint64_t storeIndex, DirHandle* dir, struct dirent** entry,
                      std::string& childGuid);
    CPelError readdir_ex(uint64_t storeIndex, DirHandle* dir, struct dirent** entry,
                         std::string& childGuid, struct stat& st, uint64_t* cookie);
    CPelError seekdir(uint64_t storeIndex, DirHandle* dir, uint64_t position);
    CPelError telldir(uint64_t storeIndex, DirHandle* dir, uint64_t& position);
    CPelError closedir(uint64_t storeIndex, DirHandle* dir);

    CPelError rmdir(uint64_t storeIndex, const ItemName& item);  // ENOTEMPTY when not empty
    CPelError unlink(uint64_t storeIndex, const ItemName& item);
    CPelError chmod(uint64_t storeIndex, const ItemName& item, mode_t mode);
    CPelError chown(uint64_t storeIndex, const ItemName& item, uid_t uid, gid_t gid);
    CPelError utimes(uint64_t storeIndex, const ItemName& item, const struct timeval& atime,
                     const struct timeval& mtime);
    CPelError statfs(uint64_t storeIndex, struct statfs& out);
    // POSIX rename with replace; destination first.
    CPelError rename(uint64_t storeIndex, const std::string& destinationPath,
                     const std::string& sourcePath, bool newVersion);
    CPelError createSymbolicLink(uint64_t storeIndex, const ItemName& item,
                                 const std::string& target, const std::string& linkPath);
    CPelError readLink(uint64_t storeIndex, ItemName item, std::string& target);

    // Byte-range locks per owner. A conflict with another owner: EAGAIN, and
    // holder describes the conflicting lock.
    CPelError lock(uint64_t storeIndex, const LockInfo& wanted, LockInfo& holder);
    CPelError unlock(uint64_t storeIndex, const LockInfo& lock);
    CPelError telllock(uint64_t storeIndex, const LockInfo& lock, bool& locked);

    // Extended attributes; ENOENT for a missing attribute.
    CPelError getxattr(uint64_t storeIndex, const ItemName& item, const std::string& name,
                       std::string& value);
    CPelError setxattr(uint64_t storeIndex, const ItemName& item, const std::string& name,
                       const std::string& value);
    CPelError removexattr(uint64_t storeIndex, const ItemName& item, const std::string& name);

    CPelError updateObjectStore(uint64_t storeIndex, const ObjectStoreUpdates& updates);
    // Ordered name/value pairs a person can read.
    CPelError getObjStrGuiStats(uint64_t storeIndex, NameValueList& stats);
    // Drops what a (point-in-time) share left behind: writable-view changes of
    // snapName for sharePath. ENOENT when the store does not exist.
    CPelError cleanupObjectStore(const std::string& sharePath, int64_t subClientId,
                                 const std::string& snapName, bool force);

    // Checks the store's metadata and that every extent file a row needs
    // exists with the needed length. problems lists what is wrong (empty when
    // the store is sound). Read-only; safe beside any other operation.
    CPelError checkIntegrity(uint64_t storeIndex, std::vector<std::string>& problems);

    // Test seam: "the next N calls of operation X fail with errno E".
    FaultPlan& faultPlan() { return faultPlan_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    FaultPlan faultPlan_;
};

}  // namespace ObjectStore
