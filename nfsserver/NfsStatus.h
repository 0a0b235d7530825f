// The one mapping from errno values to NFSv3 and MOUNT3 status codes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "nfsserver/mount3.h"
#include "nfsserver/nfs3.h"

struct ErrnoStatusRow {
    int error;
    nfsstat3 status;
};

// Every errno the service maps explicitly; anything else is NFS3ERR_IO.
// EBADF stands for a handle of the wrong shape (NFS3ERR_BADHANDLE).
const ErrnoStatusRow* NfsStatusTable(size_t& rows);

// 0 gives NFS3_OK.
nfsstat3 NfsStatusFromErrno(int error);

// MOUNT3 knows fewer codes; the rest are MNT3ERR_SERVERFAULT.
mountstat3 MountStatusFromErrno(int error);
