// BackupBkEndObj: the module's backend object, one per file or directory the
// host works on. It names its object by GUID inside one open object store and
// turns each BkEndProc operation into object-store calls.
//
// Common contract of the operations (unless an operation says otherwise):
// - The caller is checked first with AuthorizeUser against the allow-lists of
//   the context's export; a refused caller gets EACCES and the failure result.
//   lstat and access skip the check when this object is the share root;
//   statfs, chmod, chown and utimes when the path argument is "/".
// - Failure is -1 (or null, or an empty BkEndProcPtr) with errno set: the
//   store's error mapped by FXErrorUtil::GetErrNo, EINVAL for a descriptor
//   without a table entry or an object that cannot be built, ENOTSUP for an
//   unsupported operation, ESTALE when the module has no object container.
// - Objects handed out (FindChild, GetParent, CreateChild*, createAndOpen) are
//   always valid and owned by the caller through the BkEndProcPtr.
//
// Thread safety: an object never changes after its constructor, so any number
// of request threads may call operations on one object at once. Descriptors
// live in FdToObjectStoreFH (its own lock); directory streams belong to the
// host, which must not use one stream from two threads at once.
#pragma once
#include <cerrno>
#include <cstdint>
#include <string>

#include "host/BkEndProc.h"
#include "module/filehandle/BackupFSMFileHandle.h"
#include "module/fsm/BackupFSM.h"
#include "objectstore/ObjectContainer.h"
#include "objectstore/ObjectStoreTypes.h"
#include "platform/CPelError.h"

class BackupBkEndObj : public BkEndProc {
public:
    // For a handle received from a client. Valid when exp is the module's
    // export serving the handle's share id and the handle decodes (its GUID
    // resolves to a path in the store). Logs why when not valid.
    BackupBkEndObj(ExportPtr& exp, const nfs_fh3& fh);
    // For an object the store handed out by GUID: the handle is built from the
    // export's share id and resolves its path (and DNFS length) from the store.
    BackupBkEndObj(ExportPtr& exp, std::string guid);
    BackupBkEndObj(const BackupBkEndObj&) = delete;
    BackupBkEndObj& operator=(const BackupBkEndObj&) = delete;
    ~BackupBkEndObj() override;

    // Whether the object is usable; decided in the constructor.
    bool IsValid() const { return valid; }

    // --- Lookup and attributes.
    // Stats this object itself; the path argument is not used.
    int lstat(QuayCtxt* ctxt, const char* path, struct stat* st) override;
    // Succeeds when the object exists and the caller may use the share; the
    // mode is not examined.
    int access(QuayCtxt* ctxt, const char* path, int mode) override;
    // Figures of the whole store.
    int statfs(QuayCtxt* ctxt, const char* path, struct statfs* out) override;
    long pathconf(QuayCtxt* ctxt, const char* path, int name) override;  // 1024
    // Child `name` of this directory; ".." of the root is the root.
    BkEndProcPtr FindChild(QuayCtxt* ctxt, const std::string& name) override;
    BkEndProcPtr GetParent(QuayCtxt* ctxt) override;

    // --- File data. Descriptors come from the host's GetUniqueNumber and are
    // recorded in FdToObjectStoreFH until close. read, write and close act on
    // the descriptor's file, whatever object they are called on.
    // Opens this file; for writing on an export that keeps versions a new
    // version is asked for, and opened without one when the store refuses
    // (EAGAIN).
    int open(QuayCtxt* ctxt, const char* path, int flags, mode_t mode) override;
    // Creates `name` in this directory and opens it; child receives the new
    // file's object. On failure nothing stays open and child is unchanged.
    int createAndOpen(QuayCtxt* ctxt, BkEndProcPtr& child, const std::string& name, int flags,
                      struct stat& st) override;
    BkEndProcPtr CreateChildFile(QuayCtxt* ctxt, const std::string& name, int flags,
                                 mode_t mode) override;
    ssize_t read(QuayCtxt* ctxt, int fd, void* buf, uint64_t offset, size_t count) override;
    // sync BKEND_UNSTABLE leaves the data to a later flush; any other value
    // makes it durable before returning. A full store is ENOSPC.
    ssize_t write(QuayCtxt* ctxt, int fd, const void* buf, uint64_t offset, size_t count,
                  BkEndSyncType sync) override;
    // No authorisation. fd 0 succeeds at once. A store failure keeps the
    // descriptor, so a later close can try again.
    int close(QuayCtxt* ctxt, int fd) override;
    int truncate(QuayCtxt* ctxt, const char* path, uint64_t size) override;
    int lseek(QuayCtxt* ctxt, int fd, uint64_t offset, int whence) override;  // 0
    // Both flush this object (not the descriptor). With a module-wide sync
    // interval set, at most one call per interval flushes; the others answer
    // 0 at once, without authorisation.
    int fdatasync(QuayCtxt* ctxt, int fd) override;
    int fsync(QuayCtxt* ctxt, int fd) override;

    // --- Directories. The stream is the store's DirHandle, returned to the
    // host as DIR* and owned by it until closedir.
    DIR* opendir(QuayCtxt* ctxt, const char* path) override;
    // Null at the end (errno untouched) or on failure (errno set).
    struct dirent* readdir(QuayCtxt* ctxt, DIR* dir) override;
    // As readdir, and fills st, the cookie and, except for "." and "..", fh.
    struct dirent* readdir_ex(QuayCtxt* ctxt, DIR* dir, nfs_fh3& fh, struct stat& st,
                              uint64_t* cookie) override;
    // A failure shows only in errno.
    void seekdir(QuayCtxt* ctxt, DIR* dir, long position) override;
    long telldir(QuayCtxt* ctxt, DIR* dir) override;
    int closedir(QuayCtxt* ctxt, DIR* dir) override;
    BkEndProcPtr CreateChildDir(QuayCtxt* ctxt, const std::string& name, mode_t mode) override;
    // Removes this directory; the store decides whether it is empty enough.
    int rmdir(QuayCtxt* ctxt, const char* path) override;

    // --- Namespace and attributes.
    // Removes this object; ctxt->parentObj must be the directory holding it.
    int unlink(QuayCtxt* ctxt, const char* path) override;
    // Moves this object, named oldName in its parent, to newName in the
    // destination directory ctxt->parentObj.
    int rename(QuayCtxt* ctxt, const char* oldName, const char* newName) override;
    // Creates a link; both texts go to the store unchanged.
    int symlink(QuayCtxt* ctxt, const char* target, const char* linkPath) override;
    // Copies the target without a terminating zero; ENAMETOOLONG when it does
    // not fit in size bytes.
    ssize_t readlink(QuayCtxt* ctxt, const char* path, char* buf, size_t size) override;
    int chmod(QuayCtxt* ctxt, const char* path, mode_t mode) override;
    int chown(QuayCtxt* ctxt, const char* path, uid_t uid, gid_t gid) override;
    // times: access time, then modification time; null means now.
    int utimes(QuayCtxt* ctxt, const char* path, const struct timeval* times) override;

    // --- Advisory locks and ACLs (BackupBkEndObjLocks.cpp, BackupBkEndObjAcl.cpp).
    int filelock(QuayCtxt* ctxt, int cmd, struct flock* lock, int fd, void* owner) override;
    int getACL(QuayCtxt* ctxt, const char* path, void* acl) override;
    int getACL_ex(QuayCtxt* ctxt, mode_t mode, QUAYACL_t* acl) override;
    int setACL(QuayCtxt* ctxt, const char* path, const void* acl) override;
    int getACLCount(QuayCtxt* ctxt, const char* path, unsigned int* count) override;

    // --- Fixed answers: no authorisation, no store call, no log line.
    bool isCreateAndOpenSupported() override;                               // true
    bool is_readdir_ex_supported() override;                                // true
    bool is_getACL_ex_supported() override;                                 // true
    bool checkAccess(const char* path, unsigned int const& mode, void* const& ctx) override;  // true
    int mknod(QuayCtxt* ctxt, const char* path, unsigned long dev, ftype3 type,
              unsigned int mode) override;                                  // ENOTSUP
    int link(QuayCtxt* ctxt, const char* target, const char* linkPath) override;  // ENOTSUP
    int setAllocationSize(QuayCtxt* ctxt, const char* path, long& size) override;  // ENOTSUP
    int setFileAttributes(QuayCtxt* ctxt, const char* path, struct stat& st) override;  // ENOTSUP
    bool isDirectoryEmpty(QuayCtxt* ctxt) override;                         // false, ENOTSUP

    // --- Accessors.
    // The object's path inside its store ("/" for the share root).
    const std::string& GetClientPath() override;
    // Encodes the object's handle (41 bytes, 43 on DNFS exports).
    void GetFileHandle(nfs_fh3& fh) override;

private:
    // Shared end of both constructors: the export's kind and store, validity.
    void Decide(ExportPtr& exp);
    // Store call through the module's container: ESTALE when there is none.
    template <typename Call>
    static CPelError CallStore(Call&& call);
    // True when the path argument is the share root "/".
    static bool IsRootPath(const char* path);
    // A path argument fit for a log line.
    static const char* Text(const char* path) { return path != nullptr ? path : ""; }
    // AuthorizeUser, setting EACCES on refusal.
    static bool Authorize(QuayCtxt* ctxt);
    // 1 when the context's export keeps file versions, else 0.
    static int ExportVersions(QuayCtxt* ctxt);
    // This object as the store names it.
    ObjectStore::ItemName Item(bool isRoot = false) const;
    // This object's path looked up afresh; empty when the store has none.
    CPelError LookupPath(std::string& path) const;
    // A valid object for guid in the context's export, or empty with EINVAL.
    static BkEndProcPtr MakeChild(QuayCtxt* ctxt, const std::string& guid);
    // lstat of dir under a context for the same caller and export.
    static int StatDirectory(QuayCtxt* ctxt, const BkEndProcPtr& dir);
    // Shared body of fsync and fdatasync.
    int SyncData(QuayCtxt* ctxt);
    // Shared body of chmod, chown and utimes: root test, authorisation, log.
    template <typename Call>
    int ChangeAttribute(QuayCtxt* ctxt, const char* path, const char* startFormat,
                        const char* failFormat, const char* doneFormat, Call&& call);

    const BackupFSMFileHandle handle;
    uint64_t storeIndex = 0;
    bool valid = false;
};

template <typename Call>
CPelError BackupBkEndObj::CallStore(Call&& call) {
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    if (container == nullptr) return CPelError(ESTALE, "no object container");
    return call(*container);
}
