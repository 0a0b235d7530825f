#include "nfsserver/OpenFile.h"

#include <cerrno>
#include <utility>

#include "host/QuayCtxt.h"
#include "nfsserver/NfsLog.h"

OpenFile::OpenFile(BkEndProcPtr object, ExportPtr exp, int fd, bool writable)
    : object_(std::move(object)), exp_(std::move(exp)), fd_(fd), writable_(writable) {}

OpenFile::~OpenFile() {
    // close does not check the caller; any identity does.
    const IdInfo root;
    QuayCtxt ctxt(root, exp_, object_);
    if (object_->close(&ctxt, fd_) == 0) return;
    // EBADF: the share was un-exported and its store closed the file already.
    if (errno == EBADF) NFS_LOG(3, "INFO: NFS: descriptor [%d] was closed with its share", fd_);
    else NFS_LOG(-1, "ERROR: NFS: closing descriptor [%d] failed, errno [%d]", fd_, errno);
}
