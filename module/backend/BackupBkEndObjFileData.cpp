// BackupBkEndObj: opening, creating, reading, writing, closing, truncating and
// flushing files.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include <boost/make_shared.hpp>

#include "host/UniqueNumber.h"
#include "module/backend/BackupFSMBkEnd.h"
#include "module/filehandle/FdToObjectStoreFH.h"
#include "module/fsm/BackupFSMLog.h"
#include "platform/FXErrorUtil.h"
#include "platform/ZelCriticalSection.h"

namespace {

typedef boost::shared_ptr<ObjectStore::FileHandle> FileHandlePtr;

// The host's "unstable" stability level: leave the data to a later flush.
const int kUnstableWrite = 1;

// Records an opened file under a fresh descriptor number.
int AddDescriptor(const FileHandlePtr& file) {
    const int fd = static_cast<int>(GetUniqueNumber());
    FdToObjectStoreFH::Add(fd, file);
    return fd;
}

bool NoDescriptor(int fd) {
    BFSM_LOG(-1, "ERROR: failed to get FileHandle for fd [%d] in map", fd);
    errno = EINVAL;
    return false;
}

bool FindDescriptor(int fd, FileHandlePtr& file) {
    return FdToObjectStoreFH::find(fd, file) || NoDescriptor(fd);
}

// Takes the descriptor's file out of the table, so that of two closes of one
// descriptor only one reaches the store and gives the number back.
bool TakeDescriptor(int fd, FileHandlePtr& file) {
    bool found = false;
    {
        ZelCriticalSectionLock lock(FdToObjectStoreFH::fileHandleMapCS);
        found = FdToObjectStoreFH::find(fd, file) && FdToObjectStoreFH::Remove(fd);
    }
    return found || NoDescriptor(fd);
}

// Whether a flush may run now under the module-wide interval. Only one of the
// threads that reach the end of an interval at once wins it.
bool SyncIntervalPassed() {
    const int64_t interval = BackupFSMGlobals::syncInterval;
    const time_t now = time(nullptr);
    time_t last = BackupFSMGlobals::lastSyncTime.load();
    do {
        if (static_cast<int64_t>(now) < static_cast<int64_t>(last) + interval) return false;
    } while (!BackupFSMGlobals::lastSyncTime.compare_exchange_weak(last, now));
    return true;
}

}  // namespace

int BackupBkEndObj::open(QuayCtxt* ctxt, const char* path, int flags, mode_t /*mode*/) {
    if (!Authorize(ctxt)) return -1;
    FileHandlePtr file = boost::make_shared<ObjectStore::FileHandle>();

    bool newVersion = false;
    if ((flags & (O_WRONLY | O_RDWR)) != 0) {
        newVersion = ExportVersions(ctxt) == 1;
        if (!newVersion) BFSM_LOG(5, "Versions disabled for this export");
    }
    BFSM_LOG(3, "INFO: opening the file [%s]", Text(path));

    const ObjectStore::ItemName item = Item();
    auto openFile = [&](bool askNewVersion) {
        return CallStore([&](ObjectStore::ObjectContainer& store) {
            return store.open(storeIndex, *file, item, flags, askNewVersion);
        });
    };
    CPelError error = openFile(newVersion);
    // The store refuses a new version while the current one is young: write
    // into the current version instead.
    if (error.IsError() && newVersion && FXErrorUtil::GetErrNo(error) == EAGAIN) {
        BFSM_LOG(5, "ERROR: Failed to open new version for file [%s] Retrying with new version set to false",
                 Text(path));
        error = openFile(false);
    }
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to open file [%s]", Text(path));
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: opened file successfully [%s]", Text(path));
    return AddDescriptor(file);
}

int BackupBkEndObj::createAndOpen(QuayCtxt* ctxt, BkEndProcPtr& child, const std::string& name,
                                  int flags, struct stat& st) {
    if (!Authorize(ctxt)) return -1;
    FileHandlePtr file = boost::make_shared<ObjectStore::FileHandle>();
    BFSM_LOG(3, "INFO: Creating file [%s]", name.c_str());

    const ObjectStore::ItemName parent = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.createAndOpen(storeIndex, *file, parent, name, st, flags);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Creating file [%s] failed", name.c_str());
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: file [%s] created", name.c_str());

    BkEndProcPtr created = MakeChild(ctxt, file->item.getObjGuid());
    if (!created) {
        // No descriptor will ever name this file: close it here so that the
        // store does not keep it open. The file itself stays.
        CallStore([&](ObjectStore::ObjectContainer& store) { return store.close(storeIndex, *file); });
        errno = EINVAL;
        return -1;
    }
    child = created;
    BFSM_LOG(3, "INFO: created and opened file successfully [%s]", name.c_str());
    return AddDescriptor(file);
}

BkEndProcPtr BackupBkEndObj::CreateChildFile(QuayCtxt* ctxt, const std::string& name,
                                             int /*flags*/, mode_t mode) {
    if (!Authorize(ctxt)) return BkEndProcPtr();
    std::string dirPath;
    LookupPath(dirPath);
    struct stat st;
    if (lstat(ctxt, dirPath.c_str(), &st) != 0) return BkEndProcPtr();

    BFSM_LOG(3, "INFO: Creating file [%s]", name.c_str());
    ObjectStore::ItemName created;
    const ObjectStore::ItemName parent = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.create(storeIndex, created, parent, name, mode);
    });
    if (error.IsError()) {
        // A full store is expected on a backup target: below error level.
        if (FXErrorUtil::IsErrNo(error, ENOSPC)) {
            BFSM_LOG(4, "ERROR: Creating file [%s] failed", name.c_str());
        } else {
            BFSM_LOG(-1, "ERROR: Creating file [%s] failed", name.c_str());
        }
        errno = FXErrorUtil::GetErrNo(error);
        return BkEndProcPtr();
    }
    BFSM_LOG(3, "INFO: file [%s] created", name.c_str());
    return MakeChild(ctxt, created.getObjGuid());
}

ssize_t BackupBkEndObj::read(QuayCtxt* ctxt, int fd, void* buf, uint64_t offset, size_t count) {
    if (!Authorize(ctxt)) return -1;
    FileHandlePtr file;
    if (!FindDescriptor(fd, file)) return -1;
    if (buf == nullptr && count > 0) {
        errno = EFAULT;
        return -1;
    }
    BFSM_LOG(3, "INFO: reading the file [GUID %s]", handle.guid);
    uint64_t n = count;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.read(storeIndex, *file, buf, offset, n);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to read the file [GUID %s]", handle.guid);
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: reading the file [ GUID %s] succeeded. Read [%ld] bytes", handle.guid,
             static_cast<long>(n));
    return static_cast<ssize_t>(n);
}

ssize_t BackupBkEndObj::write(QuayCtxt* ctxt, int fd, const void* buf, uint64_t offset,
                              size_t count, BkEndSyncType syncType) {
    if (!Authorize(ctxt)) return -1;
    FileHandlePtr file;
    if (!FindDescriptor(fd, file)) return -1;
    if (buf == nullptr && count > 0) {
        errno = EFAULT;
        return -1;
    }
    BFSM_LOG(3, "INFO: writing the file [GUID %s]", handle.guid);
    uint64_t n = count;
    const ObjectStore::Sync sync = syncType == kUnstableWrite ? 0 : 1;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.write(storeIndex, *file, buf, n, offset, sync);
    });
    if (error.IsError()) {
        if (FXErrorUtil::IsErrNo(error, ENOSPC)) {
            BFSM_LOG(4, "ERROR: Failed to write the file [GUID %s]", handle.guid);
        } else {
            BFSM_LOG(-1, "ERROR: Failed to write the file [GUID %s]", handle.guid);
        }
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: writing the file [ GUID %s] succeeded. wrote [%ld] bytes", handle.guid,
             static_cast<long>(n));
    return static_cast<ssize_t>(n);
}

int BackupBkEndObj::close(QuayCtxt* /*ctxt*/, int fd) {
    std::string path;
    LookupPath(path);
    BFSM_LOG(3, "INFO: closing the file [%s] ", path.c_str());
    if (fd == 0) {
        BFSM_LOG(3, "INFO: return success as fd is 0 ");
        return 0;
    }
    FileHandlePtr file;
    if (!TakeDescriptor(fd, file)) return -1;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.close(storeIndex, *file);
    });
    if (error.IsError()) {
        const int why = FXErrorUtil::GetErrNo(error);
        // EBADF: the store no longer has the file open (closing a store, as an
        // un-export does, closes its files), so no retry can succeed and the
        // descriptor goes. Otherwise the file is still open and the
        // descriptor stays valid for another try.
        if (why == EBADF) FreeUniqueNumber(static_cast<unsigned int>(fd));
        else FdToObjectStoreFH::Add(fd, file);
        BFSM_LOG(-1, "ERROR: Failed to close the file [%s]", path.c_str());
        errno = why;
        return -1;
    }
    FreeUniqueNumber(static_cast<unsigned int>(fd));
    BFSM_LOG(3, "INFO: [%s] closed", path.c_str());
    return 0;
}

int BackupBkEndObj::truncate(QuayCtxt* ctxt, const char* path, uint64_t size) {
    if (!Authorize(ctxt)) return -1;
    const bool newVersion = ExportVersions(ctxt) == 1;
    BFSM_LOG(3, "INFO: truncating the file [%s] to size [%ld] versions [%d]", Text(path),
             static_cast<long>(size), newVersion ? 1 : 0);
    const ObjectStore::ItemName item = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.truncate(storeIndex, item, size, newVersion);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to truncate the file [%s]", Text(path));
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: truncating the file [%s] succeeded", Text(path));
    return 0;
}

int BackupBkEndObj::lseek(QuayCtxt* /*ctxt*/, int /*fd*/, uint64_t /*offset*/, int /*whence*/) {
    return 0;
}

int BackupBkEndObj::fdatasync(QuayCtxt* ctxt, int /*fd*/) {
    return SyncData(ctxt);
}

int BackupBkEndObj::fsync(QuayCtxt* ctxt, int /*fd*/) {
    return SyncData(ctxt);
}

int BackupBkEndObj::SyncData(QuayCtxt* ctxt) {
    if (BackupFSMGlobals::syncInterval != 0) {
        if (!SyncIntervalPassed()) {
            BFSM_LOG(5, "Skipping sync due to sync interval");
            return 0;
        }
        ::sync();
    }
    if (!Authorize(ctxt)) return -1;
    BFSM_LOG(3, "INFO: fdatasync file with guid [%s]", handle.guid);
    const ObjectStore::ItemName item = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.fdatasync(storeIndex, item);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: failed to sync data");
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "sync data succeeded");
    return 0;
}
