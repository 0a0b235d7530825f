#include "SmallFileWriter.h"

#include <fcntl.h>

bool SmallFileWriter::Write(NfsConnection& connection, const std::string& path) const {
    nfs_context* nfs = connection.Context();
    nfsfh* fh = nullptr;
    if (nfs_creat(nfs, path.c_str(), 0644, &fh) != 0) return connection.Fail("creat", path);
    const bool written = nfs_pwrite(nfs, fh, 0, block_.size(), block_.data()) == int(block_.size());
    const bool committed = written && nfs_fsync(nfs, fh) == 0;
    nfs_close(nfs, fh);
    if (!written) return connection.Fail("write", path);
    return committed || connection.Fail("commit", path);
}
