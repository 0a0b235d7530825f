#include "nfsserver/NfsStatus.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>

namespace {

struct Row {
    int error;
    nfsstat3 status;
    mountstat3 mount;
};

// Every row a client can see, written out on its own so a changed table
// shows up here.
const Row kExpected[] = {
    {0, NFS3_OK, MNT3_OK},
    {EPERM, NFS3ERR_PERM, MNT3ERR_PERM},
    {ENOENT, NFS3ERR_NOENT, MNT3ERR_NOENT},
    {EIO, NFS3ERR_IO, MNT3ERR_IO},
    {ENXIO, NFS3ERR_NXIO, MNT3ERR_SERVERFAULT},
    {EACCES, NFS3ERR_ACCES, MNT3ERR_ACCES},
    {EEXIST, NFS3ERR_EXIST, MNT3ERR_SERVERFAULT},
    {EXDEV, NFS3ERR_XDEV, MNT3ERR_SERVERFAULT},
    {ENODEV, NFS3ERR_NODEV, MNT3ERR_SERVERFAULT},
    {ENOTDIR, NFS3ERR_NOTDIR, MNT3ERR_NOTDIR},
    {EISDIR, NFS3ERR_ISDIR, MNT3ERR_SERVERFAULT},
    {EINVAL, NFS3ERR_INVAL, MNT3ERR_INVAL},
    {EFBIG, NFS3ERR_FBIG, MNT3ERR_SERVERFAULT},
    {EOVERFLOW, NFS3ERR_FBIG, MNT3ERR_SERVERFAULT},
    {ENOSPC, NFS3ERR_NOSPC, MNT3ERR_SERVERFAULT},
    {EROFS, NFS3ERR_ROFS, MNT3ERR_SERVERFAULT},
    {EMLINK, NFS3ERR_MLINK, MNT3ERR_SERVERFAULT},
    {ENAMETOOLONG, NFS3ERR_NAMETOOLONG, MNT3ERR_NAMETOOLONG},
    {ENOTEMPTY, NFS3ERR_NOTEMPTY, MNT3ERR_SERVERFAULT},
    {EDQUOT, NFS3ERR_DQUOT, MNT3ERR_SERVERFAULT},
    {ESTALE, NFS3ERR_STALE, MNT3ERR_SERVERFAULT},
    {EREMOTE, NFS3ERR_REMOTE, MNT3ERR_SERVERFAULT},
    {EBADF, NFS3ERR_BADHANDLE, MNT3ERR_SERVERFAULT},
    {ENOTSUP, NFS3ERR_NOTSUPP, MNT3ERR_NOTSUPP},
    {EOPNOTSUPP, NFS3ERR_NOTSUPP, MNT3ERR_NOTSUPP},
    {ENOSYS, NFS3ERR_NOTSUPP, MNT3ERR_NOTSUPP},
    {ENOMEM, NFS3ERR_SERVERFAULT, MNT3ERR_SERVERFAULT},
    {EFAULT, NFS3ERR_SERVERFAULT, MNT3ERR_SERVERFAULT},
    {EAGAIN, NFS3ERR_JUKEBOX, MNT3ERR_SERVERFAULT},
    {EBUSY, NFS3ERR_JUKEBOX, MNT3ERR_SERVERFAULT},
    {ELOOP, NFS3ERR_INVAL, MNT3ERR_INVAL},
};

TEST(NfsStatusTest, EachErrnoMapsToItsStatus) {
    for (const Row& row : kExpected) {
        EXPECT_EQ(NfsStatusFromErrno(row.error), row.status) << "errno " << row.error;
        EXPECT_EQ(MountStatusFromErrno(row.error), row.mount) << "errno " << row.error;
    }
}

TEST(NfsStatusTest, TableHasNoRowTheTestDoesNotKnowAndNoDuplicates) {
    size_t rows = 0;
    const ErrnoStatusRow* table = NfsStatusTable(rows);
    std::set<int> seen;
    for (size_t i = 0; i < rows; ++i) {
        EXPECT_TRUE(seen.insert(table[i].error).second) << "errno " << table[i].error << " twice";
        bool known = false;
        for (const Row& row : kExpected) known = known || (row.error == table[i].error && row.status == table[i].status);
        EXPECT_TRUE(known) << "untested row for errno " << table[i].error;
    }
}

TEST(NfsStatusTest, UnknownErrnoIsAnIoError) {
    EXPECT_EQ(NfsStatusFromErrno(EHOSTDOWN), NFS3ERR_IO);
    EXPECT_EQ(NfsStatusFromErrno(-5), NFS3ERR_IO);
    EXPECT_EQ(MountStatusFromErrno(EHOSTDOWN), MNT3ERR_IO);
}

}  // namespace
