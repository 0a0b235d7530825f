// ExtentStore: the extent files of one store. Extent n lives in
// <root>/extents/<n / 1024 as 6 hex digits>/<n as 16 hex digits>; a writable
// view's own extents (ids from kViewExtentBase) live under the view's folder,
// lower ids are read from the base store (see FORMAT.md).
//
// Thread safety: all methods may be called from any thread. Open descriptors
// are kept in a bounded cache; an Fd lease keeps its descriptor open while
// in use. Failures throw StoreFailure with the errno of the file system.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace ObjectStore {

class ExtentStore {
public:
    // root: the folder holding "extents". base: the store whose extents ids
    // below kViewExtentBase come from (null for a base store).
    ExtentStore(const std::string& root, std::shared_ptr<ExtentStore> base, size_t maxOpenFiles);
    ~ExtentStore();
    ExtentStore(const ExtentStore&) = delete;
    ExtentStore& operator=(const ExtentStore&) = delete;

    class Fd;
    // An open descriptor of one extent file; create=true makes the file when missing.
    std::shared_ptr<Fd> Open(uint64_t extent, bool create);

    // Reads up to n bytes at off; returns bytes read (short at end of file).
    size_t Read(uint64_t extent, void* buf, size_t n, uint64_t off);
    // Writes all n bytes at off, creating the file when missing. With
    // startWriteback, then starts writing the extent's dirty pages to disk
    // without waiting for them, so that a later SyncData finds little left.
    void Write(uint64_t extent, const void* buf, size_t n, uint64_t off, bool startWriteback = false);
    // Writes n zero bytes at off.
    void Zero(uint64_t extent, uint64_t n, uint64_t off);
    // Copies the first n bytes of one extent into a (new) other one.
    void Copy(uint64_t from, uint64_t to, uint64_t n);
    // Size of the extent file; 0 when it does not exist.
    uint64_t FileSize(uint64_t extent);
    bool Exists(uint64_t extent);
    // Makes the extents' data durable (fdatasync), several files at once.
    void SyncData(const std::vector<uint64_t>& extents);
    // Makes the directory entries of files created since the last call durable.
    void SyncNewEntries();
    // Bytes held in extent files (walks the folders; for statistics).
    uint64_t StoredBytes();
    // Calls visit with the id and attributes of every extent file of this
    // store (not of its base).
    void ForEachFile(const std::function<void(uint64_t, const struct stat&)>& visit);
    // Disk bytes the extent file takes; 0 when it does not exist.
    uint64_t AllocatedBytes(uint64_t extent);
    // Deletes an extent file of this store; gone already is no error.
    void Remove(uint64_t extent);
    // Gives the blocks of the extent file from offset on back to the file
    // system, keeping its size (reads there return zeros). The bytes freed.
    uint64_t PunchFrom(uint64_t extent, uint64_t offset);

private:
    std::string PathOf(uint64_t extent) const;
    std::string DirOf(uint64_t extent) const;
    bool Owns(uint64_t extent) const;
    void EnsureDir(uint64_t extent);

    std::string root_;
    std::shared_ptr<ExtentStore> base_;
    size_t maxOpenFiles_;
    std::mutex mutex_;
    // Descriptor cache, most recently used first; guarded by mutex_.
    std::list<std::pair<uint64_t, std::shared_ptr<Fd>>> lru_;
    std::unordered_map<uint64_t, std::list<std::pair<uint64_t, std::shared_ptr<Fd>>>::iterator> byId_;
    std::set<std::string> knownDirs_;    // guarded by mutex_
    std::set<std::string> unsyncedDirs_;  // guarded by mutex_: folders with new entries
};

// One open extent file; closed when the last lease goes.
class ExtentStore::Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace ObjectStore
