#include "nfsserver/Nfs3Program.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "nfsserver/AccessPolicy.h"
#include "nfsserver/ChangeClock.h"
#include "nfsserver/ExclusiveCreate.h"
#include "nfsserver/ExportVersions.h"
#include "nfsserver/ListingReadAhead.h"
#include "nfsserver/Nfs3Attributes.h"
#include "nfsserver/Nfs3Procedures.h"
#include "nfsserver/NfsStatus.h"
#include "nfsserver/ServerMetrics.h"
#include "nfsserver/WriteVerifier.h"

using namespace Nfs3Attributes;

namespace {

// Binds a request to a received handle; 0 or errno.
int Resolve(FileService& service, const nfs3_handle& wire, FileRequest& request) {
    nfs_fh3 handle;
    ToHost(wire, handle);
    if (wire.data.data_len > NFS3_FHSIZE_MAX) return EBADF;
    const int error = service.Resolve(handle, request);
    // A share served over NFSv4 alone refuses NFSv3 as its allowed clients do.
    if (error == 0 && !ExportVersions::Serves(*request.GetExport(), 3)) return EACCES;
    return error;
}

int ResolveForChange(FileService& service, const nfs3_handle& wire, FileRequest& request) {
    const int error = Resolve(service, wire, request);
    return error != 0 ? error : service.CheckWritable(request);
}

void DirectoryAfter(FileService& service, const FileRequest& dir, wcc_data& wcc) {
    wcc.before.attributes_follow = FALSE;
    PostOp(service, dir, dir.Object(), wcc.after);
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

// MKNOD makes these types; regular files, directories and links have
// procedures of their own.
bool IsNodeType(nfs3_ftype type) {
    return type == NFS3_CHR || type == NFS3_BLK || type == NFS3_SOCK || type == NFS3_FIFO;
}

bool IsDevice(nfs3_ftype type) { return type == NFS3_CHR || type == NFS3_BLK; }

mode_t NodeMode(const mknoddata3& what) {
    const AttributeChange change =
        FromWire(IsDevice(what.type) ? what.mknoddata3_u.device.dev_attributes : what.mknoddata3_u.pipe_attributes);
    return change.setMode ? change.mode : 0644;
}

uint64_t NodeDevice(const mknoddata3& what) {
    if (!IsDevice(what.type)) return 0;
    const specdata3& numbers = what.mknoddata3_u.device.spec;
    return makedev(numbers.specdata1, numbers.specdata2);
}

// Outcomes of a listing besides an errno: the cookie verifier is stale, or
// the client's reply size leaves no room for even one entry.
constexpr int kBadCookie = -1;
constexpr int kTooSmall = -2;
// Reply bytes of a listing besides its entries: status, attributes,
// verifier, end-of-list word and eof.
constexpr size_t kListingHeader = 4 + 88 + 8 + 4 + 4;

bool CookieVerifierMatches(uint64_t cookie, const char* verifier) {
    return cookie == 0 || memcmp(verifier, WriteVerifier::Get(), NFS3_COOKIEVERFSIZE) == 0;
}

// XDR bytes of a name: length word and padded bytes.
size_t NameBytes(const char* name) { return 4 + ((strlen(name) + 3) & ~size_t(3)); }

// What READDIR and READDIRPLUS share: the directory, the cookie check, and
// the listing from the cookie while take finds room for the entries.
template <typename Args, typename Entry>
int ListFromCookie(FileService& service, FileRequest& dir, const Args& args, const std::deque<Entry>& entries,
                   const std::function<bool(const DirEntry&)>& take, bool& eof) {
    int error = Resolve(service, args.dir, dir);
    if (error == 0 && !CookieVerifierMatches(args.cookie, args.cookieverf)) error = kBadCookie;
    if (error == 0) error = service.ListDirectory(dir, args.cookie, take, eof);
    if (error == 0 && entries.empty() && !eof) error = kTooSmall;
    return error;
}

// Fills the reply of READDIR or READDIRPLUS (the same fields by name) and
// returns its status.
template <typename Ok, typename Fail, typename Entry>
nfsstat3 FillListing(FileService& service, const FileRequest& dir, int error, std::deque<Entry>& entries, bool eof,
                     Ok& ok, Fail& fail) {
    if (error != 0) {
        PostOp(service, dir, dir.Object(), fail.dir_attributes);
        if (error == kBadCookie) return NFS3ERR_BAD_COOKIE;
        return error == kTooSmall ? NFS3ERR_TOOSMALL : NfsStatusFromErrno(error);
    }
    PostOp(service, dir, dir.Object(), ok.dir_attributes);
    memcpy(ok.cookieverf, WriteVerifier::Get(), NFS3_COOKIEVERFSIZE);
    // Chains the entries into the reply's list; null when empty.
    for (size_t i = 0; i + 1 < entries.size(); ++i) entries[i].nextentry = &entries[i + 1];
    ok.reply.entries = entries.empty() ? nullptr : &entries.front();
    ok.reply.eof = eof;
    return NFS3_OK;
}

}  // namespace

const ProcedureHandler<Nfs3Program> Nfs3Program::kHandlers[] = {
    AnswerNull<Nfs3Program>,
    Serve<&Nfs3Program::GetAttr>,
    Serve<&Nfs3Program::SetAttr>,
    Serve<&Nfs3Program::Lookup>,
    Serve<&Nfs3Program::Access>,
    Serve<&Nfs3Program::ReadLink>,
    Serve<&Nfs3Program::Read>,
    Serve<&Nfs3Program::Write>,
    Serve<&Nfs3Program::Create>,
    Serve<&Nfs3Program::MakeDir>,
    Serve<&Nfs3Program::Symlink>,
    Serve<&Nfs3Program::MakeNode>,
    Serve<&Nfs3Program::Remove>,
    Serve<&Nfs3Program::RemoveDir>,
    Serve<&Nfs3Program::Rename>,
    Serve<&Nfs3Program::Link>,
    Serve<&Nfs3Program::ReadDir>,
    Serve<&Nfs3Program::ReadDirPlus>,
    Serve<&Nfs3Program::FsStat>,
    Serve<&Nfs3Program::FsInfo>,
    Serve<&Nfs3Program::PathConf>,
    Serve<&Nfs3Program::Commit>,
};

Nfs3Program::Nfs3Program(FileService& service) : service_(service) {}

uint32_t Nfs3Program::Number() const { return NFS_PROGRAM; }
uint32_t Nfs3Program::Version() const { return NFS_V3; }

void Nfs3Program::Dispatch(RpcCall& call) { DispatchProcedure(*this, call, kNfs3Procedures, kHandlers, &replies_); }

void Nfs3Program::GetAttr(ProcedureCall& call, const GETATTR3args& args) {
    FileRequest request(call.Caller());
    int error = Resolve(service_, args.object, request);
    struct stat st{};
    if (error == 0) error = service_.GetAttributes(request, request.Object(), st);
    GETATTR3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) FromStat(st, request.GetExport()->GetShareId(), res.GETATTR3res_u.resok.obj_attributes);
    call.Reply(&res);
}

void Nfs3Program::SetAttr(ProcedureCall& call, const SETATTR3args& args) {
    FileRequest request(call.Caller());
    int error = ResolveForChange(service_, args.object, request);
    bool stale = false;
    if (error == 0 && args.guard.check) {
        struct stat st{};
        error = service_.GetAttributes(request, request.Object(), st);
        const nfstime3& want = args.guard.sattrguard3_u.obj_ctime;
        stale = error == 0 && (static_cast<uint32>(st.st_ctim.tv_sec) != want.seconds ||
                               static_cast<uint32>(st.st_ctim.tv_nsec) != want.nseconds);
    }
    if (error == 0 && !stale) error = service_.SetAttributes(request, FromWire(args.new_attributes));
    SETATTR3res res{};
    res.status = stale ? NFS3ERR_NOT_SYNC : NfsStatusFromErrno(error);
    PostOp(service_, request, request.Object(), res.SETATTR3res_u.resok.obj_wcc.after);
    call.Reply(&res);
}

void Nfs3Program::Lookup(ProcedureCall& call, const LOOKUP3args& args) {
    FileRequest request(call.Caller());
    int error = Resolve(service_, args.what.dir, request);
    BkEndProcPtr child;
    if (error == 0) error = service_.Lookup(request, args.what.name, child);
    LOOKUP3res res{};
    res.status = NfsStatusFromErrno(error);
    nfs_fh3 handle;
    if (error == 0) {
        LOOKUP3resok& ok = res.LOOKUP3res_u.resok;
        child->GetFileHandle(handle);
        ToWire(handle, ok.object);
        PostOp(service_, request, child, ok.obj_attributes);
        PostOp(service_, request, request.Object(), ok.dir_attributes);
    } else {
        PostOp(service_, request, request.Object(), res.LOOKUP3res_u.resfail.dir_attributes);
    }
    call.Reply(&res);
}

void Nfs3Program::Access(ProcedureCall& call, const ACCESS3args& args) {
    FileRequest request(call.Caller());
    int error = Resolve(service_, args.object, request);
    struct stat st{};
    if (error == 0) error = service_.GetAttributes(request, request.Object(), st);
    ACCESS3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        ACCESS3resok& ok = res.ACCESS3res_u.resok;
        ok.obj_attributes.attributes_follow = TRUE;
        FromStat(st, request.GetExport()->GetShareId(), ok.obj_attributes.post_op_attr_u.attributes);
        ok.access = AccessPolicy::Access(request.Caller().Ids(), st, service_.CheckWritable(request) != 0, args.access);
    }
    call.Reply(&res);
}

void Nfs3Program::ReadLink(ProcedureCall& call, const READLINK3args& args) {
    FileRequest request(call.Caller());
    int error = Resolve(service_, args.symlink, request);
    std::string target;
    if (error == 0) error = service_.ReadLink(request, target);
    READLINK3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        PostOp(service_, request, request.Object(), res.READLINK3res_u.resok.symlink_attributes);
        res.READLINK3res_u.resok.data = const_cast<char*>(target.c_str());
    }
    call.Reply(&res);
}

void Nfs3Program::Read(ProcedureCall& call, const READ3args& args) {
    FileReadAhead& ahead = FileReadAheadOf(call);
    const ReadReply& reply = ahead.Answer(args, call.Caller());
    if (reply.res.status == NFS3_OK) {
        const count3 done = reply.res.READ3res_u.resok.count;
        if (call.Rpc().metrics != nullptr) call.Rpc().metrics->AddRead(reply.shareId, done);
        // The data goes out from the buffer it was read into.
        call.ReplyWithTail(&reply.res, reply.Data(), done);
    } else {
        call.Reply(&reply.res);
    }
    ahead.Expect(args, call.Caller());
}

FileReadAhead& Nfs3Program::FileReadAheadOf(ProcedureCall& call) {
    std::unique_ptr<FileReadAhead>& ahead = call.Buffers().reading;
    if (!ahead) {
        ahead = std::make_unique<FileReadAhead>(
            ChangeClock::Global(),
            [this](const READ3args& args, const CallerIdentity& caller, ReadReply& reply) {
                ReadPiece(args, caller, reply);
            },
            kMaxData, call.Rpc().metrics);
    }
    return *ahead;
}

void Nfs3Program::ReadPiece(const READ3args& args, const CallerIdentity& caller, ReadReply& reply) {
    FileRequest request(caller);
    int error = Resolve(service_, args.file, request);
    const size_t count = std::min<size_t>(args.count, kMaxData);
    char* buffer = reply.Room(std::max<size_t>(count, 1));
    size_t done = 0;
    if (error == 0) error = service_.Read(request, args.offset, buffer, count, done);
    reply.res = READ3res{};
    reply.res.status = NfsStatusFromErrno(error);
    if (error != 0) return;
    READ3resok& ok = reply.res.READ3res_u.resok;
    PostOp(service_, request, request.Object(), ok.file_attributes);
    const uint64_t size = ok.file_attributes.attributes_follow ? ok.file_attributes.post_op_attr_u.attributes.size
                                                               : std::numeric_limits<uint64_t>::max();
    ok.count = static_cast<count3>(done);
    ok.eof = done < count || args.offset + done >= size;
    reply.shareId = request.GetExport()->GetShareId();
}

void Nfs3Program::Write(ProcedureCall& call, const WRITE3args& args) {
    FileRequest request(call.Caller());
    int error = ResolveForChange(service_, args.file, request);
    const size_t length = args.data.data_len;
    if (error == 0 && (length < args.count || args.stable > FILE_SYNC)) error = EINVAL;
    const size_t count = std::min<size_t>(args.count, length);
    const BkEndSyncType sync = args.stable == UNSTABLE    ? BKEND_UNSTABLE
                               : args.stable == DATA_SYNC ? BKEND_DATA_SYNC
                                                          : BKEND_FILE_SYNC;
    size_t done = 0;
    if (error == 0) error = service_.Write(request, args.offset, args.data.data_val, count, sync, done);
    WRITE3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        WRITE3resok& ok = res.WRITE3res_u.resok;
        PostOp(service_, request, request.Object(), ok.file_wcc.after);
        ok.count = static_cast<count3>(done);
        ok.committed = args.stable;
        if (call.Rpc().metrics != nullptr) call.Rpc().metrics->AddWritten(request.GetExport()->GetShareId(), done);
        memcpy(ok.verf, WriteVerifier::Get(), NFS3_WRITEVERFSIZE);
    } else {
        PostOp(service_, request, request.Object(), res.WRITE3res_u.resfail.file_wcc.after);
    }
    call.Reply(&res);
}

void Nfs3Program::Create(ProcedureCall& call, const CREATE3args& args) {
    FileRequest dir(call.Caller());
    int error = ResolveForChange(service_, args.where.dir, dir);
    const createhow3& how = args.how;
    const std::string name = args.where.name;
    const AttributeChange change =
        how.mode == EXCLUSIVE ? ExclusiveCreate::Stamp(how.createhow3_u.verf) : FromWire(how.createhow3_u.obj_attributes);
    const mode_t mode = change.setMode ? change.mode : 0644;
    BkEndProcPtr child;
    if (error == 0) error = service_.CreateFile(dir, name, mode, how.mode != UNCHECKED, child);
    if (error == EEXIST && how.mode == EXCLUSIVE) {
        error = ExclusiveCreate::Claim(service_, dir, name, change, child);
    } else if (error == 0) {
        error = ApplyNewAttributes(service_, dir, child, change);
    }
    ReplyNewObject(call, dir, NfsStatusFromErrno(error), child);
}

void Nfs3Program::MakeDir(ProcedureCall& call, const MKDIR3args& args) {
    FileRequest dir(call.Caller());
    int error = ResolveForChange(service_, args.where.dir, dir);
    const AttributeChange change = FromWire(args.attributes);
    BkEndProcPtr child;
    if (error == 0) error = service_.MakeDirectory(dir, args.where.name, change.setMode ? change.mode : 0755, child);
    if (error == 0) error = ApplyNewAttributes(service_, dir, child, change);
    ReplyNewObject(call, dir, NfsStatusFromErrno(error), child);
}

void Nfs3Program::Symlink(ProcedureCall& call, const SYMLINK3args& args) {
    FileRequest dir(call.Caller());
    int error = ResolveForChange(service_, args.where.dir, dir);
    BkEndProcPtr child;
    if (error == 0) error = service_.Symlink(dir, args.where.name, args.symlink.symlink_data, child);
    ReplyNewObject(call, dir, NfsStatusFromErrno(error), child);
}

void Nfs3Program::MakeNode(ProcedureCall& call, const MKNOD3args& args) {
    FileRequest dir(call.Caller());
    int error = ResolveForChange(service_, args.where.dir, dir);
    if (error == 0 && !IsNodeType(args.what.type)) {
        ReplyNewObject(call, dir, NFS3ERR_BADTYPE, nullptr);
        return;
    }
    if (error == 0) {
        error = service_.MakeNode(dir, args.where.name, static_cast<ftype3>(args.what.type), NodeMode(args.what),
                                  NodeDevice(args.what));
    }
    BkEndProcPtr child;
    if (error == 0) service_.Lookup(dir, args.where.name, child);
    ReplyNewObject(call, dir, NfsStatusFromErrno(error), child);
}

void Nfs3Program::ReplyNewObject(ProcedureCall& call, const FileRequest& dir, nfsstat3 status,
                                 const BkEndProcPtr& child) {
    CREATE3res res{};
    res.status = status;
    nfs_fh3 handle;
    if (status != NFS3_OK) {
        DirectoryAfter(service_, dir, res.CREATE3res_u.resfail.dir_wcc);
    } else {
        CREATE3resok& ok = res.CREATE3res_u.resok;
        // Made but not found again (a racing remove): the client looks it up.
        if (child) {
            child->GetFileHandle(handle);
            ok.obj.handle_follows = TRUE;
            ToWire(handle, ok.obj.post_op_fh3_u.handle);
        }
        PostOp(service_, dir, child, ok.obj_attributes);
        DirectoryAfter(service_, dir, ok.dir_wcc);
    }
    call.Reply(&res);
}

void Nfs3Program::Remove(ProcedureCall& call, const REMOVE3args& args) { RemoveEntry(call, args, false); }

void Nfs3Program::RemoveDir(ProcedureCall& call, const RMDIR3args& args) { RemoveEntry(call, args, true); }

void Nfs3Program::RemoveEntry(ProcedureCall& call, const REMOVE3args& args, bool directory) {
    FileRequest dir(call.Caller());
    int error = ResolveForChange(service_, args.object.dir, dir);
    if (error == 0) {
        error = directory ? service_.RemoveDirectory(dir, args.object.name) : service_.Remove(dir, args.object.name);
    }
    REMOVE3res res{};
    res.status = NfsStatusFromErrno(error);
    DirectoryAfter(service_, dir, res.REMOVE3res_u.resok.dir_wcc);
    call.Reply(&res);
}

void Nfs3Program::Rename(ProcedureCall& call, const RENAME3args& args) {
    FileRequest from(call.Caller());
    FileRequest to(call.Caller());
    int error = ResolveForChange(service_, args.from.dir, from);
    if (error == 0) error = ResolveForChange(service_, args.to.dir, to);
    if (error == 0) error = service_.Rename(from, args.from.name, to, args.to.name);
    RENAME3res res{};
    res.status = NfsStatusFromErrno(error);
    DirectoryAfter(service_, from, res.RENAME3res_u.resok.fromdir_wcc);
    DirectoryAfter(service_, to, res.RENAME3res_u.resok.todir_wcc);
    call.Reply(&res);
}

void Nfs3Program::Link(ProcedureCall& call, const LINK3args& args) {
    FileRequest file(call.Caller());
    FileRequest dir(call.Caller());
    int error = ResolveForChange(service_, args.file, file);
    if (error == 0) error = ResolveForChange(service_, args.link.dir, dir);
    if (error == 0) error = service_.Link(file, dir, args.link.name);
    LINK3res res{};
    res.status = NfsStatusFromErrno(error);
    PostOp(service_, file, file.Object(), res.LINK3res_u.resok.file_attributes);
    DirectoryAfter(service_, dir, res.LINK3res_u.resok.linkdir_wcc);
    call.Reply(&res);
}

void Nfs3Program::ReadDir(ProcedureCall& call, const READDIR3args& args) {
    FileRequest dir(call.Caller());
    const size_t limit = std::min<size_t>(args.count, kMaxData);
    size_t used = kListingHeader;
    std::deque<entry3> entries;
    std::deque<std::string> names;
    bool eof = false;
    const int error = ListFromCookie(service_, dir, args, entries, [&](const DirEntry& e) {
        const size_t size = 4 + 8 + NameBytes(e.name) + 8;
        if (used + size > limit) return false;
        used += size;
        names.emplace_back(e.name);
        entries.push_back(entry3{static_cast<fileid3>(e.attributes.st_ino), const_cast<char*>(names.back().c_str()),
                                 e.cookie, nullptr});
        return true;
    }, eof);
    READDIR3res res{};
    res.status = FillListing(service_, dir, error, entries, eof, res.READDIR3res_u.resok, res.READDIR3res_u.resfail);
    call.Reply(&res);
}

void Nfs3Program::ReadDirPlus(ProcedureCall& call, const READDIRPLUS3args& args) {
    ListingReadAhead& ahead = ReadAheadOf(call);
    std::unique_ptr<ReadDirPlusPage> page = ahead.Take(args, call.Caller());
    if (!page) {
        page = std::make_unique<ReadDirPlusPage>();
        ListPage(args, call.Caller(), *page);
    }
    call.Reply(&page->res);
    ahead.Expect(args, *page, call.Caller());
}

ListingReadAhead& Nfs3Program::ReadAheadOf(ProcedureCall& call) {
    std::unique_ptr<ListingReadAhead>& ahead = call.Buffers().listing;
    if (!ahead) {
        ahead = std::make_unique<ListingReadAhead>(
            ChangeClock::Global(),
            [this](const READDIRPLUS3args& args, const CallerIdentity& caller, ReadDirPlusPage& page) {
                ListPage(args, caller, page);
            },
            call.Rpc().metrics);
    }
    return *ahead;
}

void Nfs3Program::ListPage(const READDIRPLUS3args& args, const CallerIdentity& caller, ReadDirPlusPage& page) {
    FileRequest dir(caller);
    const size_t limit = std::min<size_t>(args.maxcount, kMaxData);
    const size_t dirLimit = args.dircount;
    size_t used = kListingHeader;
    size_t dirUsed = 0;
    bool eof = false;
    const int error = ListFromCookie(service_, dir, args, page.entries, [&](const DirEntry& e) {
        const size_t dirSize = 8 + NameBytes(e.name) + 8;
        const size_t size = 4 + dirSize + 4 + 84 + 4 + 4 + ((e.handle.length + 3) & ~3u);
        if (used + size > limit || (dirLimit != 0 && dirUsed + dirSize > dirLimit && !page.entries.empty()))
            return false;
        used += size;
        dirUsed += dirSize;
        page.names.emplace_back(e.name);
        page.handles.push_back(e.handle);
        entryplus3 entry{};
        entry.fileid = static_cast<fileid3>(e.attributes.st_ino);
        entry.name = const_cast<char*>(page.names.back().c_str());
        entry.cookie = e.cookie;
        entry.name_attributes.attributes_follow = TRUE;
        FromStat(e.attributes, dir.GetExport()->GetShareId(), entry.name_attributes.post_op_attr_u.attributes);
        entry.name_handle.handle_follows = page.handles.back().length != 0;
        ToWire(page.handles.back(), entry.name_handle.post_op_fh3_u.handle);
        page.entries.push_back(entry);
        return true;
    }, eof);
    page.res.status = FillListing(service_, dir, error, page.entries, eof, page.res.READDIRPLUS3res_u.resok,
                                  page.res.READDIRPLUS3res_u.resfail);
}

void Nfs3Program::FsStat(ProcedureCall& call, const FSSTAT3args& args) {
    FileRequest request(call.Caller());
    int error = Resolve(service_, args.fsroot, request);
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
    call.Reply(&res);
}

void Nfs3Program::FsInfo(ProcedureCall& call, const FSINFO3args& args) {
    FileRequest request(call.Caller());
    const int error = Resolve(service_, args.fsroot, request);
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
    call.Reply(&res);
}

void Nfs3Program::PathConf(ProcedureCall& call, const PATHCONF3args& args) {
    FileRequest request(call.Caller());
    const int error = Resolve(service_, args.object, request);
    PATHCONF3res res{};
    res.status = NfsStatusFromErrno(error);
    if (error == 0) {
        PATHCONF3resok& ok = res.PATHCONF3res_u.resok;
        PostOp(service_, request, request.Object(), ok.obj_attributes);
        ok.linkmax = 1;  // no hard links
        ok.name_max = FileService::kNameMax;
        ok.no_trunc = TRUE;
        ok.chown_restricted = TRUE;
        ok.case_insensitive = FileService::CaseInsensitive(request) ? TRUE : FALSE;
        ok.case_preserving = TRUE;
    }
    call.Reply(&res);
}

void Nfs3Program::Commit(ProcedureCall& call, const COMMIT3args& args) {
    FileRequest request(call.Caller());
    int error = Resolve(service_, args.file, request);
    if (error == 0) error = service_.Commit(request);
    COMMIT3res res{};
    res.status = NfsStatusFromErrno(error);
    PostOp(service_, request, request.Object(), res.COMMIT3res_u.resok.file_wcc.after);
    if (error == 0) memcpy(res.COMMIT3res_u.resok.verf, WriteVerifier::Get(), NFS3_WRITEVERFSIZE);
    call.Reply(&res);
}
