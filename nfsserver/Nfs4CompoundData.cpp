// Nfs4Compound: READ, WRITE, COMMIT and READDIR.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "nfsserver/Nfs4Compound.h"
#include "nfsserver/Nfs4PseudoFs.h"
#include "nfsserver/Nfs4Status.h"
#include "nfsserver/WriteVerifier.h"

namespace {

// Reply bytes of a listing besides its entries: status, verifier, the end
// of the list and eof; and of one entry besides name and attributes.
constexpr size_t kListingHeader = 4 + 8 + 4 + 4;
constexpr size_t kEntryHeader = 4 + 8 + 4;
// Cookies 1 and 2 are reserved: the service's positions go out shifted.
constexpr uint64_t kCookieShift = 2;

size_t Padded(size_t bytes) { return (bytes + 3) & ~size_t(3); }

size_t EntrySize(const std::string& name, const fattr4& attrs) {
    return kEntryHeader + Padded(name.size()) + 4 + 4 * attrs.attrmask.bitmap4_len + 4 +
           Padded(attrs.attr_vals.attrlist4_len);
}

bool ValidCookie(uint64_t cookie) { return cookie == 0 || cookie > kCookieShift; }

}  // namespace

nfsstat4 Nfs4Compound::Read(const READ4args& args, READ4res& res) {
    std::shared_ptr<FileRequest> file;
    nfsstat4 status = CurrentFile(file);
    if (status != NFS4_OK) return status;
    struct stat st{};
    int error = service_.GetAttributes(*file, file->Object(), st);
    if (error != 0) return Fail(error);
    if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? NFS4ERR_ISDIR : NFS4ERR_INVAL;
    status = state_.CheckIo(args.stateid, file->Key(), false);
    if (status != NFS4_OK) return status;
    const size_t room = kMaxReply > replyBytes_ + 1024 ? kMaxReply - replyBytes_ - 1024 : 0;
    const size_t count = std::min<size_t>({args.count, Nfs4Attributes::kMaxData, room});
    if (count == 0 && args.count != 0) return NFS4ERR_RESOURCE;
    data_.emplace_back(count);
    std::vector<char>& buffer = data_.back();
    size_t done = 0;
    error = service_.Read(*file, args.offset, buffer.data(), count, done);
    if (error != 0) return Fail(error);
    READ4resok& ok = res.READ4res_u.resok4;
    ok.eof = args.offset + done >= static_cast<uint64_t>(st.st_size) ? TRUE : FALSE;
    ok.data.data_len = static_cast<u_int>(done);
    ok.data.data_val = buffer.data();
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::Write(const WRITE4args& args, WRITE4res& res) {
    std::shared_ptr<FileRequest> file;
    nfsstat4 status = CurrentFile(file);
    if (status != NFS4_OK) return status;
    if (args.stable > FILE_SYNC4) return NFS4ERR_INVAL;
    int error = service_.CheckWritable(*file);
    if (error != 0) return Fail(error);
    status = state_.CheckIo(args.stateid, file->Key(), true);
    if (status != NFS4_OK) return status;
    const BkEndSyncType sync = args.stable == UNSTABLE4    ? BKEND_UNSTABLE
                               : args.stable == DATA_SYNC4 ? BKEND_DATA_SYNC
                                                           : BKEND_FILE_SYNC;
    size_t done = 0;
    error = service_.Write(*file, args.offset, args.data.data_val, args.data.data_len, sync, done);
    if (error != 0) return Fail(error);
    WRITE4resok& ok = res.WRITE4res_u.resok4;
    ok.count = static_cast<count4>(done);
    ok.committed = args.stable;
    memcpy(ok.writeverf, WriteVerifier::Get(), NFS4_VERIFIER_SIZE);
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::Commit(COMMIT4res& res) {
    std::shared_ptr<FileRequest> file;
    const nfsstat4 status = CurrentFile(file);
    if (status != NFS4_OK) return status;
    struct stat st{};
    int error = service_.GetAttributes(*file, file->Object(), st);
    if (error == 0 && S_ISDIR(st.st_mode)) return NFS4ERR_ISDIR;
    if (error == 0) error = service_.Commit(*file);
    if (error != 0) return Fail(error);
    memcpy(res.COMMIT4res_u.resok4.writeverf, WriteVerifier::Get(), NFS4_VERIFIER_SIZE);
    return NFS4_OK;
}

// A cookie is an object number, which never changes, so cookies of any
// instance stay good; the verifier only tells a client's cookie from one of
// another server. A client that keeps no verifier sends zeros (libnfs does),
// as it may for a server that gives none.
bool Nfs4Compound::CookieVerifierAccepted(uint64_t cookie, const verifier4 verifier) {
    static const verifier4 kNone = {};
    return cookie == 0 || memcmp(verifier, WriteVerifier::Get(), NFS4_VERIFIER_SIZE) == 0 ||
           memcmp(verifier, kNone, NFS4_VERIFIER_SIZE) == 0;
}

nfsstat4 Nfs4Compound::ReadDir(const READDIR4args& args, READDIR4res& res) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    if (!ValidCookie(args.cookie)) return NFS4ERR_BAD_COOKIE;
    if (!CookieVerifierAccepted(args.cookie, args.cookieverf)) return NFS4ERR_NOT_SAME;
    const size_t room = kMaxReply > replyBytes_ + 1024 ? kMaxReply - replyBytes_ - 1024 : 0;
    const size_t limit = std::min<size_t>({args.maxcount, Nfs4Attributes::kMaxData, room});
    listings_.emplace_back();
    std::deque<entry4>& entries = listings_.back();
    bool eof = false;
    const nfsstat4 status = current_.file ? ReadShareDir(args, limit, entries, eof)
                                          : ReadPseudoDir(args, limit, entries, eof);
    if (status != NFS4_OK) return status;
    if (entries.empty() && !eof) return NFS4ERR_TOOSMALL;
    READDIR4resok& ok = res.READDIR4res_u.resok4;
    memcpy(ok.cookieverf, WriteVerifier::Get(), NFS4_VERIFIER_SIZE);
    for (size_t i = 0; i + 1 < entries.size(); ++i) entries[i].nextentry = &entries[i + 1];
    ok.reply.entries = entries.empty() ? nullptr : &entries.front();
    ok.reply.eof = eof ? TRUE : FALSE;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::ReadPseudoDir(const READDIR4args& args, size_t limit, std::deque<entry4>& entries,
                                     bool& eof) {
    const std::vector<Nfs4PseudoFs::Entry> list = Nfs4PseudoFs::List(caller_.Address(), current_.pseudo);
    size_t used = kListingHeader;
    eof = true;
    for (size_t i = 0; i < list.size(); ++i) {
        const uint64_t cookie = i + 1 + kCookieShift;
        if (cookie <= args.cookie) continue;
        Fh child;
        const std::string path = Nfs4PseudoFs::Child(current_.pseudo, list[i].name);
        AttributeRead read;
        Nfs4AttributeSource& source = read.source;
        nfsstat4 status = NFS4_OK;
        if (list[i].share) status = ShareRoot(list[i].share, child.file);
        else child.pseudo = path;
        if (status == NFS4_OK) status = Source(child, args.attr_request, read);
        // A share that cannot be read is still listed, with its error.
        if (status != NFS4_OK && !Nfs4Attributes::Wants(args.attr_request, Nfs4Attributes::kRdattrError)) return status;
        source.rdattrError = status;
        source.mountedOnFileid = Nfs4PseudoFs::FileId(path);
        entry4 entry{};
        entry.cookie = cookie;
        std::string& name = Keep(list[i].name);
        entry.name.utf8string_len = static_cast<u_int>(name.size());
        entry.name.utf8string_val = &name[0];
        EncodeAttributes(args.attr_request, source, entry.attrs);
        const size_t size = EntrySize(name, entry.attrs);
        if (used + size > limit) {
            eof = false;
            break;
        }
        used += size;
        entries.push_back(entry);
    }
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::ReadShareDir(const READDIR4args& args, size_t limit, std::deque<entry4>& entries,
                                    bool& eof) {
    const FileRequest& dir = *current_.file;
    const bitmap4& asked = args.attr_request;
    const bool wantsAcl = dir.GetExport()->IsACLEnabled() && Nfs4Attributes::Wants(asked, Nfs4Attributes::kAcl);
    struct statfs fs{};
    const bool haveFs = Nfs4Attributes::WantsFileSystem(asked) && service_.FileSystemStat(dir, fs) == 0;
    const uint64_t start = args.cookie == 0 ? 0 : args.cookie - kCookieShift;
    size_t used = kListingHeader;
    size_t dirUsed = 0;
    int failure = 0;
    const int error = service_.ListDirectory(dir, start, [&](const DirEntry& e) {
        // NFSv4 listings leave out "." and "..".
        if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) return true;
        Nfs4AttributeSource source;
        source.st = e.attributes;
        source.handle.assign(reinterpret_cast<const char*>(e.handle.data), e.handle.length);
        source.leaseSeconds = state_.LeaseSeconds();
        source.fsidMajor = dir.GetExport()->GetShareId();
        source.fsidMinor = 1;
        source.caseInsensitive = FileService::CaseInsensitive(dir);
        source.aclSupported = dir.GetExport()->IsACLEnabled();
        if (haveFs) source.fs = &fs;
        QuayNfs4Acl acl;
        if (wantsAcl) {
            FileRequest child(caller_);
            int aclError = service_.Resolve(e.handle, child);
            if (aclError == 0) aclError = service_.GetAcl(child, acl);
            if (aclError == 0) source.acl = &acl;
            else source.rdattrError = Fail(aclError);
        }
        if (source.rdattrError != NFS4_OK && !Nfs4Attributes::Wants(asked, Nfs4Attributes::kRdattrError)) {
            failure = EIO;
            return false;
        }
        entry4 entry{};
        entry.cookie = e.cookie + kCookieShift;
        std::string& name = Keep(e.name);
        entry.name.utf8string_len = static_cast<u_int>(name.size());
        entry.name.utf8string_val = &name[0];
        EncodeAttributes(asked, source, entry.attrs);
        const size_t size = EntrySize(name, entry.attrs);
        const size_t dirSize = 8 + Padded(name.size()) + 4;
        if (used + size > limit || (args.dircount != 0 && dirUsed + dirSize > args.dircount && !entries.empty())) {
            return false;
        }
        used += size;
        dirUsed += dirSize;
        entries.push_back(entry);
        return true;
    }, eof);
    if (failure != 0) return Fail(failure);
    return error != 0 ? Fail(error) : NFS4_OK;
}
