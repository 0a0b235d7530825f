// Nfs4Compound: the operation loop, filehandles, names and attributes.
#include "nfsserver/Nfs4Compound.h"

#include <rpc/rpc.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>

#include "host/ExportCache.h"
#include "nfsserver/AccessPolicy.h"
#include "nfsserver/ExportVersions.h"
#include "nfsserver/Nfs4PseudoFs.h"
#include "nfsserver/Nfs4Status.h"
#include "nfsserver/NfsLog.h"
#include "nfsserver/ServerMetrics.h"

namespace {

// Attributes of a pseudo directory: read-only, root's, timeless.
void PseudoStat(const std::string& path, struct stat& st) {
    st = {};
    st.st_mode = S_IFDIR | 0555;
    st.st_nlink = 2;
    st.st_ino = Nfs4PseudoFs::FileId(path);
    st.st_size = 4096;
}

bool ValidUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

nfsstat4 Nfs4Compound::CheckComponent(const component4& wire, std::string& name) {
    name.assign(wire.utf8string_val == nullptr ? "" : wire.utf8string_val, wire.utf8string_len);
    if (name.empty() || !ValidUtf8(name)) return NFS4ERR_INVAL;
    if (name == "." || name == ".." || name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
        return NFS4ERR_BADNAME;
    }
    return name.size() > FileService::kNameMax ? NFS4ERR_NAMETOOLONG : NFS4_OK;
}

Nfs4Compound::Nfs4Compound(FileService& service, Nfs4State& state, const CallerIdentity& caller,
                           ServerMetrics* metrics)
    : service_(service), state_(state), caller_(caller), metrics_(metrics) {}

Nfs4Compound::~Nfs4Compound() {
    for (nfs_resop4& replay : replays_) xdr_free(reinterpret_cast<xdrproc_t>(xdr_nfs_resop4), &replay);
}

std::string& Nfs4Compound::Keep(std::string text) {
    strings_.push_back(std::move(text));
    return strings_.back();
}

nfsstat4 Nfs4Compound::Fail(int error) const { return Nfs4StatusFromErrno(error); }

void Nfs4Compound::Run(const COMPOUND4args& args, COMPOUND4res& result) {
    result.tag.tag_len = args.tag.tag_len;
    result.tag.tag_val = args.tag.tag_val;
    result.status = NFS4_OK;
    if (args.minorversion != 0) {
        result.status = NFS4ERR_MINOR_VERS_MISMATCH;
        return;
    }
    const uint32_t count = args.argarray.argarray_len;
    if (count > kMaxOperations) {
        // Nothing runs: half a compound would leave the client guessing.
        results_.resize(1);
        results_[0] = nfs_resop4{};
        results_[0].resop = args.argarray.argarray_val[0].argop;
        if (results_[0].resop < OP_ACCESS || results_[0].resop > OP_RELEASE_LOCKOWNER) results_[0].resop = OP_ILLEGAL;
        results_[0].nfs_resop4_u.opillegal.status = NFS4ERR_RESOURCE;
        result.status = NFS4ERR_RESOURCE;
        if (metrics_ != nullptr) Count(results_[0], NFS4ERR_RESOURCE);
    } else {
        results_.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            results_.emplace_back();
            nfs_resop4& res = results_.back();
            res = nfs_resop4{};
            res.resop = args.argarray.argarray_val[i].argop;
            const nfsstat4 status = Execute(args.argarray.argarray_val[i], res);
            NFS_LOG(5, "DEBUG: NFS: operation [%u] of [%s] answered [%u]", static_cast<unsigned>(res.resop),
                    caller_.Address().c_str(), static_cast<unsigned>(status));
            // Every result starts with its status.
            res.nfs_resop4_u.opillegal.status = status;
            if (metrics_ != nullptr) Count(res, status);
            replyBytes_ += xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_nfs_resop4), &res);
            result.status = status;
            if (status != NFS4_OK) break;
        }
    }
    result.resarray.resarray_len = static_cast<u_int>(results_.size());
    result.resarray.resarray_val = results_.empty() ? nullptr : results_.data();
}

void Nfs4Compound::Count(const nfs_resop4& res, nfsstat4 status) {
    metrics_->RecordOperation(res.resop, status);
    // READ and WRITE leave their file current.
    if (status != NFS4_OK || !current_.file) return;
    const uint32_t share = current_.file->GetExport()->GetShareId();
    if (res.resop == OP_READ) metrics_->AddRead(share, res.nfs_resop4_u.opread.READ4res_u.resok4.data.data_len);
    if (res.resop == OP_WRITE) metrics_->AddWritten(share, res.nfs_resop4_u.opwrite.WRITE4res_u.resok4.count);
}

nfsstat4 Nfs4Compound::Execute(const nfs_argop4& op, nfs_resop4& res) {
    const auto& a = op.nfs_argop4_u;
    auto& r = res.nfs_resop4_u;
    switch (op.argop) {
        case OP_ACCESS: return Access(a.opaccess, r.opaccess);
        case OP_CLOSE: return Close(a.opclose, res);
        case OP_COMMIT: return Commit(r.opcommit);
        case OP_CREATE: return Create(a.opcreate, r.opcreate);
        // No delegations are granted: there is nothing to purge or return.
        case OP_DELEGPURGE: return NFS4ERR_NOTSUPP;
        case OP_DELEGRETURN:
            return current_.Set() ? state_.ReturnDelegation(a.opdelegreturn.deleg_stateid) : NFS4ERR_NOFILEHANDLE;
        case OP_GETATTR: return GetAttr(a.opgetattr, r.opgetattr);
        case OP_GETFH: return GetFh(r.opgetfh);
        // The module keeps no hard links and no named attributes.
        case OP_LINK:
        case OP_OPENATTR: return current_.Set() ? NFS4ERR_NOTSUPP : NFS4ERR_NOFILEHANDLE;
        case OP_LOCK: return Lock(a.oplock, res);
        case OP_LOCKT: return LockTest(a.oplockt, r.oplockt);
        case OP_LOCKU: return Unlock(a.oplocku, res);
        case OP_LOOKUP: return Lookup(a.oplookup.objname);
        case OP_LOOKUPP: return LookupParent();
        case OP_NVERIFY: return Verify(a.opnverify.obj_attributes, false);
        case OP_OPEN: return Open(a.opopen, res);
        case OP_OPEN_CONFIRM: return OpenConfirm(a.opopen_confirm, res);
        case OP_OPEN_DOWNGRADE: return OpenDowngrade(a.opopen_downgrade, res);
        case OP_PUTFH: return PutFh(a.opputfh.object);
        case OP_PUTPUBFH:
        case OP_PUTROOTFH: return PutRootFh();
        case OP_READ: return Read(a.opread, r.opread);
        case OP_READDIR: return ReadDir(a.opreaddir, r.opreaddir);
        case OP_READLINK: return ReadLink(r.opreadlink);
        case OP_REMOVE: return Remove(a.opremove, r.opremove);
        case OP_RENAME: return Rename(a.oprename, r.oprename);
        case OP_RENEW: return state_.Renew(a.oprenew.clientid);
        case OP_RESTOREFH: return RestoreFh();
        case OP_SAVEFH: return SaveFh();
        case OP_SECINFO: return SecInfo(a.opsecinfo, r.opsecinfo);
        case OP_SETATTR: return SetAttr(a.opsetattr, r.opsetattr);
        case OP_SETCLIENTID: return SetClientId(a.opsetclientid, r.opsetclientid);
        case OP_SETCLIENTID_CONFIRM:
            return state_.ConfirmClientId(a.opsetclientid_confirm.clientid,
                                          a.opsetclientid_confirm.setclientid_confirm);
        case OP_VERIFY: return Verify(a.opverify.obj_attributes, true);
        case OP_WRITE: return Write(a.opwrite, r.opwrite);
        case OP_RELEASE_LOCKOWNER:
            return state_.ReleaseLockOwner(a.oprelease_lockowner.lock_owner.clientid,
                                           std::string(a.oprelease_lockowner.lock_owner.owner.owner_val,
                                                       a.oprelease_lockowner.lock_owner.owner.owner_len));
        default:
            res.resop = OP_ILLEGAL;
            return NFS4ERR_OP_ILLEGAL;
    }
}

// ---------------------------------------------------------------- filehandles

nfsstat4 Nfs4Compound::ShareRoot(const ExportPtr& share, std::shared_ptr<FileRequest>& root) {
    nfs_fh3 handle;
    share->GetFileHandle(ZELIPAddr{caller_.Address()}, handle);
    root = std::make_shared<FileRequest>(caller_);
    const int error = service_.Resolve(handle, *root);
    return error != 0 ? Fail(error) : NFS4_OK;
}

std::shared_ptr<FileRequest> Nfs4Compound::Child(const FileRequest& dir, const BkEndProcPtr& child) {
    auto request = std::make_shared<FileRequest>(dir.Caller());
    nfs_fh3 handle;
    child->GetFileHandle(handle);
    request->Bind(dir.GetExport(), child, handle);
    return request;
}

nfsstat4 Nfs4Compound::PutFh(const nfs_fh4& wire) {
    const auto* data = reinterpret_cast<const unsigned char*>(wire.data.data_val);
    const size_t length = wire.data.data_len;
    if (length == 0) return NFS4ERR_BADHANDLE;
    Fh fh;
    if (Nfs4PseudoFs::IsPseudoHandle(data, length)) {
        if (!Nfs4PseudoFs::Find(caller_.Address(), data, length, fh.pseudo)) return NFS4ERR_STALE;
        current_ = fh;
        return NFS4_OK;
    }
    if (length > NFS3_FHSIZE_MAX) return NFS4ERR_BADHANDLE;
    nfs_fh3 handle;
    handle.length = static_cast<uint32_t>(length);
    memcpy(handle.data, data, length);
    fh.file = std::make_shared<FileRequest>(caller_);
    const int error = service_.Resolve(handle, *fh.file);
    if (error != 0) return Fail(error);
    // A share not served over NFSv4 is refused as its allowed clients refuse.
    if (!ExportVersions::Serves(*fh.file->GetExport(), 4)) return NFS4ERR_ACCESS;
    current_ = fh;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::PutRootFh() {
    ExportPtr share;
    Fh fh;
    if (Nfs4PseudoFs::ShareAt(caller_.Address(), "/", share)) {
        const nfsstat4 status = ShareRoot(share, fh.file);
        if (status != NFS4_OK) return status;
    } else {
        fh.pseudo = "/";
    }
    current_ = fh;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::GetFh(GETFH4res& res) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    std::string& handle = current_.file ? Keep(std::string(reinterpret_cast<const char*>(current_.file->Handle().data),
                                                           current_.file->Handle().length))
                                        : Keep(Nfs4PseudoFs::HandleOf(current_.pseudo));
    res.GETFH4res_u.resok4.object.data.data_len = static_cast<u_int>(handle.size());
    res.GETFH4res_u.resok4.object.data.data_val = &handle[0];
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::SaveFh() {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    saved_ = current_;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::RestoreFh() {
    if (!saved_.Set()) return NFS4ERR_RESTOREFH;
    current_ = saved_;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::Lookup(const component4& wire) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    std::string name;
    const nfsstat4 bad = CheckComponent(wire, name);
    if (bad != NFS4_OK) return bad;
    Fh next;
    if (!current_.pseudo.empty()) {
        Nfs4PseudoFs::Entry entry;
        if (Nfs4PseudoFs::Lookup(caller_.Address(), current_.pseudo, name, entry) != 0) return NFS4ERR_NOENT;
        if (entry.share) {
            const nfsstat4 status = ShareRoot(entry.share, next.file);
            if (status != NFS4_OK) return status;
        } else {
            next.pseudo = Nfs4PseudoFs::Child(current_.pseudo, name);
        }
        current_ = next;
        return NFS4_OK;
    }
    struct stat st{};
    int error = service_.GetAttributes(*current_.file, current_.file->Object(), st);
    if (error == 0 && S_ISLNK(st.st_mode)) return NFS4ERR_SYMLINK;
    BkEndProcPtr child;
    if (error == 0) error = service_.Lookup(*current_.file, name, child);
    if (error != 0) return Fail(error);
    next.file = Child(*current_.file, child);
    current_ = next;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::LookupParent() {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    Fh next;
    if (!current_.pseudo.empty()) {
        if (current_.pseudo == "/") return NFS4ERR_NOENT;
        next.pseudo = Nfs4PseudoFs::Parent(current_.pseudo);
    } else if (current_.file->Object()->GetClientPath() == "/") {
        // Above a share's root lies the pseudo directory it is mounted on.
        const std::string& path = current_.file->GetExport()->GetPath();
        if (path == "/") return NFS4ERR_NOENT;
        next.pseudo = Nfs4PseudoFs::Parent(path);
    } else {
        struct stat st{};
        int error = service_.GetAttributes(*current_.file, current_.file->Object(), st);
        if (error == 0 && !S_ISDIR(st.st_mode)) error = ENOTDIR;
        BkEndProcPtr parent;
        if (error == 0) error = service_.Lookup(*current_.file, "..", parent);
        if (error != 0) return Fail(error);
        next.file = Child(*current_.file, parent);
    }
    current_ = next;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::SecInfo(const SECINFO4args& args, SECINFO4res& res) {
    const nfsstat4 status = Lookup(args.name);
    // SECINFO consumes the current filehandle.
    current_ = Fh();
    if (status != NFS4_OK) return status;
    secinfos_.emplace_back(1);
    secinfos_.back()[0].flavor = AUTH_SYS;
    res.SECINFO4res_u.resok4.SECINFO4resok_len = 1;
    res.SECINFO4res_u.resok4.SECINFO4resok_val = secinfos_.back().data();
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::CurrentShareObject(std::shared_ptr<FileRequest>& file) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    // The pseudo file system is read-only and holds directories only.
    if (!current_.file) return NFS4ERR_ROFS;
    file = current_.file;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::CurrentFile(std::shared_ptr<FileRequest>& file) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    if (!current_.file) return NFS4ERR_ISDIR;
    file = current_.file;
    return NFS4_OK;
}

// ---------------------------------------------------------------- attributes

nfsstat4 Nfs4Compound::Source(const Fh& fh, const bitmap4& asked, AttributeRead& read) {
    Nfs4AttributeSource& source = read.source;
    source.leaseSeconds = state_.LeaseSeconds();
    if (!fh.pseudo.empty()) {
        PseudoStat(fh.pseudo, source.st);
        source.handle = Nfs4PseudoFs::HandleOf(fh.pseudo);
        return NFS4_OK;
    }
    const FileRequest& file = *fh.file;
    int error = service_.GetAttributes(file, file.Object(), source.st);
    if (error != 0) return Fail(error);
    source.handle.assign(reinterpret_cast<const char*>(file.Handle().data), file.Handle().length);
    source.fsidMajor = file.GetExport()->GetShareId();
    source.fsidMinor = 1;
    source.caseInsensitive = FileService::CaseInsensitive(file);
    source.aclSupported = file.GetExport()->IsACLEnabled();
    if (file.Object()->GetClientPath() == "/") source.mountedOnFileid = Nfs4PseudoFs::FileId(file.GetExport()->GetPath());
    if (source.aclSupported && Nfs4Attributes::Wants(asked, Nfs4Attributes::kAcl)) {
        error = service_.GetAcl(file, read.acl);
        if (error != 0) return Fail(error);
        source.acl = &read.acl;
    }
    if (Nfs4Attributes::WantsFileSystem(asked) && service_.FileSystemStat(file, read.fs) == 0) source.fs = &read.fs;
    return NFS4_OK;
}

void Nfs4Compound::EncodeAttributes(const bitmap4& asked, const Nfs4AttributeSource& source, fattr4& out) {
    attributes_.emplace_back();
    Nfs4Attributes::Encode(asked, source, attributes_.back());
    attributes_.back().ToWire(out);
}

nfsstat4 Nfs4Compound::GetAttr(const GETATTR4args& args, GETATTR4res& res) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    AttributeRead read;
    const nfsstat4 status = Source(current_, args.attr_request, read);
    if (status != NFS4_OK) return status;
    EncodeAttributes(args.attr_request, read.source, res.GETATTR4res_u.resok4.obj_attributes);
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::Verify(const fattr4& given, bool same) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    if (Nfs4Attributes::Wants(given.attrmask, Nfs4Attributes::kRdattrError)) return NFS4ERR_INVAL;
    AttributeRead read;
    const nfsstat4 status = Source(current_, given.attrmask, read);
    if (status != NFS4_OK) return status;
    const Nfs4AttributeSource& source = read.source;
    for (uint32_t word = 0; word < given.attrmask.bitmap4_len; ++word) {
        for (uint32_t bit = 0; bit < 32; ++bit) {
            const uint32_t attribute = word * 32 + bit;
            if ((given.attrmask.bitmap4_val[word] & (1u << bit)) != 0 &&
                !Nfs4Attributes::IsSupported(attribute, source.aclSupported)) {
                return NFS4ERR_ATTRNOTSUPP;
            }
        }
    }
    Nfs4Attributes::Encoded mine;
    Nfs4Attributes::Encode(given.attrmask, source, mine);
    const bool equal = mine.values.size() == given.attr_vals.attrlist4_len &&
                       memcmp(mine.values.data(), given.attr_vals.attrlist4_val, mine.values.size()) == 0;
    if (same) return equal ? NFS4_OK : NFS4ERR_NOT_SAME;
    return equal ? NFS4ERR_SAME : NFS4_OK;
}

nfsstat4 Nfs4Compound::SetAttr(const SETATTR4args& args, SETATTR4res& res) {
    std::shared_ptr<FileRequest> file;
    nfsstat4 status = CurrentShareObject(file);
    if (status != NFS4_OK) return status;
    int error = service_.CheckWritable(*file);
    if (error != 0) return Fail(error);
    Nfs4Attributes::Decoded decoded;
    status = Nfs4Attributes::Decode(args.obj_attributes, file->GetExport()->IsACLEnabled(), decoded);
    if (status != NFS4_OK) return status;
    // A size change is a write: it needs a stateid that allows one.
    if (decoded.change.setSize) status = state_.CheckIo(args.stateid, file->Key(), true);
    if (status != NFS4_OK) return status;
    if (decoded.change.SetsAnything()) error = service_.SetAttributes(*file, decoded.change);
    if (error == 0 && decoded.setAcl) error = service_.SetAcl(*file, decoded.acl);
    if (error != 0) return Fail(error);
    KeepMask(decoded.mask, res.attrsset);
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::Access(const ACCESS4args& args, ACCESS4res& res) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    constexpr uint32_t kAll = ACCESS4_READ | ACCESS4_LOOKUP | ACCESS4_MODIFY | ACCESS4_EXTEND | ACCESS4_DELETE |
                              ACCESS4_EXECUTE;
    ACCESS4resok& ok = res.ACCESS4res_u.resok4;
    ok.supported = args.access & kAll;
    if (!current_.file) {
        // Anybody may look through the pseudo directories; nobody changes them.
        ok.access = args.access & (ACCESS4_READ | ACCESS4_LOOKUP);
        return NFS4_OK;
    }
    struct stat st{};
    const int error = service_.GetAttributes(*current_.file, current_.file->Object(), st);
    if (error != 0) return Fail(error);
    ok.access = AccessPolicy::Access(current_.file->Caller().Ids(), st, service_.CheckWritable(*current_.file) != 0,
                                     ok.supported);
    return NFS4_OK;
}

// ---------------------------------------------------------------- names

uint64_t Nfs4Compound::ChangeOf(const FileRequest& dir) {
    struct stat st{};
    if (service_.GetAttributes(dir, dir.Object(), st) != 0) return 0;
    return static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000ULL + static_cast<uint64_t>(st.st_ctim.tv_nsec);
}

nfsstat4 Nfs4Compound::NameChange(const component4& wire, std::shared_ptr<FileRequest>& dir, std::string& name) {
    nfsstat4 status = CurrentShareObject(dir);
    if (status == NFS4_OK) status = CheckComponent(wire, name);
    return status == NFS4_OK ? Fail(service_.CheckWritable(*dir)) : status;
}

int Nfs4Compound::MakeObject(const createtype4& what, const FileRequest& dir, const std::string& name,
                             const AttributeChange& change, BkEndProcPtr& child) {
    const nfs_ftype4 type = what.type;
    if (type == NF4DIR) return service_.MakeDirectory(dir, name, change.setMode ? change.mode : 0755, child);
    if (type == NF4LNK) {
        const linktext4& link = what.createtype4_u.linkdata;
        const std::string target(link.linktext4_val == nullptr ? "" : link.linktext4_val, link.linktext4_len);
        return service_.Symlink(dir, name, target, child);
    }
    const specdata4& spec = what.createtype4_u.devdata;
    const ftype3 host = type == NF4BLK ? NF3BLK : type == NF4CHR ? NF3CHR : type == NF4SOCK ? NF3SOCK : NF3FIFO;
    const uint64_t device = type == NF4BLK || type == NF4CHR ? makedev(spec.specdata1, spec.specdata2) : 0;
    const int error = service_.MakeNode(dir, name, host, change.setMode ? change.mode : 0644, device);
    return error != 0 ? error : service_.Lookup(dir, name, child);
}

int Nfs4Compound::ApplyCreated(const FileRequest& made, Nfs4Attributes::Decoded& decoded) {
    // The mode went in with the creation; the rest is set now.
    decoded.change.setMode = false;
    int error = decoded.change.SetsAnything() ? service_.SetAttributes(made, decoded.change) : 0;
    if (error == 0 && decoded.setAcl) error = service_.SetAcl(made, decoded.acl);
    return error;
}

void Nfs4Compound::KeepMask(const std::vector<uint32_t>& mask, bitmap4& out) {
    masks_.push_back(mask);
    out.bitmap4_len = static_cast<u_int>(masks_.back().size());
    out.bitmap4_val = masks_.back().data();
}

nfsstat4 Nfs4Compound::Create(const CREATE4args& args, CREATE4res& res) {
    std::shared_ptr<FileRequest> dir;
    std::string name;
    nfsstat4 status = NameChange(args.objname, dir, name);
    const nfs_ftype4 type = args.objtype.type;
    if (status == NFS4_OK && (type == NF4REG || type < NF4REG || type > NF4FIFO)) status = NFS4ERR_BADTYPE;
    Nfs4Attributes::Decoded decoded;
    if (status == NFS4_OK) status = Nfs4Attributes::Decode(args.createattrs, dir->GetExport()->IsACLEnabled(), decoded);
    if (status != NFS4_OK) return status;
    CREATE4resok& ok = res.CREATE4res_u.resok4;
    ok.cinfo.before = ChangeOf(*dir);
    BkEndProcPtr child;
    int error = MakeObject(args.objtype, *dir, name, decoded.change, child);
    std::shared_ptr<FileRequest> made;
    if (error == 0) made = Child(*dir, child);
    if (error == 0) error = ApplyCreated(*made, decoded);
    if (error != 0) return Fail(error);
    ok.cinfo.atomic = FALSE;
    ok.cinfo.after = ChangeOf(*dir);
    KeepMask(decoded.mask, ok.attrset);
    current_ = Fh();
    current_.file = made;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::Remove(const REMOVE4args& args, REMOVE4res& res) {
    std::shared_ptr<FileRequest> dir;
    std::string name;
    const nfsstat4 status = NameChange(args.target, dir, name);
    if (status != NFS4_OK) return status;
    REMOVE4resok& ok = res.REMOVE4res_u.resok4;
    ok.cinfo.before = ChangeOf(*dir);
    // One operation removes files and directories alike.
    int error = service_.Remove(*dir, name);
    if (error == EISDIR) error = service_.RemoveDirectory(*dir, name);
    if (error != 0) return Fail(error);
    ok.cinfo.after = ChangeOf(*dir);
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::Rename(const RENAME4args& args, RENAME4res& res) {
    if (!current_.Set() || !saved_.Set()) return NFS4ERR_NOFILEHANDLE;
    if (!current_.file || !saved_.file) return NFS4ERR_XDEV;
    std::string from;
    std::string to;
    nfsstat4 status = CheckComponent(args.oldname, from);
    if (status == NFS4_OK) status = CheckComponent(args.newname, to);
    if (status != NFS4_OK) return status;
    const FileRequest& source = *saved_.file;
    const FileRequest& target = *current_.file;
    int error = service_.CheckWritable(target);
    if (error != 0) return Fail(error);
    RENAME4resok& ok = res.RENAME4res_u.resok4;
    ok.source_cinfo.before = ChangeOf(source);
    ok.target_cinfo.before = ChangeOf(target);
    error = service_.Rename(source, from, target, to);
    if (error != 0) return Fail(error);
    ok.source_cinfo.after = ChangeOf(source);
    ok.target_cinfo.after = ChangeOf(target);
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::ReadLink(READLINK4res& res) {
    std::shared_ptr<FileRequest> file;
    const nfsstat4 status = CurrentFile(file);
    if (status != NFS4_OK) return status == NFS4ERR_ISDIR ? NFS4ERR_INVAL : status;
    struct stat st{};
    int error = service_.GetAttributes(*file, file->Object(), st);
    if (error == 0 && !S_ISLNK(st.st_mode)) return S_ISDIR(st.st_mode) ? NFS4ERR_ISDIR : NFS4ERR_INVAL;
    std::string target;
    if (error == 0) error = service_.ReadLink(*file, target);
    if (error != 0) return Fail(error);
    std::string& kept = Keep(target);
    res.READLINK4res_u.resok4.link.linktext4_len = static_cast<u_int>(kept.size());
    res.READLINK4res_u.resok4.link.linktext4_val = &kept[0];
    return NFS4_OK;
}
