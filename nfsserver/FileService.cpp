#include "nfsserver/FileService.h"

#include <fcntl.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "nfsserver/AccessPolicy.h"
#include "nfsserver/NfsLog.h"
#include "objectstore/CreatorScope.h"

namespace {

// The module issues handles of 41 bytes, or 43 with the DNFS padding; the
// first word is its FSM type and the second the share id.
constexpr uint32_t kHandleLength = 41;
constexpr uint32_t kPaddedHandleLength = 43;

// errno of the backend call that just failed; never 0.
int LastError() { return errno != 0 ? errno : EIO; }

const IdInfo& Ids(const FileRequest& request) { return request.Caller().Ids(); }

bool IsDirectory(const struct stat& st) { return S_ISDIR(st.st_mode); }

}  // namespace

FileService::FileService(FSM& module, OpenFileCache& files) : module_(module), files_(files) {}

int FileService::Resolve(const nfs_fh3& handle, FileRequest& request) {
    if (handle.length != kHandleLength && handle.length != kPaddedHandleLength) return EBADF;
    uint32_t type = 0;
    memcpy(&type, handle.data, sizeof(type));
    if (type != static_cast<uint32_t>(module_.GetFSMType())) return EBADF;
    ExportPtr exp;
    if (!module_.FindExport(handle, exp) || !exp) return ESTALE;
    if (!exp->Authorize(ZELIPAddr{request.Caller().Address()}, "")) {
        NFS_LOG(2, "WARN: NFS: client [%s] is not allowed on share [%s]", request.Caller().Address().c_str(),
                exp->GetPath().c_str());
        return EACCES;
    }
    BkEndProcPtr object = module_.GetFSObject(exp, handle);
    if (!object) return ESTALE;
    request.Caller().Squash(*exp);
    request.Bind(exp, object, handle);
    return 0;
}

int FileService::CheckWritable(const FileRequest& request) {
    return request.GetExport()->GetSharePerms() == SHARE_PERM_READ_ONLY ? EROFS : 0;
}

int FileService::CheckName(const std::string& name, bool newName) {
    if (name.empty() || name.find('/') != std::string::npos) return EINVAL;
    if (name.size() > kNameMax) return ENAMETOOLONG;
    if (newName && (name == "." || name == "..")) return EINVAL;
    return 0;
}

int FileService::GetAttributes(const FileRequest& request, const BkEndProcPtr& object, struct stat& st) {
    QuayCtxt ctxt = request.Context(object);
    errno = 0;
    return object->lstat(&ctxt, object->GetClientPath().c_str(), &st) == 0 ? 0 : LastError();
}

int FileService::DirectoryOf(const FileRequest& request, struct stat& dir) {
    const int error = GetAttributes(request, request.Object(), dir);
    if (error != 0) return error;
    return IsDirectory(dir) ? 0 : ENOTDIR;
}

int FileService::FindIn(const FileRequest& request, const std::string& name, BkEndProcPtr& child) {
    const BkEndProcPtr& dir = request.Object();
    if (name == ".") {
        child = dir;
        return 0;
    }
    QuayCtxt ctxt = request.Context(dir);
    errno = 0;
    if (name == "..") {
        // The share root is its own parent: nothing above it is reachable.
        child = dir->GetClientPath() == "/" ? dir : dir->GetParent(&ctxt);
    } else {
        child = dir->FindChild(&ctxt, name);
    }
    return child ? 0 : LastError();
}

int FileService::Lookup(const FileRequest& request, const std::string& name, BkEndProcPtr& child) {
    const int bad = CheckName(name, false);
    if (bad != 0) return bad == EINVAL && name.empty() ? ENOENT : bad;
    struct stat dir{};
    int error = DirectoryOf(request, dir);
    if (error == 0) error = AccessPolicy::MayLookUp(Ids(request), dir);
    return error != 0 ? error : FindIn(request, name, child);
}

bool FileService::CaseInsensitive(const FileRequest& request) {
    std::string sensitive;
    return request.GetExport() && request.GetExport()->GetOptionalParam("caseSensitive", sensitive) &&
           sensitive == "0";
}

int FileService::EntryOf(const FileRequest& request, const std::string& name, struct stat& dir,
                         BkEndProcPtr& child, struct stat& st) {
    int error = DirectoryOf(request, dir);
    if (error == 0) error = AccessPolicy::MayLookUp(Ids(request), dir);
    if (error == 0) error = FindIn(request, name, child);
    if (error == 0) error = GetAttributes(request, child, st);
    return error;
}

int FileService::PrepareNewEntry(const FileRequest& request, const std::string& name, struct stat& dir) {
    int error = CheckName(name, true);
    if (error == 0) error = DirectoryOf(request, dir);
    return error != 0 ? error : AccessPolicy::MayAddEntry(Ids(request), dir);
}

int FileService::AddEntry(const FileRequest& request, const std::function<bool(QuayCtxt&)>& make) {
    QuayCtxt ctxt = request.Context(request.Object());
    // What the backend creates now belongs to the caller.
    ObjectStore::CreatorScope owner(Ids(request).uid, Ids(request).gid);
    errno = 0;
    return make(ctxt) ? 0 : LastError();
}

std::string FileService::ChildPath(const BkEndProcPtr& dir, const std::string& name) {
    const std::string& path = dir->GetClientPath();
    return path == "/" ? "/" + name : path + "/" + name;
}

std::string FileService::KeyOf(const BkEndProcPtr& object) {
    nfs_fh3 handle;
    object->GetFileHandle(handle);
    return std::string(reinterpret_cast<const char*>(handle.data), handle.length);
}

int FileService::ChangeMode(const FileRequest& request, const BkEndProcPtr& object, mode_t mode) {
    QuayCtxt ctxt = request.Context(object);
    errno = 0;
    return object->chmod(&ctxt, object->GetClientPath().c_str(), mode & 07777) == 0 ? 0 : LastError();
}

int FileService::Read(const FileRequest& request, uint64_t offset, void* buffer, size_t count, size_t& done) {
    done = 0;
    struct stat st{};
    int error = GetAttributes(request, request.Object(), st);
    if (error == 0 && IsDirectory(st)) error = EISDIR;
    if (error == 0) error = AccessPolicy::MayReadData(Ids(request), st);
    std::shared_ptr<OpenFile> file;
    if (error == 0) error = files_.Acquire(request, false, file);
    if (error != 0) return error;
    QuayCtxt ctxt = request.Context(request.Object());
    errno = 0;
    const ssize_t got = request.Object()->read(&ctxt, file->Fd(), buffer, offset, count);
    if (got < 0) return LastError();
    done = static_cast<size_t>(got);
    return 0;
}

int FileService::Write(const FileRequest& request, uint64_t offset, const void* data, size_t count,
                       BkEndSyncType sync, size_t& done) {
    done = 0;
    struct stat st{};
    int error = GetAttributes(request, request.Object(), st);
    if (error == 0 && IsDirectory(st)) error = EISDIR;
    if (error == 0) error = AccessPolicy::MayWriteData(Ids(request), st);
    std::shared_ptr<OpenFile> file;
    if (error == 0) error = files_.Acquire(request, true, file);
    if (error != 0) return error;
    QuayCtxt ctxt = request.Context(request.Object());
    errno = 0;
    const ssize_t wrote = request.Object()->write(&ctxt, file->Fd(), data, offset, count, sync);
    if (wrote < 0) return LastError();
    done = static_cast<size_t>(wrote);
    // A changed program must not keep running with its owner's rights.
    const mode_t kept = AccessPolicy::ModeAfterWrite(Ids(request), st);
    return kept == (st.st_mode & 07777) ? 0 : ChangeMode(request, request.Object(), kept);
}

int FileService::Commit(const FileRequest& request) {
    struct stat st{};
    int error = GetAttributes(request, request.Object(), st);
    if (error == 0) error = AccessPolicy::MayWriteData(Ids(request), st);
    if (error != 0) return error;
    std::shared_ptr<OpenFile> file = files_.Find(request.Key());
    QuayCtxt ctxt = request.Context(request.Object());
    errno = 0;
    // The module flushes the object, whichever descriptor names it.
    return request.Object()->fsync(&ctxt, file ? file->Fd() : 0) == 0 ? 0 : LastError();
}

int FileService::CreateFile(const FileRequest& request, const std::string& name, mode_t mode, bool exclusive,
                            BkEndProcPtr& child) {
    int error = CheckName(name, true);
    struct stat dir{};
    if (error == 0) error = DirectoryOf(request, dir);
    if (error == 0) error = AccessPolicy::MayLookUp(Ids(request), dir);
    if (error != 0) return error;
    struct stat st{};
    error = FindIn(request, name, child);
    if (error == 0) error = GetAttributes(request, child, st);
    if (error == 0) {
        // An existing file is the caller's to open, not a new entry.
        if (exclusive) return EEXIST;
        return IsDirectory(st) ? EISDIR : 0;
    }
    if (error != ENOENT) return error;
    error = AccessPolicy::MayAddEntry(Ids(request), dir);
    if (error != 0) return error;
    const mode_t newMode = AccessPolicy::NewObjectMode(Ids(request), dir, mode, false);
    return AddEntry(request, [&](QuayCtxt& ctxt) {
        child = request.Object()->CreateChildFile(&ctxt, name, O_CREAT | O_RDWR, newMode);
        return child != nullptr;
    });
}

int FileService::MakeDirectory(const FileRequest& request, const std::string& name, mode_t mode,
                               BkEndProcPtr& child) {
    struct stat dir{};
    const int error = PrepareNewEntry(request, name, dir);
    if (error != 0) return error;
    const mode_t newMode = AccessPolicy::NewObjectMode(Ids(request), dir, mode, true);
    return AddEntry(request, [&](QuayCtxt& ctxt) {
        child = request.Object()->CreateChildDir(&ctxt, name, newMode);
        return child != nullptr;
    });
}

int FileService::Remove(const FileRequest& request, const std::string& name) {
    int error = CheckName(name, true);
    if (error != 0) return error == EINVAL && (name == "." || name == "..") ? EISDIR : error;
    struct stat dir{};
    struct stat st{};
    BkEndProcPtr child;
    error = EntryOf(request, name, dir, child, st);
    if (error == 0 && IsDirectory(st)) error = EISDIR;
    if (error == 0) error = AccessPolicy::MayRemoveEntry(Ids(request), dir, st);
    if (error != 0) return error;
    files_.Forget(KeyOf(child));
    QuayCtxt ctxt = request.Context(child);
    ctxt.parentObj = request.Object();
    errno = 0;
    return child->unlink(&ctxt, ChildPath(request.Object(), name).c_str()) == 0 ? 0 : LastError();
}

int FileService::RemoveDirectory(const FileRequest& request, const std::string& name) {
    if (name == ".") return EINVAL;
    if (name == "..") return ENOTEMPTY;
    int error = CheckName(name, true);
    struct stat dir{};
    struct stat st{};
    BkEndProcPtr child;
    if (error == 0) error = EntryOf(request, name, dir, child, st);
    if (error == 0 && !IsDirectory(st)) error = ENOTDIR;
    if (error == 0) error = AccessPolicy::MayRemoveEntry(Ids(request), dir, st);
    if (error != 0) return error;
    QuayCtxt ctxt = request.Context(child);
    ctxt.parentObj = request.Object();
    errno = 0;
    return child->rmdir(&ctxt, ChildPath(request.Object(), name).c_str()) == 0 ? 0 : LastError();
}

int FileService::Rename(const FileRequest& from, const std::string& fromName, const FileRequest& to,
                        const std::string& toName) {
    int error = CheckName(fromName, true);
    if (error == 0) error = CheckName(toName, true);
    if (error != 0) return error;
    if (from.GetExport()->GetShareId() != to.GetExport()->GetShareId()) return EXDEV;
    const IdInfo& who = Ids(from);
    struct stat fromDir{};
    struct stat st{};
    BkEndProcPtr object;
    error = EntryOf(from, fromName, fromDir, object, st);
    if (error == 0) error = AccessPolicy::MayRemoveEntry(who, fromDir, st);
    struct stat toDir{};
    if (error == 0) error = DirectoryOf(to, toDir);
    if (error == 0) error = AccessPolicy::MayAddEntry(who, toDir);
    if (error == 0 && IsDirectory(st) && fromDir.st_ino != toDir.st_ino) {
        error = AccessPolicy::MayMoveDirectory(who, st);
    }
    BkEndProcPtr target;
    struct stat targetSt{};
    const bool replaces = error == 0 && FindIn(to, toName, target) == 0 &&
                          GetAttributes(to, target, targetSt) == 0 && targetSt.st_ino != st.st_ino;
    if (replaces) error = AccessPolicy::MayRemoveEntry(who, toDir, targetSt);
    if (error != 0) return error;
    if (replaces) files_.Forget(KeyOf(target));
    files_.Forget(KeyOf(object));
    QuayCtxt ctxt = from.Context(object);
    ctxt.parentObj = to.Object();
    errno = 0;
    return object->rename(&ctxt, fromName.c_str(), toName.c_str()) == 0 ? 0 : LastError();
}

int FileService::Symlink(const FileRequest& request, const std::string& name, const std::string& target,
                         BkEndProcPtr& child) {
    if (target.empty()) return EINVAL;
    if (target.size() > kPathMax) return ENAMETOOLONG;
    struct stat dir{};
    const int error = PrepareNewEntry(request, name, dir);
    if (error != 0) return error;
    const BkEndProcPtr& parent = request.Object();
    const int made = AddEntry(request, [&](QuayCtxt& ctxt) {
        return parent->symlink(&ctxt, target.c_str(), ChildPath(parent, name).c_str()) == 0;
    });
    return made != 0 ? made : FindIn(request, name, child);
}

int FileService::ReadLink(const FileRequest& request, std::string& target) {
    const BkEndProcPtr& object = request.Object();
    struct stat st{};
    int error = GetAttributes(request, object, st);
    if (error == 0) error = AccessPolicy::MayReadData(Ids(request), st);
    if (error != 0) return error;
    std::vector<char> buffer(kPathMax);
    QuayCtxt ctxt = request.Context(object);
    errno = 0;
    const ssize_t length = object->readlink(&ctxt, object->GetClientPath().c_str(), buffer.data(), buffer.size());
    if (length < 0) return LastError();
    target.assign(buffer.data(), static_cast<size_t>(length));
    return 0;
}

int FileService::MakeNode(const FileRequest& request, const std::string& name, ftype3 type, mode_t mode,
                          uint64_t device) {
    struct stat dir{};
    const int error = PrepareNewEntry(request, name, dir);
    if (error != 0) return error;
    const BkEndProcPtr& parent = request.Object();
    return AddEntry(request, [&](QuayCtxt& ctxt) {
        return parent->mknod(&ctxt, ChildPath(parent, name).c_str(), device, type, mode & 07777) == 0;
    });
}

int FileService::Link(const FileRequest& file, const FileRequest& dir, const std::string& name) {
    struct stat parent{};
    int error = PrepareNewEntry(dir, name, parent);
    if (error != 0) return error;
    if (file.GetExport()->GetShareId() != dir.GetExport()->GetShareId()) return EXDEV;
    QuayCtxt ctxt = file.Context(file.Object());
    ctxt.parentObj = dir.Object();
    errno = 0;
    const std::string target = file.Object()->GetClientPath();
    return file.Object()->link(&ctxt, target.c_str(), ChildPath(dir.Object(), name).c_str()) == 0 ? 0
                                                                                                   : LastError();
}

int FileService::SetAttributes(const FileRequest& request, const AttributeChange& asked) {
    const BkEndProcPtr& object = request.Object();
    const std::string path = object->GetClientPath();
    QuayCtxt ctxt = request.Context(object);
    struct stat st{};
    int error = GetAttributes(request, object, st);
    if (error != 0) return error;
    if (asked.setSize && IsDirectory(st)) return EISDIR;
    AttributeChange change = asked;
    error = AccessPolicy::MaySetAttributes(Ids(request), st, change);
    if (error != 0) return error;
    errno = 0;
    if (change.setSize && object->truncate(&ctxt, path.c_str(), change.size) != 0) return LastError();
    if (change.setMode && object->chmod(&ctxt, path.c_str(), change.mode & 07777) != 0) return LastError();
    if ((change.setUid || change.setGid) &&
        object->chown(&ctxt, path.c_str(), change.setUid ? change.uid : st.st_uid,
                      change.setGid ? change.gid : st.st_gid) != 0) {
        return LastError();
    }
    if (change.SetsTimes()) {
        timeval now{};
        gettimeofday(&now, nullptr);
        auto pick = [&now](AttributeChange::Time how, const timespec& value, const timespec& current) {
            if (how == AttributeChange::kServerTime) return now;
            const timespec& t = how == AttributeChange::kClientTime ? value : current;
            return timeval{t.tv_sec, static_cast<suseconds_t>(t.tv_nsec / 1000)};
        };
        const timeval times[2] = {pick(change.atime, change.atimeValue, st.st_atim),
                                  pick(change.mtime, change.mtimeValue, st.st_mtim)};
        if (object->utimes(&ctxt, path.c_str(), times) != 0) return LastError();
    }
    return 0;
}

int FileService::FileSystemStat(const FileRequest& request, struct statfs& out) {
    const BkEndProcPtr& object = request.Object();
    QuayCtxt ctxt = request.Context(object);
    errno = 0;
    return object->statfs(&ctxt, object->GetClientPath().c_str(), &out) == 0 ? 0 : LastError();
}

int FileService::ListDirectory(const FileRequest& request, uint64_t cookie,
                               const std::function<bool(const DirEntry&)>& take, bool& eof) {
    eof = false;
    struct stat attributes{};
    int error = DirectoryOf(request, attributes);
    if (error == 0) error = AccessPolicy::MayList(Ids(request), attributes);
    if (error != 0) return error;
    const BkEndProcPtr& dir = request.Object();
    const bool root = dir->GetClientPath() == "/";
    QuayCtxt ctxt = request.Context(dir);
    errno = 0;
    DIR* stream = dir->opendir(&ctxt, dir->GetClientPath().c_str());
    if (stream == nullptr) return LastError();
    if (cookie != 0) {
        errno = 0;
        dir->seekdir(&ctxt, stream, static_cast<long>(cookie));
        error = errno;
    }
    const nfs_fh3 none;
    while (error == 0) {
        nfs_fh3 handle;
        struct stat st{};
        uint64_t entryCookie = 0;
        errno = 0;
        struct dirent* entry = dir->readdir_ex(&ctxt, stream, handle, st, &entryCookie);
        if (entry == nullptr) {
            error = errno;
            eof = error == 0;
            break;
        }
        // The backend gives no handles for "." and "..": "." is this
        // directory, ".." of the share root the root itself, and above
        // that the client looks ".." up when it needs it.
        const bool self = strcmp(entry->d_name, ".") == 0;
        const bool up = strcmp(entry->d_name, "..") == 0;
        const nfs_fh3& entryHandle = self || (up && root) ? request.Handle() : up ? none : handle;
        // The entry's cookie is the stream's position after it, what
        // telldir would answer, without another call per entry.
        if (!take(DirEntry{entry->d_name, entryCookie, st, entryHandle})) break;
    }
    dir->closedir(&ctxt, stream);
    return error;
}

int FileService::CheckOpen(const FileRequest& request, bool read, bool write) {
    struct stat st{};
    int error = GetAttributes(request, request.Object(), st);
    if (error != 0) return error;
    if (IsDirectory(st)) return EISDIR;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (read) error = AccessPolicy::MayReadData(Ids(request), st);
    if (error == 0 && write) error = AccessPolicy::MayWriteData(Ids(request), st);
    return error;
}

int FileService::OpenDescriptor(const FileRequest& request, bool write, std::shared_ptr<OpenFile>& file) {
    const BkEndProcPtr& object = request.Object();
    QuayCtxt ctxt = request.Context(object);
    errno = 0;
    const int fd = object->open(&ctxt, object->GetClientPath().c_str(), write ? O_RDWR : O_RDONLY, 0);
    if (fd < 0) return LastError();
    file = std::make_shared<OpenFile>(object, request.GetExport(), fd, write);
    return 0;
}

int FileService::Lock(const FileRequest& request, const OpenFile& file, short type, uint64_t first, uint64_t last,
                      void* owner) {
    constexpr uint64_t kLargest = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    if (first > kLargest || last < first) return EINVAL;
    struct flock range{};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(first);
    // A length of 0 reaches the end of the file, as fcntl has it.
    range.l_len = last >= kLargest ? 0 : static_cast<off_t>(last - first + 1);
    QuayCtxt ctxt = request.Context(request.Object());
    errno = 0;
    return request.Object()->filelock(&ctxt, F_SETLK, &range, file.Fd(), owner) == 0 ? 0 : LastError();
}

int FileService::GetAcl(const FileRequest& request, QuayNfs4Acl& acl) {
    if (!request.GetExport()->IsACLEnabled()) return EOPNOTSUPP;
    const BkEndProcPtr& object = request.Object();
    QuayCtxt ctxt = request.Context(object);
    errno = 0;
    return object->getACL(&ctxt, object->GetClientPath().c_str(), &acl) == 0 ? 0 : LastError();
}

int FileService::SetAcl(const FileRequest& request, const QuayNfs4Acl& acl) {
    if (!request.GetExport()->IsACLEnabled()) return EOPNOTSUPP;
    const BkEndProcPtr& object = request.Object();
    struct stat st{};
    int error = GetAttributes(request, object, st);
    if (error == 0) error = AccessPolicy::MayChangeAcl(Ids(request), st);
    if (error != 0) return error;
    QuayCtxt ctxt = request.Context(object);
    errno = 0;
    return object->setACL(&ctxt, object->GetClientPath().c_str(), &acl) == 0 ? 0 : LastError();
}
