// BkEndProc: the host's backend interface, one object per file-system object.
// Operations follow POSIX: -1 (or null / empty) with errno on failure.
// The host may call operations on one object from several threads at once.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "host/NfsTypes.h"
#include "host/QuayAcl.h"
#include "host/QuayCtxt.h"

class BkEndProc;
typedef boost::shared_ptr<BkEndProc> BkEndProcPtr;

class BkEndProc {
public:
    virtual ~BkEndProc() = default;

    virtual int lstat(QuayCtxt* ctxt, const char* path, struct stat* st) = 0;
    virtual int access(QuayCtxt* ctxt, const char* path, int mode) = 0;
    virtual int open(QuayCtxt* ctxt, const char* path, int flags, mode_t mode) = 0;
    virtual int lseek(QuayCtxt* ctxt, int fd, uint64_t offset, int whence) = 0;
    virtual int truncate(QuayCtxt* ctxt, const char* path, uint64_t size) = 0;
    virtual ssize_t read(QuayCtxt* ctxt, int fd, void* buf, uint64_t offset, size_t count) = 0;
    virtual ssize_t write(QuayCtxt* ctxt, int fd, const void* buf, uint64_t offset, size_t count,
                          BkEndSyncType sync) = 0;
    virtual int close(QuayCtxt* ctxt, int fd) = 0;
    virtual int unlink(QuayCtxt* ctxt, const char* path) = 0;
    virtual int mknod(QuayCtxt* ctxt, const char* path, unsigned long dev, ftype3 type,
                      unsigned int mode) = 0;
    virtual int filelock(QuayCtxt* ctxt, int cmd, struct flock* lock, int fd, void* owner) = 0;
    virtual int createAndOpen(QuayCtxt* ctxt, BkEndProcPtr& child, const std::string& name,
                              int flags, struct stat& st) = 0;
    virtual bool isCreateAndOpenSupported() = 0;
    virtual int setAllocationSize(QuayCtxt* ctxt, const char* path, long& size) = 0;
    virtual int setFileAttributes(QuayCtxt* ctxt, const char* path, struct stat& st) = 0;
    virtual DIR* opendir(QuayCtxt* ctxt, const char* path) = 0;
    virtual void seekdir(QuayCtxt* ctxt, DIR* dir, long position) = 0;
    virtual struct dirent* readdir(QuayCtxt* ctxt, DIR* dir) = 0;
    virtual bool is_readdir_ex_supported() = 0;
    virtual struct dirent* readdir_ex(QuayCtxt* ctxt, DIR* dir, nfs_fh3& fh, struct stat& st,
                                      uint64_t* cookie) = 0;
    virtual long telldir(QuayCtxt* ctxt, DIR* dir) = 0;
    virtual int closedir(QuayCtxt* ctxt, DIR* dir) = 0;
    virtual int rmdir(QuayCtxt* ctxt, const char* path) = 0;
    virtual bool isDirectoryEmpty(QuayCtxt* ctxt) = 0;
    virtual int chmod(QuayCtxt* ctxt, const char* path, mode_t mode) = 0;
    virtual int utimes(QuayCtxt* ctxt, const char* path, const struct timeval* times) = 0;
    virtual int chown(QuayCtxt* ctxt, const char* path, uid_t uid, gid_t gid) = 0;
    virtual int rename(QuayCtxt* ctxt, const char* oldName, const char* newName) = 0;
    virtual int link(QuayCtxt* ctxt, const char* target, const char* linkPath) = 0;
    virtual int symlink(QuayCtxt* ctxt, const char* target, const char* linkPath) = 0;
    virtual ssize_t readlink(QuayCtxt* ctxt, const char* path, char* buf, size_t size) = 0;
    virtual BkEndProcPtr CreateChildFile(QuayCtxt* ctxt, const std::string& name, int flags,
                                         mode_t mode) = 0;
    virtual BkEndProcPtr CreateChildDir(QuayCtxt* ctxt, const std::string& name, mode_t mode) = 0;
    virtual BkEndProcPtr FindChild(QuayCtxt* ctxt, const std::string& name) = 0;
    virtual BkEndProcPtr GetParent(QuayCtxt* ctxt) = 0;
    virtual bool checkAccess(const char* path, unsigned int const& mode, void* const& ctx) = 0;
    virtual int fdatasync(QuayCtxt* ctxt, int fd) = 0;
    virtual int fsync(QuayCtxt* ctxt, int fd) = 0;
    virtual long pathconf(QuayCtxt* ctxt, const char* path, int name) = 0;
    virtual int statfs(QuayCtxt* ctxt, const char* path, struct statfs* out) = 0;
    virtual int getACL(QuayCtxt* ctxt, const char* path, void* acl) = 0;
    virtual bool is_getACL_ex_supported() = 0;
    virtual int getACL_ex(QuayCtxt* ctxt, mode_t mode, QUAYACL_t* acl) = 0;
    virtual int setACL(QuayCtxt* ctxt, const char* path, const void* acl) = 0;
    virtual int getACLCount(QuayCtxt* ctxt, const char* path, unsigned int* count) = 0;
    virtual const std::string& GetClientPath() = 0;
    virtual void GetFileHandle(nfs_fh3& fh) = 0;
};
