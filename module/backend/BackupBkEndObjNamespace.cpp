// BackupBkEndObj: removing, renaming and linking names, and changing modes,
// owners and times.
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "host/PathUtil.h"
#include "module/backend/BackupFSMBkEnd.h"
#include "module/fsm/BackupFSMLog.h"
#include "platform/FXErrorUtil.h"

namespace {

// dir + "/" + name with every run of '/' collapsed.
std::string JoinPath(const std::string& dir, const char* name) {
    std::string path = dir + "/" + (name != nullptr ? name : "");
    RemoveDuplicates(path, '/');
    return path;
}

}  // namespace

int BackupBkEndObj::unlink(QuayCtxt* ctxt, const char* path) {
    if (!Authorize(ctxt)) return -1;
    // The object and its directory must both still be reachable by the caller.
    struct stat st;
    if (lstat(ctxt, path, &st) != 0) return -1;
    if (!ctxt->parentObj) {
        errno = EINVAL;
        return -1;
    }
    if (StatDirectory(ctxt, ctxt->parentObj) != 0) return -1;

    BFSM_LOG(3, "INFO: unlink the file [%s] ", Text(path));
    const ObjectStore::ItemName item = Item();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.unlink(storeIndex, item);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to unlink the file [%s]", Text(path));
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: unlinking the file [%s] succeeded", Text(path));
    return 0;
}

int BackupBkEndObj::rename(QuayCtxt* ctxt, const char* oldName, const char* newName) {
    if (!Authorize(ctxt)) return -1;
    BkEndProcPtr sourceDir = GetParent(ctxt);
    if (!sourceDir) {
        errno = EINVAL;
        return -1;
    }
    if (StatDirectory(ctxt, sourceDir) != 0) return -1;
    BkEndProcPtr destinationDir = ctxt->parentObj;
    if (!destinationDir) {
        errno = EINVAL;
        return -1;
    }
    if (StatDirectory(ctxt, destinationDir) != 0) return -1;

    const std::string source = JoinPath(sourceDir->GetClientPath(), oldName);
    const std::string destination = JoinPath(destinationDir->GetClientPath(), newName);
    const bool newVersion = ExportVersions(ctxt) == 1;
    BFSM_LOG(3, "INFO: Renaming from [%s] to [%s] newver=%d", source.c_str(), destination.c_str(),
             newVersion ? 1 : 0);
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.rename(storeIndex, destination, source, newVersion);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Renaming from [%s] to [%s] failed", source.c_str(),
                 destination.c_str());
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: Rename [%s] to [%s]succeeded", source.c_str(), destination.c_str());
    return 0;
}

int BackupBkEndObj::symlink(QuayCtxt* ctxt, const char* target, const char* linkPath) {
    if (!Authorize(ctxt)) return -1;
    struct stat st;
    if (lstat(ctxt, GetClientPath().c_str(), &st) != 0) return -1;

    BFSM_LOG(3, "INFO: Creating symbolic link [%s] to [%s]", Text(linkPath), Text(target));
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.createSymbolicLink(storeIndex, ObjectStore::ItemName(), Text(target),
                                        Text(linkPath));
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Creating symbolic link [%s] to [%s] failed", Text(linkPath),
                 Text(target));
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: Creating symbolic link [%s] to [%s] succeeded", Text(linkPath),
             Text(target));
    return 0;
}

ssize_t BackupBkEndObj::readlink(QuayCtxt* ctxt, const char* path, char* buf, size_t size) {
    if (!Authorize(ctxt)) return -1;
    BFSM_LOG(3, "INFO: Reading symbolic link [%s] data", Text(path));
    std::string target;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.readLink(storeIndex, Item(), target);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Reading symbolic link [%s] data failed", Text(path));
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    if (size < target.size() || (buf == nullptr && !target.empty())) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Like readlink(2): no terminating zero.
    if (!target.empty()) memcpy(buf, target.data(), target.size());
    BFSM_LOG(3, "INFO: symbolic link [%s] data [%s]", Text(path), target.c_str());
    return static_cast<ssize_t>(target.size());
}

template <typename Call>
int BackupBkEndObj::ChangeAttribute(QuayCtxt* ctxt, const char* path, const char* startFormat,
                                    const char* failFormat, const char* doneFormat, Call&& call) {
    const bool isRoot = IsRootPath(path);
    if (!isRoot && !Authorize(ctxt)) return -1;
    BFSM_LOG(3, startFormat, Text(path));
    const ObjectStore::ItemName item = Item(isRoot);
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return call(store, item);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, failFormat, Text(path));
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, doneFormat, Text(path));
    return 0;
}

int BackupBkEndObj::chmod(QuayCtxt* ctxt, const char* path, mode_t mode) {
    return ChangeAttribute(
        ctxt, path, "INFO: changing  mode of file/directory [%s] ", "ERROR: chmod failed for [%s]",
        "INFO: chmod on the file/directory [%s] succeeded",
        [&](ObjectStore::ObjectContainer& store, const ObjectStore::ItemName& item) {
            return store.chmod(storeIndex, item, mode);
        });
}

int BackupBkEndObj::chown(QuayCtxt* ctxt, const char* path, uid_t uid, gid_t gid) {
    return ChangeAttribute(
        ctxt, path, "INFO: chown on file/directory [%s] ", "ERROR: chown failed for [%s]",
        "INFO: chown on the file/directory [%s] succeeded",
        [&](ObjectStore::ObjectContainer& store, const ObjectStore::ItemName& item) {
            return store.chown(storeIndex, item, uid, gid);
        });
}

int BackupBkEndObj::utimes(QuayCtxt* ctxt, const char* path, const struct timeval* times) {
    // Without values the host means "now", as utimes(2) does.
    struct timeval now[2];
    if (times == nullptr) {
        gettimeofday(&now[0], nullptr);
        now[1] = now[0];
        times = now;
    }
    return ChangeAttribute(
        ctxt, path, "INFO: utimes on file/directory [%s] ", "ERROR: utimes failed for [%s],",
        "INFO: utimse on the file/directory [%s] succeeded",
        [&](ObjectStore::ObjectContainer& store, const ObjectStore::ItemName& item) {
            return store.utimes(storeIndex, item, times[0], times[1]);
        });
}
