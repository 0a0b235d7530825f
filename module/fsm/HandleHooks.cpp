// Host hooks for received file handles: the backend object for a handle, the
// handle as text, and the check that a handle is one of this module's. They
// keep no state; the handle class and the backend object do the work.
#include <cerrno>

#include "module/backend/BackupFSMBkEnd.h"
#include "module/filehandle/BackupFSMFileHandle.h"
#include "module/fsm/BackupFSM.h"

BkEndProcPtr BackupFSM::GetFSObject(ExportPtr& exp, const nfs_fh3& handle) {
    // Only usable objects reach the host; the constructor logged why not.
    boost::shared_ptr<BackupBkEndObj> object(new BackupBkEndObj(exp, handle));
    if (object->IsValid()) return object;
    object.reset();
    errno = EINVAL;
    return BkEndProcPtr();
}

std::string BackupFSM::FH2Str(const nfs_fh3& handle) {
    std::string text;
    BackupFSMFileHandle::FH2Str(handle, text);
    return text;
}

bool BackupFSM::IsFHValid(const nfs_fh3& handle) {
    return BackupFSMFileHandle::IsValid(handle);
}
