// BackupBkEndObj: construction, the steps every operation shares, name lookup,
// attribute queries and the operations with fixed answers.
#include <cerrno>
#include <cstring>

#include <boost/pointer_cast.hpp>

#include "host/PathUtil.h"
#include "module/backend/Authorization.h"
#include "module/backend/BackupFSMBkEnd.h"
#include "module/export/BackupFSMExport.h"
#include "module/fsm/BackupFSMLog.h"
#include "platform/FXErrorUtil.h"

namespace {

const long kPathConfAnswer = 1024;

unsigned int ShareIdOf(const ExportPtr& exp) {
    return exp ? exp->GetShareId() : 0;
}

}  // namespace

BackupBkEndObj::BackupBkEndObj(ExportPtr& exp, const nfs_fh3& fh) : handle(fh) {
    Decide(exp);
}

BackupBkEndObj::BackupBkEndObj(ExportPtr& exp, std::string guid)
    : handle(ShareIdOf(exp), guid.c_str(), std::string()) {
    Decide(exp);
}

void BackupBkEndObj::Decide(ExportPtr& exp) {
    boost::shared_ptr<BackupFSMExport> backupExport = boost::dynamic_pointer_cast<BackupFSMExport>(exp);
    if (!backupExport) {
        BFSM_LOG_ALWAYS(-1, "Error: Dynamic cast failed");
        valid = false;
        return;
    }
    storeIndex = backupExport->GetObjStoreIndex();
    // A handle of another share would be resolved in one store and used in
    // another: refuse it like any other unusable handle.
    if (!handle.valid || handle.shareId != backupExport->GetShareId()) {
        BFSM_LOG_ALWAYS(-1, "Error: invalid file handle");
        valid = false;
        return;
    }
    valid = true;
}

BackupBkEndObj::~BackupBkEndObj() {
    BFSM_LOG(10, "BackupBkEndObj [%p] deleted", static_cast<void*>(this));
}

// --- Steps shared by the operations.

bool BackupBkEndObj::IsRootPath(const char* path) {
    return path != nullptr && strcmp(path, "/") == 0;
}

bool BackupBkEndObj::Authorize(QuayCtxt* ctxt) {
    if (AuthorizeUser(ctxt)) return true;
    errno = EACCES;
    return false;
}

int BackupBkEndObj::ExportVersions(QuayCtxt* ctxt) {
    if (ctxt == nullptr) return 0;
    boost::shared_ptr<BackupFSMExport> exp = boost::dynamic_pointer_cast<BackupFSMExport>(ctxt->exportPtr);
    return exp && exp->GetEnabledVersions() == 1 ? 1 : 0;
}

ObjectStore::ItemName BackupBkEndObj::Item(bool isRoot) const {
    return ObjectStore::ItemName(handle.guid, isRoot);
}

CPelError BackupBkEndObj::LookupPath(std::string& path) const {
    path.clear();
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.guidToPath(storeIndex, handle.guid, path);
    });
    if (!error.IsError() && path.empty()) return CPelError(ENOENT, "no path for GUID");
    return error;
}

BkEndProcPtr BackupBkEndObj::MakeChild(QuayCtxt* ctxt, const std::string& guid) {
    boost::shared_ptr<BackupBkEndObj> child(new BackupBkEndObj(ctxt->exportPtr, guid));
    if (child->valid) return child;
    child.reset();
    errno = EINVAL;
    return BkEndProcPtr();
}

int BackupBkEndObj::StatDirectory(QuayCtxt* ctxt, const BkEndProcPtr& dir) {
    QuayCtxt dirCtxt(*ctxt->identity, ctxt->exportPtr, dir);
    struct stat st;
    return dir->lstat(&dirCtxt, dir->GetClientPath().c_str(), &st);
}

// --- Lookup.

BkEndProcPtr BackupBkEndObj::FindChild(QuayCtxt* ctxt, const std::string& name) {
    if (!Authorize(ctxt)) return BkEndProcPtr();
    BFSM_LOG(3, "INFO: looking child [%s]", name.c_str());

    std::string parentPath;
    CPelError error = LookupPath(parentPath);
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: failed to get parent path");
        errno = FXErrorUtil::GetErrNo(error);
        return BkEndProcPtr();
    }
    std::string childPath = parentPath + "/" + name;
    RemoveDuplicates(childPath, '/');
    BFSM_LOG(3, "INFO: looking child [%s] under [%s]", name.c_str(), parentPath.c_str());
    // Nothing lies above the share root.
    if (name == ".." && parentPath == "/") {
        BFSM_LOG(2, "WARN: resetting child path [/..] to [/]");
        childPath = "/";
    }

    ObjectStore::ItemName child(childPath);
    struct stat st;
    error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.getattr(storeIndex, child, st);
    });
    if (error.IsError()) {
        if (FXErrorUtil::IsErrNo(error, ENOENT)) {
            BFSM_LOG(2, "WARN: child not found under [%s]", parentPath.c_str());
        } else {
            BFSM_LOG(-1, "ERROR: failed to get Child");
        }
        errno = FXErrorUtil::GetErrNo(error);
        return BkEndProcPtr();
    }
    return MakeChild(ctxt, child.getObjGuid());
}

BkEndProcPtr BackupBkEndObj::GetParent(QuayCtxt* ctxt) {
    if (!Authorize(ctxt)) return BkEndProcPtr();

    std::string path;
    CPelError error = LookupPath(path);
    if (!error.IsError()) {
        std::string parentPath;
        DirName(path, parentPath);
        ObjectStore::ItemName parent(parentPath);
        struct stat st;
        error = CallStore([&](ObjectStore::ObjectContainer& store) {
            return store.getattr(storeIndex, parent, st);
        });
        if (!error.IsError()) return MakeChild(ctxt, parent.getObjGuid());
    }
    BFSM_LOG(-1, "ERROR: failed to get parent path");
    errno = FXErrorUtil::GetErrNo(error);
    return BkEndProcPtr();
}

// --- Attributes.

int BackupBkEndObj::lstat(QuayCtxt* ctxt, const char* /*path*/, struct stat* st) {
    const std::string path = GetClientPath();
    const bool isRoot = path == "/";
    if (!isRoot && !Authorize(ctxt)) return -1;
    if (st == nullptr) {
        errno = EFAULT;
        return -1;
    }
    BFSM_LOG(3, "INFO: Getting stat for path [%s],", path.c_str());
    ObjectStore::ItemName item = Item(isRoot);
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.getattr(storeIndex, item, *st);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to get stat for path [%s],", path.c_str());
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: stat on path [%s] succeeded,", path.c_str());
    return 0;
}

int BackupBkEndObj::access(QuayCtxt* ctxt, const char* path, int /*mode*/) {
    const bool isRoot = GetClientPath() == "/";
    if (!isRoot && !Authorize(ctxt)) return -1;
    BFSM_LOG(3, "INFO: lookup for path [%s]", Text(path));
    ObjectStore::ItemName item = Item(isRoot);
    struct stat st;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.getattr(storeIndex, item, st);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to lookup path [%s]", Text(path));
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "INFO: lookup on path [%s] succeeded", Text(path));
    return 0;
}

int BackupBkEndObj::statfs(QuayCtxt* ctxt, const char* path, struct statfs* out) {
    if (!IsRootPath(path) && !Authorize(ctxt)) return -1;
    if (out == nullptr) {
        errno = EFAULT;
        return -1;
    }
    BFSM_LOG(3, "INFO: getting stat of the file with guid [%s]", handle.guid);
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.statfs(storeIndex, *out);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: failed to stat the file");
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }
    BFSM_LOG(3, "stat on file with guid [%s]succeeded", handle.guid);
    return 0;
}

long BackupBkEndObj::pathconf(QuayCtxt* /*ctxt*/, const char* /*path*/, int /*name*/) {
    return kPathConfAnswer;
}

// --- Accessors.

const std::string& BackupBkEndObj::GetClientPath() {
    BFSM_LOG(4, "[%s] is the Client Path for file Handle [%s]", handle.path.c_str(), handle.guid);
    return handle.path;
}

void BackupBkEndObj::GetFileHandle(nfs_fh3& fh) {
    handle.ToNfsFH(fh);
}

// --- Fixed answers.

bool BackupBkEndObj::isCreateAndOpenSupported() {
    return true;
}

bool BackupBkEndObj::is_readdir_ex_supported() {
    return true;
}

bool BackupBkEndObj::is_getACL_ex_supported() {
    return true;
}

bool BackupBkEndObj::checkAccess(const char* /*path*/, unsigned int const& /*mode*/,
                                 void* const& /*ctx*/) {
    return true;
}

int BackupBkEndObj::mknod(QuayCtxt* /*ctxt*/, const char* /*path*/, unsigned long /*dev*/,
                          ftype3 /*type*/, unsigned int /*mode*/) {
    errno = ENOTSUP;
    return -1;
}

int BackupBkEndObj::link(QuayCtxt* /*ctxt*/, const char* /*target*/, const char* /*linkPath*/) {
    errno = ENOTSUP;
    return -1;
}

int BackupBkEndObj::setAllocationSize(QuayCtxt* /*ctxt*/, const char* /*path*/, long& /*size*/) {
    errno = ENOTSUP;
    return -1;
}

int BackupBkEndObj::setFileAttributes(QuayCtxt* /*ctxt*/, const char* /*path*/,
                                      struct stat& /*st*/) {
    errno = ENOTSUP;
    return -1;
}

bool BackupBkEndObj::isDirectoryEmpty(QuayCtxt* /*ctxt*/) {
    errno = ENOTSUP;
    return false;
}
