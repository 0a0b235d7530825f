#include "objectstore/ObjectContainer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <new>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

#include "objectstore/DiskCache.h"
#include "objectstore/PathRules.h"
#include "objectstore/StoreEngine.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"
#include "objectstore/StoreView.h"

namespace ObjectStore {

namespace {

// A failed operation as callers see it: its errno and "<op>: <why>".
CPelError Failure(const char* op, int error, const std::string& why) {
    return CPelError(error, std::string(op) + ": " + why);
}

// Runs one operation: the fault plan first, then the body; every internal
// failure becomes a CPelError so that nothing is thrown across the boundary.
template <typename Body>
CPelError Run(FaultPlan& plan, const char* op, Body&& body) {
    CPelError planned = plan.Check(op);
    if (!planned.IsError()) planned = FaultPlan::Global().Check(op);
    if (planned.IsError()) return planned;
    try {
        body();
        return CPelError::Success();
    } catch (const StoreFailure& f) {
        return Failure(op, f.ErrNo(), f.Message());
    } catch (const std::bad_alloc&) {
        return Failure(op, ENOMEM, "out of memory");
    } catch (const std::exception& e) {
        return Failure(op, EIO, e.what());
    }
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void RemoveTree(const std::string& dir) { ::nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

struct ObjectContainer::Impl {
    std::atomic<bool> migrating{false};
    std::atomic<uint64_t> nextOpenId{1};
    std::mutex openMutex;  // serialises opening and closing of stores
    std::shared_mutex mutex;
    // Guarded by mutex:
    bool inited = false;
    std::string dataRoot;
    uint64_t maxOpenStores = 1000;
    uint64_t nextIndex = 1;
    std::map<uint64_t, std::shared_ptr<StoreView>> views;

    std::shared_ptr<StoreView> Find(uint64_t index) {
        std::shared_lock<std::shared_mutex> guard(mutex);
        auto it = views.find(index);
        if (it == views.end()) Fail(EBADF, "unknown store index " + std::to_string(index));
        return it->second;
    }
    std::string Root() {
        std::shared_lock<std::shared_mutex> guard(mutex);
        if (!inited) Fail(ENXIO, "container is not initialised");
        return dataRoot;
    }
};

ObjectContainer::ObjectContainer() : impl_(new Impl) {}

ObjectContainer::~ObjectContainer() {
    std::map<uint64_t, std::shared_ptr<StoreView>> views;
    {
        std::unique_lock<std::shared_mutex> guard(impl_->mutex);
        views.swap(impl_->views);
    }
    views.clear();
}

bool ObjectContainer::isCacheMigrationInProgress() const {
    if (impl_->migrating.load()) return true;
    // A migration tool marks the data root while it moves stores away.
    std::string root;
    {
        std::shared_lock<std::shared_mutex> guard(impl_->mutex);
        root = impl_->dataRoot;
    }
    struct stat st;
    return !root.empty() && ::stat((root + "/" + kCacheMigrationMarker).c_str(), &st) == 0;
}

void ObjectContainer::setCacheMigrationInProgress(bool inProgress) { impl_->migrating.store(inProgress); }

CPelError ObjectContainer::init(const ObjectContainerConfig& config) {
    return Run(faultPlan_, "init", [&] {
        std::string root = config.dataRoot;
        // The disk cache may hand over its settings line; its folder is the root.
        if (config.useDiskCache && config.diskCache &&
            (root.empty() || root == config.diskCache->ToString()))
            root = config.diskCache->Config().path;
        if (root.empty()) Fail(EINVAL, "data root is not set");
        if (root[0] != '/') Fail(EINVAL, "data root is not absolute");
        int err = MakeFolders(root);
        if (err) Fail(err, "cannot create data root " + root + ": " + std::strerror(err));
        if (::access(root.c_str(), W_OK | X_OK) != 0) Fail(errno, "data root " + root + " is not writable");
        std::unique_lock<std::shared_mutex> guard(impl_->mutex);
        if (!impl_->views.empty() && root != impl_->dataRoot) Fail(EBUSY, "stores are open under another data root");
        impl_->dataRoot = root;
        impl_->maxOpenStores = config.maxOpenStores ? config.maxOpenStores : 1;
        impl_->inited = true;
    });
}

CPelError ObjectContainer::openObjectStore(uint64_t& storeIndex, const ObjectStoreConfig& config) {
    return Run(faultPlan_, "openObjectStore", [&] {
        std::string root = impl_->Root();
        std::string name = StoreFolderName(config.storePath);
        if (config.maxPath == 0) Fail(EINVAL, "maxPath is 0");
        if (config.extentSize < kMinExtentSize || config.extentSize > kMaxExtentSize)
            Fail(EINVAL, "extent size out of range");
        std::string folder = root + "/" + name;
        std::lock_guard<std::mutex> openGuard(impl_->openMutex);
        {
            std::shared_lock<std::shared_mutex> guard(impl_->mutex);
            if (impl_->views.size() >= impl_->maxOpenStores) Fail(EMFILE, "too many open stores");
        }
        std::shared_ptr<StoreEngine> engine = StoreEngine::FindShared(folder);
        if (!engine) {
            StoreEngine::Options options;
            options.folder = folder;
            if (config.metadataDir.empty()) {
                options.dbPath = folder + "/" + kMetaFileName;
            } else {
                std::string metaFolder = config.metadataDir + "/" + name;
                int err = MakeFolders(metaFolder);
                if (err) Fail(err, "cannot create metadata folder " + metaFolder);
                options.dbPath = metaFolder + "/" + kMetaFileName;
            }
            // Only the live, writable store is created on first use; a view
            // of a store that does not exist is an error.
            options.create = !config.isPIT && !config.readOnly;
            options.config = config;
            // A store closed a moment ago may still be letting go of its lock.
            for (int attempt = 0;; ++attempt) {
                try {
                    engine = StoreEngine::Shared(options);
                    break;
                } catch (const StoreFailure& f) {
                    if (f.ErrNo() != EBUSY || attempt >= 20) throw;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
        }
        uint64_t index;
        {
            std::unique_lock<std::shared_mutex> guard(impl_->mutex);
            index = impl_->nextIndex++;
        }
        std::string scratch;
        if (config.isPIT && config.writablePIT && !config.readOnly) {
            std::string views = folder + "/" + kViewDirName;
            if (::mkdir(views.c_str(), 0700) != 0 && errno != EEXIST) Fail(errno, "cannot create " + views);
            std::string snap = config.snapName.empty() ? std::to_string(config.snapshotTime) : config.snapName;
            scratch = views + "/" + EscapeFileName(snap) + "." + std::to_string(index);
        }
        auto view = std::make_shared<StoreView>(index, config, engine, scratch);
        std::unique_lock<std::shared_mutex> guard(impl_->mutex);
        impl_->views[index] = view;
        storeIndex = index;
    });
}

CPelError ObjectContainer::closeObjectStore(uint64_t storeIndex) {
    return Run(faultPlan_, "closeObjectStore", [&] {
        std::lock_guard<std::mutex> openGuard(impl_->openMutex);
        std::shared_ptr<StoreView> view;
        {
            std::unique_lock<std::shared_mutex> guard(impl_->mutex);
            auto it = impl_->views.find(storeIndex);
            if (it == impl_->views.end()) Fail(EBADF, "unknown store index " + std::to_string(storeIndex));
            view = it->second;
            impl_->views.erase(it);
        }
        view.reset();  // closes files and streams; the engine goes with its last view
    });
}

std::string ObjectContainer::getRootGuid(uint64_t storeIndex) {
    std::string guid;
    Run(faultPlan_, "getRootGuid", [&] { guid = impl_->Find(storeIndex)->RootGuid(); });
    return guid;
}

CPelError ObjectContainer::guidToPath(uint64_t storeIndex, const std::string& guid, std::string& path) {
    path.clear();
    return Run(faultPlan_, "guidToPath", [&] { path = impl_->Find(storeIndex)->GuidToPath(guid); });
}

CPelError ObjectContainer::getattr(uint64_t storeIndex, ItemName& item, struct stat& st) {
    // An absent object is a common answer here (every look-up of a new name):
    // reported without the cost of an exception.
    bool found = true;
    CPelError error = Run(faultPlan_, "getattr", [&] { found = impl_->Find(storeIndex)->Getattr(item, st); });
    if (error.IsError() || found) return error;
    return Failure("getattr", ENOENT, "no such object");
}

CPelError ObjectContainer::open(uint64_t storeIndex, FileHandle& fh, const ItemName& item, int flags,
                                bool newVersion) {
    return Run(faultPlan_, "open", [&] {
        impl_->Find(storeIndex)->Open(fh, item, flags, newVersion, impl_->nextOpenId.fetch_add(1));
    });
}

CPelError ObjectContainer::createAndOpen(uint64_t storeIndex, FileHandle& fh, const ItemName& parent,
                                         const std::string& name, struct stat& st, int flags) {
    return Run(faultPlan_, "createAndOpen", [&] {
        impl_->Find(storeIndex)->CreateAndOpen(fh, parent, name, st, flags, impl_->nextOpenId.fetch_add(1));
    });
}

CPelError ObjectContainer::create(uint64_t storeIndex, ItemName& newItem, const ItemName& parent,
                                  const std::string& name, mode_t mode) {
    return Run(faultPlan_, "create", [&] { impl_->Find(storeIndex)->Create(newItem, parent, name, mode, kTypeFile); });
}

CPelError ObjectContainer::mkdir(uint64_t storeIndex, ItemName& newItem, const ItemName& parent,
                                 const std::string& name, mode_t mode) {
    return Run(faultPlan_, "mkdir", [&] { impl_->Find(storeIndex)->Create(newItem, parent, name, mode, kTypeDir); });
}

CPelError ObjectContainer::read(uint64_t storeIndex, FileHandle& fh, void* buffer, uint64_t offset,
                                uint64_t& count) {
    uint64_t wanted = count;
    count = 0;
    return Run(faultPlan_, "read", [&] { count = impl_->Find(storeIndex)->Read(fh, buffer, offset, wanted); });
}

CPelError ObjectContainer::write(uint64_t storeIndex, FileHandle& fh, const void* buffer, uint64_t& count,
                                 uint64_t offset, Sync sync) {
    uint64_t wanted = count;
    count = 0;
    return Run(faultPlan_, "write",
               [&] { count = impl_->Find(storeIndex)->Write(fh, buffer, wanted, offset, sync); });
}

CPelError ObjectContainer::close(uint64_t storeIndex, FileHandle& fh) {
    return Run(faultPlan_, "close", [&] { impl_->Find(storeIndex)->Close(fh); });
}

CPelError ObjectContainer::truncate(uint64_t storeIndex, const ItemName& item, uint64_t size, bool newVersion) {
    return Run(faultPlan_, "truncate", [&] { impl_->Find(storeIndex)->Truncate(item, size, newVersion); });
}

CPelError ObjectContainer::fdatasync(uint64_t storeIndex, const ItemName& item) {
    return Run(faultPlan_, "fdatasync", [&] { impl_->Find(storeIndex)->Fdatasync(item); });
}

CPelError ObjectContainer::opendir(uint64_t storeIndex, DirHandle** dir, const ItemName& item) {
    return Run(faultPlan_, "opendir", [&] {
        if (!dir) Fail(EINVAL, "no stream pointer");
        *dir = impl_->Find(storeIndex)->Opendir(item);
    });
}

CPelError ObjectContainer::readdir(uint64_t storeIndex, DirHandle* dir, struct dirent** entry,
                                   std::string& childGuid) {
    return Run(faultPlan_, "readdir",
               [&] { impl_->Find(storeIndex)->Readdir(dir, entry, childGuid, nullptr, nullptr); });
}

CPelError ObjectContainer::readdir_ex(uint64_t storeIndex, DirHandle* dir, struct dirent** entry,
                                      std::string& childGuid, struct stat& st, uint64_t* cookie) {
    return Run(faultPlan_, "readdir_ex",
               [&] { impl_->Find(storeIndex)->Readdir(dir, entry, childGuid, &st, cookie); });
}

CPelError ObjectContainer::seekdir(uint64_t storeIndex, DirHandle* dir, uint64_t position) {
    return Run(faultPlan_, "seekdir", [&] { impl_->Find(storeIndex)->Seekdir(dir, position); });
}

CPelError ObjectContainer::telldir(uint64_t storeIndex, DirHandle* dir, uint64_t& position) {
    return Run(faultPlan_, "telldir", [&] { position = impl_->Find(storeIndex)->Telldir(dir); });
}

CPelError ObjectContainer::closedir(uint64_t storeIndex, DirHandle* dir) {
    return Run(faultPlan_, "closedir", [&] { impl_->Find(storeIndex)->Closedir(dir); });
}

CPelError ObjectContainer::rmdir(uint64_t storeIndex, const ItemName& item) {
    return Run(faultPlan_, "rmdir", [&] { impl_->Find(storeIndex)->Remove(item, true); });
}

CPelError ObjectContainer::unlink(uint64_t storeIndex, const ItemName& item) {
    return Run(faultPlan_, "unlink", [&] { impl_->Find(storeIndex)->Remove(item, false); });
}

CPelError ObjectContainer::chmod(uint64_t storeIndex, const ItemName& item, mode_t mode) {
    return Run(faultPlan_, "chmod", [&] { impl_->Find(storeIndex)->Chmod(item, mode); });
}

CPelError ObjectContainer::chown(uint64_t storeIndex, const ItemName& item, uid_t uid, gid_t gid) {
    return Run(faultPlan_, "chown", [&] { impl_->Find(storeIndex)->Chown(item, uid, gid); });
}

CPelError ObjectContainer::utimes(uint64_t storeIndex, const ItemName& item, const struct timeval& atime,
                                  const struct timeval& mtime) {
    return Run(faultPlan_, "utimes", [&] { impl_->Find(storeIndex)->Utimes(item, atime, mtime); });
}

CPelError ObjectContainer::statfs(uint64_t storeIndex, struct statfs& out) {
    return Run(faultPlan_, "statfs", [&] { impl_->Find(storeIndex)->Statfs(out); });
}

CPelError ObjectContainer::rename(uint64_t storeIndex, const std::string& destinationPath,
                                  const std::string& sourcePath, bool newVersion) {
    return Run(faultPlan_, "rename",
               [&] { impl_->Find(storeIndex)->Rename(destinationPath, sourcePath, newVersion); });
}

CPelError ObjectContainer::createSymbolicLink(uint64_t storeIndex, const ItemName&, const std::string& target,
                                              const std::string& linkPath) {
    return Run(faultPlan_, "createSymbolicLink", [&] { impl_->Find(storeIndex)->Symlink(target, linkPath); });
}

CPelError ObjectContainer::readLink(uint64_t storeIndex, ItemName item, std::string& target) {
    return Run(faultPlan_, "readLink", [&] { target = impl_->Find(storeIndex)->ReadLink(item); });
}

CPelError ObjectContainer::lock(uint64_t storeIndex, const LockInfo& wanted, LockInfo& holder) {
    return Run(faultPlan_, "lock", [&] { impl_->Find(storeIndex)->Lock(wanted, holder); });
}

CPelError ObjectContainer::unlock(uint64_t storeIndex, const LockInfo& lock) {
    return Run(faultPlan_, "unlock", [&] { impl_->Find(storeIndex)->Unlock(lock); });
}

CPelError ObjectContainer::telllock(uint64_t storeIndex, const LockInfo& lock, bool& locked) {
    return Run(faultPlan_, "telllock", [&] { locked = impl_->Find(storeIndex)->TellLock(lock); });
}

CPelError ObjectContainer::getxattr(uint64_t storeIndex, const ItemName& item, const std::string& name,
                                    std::string& value) {
    return Run(faultPlan_, "getxattr", [&] { value = impl_->Find(storeIndex)->GetXattr(item, name); });
}

CPelError ObjectContainer::setxattr(uint64_t storeIndex, const ItemName& item, const std::string& name,
                                    const std::string& value) {
    return Run(faultPlan_, "setxattr", [&] { impl_->Find(storeIndex)->SetXattr(item, name, value); });
}

CPelError ObjectContainer::removexattr(uint64_t storeIndex, const ItemName& item, const std::string& name) {
    return Run(faultPlan_, "removexattr", [&] { impl_->Find(storeIndex)->RemoveXattr(item, name); });
}

CPelError ObjectContainer::updateObjectStore(uint64_t storeIndex, const ObjectStoreUpdates& updates) {
    return Run(faultPlan_, "updateObjectStore", [&] { impl_->Find(storeIndex)->Update(updates); });
}

CPelError ObjectContainer::getObjStrGuiStats(uint64_t storeIndex, NameValueList& stats) {
    stats.clear();
    return Run(faultPlan_, "getObjStrGuiStats", [&] { stats = impl_->Find(storeIndex)->Stats(); });
}

CPelError ObjectContainer::cleanupObjectStore(const std::string& sharePath, int64_t, const std::string& snapName,
                                              bool force) {
    return Run(faultPlan_, "cleanupObjectStore", [&] {
        std::string root = impl_->Root();
        std::string folder = root + "/" + StoreFolderName(sharePath);
        if (!IsFolder(folder)) {
            // A view's share path is its store path with "-<view>" appended.
            size_t dash = sharePath.rfind('-');
            if (dash == std::string::npos || dash < sharePath.rfind('/')) Fail(ENOENT, "no such store");
            folder = root + "/" + StoreFolderName(sharePath.substr(0, dash));
            if (!IsFolder(folder)) Fail(ENOENT, "no such store");
        }
        std::string views = folder + "/" + kViewDirName;
        std::string prefix = snapName.empty() ? std::string() : EscapeFileName(snapName) + ".";
        std::lock_guard<std::mutex> openGuard(impl_->openMutex);
        std::map<std::string, std::shared_ptr<StoreView>> inUse;
        {
            std::shared_lock<std::shared_mutex> guard(impl_->mutex);
            for (auto& entry : impl_->views)
                if (entry.second->IsWritableView()) inUse[entry.second->ScratchDir()] = entry.second;
        }
        DIR* d = ::opendir(views.c_str());
        if (!d) return;
        std::vector<std::string> names;
        while (struct dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            if (prefix.empty() || n.compare(0, prefix.size(), prefix) == 0) names.push_back(n);
        }
        ::closedir(d);
        for (const std::string& n : names) {
            std::string path = views + "/" + n;
            auto it = inUse.find(path);
            if (it == inUse.end()) {
                RemoveTree(path);
            } else if (force) {
                it->second->DiscardWrites();
            } else {
                Fail(EBUSY, "view " + n + " is open");
            }
        }
    });
}

CPelError ObjectContainer::checkIntegrity(uint64_t storeIndex, std::vector<std::string>& problems) {
    problems.clear();
    return Run(faultPlan_, "checkIntegrity", [&] { impl_->Find(storeIndex)->CheckIntegrity(problems); });
}

}  // namespace ObjectStore
