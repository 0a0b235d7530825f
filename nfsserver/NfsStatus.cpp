#include "nfsserver/NfsStatus.h"

#include <cerrno>

namespace {

const ErrnoStatusRow kRows[] = {
    {0, NFS3_OK},
    {EPERM, NFS3ERR_PERM},
    {ENOENT, NFS3ERR_NOENT},
    {EIO, NFS3ERR_IO},
    {ENXIO, NFS3ERR_NXIO},
    {EACCES, NFS3ERR_ACCES},
    {EEXIST, NFS3ERR_EXIST},
    {EXDEV, NFS3ERR_XDEV},
    {ENODEV, NFS3ERR_NODEV},
    {ENOTDIR, NFS3ERR_NOTDIR},
    {EISDIR, NFS3ERR_ISDIR},
    {EINVAL, NFS3ERR_INVAL},
    {EFBIG, NFS3ERR_FBIG},
    {EOVERFLOW, NFS3ERR_FBIG},
    {ENOSPC, NFS3ERR_NOSPC},
    {EROFS, NFS3ERR_ROFS},
    {EMLINK, NFS3ERR_MLINK},
    {ENAMETOOLONG, NFS3ERR_NAMETOOLONG},
    {ENOTEMPTY, NFS3ERR_NOTEMPTY},
    {EDQUOT, NFS3ERR_DQUOT},
    {ESTALE, NFS3ERR_STALE},
    {EREMOTE, NFS3ERR_REMOTE},
    {EBADF, NFS3ERR_BADHANDLE},
    {ENOTSUP, NFS3ERR_NOTSUPP},  // same value as EOPNOTSUPP on Linux
    {ENOSYS, NFS3ERR_NOTSUPP},
    {ENOMEM, NFS3ERR_SERVERFAULT},
    {EFAULT, NFS3ERR_SERVERFAULT},
    {EAGAIN, NFS3ERR_JUKEBOX},  // the store asks us to come back later
    {EBUSY, NFS3ERR_JUKEBOX},
    {ELOOP, NFS3ERR_INVAL},
};

}  // namespace

const ErrnoStatusRow* NfsStatusTable(size_t& rows) {
    rows = sizeof(kRows) / sizeof(kRows[0]);
    return kRows;
}

nfsstat3 NfsStatusFromErrno(int error) {
    for (const ErrnoStatusRow& row : kRows) {
        if (row.error == error) return row.status;
    }
    return NFS3ERR_IO;
}

mountstat3 MountStatusFromErrno(int error) {
    switch (NfsStatusFromErrno(error)) {
        case NFS3_OK: return MNT3_OK;
        case NFS3ERR_PERM: return MNT3ERR_PERM;
        case NFS3ERR_NOENT: return MNT3ERR_NOENT;
        case NFS3ERR_IO: return MNT3ERR_IO;
        case NFS3ERR_ACCES: return MNT3ERR_ACCES;
        case NFS3ERR_NOTDIR: return MNT3ERR_NOTDIR;
        case NFS3ERR_INVAL: return MNT3ERR_INVAL;
        case NFS3ERR_NAMETOOLONG: return MNT3ERR_NAMETOOLONG;
        case NFS3ERR_NOTSUPP: return MNT3ERR_NOTSUPP;
        default: return MNT3ERR_SERVERFAULT;
    }
}
