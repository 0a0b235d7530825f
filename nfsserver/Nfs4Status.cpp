#include "nfsserver/Nfs4Status.h"

#include <cerrno>
#include <cstddef>

namespace {

const Errno4StatusRow kRows[] = {
    {0, NFS4_OK},
    {EPERM, NFS4ERR_PERM},
    {ENOENT, NFS4ERR_NOENT},
    {EIO, NFS4ERR_IO},
    {ENXIO, NFS4ERR_NXIO},
    {EACCES, NFS4ERR_ACCESS},
    {EEXIST, NFS4ERR_EXIST},
    {EXDEV, NFS4ERR_XDEV},
    {ENOTDIR, NFS4ERR_NOTDIR},
    {EISDIR, NFS4ERR_ISDIR},
    {EINVAL, NFS4ERR_INVAL},
    {EFBIG, NFS4ERR_FBIG},
    {EOVERFLOW, NFS4ERR_FBIG},
    {ENOSPC, NFS4ERR_NOSPC},
    {EROFS, NFS4ERR_ROFS},
    {EMLINK, NFS4ERR_MLINK},
    {ENAMETOOLONG, NFS4ERR_NAMETOOLONG},
    {ENOTEMPTY, NFS4ERR_NOTEMPTY},
    {EDQUOT, NFS4ERR_DQUOT},
    {ESTALE, NFS4ERR_STALE},
    {EBADF, NFS4ERR_BADHANDLE},
    {ENOTSUP, NFS4ERR_NOTSUPP},  // same value as EOPNOTSUPP on Linux
    {ENOSYS, NFS4ERR_NOTSUPP},
    {ENOMEM, NFS4ERR_SERVERFAULT},
    {EFAULT, NFS4ERR_SERVERFAULT},
    {EAGAIN, NFS4ERR_DELAY},  // the store asks us to come back later
    {EBUSY, NFS4ERR_DELAY},
    {ELOOP, NFS4ERR_SYMLINK},
    {ENODEV, NFS4ERR_INVAL},
};

}  // namespace

const Errno4StatusRow* Nfs4StatusTable(size_t& rows) {
    rows = sizeof(kRows) / sizeof(kRows[0]);
    return kRows;
}

nfsstat4 Nfs4StatusFromErrno(int error) {
    for (const Errno4StatusRow& row : kRows) {
        if (row.error == error) return row.status;
    }
    return NFS4ERR_IO;
}
