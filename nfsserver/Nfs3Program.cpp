#include "nfsserver/Nfs3Program.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <string>

#include "nfsserver/Nfs3Attributes.h"
#include "nfsserver/NfsStatus.h"
#include "nfsserver/WriteVerifier.h"
#include "nfsserver/XdrArgs.h"

using namespace Nfs3Attributes;

namespace {

// Binds a request to a received handle; 0 or errno.
int Resolve(FileService& service, const nfs3_handle& wire, FileRequest& request) {
    nfs_fh3 handle;
    ToHost(wire, handle);
    if (wire.data.data_len > NFS3_FHSIZE_MAX) return EBADF;
    return service.Resolve(handle, request);
}

int ResolveForChange(FileService& service, const nfs3_handle& wire, FileRequest& request) {
    const int error = Resolve(service, wire, request);
    return error != 0 ? error : service.CheckWritable(request);
}

void DirectoryAfter(FileService& service, const FileRequest& dir, wcc_data& wcc) {
    wcc.before.attributes_follow = FALSE;
    if (dir.Object()) PostOp(service, dir, dir.Object(), wcc.after);
}

// A new object's handle and attributes for CREATE, MKDIR and SYMLINK.
struct NewObject {
    nfs_fh3 handle;
};

void Describe(FileService& service, const FileRequest& dir, const BkEndProcPtr& child, NewObject& storage,
              CREATE3resok& ok) {
    child->GetFileHandle(storage.handle);
    ok.obj.handle_follows = TRUE;
    ToWire(storage.handle, ok.obj.post_op_fh3_u.handle);
    PostOp(service, dir, child, ok.obj_attributes);
    DirectoryAfter(service, dir, ok.dir_wcc);
}

// Applies the attributes a client gave with a new object (the mode went in
// with the creation).
int ApplyNewAttributes(FileService& service, const FileRequest& dir, const BkEndProcPtr& child,
                       AttributeChange change) {
    change.setMode = false;
    if (!change.setUid && !change.setGid && !change.setSize && change.atime == AttributeChange::kKeep &&
        change.mtime == AttributeChange::kKeep) {
        return 0;
    }
    FileRequest request(dir.Caller());
    nfs_fh3 handle;
    child->GetFileHandle(handle);
    request.Bind(dir.GetExport(), child, handle);
    return service.SetAttributes(request, change);
}

// Outcomes of a listing besides an errno: the cookie verifier is stale, or
// the client's reply size leaves no room for even one entry.
constexpr int kBadCookie = -1;
constexpr int kTooSmall = -2;

nfsstat3 ListingStatus(int error) {
    if (error == kBadCookie) return NFS3ERR_BAD_COOKIE;
    if (error == kTooSmall) return NFS3ERR_TOOSMALL;
    return NfsStatusFromErrno(error);
}

// Chains the collected entries into the reply's list; null when empty.
template <typename Entry>
Entry* LinkEntries(std::deque<Entry>& entries) {
    for (size_t i = 0; i + 1 < entries.size(); ++i) entries[i].nextentry = &entries[i + 1];
    return entries.empty() ? nullptr : &entries.front();
}

bool CookieVerifierMatches(uint64_t cookie, const char* verifier) {
    return cookie == 0 || memcmp(verifier, WriteVerifier::Get(), NFS3_COOKIEVERFSIZE) == 0;
}

// XDR bytes of a name: length word and padded bytes.
size_t NameBytes(const char* name) { return 4 + ((strlen(name) + 3) & ~size_t(3)); }

}  // namespace

Nfs3Program::Nfs3Program(FileService& service) : service_(service) {}

uint32_t Nfs3Program::Number() const { return NFS_PROGRAM; }
uint32_t Nfs3Program::Version() const { return NFS_V3; }

void Nfs3Program::Dispatch(RpcCall& call) {
    std::optional<CachedCall> cached;
    if (DuplicateRequestCache::Caches(call.procedure)) {
        cached.emplace(replies_, call.caller.Address(), call.xid, call.procedure);
        call.cached = &*cached;
    }
    switch (call.procedure) {
        case NFSPROC3_NULL: RpcReply::Send(call, XDR_PROC(xdr_void), nullptr); break;
        case NFSPROC3_GETATTR: GetAttr(call); break;
        case NFSPROC3_SETATTR: SetAttr(call); break;
        case NFSPROC3_LOOKUP: Lookup(call); break;
        case NFSPROC3_ACCESS: Access(call); break;
        case NFSPROC3_READLINK: ReadLink(call); break;
        case NFSPROC3_READ: Read(call); break;
        case NFSPROC3_WRITE: Write(call); break;
        case NFSPROC3_CREATE: Create(call); break;
        case NFSPROC3_MKDIR: MakeDir(call); break;
        case NFSPROC3_SYMLINK: Symlink(call); break;
        case NFSPROC3_MKNOD: MakeNode(call); break;
        case NFSPROC3_REMOVE: Remove(call, false); break;
        case NFSPROC3_RMDIR: Remove(call, true); break;
        case NFSPROC3_RENAME: Rename(call); break;
        case NFSPROC3_LINK: Link(call); break;
        case NFSPROC3_READDIR: ReadDir(call); break;
        case NFSPROC3_READDIRPLUS: ReadDirPlus(call); break;
        case NFSPROC3_FSSTAT: FsStat(call); break;
        case NFSPROC3_FSINFO: FsInfo(call); break;
        case NFSPROC3_PATHCONF: PathConf(call); break;
        case NFSPROC3_COMMIT: Commit(call); break;
        default: svcerr_noproc(call.transport); break;
    }
}

void Nfs3Program::GetAttr(RpcCall& call) {
    XdrArgs<GETATTR3args> args(call, XDR_PROC(xdr_GETATTR3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = Resolve(service_, args.value.object, request);
    struct stat st{};
    if (error == 0) error = service_.GetAttributes(request, request.Object(), st);
    GETATTR3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) FromStat(st, request.GetExport()->GetShareId(), res.GETATTR3res_u.resok.obj_attributes);
    RpcReply::Send(call, XDR_PROC(xdr_GETATTR3res), &res);
}

void Nfs3Program::SetAttr(RpcCall& call) {
    XdrArgs<SETATTR3args> args(call, XDR_PROC(xdr_SETATTR3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = ResolveForChange(service_, args.value.object, request);
    if (error == 0 && args.value.guard.check) {
        struct stat st{};
        error = service_.GetAttributes(request, request.Object(), st);
        const nfstime3& want = args.value.guard.sattrguard3_u.obj_ctime;
        if (error == 0 && (static_cast<uint32>(st.st_ctim.tv_sec) != want.seconds ||
                           static_cast<uint32>(st.st_ctim.tv_nsec) != want.nseconds)) {
            SETATTR3res res{};
            res.status = NFS3ERR_NOT_SYNC;
            PostOp(service_, request, request.Object(), res.SETATTR3res_u.resfail.obj_wcc.after);
            RpcReply::Send(call, XDR_PROC(xdr_SETATTR3res), &res);
            return;
        }
    }
    if (error == 0) error = service_.SetAttributes(request, FromWire(args.value.new_attributes));
    SETATTR3res res{};
    res.status = NfsStatusFromErrno(error);
    if (request.Object()) PostOp(service_, request, request.Object(), res.SETATTR3res_u.resok.obj_wcc.after);
    RpcReply::Send(call, XDR_PROC(xdr_SETATTR3res), &res);
}

void Nfs3Program::Lookup(RpcCall& call) {
    XdrArgs<LOOKUP3args> args(call, XDR_PROC(xdr_LOOKUP3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = Resolve(service_, args.value.what.dir, request);
    BkEndProcPtr child;
    if (error == 0) error = service_.Lookup(request, args.value.what.name, child);
    LOOKUP3res res{};
    res.status = NfsStatusFromErrno(error);
    nfs_fh3 handle;
    if (error == 0) {
        LOOKUP3resok& ok = res.LOOKUP3res_u.resok;
        child->GetFileHandle(handle);
        ToWire(handle, ok.object);
        PostOp(service_, request, child, ok.obj_attributes);
        PostOp(service_, request, request.Object(), ok.dir_attributes);
    } else if (request.Object()) {
        PostOp(service_, request, request.Object(), res.LOOKUP3res_u.resfail.dir_attributes);
    }
    RpcReply::Send(call, XDR_PROC(xdr_LOOKUP3res), &res);
}

void Nfs3Program::Access(RpcCall& call) {
    XdrArgs<ACCESS3args> args(call, XDR_PROC(xdr_ACCESS3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = Resolve(service_, args.value.object, request);
    struct stat st{};
    if (error == 0) error = service_.GetAttributes(request, request.Object(), st);
    ACCESS3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        ACCESS3resok& ok = res.ACCESS3res_u.resok;
        ok.obj_attributes.attributes_follow = TRUE;
        FromStat(st, request.GetExport()->GetShareId(), ok.obj_attributes.post_op_attr_u.attributes);
        ok.access = args.value.access & AllowedAccess(st, service_.CheckWritable(request) != 0);
    }
    RpcReply::Send(call, XDR_PROC(xdr_ACCESS3res), &res);
}

void Nfs3Program::ReadLink(RpcCall& call) {
    XdrArgs<READLINK3args> args(call, XDR_PROC(xdr_READLINK3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = Resolve(service_, args.value.symlink, request);
    std::string target;
    if (error == 0) error = service_.ReadLink(request, target);
    READLINK3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        PostOp(service_, request, request.Object(), res.READLINK3res_u.resok.symlink_attributes);
        res.READLINK3res_u.resok.data = const_cast<char*>(target.c_str());
    }
    RpcReply::Send(call, XDR_PROC(xdr_READLINK3res), &res);
}

void Nfs3Program::Read(RpcCall& call) {
    XdrArgs<READ3args> args(call, XDR_PROC(xdr_READ3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = Resolve(service_, args.value.file, request);
    const size_t count = std::min<size_t>(args.value.count, kMaxData);
    call.buffers.data.resize(kMaxData);
    size_t done = 0;
    if (error == 0) error = service_.Read(request, args.value.offset, call.buffers.data.data(), count, done);
    READ3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        READ3resok& ok = res.READ3res_u.resok;
        PostOp(service_, request, request.Object(), ok.file_attributes);
        const uint64_t size = ok.file_attributes.attributes_follow ? ok.file_attributes.post_op_attr_u.attributes.size
                                                                   : std::numeric_limits<uint64_t>::max();
        ok.count = static_cast<count3>(done);
        ok.eof = done < count || args.value.offset + done >= size;
        ok.data.data_len = static_cast<u_int>(done);
        ok.data.data_val = call.buffers.data.data();
    }
    RpcReply::Send(call, XDR_PROC(xdr_READ3res), &res);
}

void Nfs3Program::Write(RpcCall& call) {
    XdrArgs<WRITE3args> args(call, XDR_PROC(xdr_WRITE3args));
    call.buffers.data.resize(kMaxData);
    args.value.data.data_val = call.buffers.data.data();  // decoded in place, never freed
    const bool decoded = args.Decode();
    const char* data = args.value.data.data_val;
    const size_t length = args.value.data.data_len;
    args.value.data.data_val = nullptr;
    if (!decoded) return;
    FileRequest request(call.caller);
    int error = ResolveForChange(service_, args.value.file, request);
    if (error == 0 && length < args.value.count) error = EINVAL;
    const size_t count = std::min<size_t>(args.value.count, length);
    const BkEndSyncType sync = args.value.stable == UNSTABLE    ? BKEND_UNSTABLE
                               : args.value.stable == DATA_SYNC ? BKEND_DATA_SYNC
                                                                : BKEND_FILE_SYNC;
    size_t done = 0;
    if (error == 0) error = service_.Write(request, args.value.offset, data, count, sync, done);
    WRITE3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        WRITE3resok& ok = res.WRITE3res_u.resok;
        PostOp(service_, request, request.Object(), ok.file_wcc.after);
        ok.count = static_cast<count3>(done);
        ok.committed = args.value.stable;
        memcpy(ok.verf, WriteVerifier::Get(), NFS3_WRITEVERFSIZE);
    } else if (request.Object()) {
        PostOp(service_, request, request.Object(), res.WRITE3res_u.resfail.file_wcc.after);
    }
    RpcReply::Send(call, XDR_PROC(xdr_WRITE3res), &res);
}

void Nfs3Program::Create(RpcCall& call) {
    XdrArgs<CREATE3args> args(call, XDR_PROC(xdr_CREATE3args));
    if (!args.Decode()) return;
    FileRequest dir(call.caller);
    int error = ResolveForChange(service_, args.value.where.dir, dir);
    const createhow3& how = args.value.how;
    const std::string name = args.value.where.name;
    AttributeChange change;
    if (how.mode != EXCLUSIVE) change = FromWire(how.createhow3_u.obj_attributes);
    const mode_t mode = change.setMode ? change.mode : 0644;
    BkEndProcPtr child;
    if (error == 0) error = service_.CreateFile(dir, name, mode, how.mode != UNCHECKED, child);
    if (how.mode == EXCLUSIVE) {
        // The verifier is kept in the new file's times, so a retransmitted
        // create finds its own file and succeeds.
        uint32_t words[2];
        memcpy(words, how.createhow3_u.verf, sizeof(words));
        AttributeChange stamp;
        stamp.atime = stamp.mtime = AttributeChange::kClientTime;
        stamp.atimeValue = timespec{static_cast<time_t>(words[0]), 0};
        stamp.mtimeValue = timespec{static_cast<time_t>(words[1]), 0};
        if (error == EEXIST && service_.Lookup(dir, name, child) == 0) {
            struct stat st{};
            const bool same = service_.GetAttributes(dir, child, st) == 0 && st.st_atim.tv_sec == stamp.atimeValue.tv_sec &&
                              st.st_mtim.tv_sec == stamp.mtimeValue.tv_sec && S_ISREG(st.st_mode);
            if (same) error = 0;
        } else if (error == 0) {
            error = ApplyNewAttributes(service_, dir, child, stamp);
        }
    } else if (error == 0) {
        error = ApplyNewAttributes(service_, dir, child, change);
    }
    CREATE3res res{};
    res.status = NfsStatusFromErrno(error);
    NewObject storage;
    if (error == 0) {
        Describe(service_, dir, child, storage, res.CREATE3res_u.resok);
    } else {
        DirectoryAfter(service_, dir, res.CREATE3res_u.resfail.dir_wcc);
    }
    RpcReply::Send(call, XDR_PROC(xdr_CREATE3res), &res);
}

void Nfs3Program::MakeDir(RpcCall& call) {
    XdrArgs<MKDIR3args> args(call, XDR_PROC(xdr_MKDIR3args));
    if (!args.Decode()) return;
    FileRequest dir(call.caller);
    int error = ResolveForChange(service_, args.value.where.dir, dir);
    const AttributeChange change = FromWire(args.value.attributes);
    BkEndProcPtr child;
    if (error == 0) error = service_.MakeDirectory(dir, args.value.where.name, change.setMode ? change.mode : 0755, child);
    if (error == 0) error = ApplyNewAttributes(service_, dir, child, change);
    MKDIR3res res{};
    res.status = NfsStatusFromErrno(error);
    NewObject storage;
    if (error == 0) {
        Describe(service_, dir, child, storage, res.CREATE3res_u.resok);
    } else {
        DirectoryAfter(service_, dir, res.CREATE3res_u.resfail.dir_wcc);
    }
    RpcReply::Send(call, XDR_PROC(xdr_MKDIR3res), &res);
}

void Nfs3Program::Symlink(RpcCall& call) {
    XdrArgs<SYMLINK3args> args(call, XDR_PROC(xdr_SYMLINK3args));
    if (!args.Decode()) return;
    FileRequest dir(call.caller);
    int error = ResolveForChange(service_, args.value.where.dir, dir);
    BkEndProcPtr child;
    if (error == 0) error = service_.Symlink(dir, args.value.where.name, args.value.symlink.symlink_data, child);
    SYMLINK3res res{};
    res.status = NfsStatusFromErrno(error);
    NewObject storage;
    if (error == 0) {
        Describe(service_, dir, child, storage, res.CREATE3res_u.resok);
    } else {
        DirectoryAfter(service_, dir, res.CREATE3res_u.resfail.dir_wcc);
    }
    RpcReply::Send(call, XDR_PROC(xdr_SYMLINK3res), &res);
}

void Nfs3Program::MakeNode(RpcCall& call) {
    XdrArgs<MKNOD3args> args(call, XDR_PROC(xdr_MKNOD3args));
    if (!args.Decode()) return;
    FileRequest dir(call.caller);
    int error = ResolveForChange(service_, args.value.where.dir, dir);
    const mknoddata3& what = args.value.what;
    uint64_t device = 0;
    mode_t mode = 0644;
    if (what.type == NFS3_CHR || what.type == NFS3_BLK) {
        device = makedev(what.mknoddata3_u.device.spec.specdata1, what.mknoddata3_u.device.spec.specdata2);
        const AttributeChange change = FromWire(what.mknoddata3_u.device.dev_attributes);
        if (change.setMode) mode = change.mode;
    } else if (what.type == NFS3_SOCK || what.type == NFS3_FIFO) {
        const AttributeChange change = FromWire(what.mknoddata3_u.pipe_attributes);
        if (change.setMode) mode = change.mode;
    } else if (error == 0) {
        error = EINVAL;  // regular files, directories and links have their own procedures
    }
    if (error == 0) {
        error = service_.MakeNode(dir, args.value.where.name, static_cast<ftype3>(what.type), mode, device);
    }
    MKNOD3res res{};
    res.status = what.type != NFS3_CHR && what.type != NFS3_BLK && what.type != NFS3_SOCK &&
                         what.type != NFS3_FIFO && error == EINVAL
                     ? NFS3ERR_BADTYPE
                     : NfsStatusFromErrno(error);
    BkEndProcPtr child;
    NewObject storage;
    if (error == 0 && service_.Lookup(dir, args.value.where.name, child) == 0) {
        Describe(service_, dir, child, storage, res.CREATE3res_u.resok);
    } else {
        DirectoryAfter(service_, dir, res.CREATE3res_u.resfail.dir_wcc);
    }
    RpcReply::Send(call, XDR_PROC(xdr_MKNOD3res), &res);
}

void Nfs3Program::Remove(RpcCall& call, bool directory) {
    XdrArgs<REMOVE3args> args(call, XDR_PROC(xdr_REMOVE3args));
    if (!args.Decode()) return;
    FileRequest dir(call.caller);
    int error = ResolveForChange(service_, args.value.object.dir, dir);
    if (error == 0) {
        error = directory ? service_.RemoveDirectory(dir, args.value.object.name)
                          : service_.Remove(dir, args.value.object.name);
    }
    REMOVE3res res{};
    res.status = NfsStatusFromErrno(error);
    DirectoryAfter(service_, dir, res.REMOVE3res_u.resok.dir_wcc);
    RpcReply::Send(call, XDR_PROC(xdr_REMOVE3res), &res);
}

void Nfs3Program::Rename(RpcCall& call) {
    XdrArgs<RENAME3args> args(call, XDR_PROC(xdr_RENAME3args));
    if (!args.Decode()) return;
    FileRequest from(call.caller);
    FileRequest to(call.caller);
    int error = ResolveForChange(service_, args.value.from.dir, from);
    if (error == 0) error = ResolveForChange(service_, args.value.to.dir, to);
    if (error == 0) error = service_.Rename(from, args.value.from.name, to, args.value.to.name);
    RENAME3res res{};
    res.status = NfsStatusFromErrno(error);
    DirectoryAfter(service_, from, res.RENAME3res_u.resok.fromdir_wcc);
    DirectoryAfter(service_, to, res.RENAME3res_u.resok.todir_wcc);
    RpcReply::Send(call, XDR_PROC(xdr_RENAME3res), &res);
}

void Nfs3Program::Link(RpcCall& call) {
    XdrArgs<LINK3args> args(call, XDR_PROC(xdr_LINK3args));
    if (!args.Decode()) return;
    FileRequest file(call.caller);
    FileRequest dir(call.caller);
    int error = ResolveForChange(service_, args.value.file, file);
    if (error == 0) error = ResolveForChange(service_, args.value.link.dir, dir);
    if (error == 0) error = service_.Link(file, dir, args.value.link.name);
    LINK3res res{};
    res.status = NfsStatusFromErrno(error);
    if (file.Object()) PostOp(service_, file, file.Object(), res.LINK3res_u.resok.file_attributes);
    DirectoryAfter(service_, dir, res.LINK3res_u.resok.linkdir_wcc);
    RpcReply::Send(call, XDR_PROC(xdr_LINK3res), &res);
}

void Nfs3Program::ReadDir(RpcCall& call) {
    XdrArgs<READDIR3args> args(call, XDR_PROC(xdr_READDIR3args));
    if (!args.Decode()) return;
    FileRequest dir(call.caller);
    int error = Resolve(service_, args.value.dir, dir);
    if (error == 0 && !CookieVerifierMatches(args.value.cookie, args.value.cookieverf)) error = kBadCookie;
    // Reply header: status, attributes, verifier, end-of-list word and eof.
    const size_t limit = std::min<size_t>(args.value.count, kMaxData);
    size_t used = 4 + 88 + 8 + 4 + 4;
    std::deque<entry3> entries;
    std::deque<std::string> names;
    bool eof = false;
    if (error == 0) {
        error = service_.ListDirectory(dir, args.value.cookie, [&](const DirEntry& e) {
            const size_t size = 4 + 8 + NameBytes(e.name) + 8;
            if (used + size > limit) return false;
            used += size;
            names.emplace_back(e.name);
            entries.push_back(entry3{static_cast<fileid3>(e.attributes.st_ino), const_cast<char*>(names.back().c_str()),
                                     e.cookie, nullptr});
            return true;
        }, eof);
        if (error == 0 && entries.empty() && !eof) error = kTooSmall;
    }
    READDIR3res res{};
    res.status = ListingStatus(error);
    if (error == 0) {
        READDIR3resok& ok = res.READDIR3res_u.resok;
        PostOp(service_, dir, dir.Object(), ok.dir_attributes);
        memcpy(ok.cookieverf, WriteVerifier::Get(), NFS3_COOKIEVERFSIZE);
        ok.reply.entries = LinkEntries(entries);
        ok.reply.eof = eof;
    } else if (dir.Object()) {
        PostOp(service_, dir, dir.Object(), res.READDIR3res_u.resfail.dir_attributes);
    }
    RpcReply::Send(call, XDR_PROC(xdr_READDIR3res), &res);
}

void Nfs3Program::ReadDirPlus(RpcCall& call) {
    XdrArgs<READDIRPLUS3args> args(call, XDR_PROC(xdr_READDIRPLUS3args));
    if (!args.Decode()) return;
    FileRequest dir(call.caller);
    int error = Resolve(service_, args.value.dir, dir);
    if (error == 0 && !CookieVerifierMatches(args.value.cookie, args.value.cookieverf)) error = kBadCookie;
    const size_t limit = std::min<size_t>(args.value.maxcount, kMaxData);
    const size_t dirLimit = args.value.dircount;
    size_t used = 4 + 88 + 8 + 4 + 4;
    size_t dirUsed = 0;
    std::deque<entryplus3> entries;
    std::deque<std::string> names;
    std::deque<nfs_fh3> handles;
    bool eof = false;
    const uint32_t shareId = error == 0 ? dir.GetExport()->GetShareId() : 0;
    if (error == 0) {
        error = service_.ListDirectory(dir, args.value.cookie, [&](const DirEntry& e) {
            const size_t dirSize = 8 + NameBytes(e.name) + 8;
            const size_t size = 4 + dirSize + 4 + 84 + 4 + 4 + ((e.handle.length + 3) & ~3u);
            if (used + size > limit || (dirLimit != 0 && dirUsed + dirSize > dirLimit && !entries.empty())) return false;
            used += size;
            dirUsed += dirSize;
            names.emplace_back(e.name);
            handles.push_back(e.handle);
            entryplus3 entry{};
            entry.fileid = static_cast<fileid3>(e.attributes.st_ino);
            entry.name = const_cast<char*>(names.back().c_str());
            entry.cookie = e.cookie;
            entry.name_attributes.attributes_follow = TRUE;
            FromStat(e.attributes, shareId, entry.name_attributes.post_op_attr_u.attributes);
            entry.name_handle.handle_follows = handles.back().length != 0;
            ToWire(handles.back(), entry.name_handle.post_op_fh3_u.handle);
            entries.push_back(entry);
            return true;
        }, eof);
        if (error == 0 && entries.empty() && !eof) error = kTooSmall;
    }
    READDIRPLUS3res res{};
    res.status = ListingStatus(error);
    if (error == 0) {
        READDIRPLUS3resok& ok = res.READDIRPLUS3res_u.resok;
        PostOp(service_, dir, dir.Object(), ok.dir_attributes);
        memcpy(ok.cookieverf, WriteVerifier::Get(), NFS3_COOKIEVERFSIZE);
        ok.reply.entries = LinkEntries(entries);
        ok.reply.eof = eof;
    } else if (dir.Object()) {
        PostOp(service_, dir, dir.Object(), res.READDIRPLUS3res_u.resfail.dir_attributes);
    }
    RpcReply::Send(call, XDR_PROC(xdr_READDIRPLUS3res), &res);
}

void Nfs3Program::FsStat(RpcCall& call) {
    XdrArgs<FSSTAT3args> args(call, XDR_PROC(xdr_FSSTAT3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = Resolve(service_, args.value.fsroot, request);
    struct statfs fs{};
    if (error == 0) error = service_.FileSystemStat(request, fs);
    FSSTAT3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        FSSTAT3resok& ok = res.FSSTAT3res_u.resok;
        PostOp(service_, request, request.Object(), ok.obj_attributes);
        const uint64_t block = static_cast<uint64_t>(fs.f_bsize);
        ok.tbytes = fs.f_blocks * block;
        ok.fbytes = fs.f_bfree * block;
        ok.abytes = fs.f_bavail * block;
        ok.tfiles = fs.f_files;
        ok.ffiles = fs.f_ffree;
        ok.afiles = fs.f_ffree;
        ok.invarsec = 0;
    }
    RpcReply::Send(call, XDR_PROC(xdr_FSSTAT3res), &res);
}

void Nfs3Program::FsInfo(RpcCall& call) {
    XdrArgs<FSINFO3args> args(call, XDR_PROC(xdr_FSINFO3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    const int error = Resolve(service_, args.value.fsroot, request);
    FSINFO3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        FSINFO3resok& ok = res.FSINFO3res_u.resok;
        PostOp(service_, request, request.Object(), ok.obj_attributes);
        ok.rtmax = ok.rtpref = ok.wtmax = ok.wtpref = kMaxData;
        ok.rtmult = ok.wtmult = 4096;
        ok.dtpref = 64 * 1024;
        ok.maxfilesize = static_cast<size3>(std::numeric_limits<int64_t>::max());
        ok.time_delta = nfstime3{0, 1000};  // times are kept to the microsecond
        ok.properties = FSF3_SYMLINK | FSF3_HOMOGENEOUS | FSF3_CANSETTIME;
    }
    RpcReply::Send(call, XDR_PROC(xdr_FSINFO3res), &res);
}

void Nfs3Program::PathConf(RpcCall& call) {
    XdrArgs<PATHCONF3args> args(call, XDR_PROC(xdr_PATHCONF3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    const int error = Resolve(service_, args.value.object, request);
    PATHCONF3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        PATHCONF3resok& ok = res.PATHCONF3res_u.resok;
        PostOp(service_, request, request.Object(), ok.obj_attributes);
        ok.linkmax = 1;  // no hard links
        ok.name_max = FileService::kNameMax;
        ok.no_trunc = TRUE;
        ok.chown_restricted = TRUE;
        ok.case_insensitive = FALSE;
        ok.case_preserving = TRUE;
    }
    RpcReply::Send(call, XDR_PROC(xdr_PATHCONF3res), &res);
}

void Nfs3Program::Commit(RpcCall& call) {
    XdrArgs<COMMIT3args> args(call, XDR_PROC(xdr_COMMIT3args));
    if (!args.Decode()) return;
    FileRequest request(call.caller);
    int error = Resolve(service_, args.value.file, request);
    if (error == 0) error = service_.Commit(request);
    COMMIT3res res{};
    res.status = NfsStatusFromErrno(error);
    if (request.Object()) PostOp(service_, request, request.Object(), res.COMMIT3res_u.resok.file_wcc.after);
    if (error == 0) memcpy(res.COMMIT3res_u.resok.verf, WriteVerifier::Get(), NFS3_WRITEVERFSIZE);
    RpcReply::Send(call, XDR_PROC(xdr_COMMIT3res), &res);
}
