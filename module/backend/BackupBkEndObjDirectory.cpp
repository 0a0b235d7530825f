// BackupBkEndObj: directory streams, creating and removing directories.
#include <cerrno>
#include <cstring>

#include "module/backend/BackupFSMBkEnd.h"
#include "module/fsm/BackupFSMLog.h"
#include "platform/FXErrorUtil.h"

namespace {

ObjectStore::DirHandle* Stream(DIR* dir) {
    return reinterpret_cast<ObjectStore::DirHandle*>(dir);
}

bool IsDotEntry(const struct dirent* entry) {
    return strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0;
}

// Encodes the handle of a listed entry through a short-lived object of it.
bool EncodeChildHandle(QuayCtxt* ctxt, const std::string& guid, nfs_fh3& fh) {
    BackupBkEndObj child(ctxt->exportPtr, guid);
    if (!child.IsValid()) {
        BFSM_LOG(-1, "ERROR: creation of child failed, exp [%p], guid [%s]",
                 static_cast<void*>(ctxt->exportPtr.get()), guid.c_str());
        return false;
    }
    child.GetFileHandle(fh);
    return true;
}

}  // namespace

DIR* BackupBkEndObj::opendir(QuayCtxt* ctxt, const char* path) {
    if (!Authorize(ctxt)) return nullptr;
    BFSM_LOG(3, "INFO: opening the directory  [%s] ", Text(path));
    ObjectStore::DirHandle* stream = nullptr;
    const ObjectStore::ItemName item = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.opendir(storeIndex, &stream, item);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to open the directory  [%s] ", Text(path));
        errno = FXErrorUtil::GetErrNo(error);
        return nullptr;
    }
    BFSM_LOG(3, "INFO: opening the directory [%s] succeeded", Text(path));
    return reinterpret_cast<DIR*>(stream);
}

struct dirent* BackupBkEndObj::readdir(QuayCtxt* ctxt, DIR* dir) {
    // The end of the stream is told from a failure by errno alone: leave the
    // caller's value as it was on success.
    const int callerErrno = errno;
    if (!Authorize(ctxt)) return nullptr;
    BFSM_LOG(3, "INFO: reading the directory [GUID = %s]", handle.guid);
    struct dirent* entry = nullptr;
    std::string childGuid;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.readdir(storeIndex, Stream(dir), &entry, childGuid);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: reading the directory  [GUID = %s] failed", handle.guid);
        errno = FXErrorUtil::GetErrNo(error);
        return nullptr;
    }
    BFSM_LOG(3, "INFO: reading the directory [GUID = %s] succeeded", handle.guid);
    errno = callerErrno;
    return entry;
}

struct dirent* BackupBkEndObj::readdir_ex(QuayCtxt* ctxt, DIR* dir, nfs_fh3& fh, struct stat& st,
                                          uint64_t* cookie) {
    const int callerErrno = errno;
    if (!Authorize(ctxt)) return nullptr;
    BFSM_LOG(3, "INFO: reading the directory [GUID = %s]", handle.guid);
    struct dirent* entry = nullptr;
    std::string childGuid;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.readdir_ex(storeIndex, Stream(dir), &entry, childGuid, st, cookie);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: reading the directory  [GUID = %s] failed, errno [%d].", handle.guid,
                 errno);
        errno = FXErrorUtil::GetErrNo(error);
        return nullptr;
    }
    // "." and ".." keep the handle the host passed in.
    if (entry != nullptr && !IsDotEntry(entry) && !EncodeChildHandle(ctxt, childGuid, fh)) {
        errno = EINVAL;
        return nullptr;
    }
    BFSM_LOG(3, "INFO: reading the directory [GUID = %s] succeeded", handle.guid);
    errno = callerErrno;
    return entry;
}

void BackupBkEndObj::seekdir(QuayCtxt* ctxt, DIR* dir, long position) {
    if (!Authorize(ctxt)) return;
    BFSM_LOG(3, "INFO: seeking the directory [GUID = %s] to  offset [%lu]", handle.guid,
             static_cast<unsigned long>(position));
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.seekdir(storeIndex, Stream(dir), static_cast<uint64_t>(position));
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to seek the directory  [GUID = %s] ", handle.guid);
        errno = FXErrorUtil::GetErrNo(error);
        return;
    }
    BFSM_LOG(3, "INFO: seeking the directory [GUID = %s] succeeded", handle.guid);
}

long BackupBkEndObj::telldir(QuayCtxt* ctxt, DIR* dir) {
    if (!Authorize(ctxt)) return -1;
    BFSM_LOG(3, "INFO: Getting the current poistion in the directory [GUID = %s]", handle.guid);
    uint64_t position = 0;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.telldir(storeIndex, Stream(dir), position);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Getting the current poistion in the directory  [GUID = %s] failed ",
                 handle.guid);
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: current poistion in the directory  [GUID = %s] is [%ld]", handle.guid,
             static_cast<long>(position));
    return static_cast<long>(position);
}

int BackupBkEndObj::closedir(QuayCtxt* ctxt, DIR* dir) {
    if (!Authorize(ctxt)) return -1;
    BFSM_LOG(3, "INFO: closing the directory [GUID = %s]", handle.guid);
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.closedir(storeIndex, Stream(dir));
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to close the directory [GUID = %s]", handle.guid);
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: closing the directory [GUID = %s] succeeded", handle.guid);
    return 0;
}

BkEndProcPtr BackupBkEndObj::CreateChildDir(QuayCtxt* ctxt, const std::string& name, mode_t mode) {
    if (!Authorize(ctxt)) return BkEndProcPtr();
    std::string dirPath;
    LookupPath(dirPath);
    struct stat st;
    if (lstat(ctxt, dirPath.c_str(), &st) != 0) return BkEndProcPtr();

    BFSM_LOG(3, "INFO: Creating directory [%s]", name.c_str());
    ObjectStore::ItemName created;
    const ObjectStore::ItemName parent = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.mkdir(storeIndex, created, parent, name, mode);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Creating directory [%s] failed", name.c_str());
        errno = FXErrorUtil::GetErrNo(error);
        return BkEndProcPtr();
    }
    BFSM_LOG(3, "INFO: Directory [%s] created", name.c_str());
    return MakeChild(ctxt, created.getObjGuid());
}

int BackupBkEndObj::rmdir(QuayCtxt* ctxt, const char* /*path*/) {
    if (!Authorize(ctxt)) return -1;
    BFSM_LOG(3, "INFO: removing the directory [GUID = %s]", handle.guid);
    const ObjectStore::ItemName item = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.rmdir(storeIndex, item);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to remove the directory [GUID = %s]", handle.guid);
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: removed the directory [GUID = %s] succeeded", handle.guid);
    return 0;
}
