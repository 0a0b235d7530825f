#include "SmallFileWriter.h"

bool SmallFileWriter::Write(NfsConnection& connection, const std::string& path) const {
    nfs_context* nfs = connection.Context();
    nfsfh* fh = nullptr;
    if (!connection.Create(path, &fh)) return false;
    const bool written = connection.Write(fh, 0, block_.size(), block_.data());
    const bool committed = written && nfs_fsync(nfs, fh) == 0;
    nfs_close(nfs, fh);
    if (!written) return connection.Fail("write", path);
    return committed || connection.Fail("commit", path);
}
