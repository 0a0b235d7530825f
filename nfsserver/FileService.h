// The protocol-neutral file service: what an NFS procedure asks of a share,
// done through the host interfaces (FSM, Export, BkEndProc, QuayCtxt).
// Every operation checks the caller against the objects' modes first
// (AccessPolicy) and returns 0 or an errno value; the protocol layer maps it
// with NfsStatusFromErrno. Objects a caller creates are owned by its ids
// after squashing. Thread-safe: the service keeps no per-call state.
#pragma once
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/BkEndProc.h"
#include "host/FSM.h"
#include "host/QuayAcl.h"
#include "nfsserver/AttributeChange.h"
#include "nfsserver/CallerIdentity.h"
#include "nfsserver/FileRequest.h"
#include "nfsserver/OpenFileCache.h"

// One directory entry handed to a ListDir consumer.
struct DirEntry {
    const char* name;
    uint64_t cookie;  // position after this entry; resume a listing from here
    const struct stat& attributes;
    const nfs_fh3& handle;
};

class FileService {
public:
    // Longest name a directory entry may have.
    static constexpr size_t kNameMax = 255;
    // Longest symbolic link target.
    static constexpr size_t kPathMax = 4096;

    FileService(FSM& module, OpenFileCache& files);
    FileService(const FileService&) = delete;
    FileService& operator=(const FileService&) = delete;

    // Binds the request to the export and backend object of a received
    // handle. EBADF: not a handle of this module's shape; ESTALE: its share
    // is no longer exported or its object is gone; EACCES: the caller's
    // address is not among the export's allowed clients. Applies squash.
    int Resolve(const nfs_fh3& handle, FileRequest& request);
    // EROFS when the request's share is read-only.
    int CheckWritable(const FileRequest& request);

    int GetAttributes(const FileRequest& request, const BkEndProcPtr& object, struct stat& st);
    int Lookup(const FileRequest& request, const std::string& name, BkEndProcPtr& child);
    int Read(const FileRequest& request, uint64_t offset, void* buffer, size_t count, size_t& done);
    int Write(const FileRequest& request, uint64_t offset, const void* data, size_t count,
              BkEndSyncType sync, size_t& done);
    int Commit(const FileRequest& request);
    // exclusive: EEXIST when the name exists; otherwise an existing file is
    // returned as it is (the caller applies attributes).
    int CreateFile(const FileRequest& request, const std::string& name, mode_t mode, bool exclusive,
                   BkEndProcPtr& child);
    int MakeDirectory(const FileRequest& request, const std::string& name, mode_t mode, BkEndProcPtr& child);
    int Remove(const FileRequest& request, const std::string& name);
    int RemoveDirectory(const FileRequest& request, const std::string& name);
    int Rename(const FileRequest& from, const std::string& fromName, const FileRequest& to,
               const std::string& toName);
    int Symlink(const FileRequest& request, const std::string& name, const std::string& target,
                BkEndProcPtr& child);
    int ReadLink(const FileRequest& request, std::string& target);
    // Whether the share of the request's object finds names in any letter
    // case (its export's "caseSensitive" parameter is "0").
    static bool CaseInsensitive(const FileRequest& request);
    // Special files and hard links, as far as the module supports them.
    int MakeNode(const FileRequest& request, const std::string& name, ftype3 type, mode_t mode, uint64_t device);
    int Link(const FileRequest& file, const FileRequest& dir, const std::string& name);
    int SetAttributes(const FileRequest& request, const AttributeChange& change);
    int FileSystemStat(const FileRequest& request, struct statfs& out);
    // Lists the request's directory from a cookie (0: the start), "." and
    // ".." first. take returns false when the entry does not fit; that entry
    // is listed again from the previous cookie. eof: the end was reached.
    // The handle of ".." is empty below the share's root.
    int ListDirectory(const FileRequest& request, uint64_t cookie,
                      const std::function<bool(const DirEntry&)>& take, bool& eof);

    // NFSv4 opens. Whether the caller may open the request's object to read
    // and/or write: a regular file only (EISDIR for a directory, ELOOP for a
    // symbolic link, EINVAL for other types), by the READ and WRITE rules.
    int CheckOpen(const FileRequest& request, bool read, bool write);
    // A descriptor of the request's object kept by one NFSv4 open, apart
    // from the shared cache: its locks must not go with an idle close.
    int OpenDescriptor(const FileRequest& request, bool write, std::shared_ptr<OpenFile>& file);
    // An advisory lock through a descriptor of the request's object: type
    // F_RDLCK, F_WRLCK or F_UNLCK on the bytes first to last (inclusive;
    // ~0 or beyond the largest offset: to the end) for owner. EAGAIN when
    // another owner holds a conflicting range, EINVAL for a first byte the
    // module cannot represent.
    int Lock(const FileRequest& request, const OpenFile& file, short type, uint64_t first, uint64_t last,
             void* owner);
    // The object's NFSv4 ACL (the entries its mode makes and the ones set);
    // EOPNOTSUPP when the share has ACLs turned off.
    int GetAcl(const FileRequest& request, QuayNfs4Acl& acl);
    // Replaces the ACL's user-defined entries: the owner or root (EPERM).
    int SetAcl(const FileRequest& request, const QuayNfs4Acl& acl);

    // EINVAL for names no entry may have (empty, "/" inside, "." or ".."
    // where a new name is needed), ENAMETOOLONG beyond kNameMax.
    static int CheckName(const std::string& name, bool newName);

private:
    // The request's object as a directory: its attributes, or ENOTDIR.
    int DirectoryOf(const FileRequest& request, struct stat& dir);
    // Looks a name up with no checks; ".." of the share root is the root.
    int FindIn(const FileRequest& request, const std::string& name, BkEndProcPtr& child);
    // The directory's attributes and, after the search check, the named
    // child and its attributes.
    int EntryOf(const FileRequest& request, const std::string& name, struct stat& dir, BkEndProcPtr& child,
                struct stat& st);
    // For operations that add a name to the request's directory: the name
    // checked and the directory's attributes after the add-entry check.
    int PrepareNewEntry(const FileRequest& request, const std::string& name, struct stat& dir);
    // Runs make, which adds an entry to the request's directory with the
    // given context, as the caller's creation; 0, or the errno it left.
    int AddEntry(const FileRequest& request, const std::function<bool(QuayCtxt&)>& make);
    int ChangeMode(const FileRequest& request, const BkEndProcPtr& object, mode_t mode);
    std::string ChildPath(const BkEndProcPtr& dir, const std::string& name);
    std::string KeyOf(const BkEndProcPtr& object);

    FSM& module_;
    OpenFileCache& files_;
};
