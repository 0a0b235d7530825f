#include "nfsserver/Nfs4Attributes.h"

#include <arpa/inet.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <limits>

#include "nfsserver/FileService.h"

namespace {

using A = Nfs4Attributes;

// ACL entries: allow and deny are kept; audit and alarm are not.
constexpr uint32_t kAclSupport = 0x1 | 0x2;
// Handles stay valid as long as their object (FH4_PERSISTENT).
constexpr uint32_t kFhPersistent = 0;
constexpr size_t kWhoMax = 64;

class XdrWriter {
public:
    explicit XdrWriter(std::string& out) : out_(out) {}
    void U32(uint32_t value) {
        const uint32_t wire = htonl(value);
        out_.append(reinterpret_cast<const char*>(&wire), 4);
    }
    void U64(uint64_t value) {
        U32(static_cast<uint32_t>(value >> 32));
        U32(static_cast<uint32_t>(value));
    }
    void Bool(bool value) { U32(value ? 1 : 0); }
    void Opaque(const std::string& bytes) {
        U32(static_cast<uint32_t>(bytes.size()));
        out_.append(bytes);
        out_.append((4 - bytes.size() % 4) % 4, '\0');
    }
    void Time(const timespec& t) {
        U64(static_cast<uint64_t>(static_cast<int64_t>(t.tv_sec)));
        U32(static_cast<uint32_t>(t.tv_nsec));
    }

private:
    std::string& out_;
};

class XdrReader {
public:
    XdrReader(const char* data, size_t size) : data_(data), size_(size) {}
    bool U32(uint32_t& value) {
        if (size_ - at_ < 4) return false;
        uint32_t wire = 0;
        memcpy(&wire, data_ + at_, 4);
        at_ += 4;
        value = ntohl(wire);
        return true;
    }
    bool U64(uint64_t& value) {
        uint32_t high = 0;
        uint32_t low = 0;
        if (!U32(high) || !U32(low)) return false;
        value = (static_cast<uint64_t>(high) << 32) | low;
        return true;
    }
    bool Opaque(std::string& bytes, size_t max) {
        uint32_t length = 0;
        if (!U32(length) || length > max) return false;
        const size_t padded = (static_cast<size_t>(length) + 3) & ~size_t(3);
        if (size_ - at_ < padded) return false;
        bytes.assign(data_ + at_, length);
        at_ += padded;
        return true;
    }
    bool Done() const { return at_ == size_; }

private:
    const char* data_;
    size_t size_;
    size_t at_ = 0;
};

std::string Who(const QuayNfs4Ace& ace) {
    if ((ace.iflag & QUAY_NFS4_IFLAG_SPECIAL_ID) != 0) {
        switch (ace.who) {
            case QUAY_NFS4_SPECIAL_OWNER: return "OWNER@";
            case QUAY_NFS4_SPECIAL_GROUP: return "GROUP@";
            default: return "EVERYONE@";
        }
    }
    return std::to_string(ace.who);
}

// A numeric id, with or without "@domain".
bool ParseId(const std::string& text, uint32_t& id) {
    const std::string number = text.substr(0, text.find('@'));
    if (number.empty() || number.size() > 10 || number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const uint64_t value = std::stoull(number);
    if (value > std::numeric_limits<uint32_t>::max()) return false;
    id = static_cast<uint32_t>(value);
    return true;
}

bool ParseWho(const std::string& who, QuayNfs4Ace& ace) {
    const struct {
        const char* name;
        uint32_t id;
    } special[] = {{"OWNER@", QUAY_NFS4_SPECIAL_OWNER},
                   {"GROUP@", QUAY_NFS4_SPECIAL_GROUP},
                   {"EVERYONE@", QUAY_NFS4_SPECIAL_EVERYONE}};
    for (const auto& s : special) {
        if (who == s.name) {
            ace.iflag = QUAY_NFS4_IFLAG_SPECIAL_ID;
            ace.who = s.id;
            return true;
        }
    }
    ace.iflag = 0;
    return ParseId(who, ace.who);
}

void EncodeAcl(const QuayNfs4Acl& acl, XdrWriter& w) {
    w.U32(static_cast<uint32_t>(acl.aces.size()));
    for (const QuayNfs4Ace& ace : acl.aces) {
        w.U32(ace.type);
        w.U32(ace.flag);
        w.U32(ace.accessMask);
        w.Opaque(Who(ace));
    }
}

bool DecodeAcl(XdrReader& r, QuayNfs4Acl& acl, nfsstat4& status) {
    uint32_t count = 0;
    if (!r.U32(count) || count > NFS4_ACL_MAX) return false;
    acl.aces.clear();
    for (uint32_t i = 0; i < count; ++i) {
        QuayNfs4Ace ace;
        std::string who;
        if (!r.U32(ace.type) || !r.U32(ace.flag) || !r.U32(ace.accessMask) || !r.Opaque(who, kWhoMax)) return false;
        if (ace.type > ACE4_SYSTEM_ALARM_ACE_TYPE) status = NFS4ERR_INVAL;
        if (!ParseWho(who, ace)) status = NFS4ERR_BADOWNER;
        acl.aces.push_back(ace);
    }
    return true;
}

uint64_t ChangeOf(const struct stat& st) {
    return static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000ULL + static_cast<uint64_t>(st.st_ctim.tv_nsec);
}

void SupportedMask(bool acl, std::vector<uint32_t>& mask) {
    mask.assign(A::kWords, 0);
    for (uint32_t attribute = 0; attribute < 32 * A::kWords; ++attribute) {
        if (A::IsSupported(attribute, acl)) mask[attribute / 32] |= 1u << (attribute % 32);
    }
}

// Encodes one attribute; false when the source lacks it (not read).
bool EncodeOne(uint32_t attribute, const Nfs4AttributeSource& s, XdrWriter& w) {
    const struct stat& st = s.st;
    switch (attribute) {
        case A::kSupportedAttrs: {
            std::vector<uint32_t> mask;
            SupportedMask(s.aclSupported, mask);
            w.U32(static_cast<uint32_t>(mask.size()));
            for (uint32_t word : mask) w.U32(word);
            return true;
        }
        case A::kType: w.U32(A::TypeOf(st.st_mode)); return true;
        case A::kFhExpireType: w.U32(kFhPersistent); return true;
        case A::kChange: w.U64(ChangeOf(st)); return true;
        case A::kSize: w.U64(static_cast<uint64_t>(st.st_size)); return true;
        case A::kLinkSupport: w.Bool(false); return true;  // the module has no hard links
        case A::kSymlinkSupport: w.Bool(true); return true;
        case A::kNamedAttr: w.Bool(false); return true;
        case A::kFsid: w.U64(s.fsidMajor); w.U64(s.fsidMinor); return true;
        case A::kUniqueHandles: w.Bool(true); return true;
        case A::kLeaseTime: w.U32(s.leaseSeconds); return true;
        case A::kRdattrError: w.U32(s.rdattrError); return true;
        case A::kAcl:
            if (s.acl == nullptr) return false;
            EncodeAcl(*s.acl, w);
            return true;
        case A::kAclSupport: w.U32(s.aclSupported ? kAclSupport : 0); return true;
        case A::kCanSetTime: w.Bool(true); return true;
        case A::kCaseInsensitive: w.Bool(s.caseInsensitive); return true;
        case A::kCasePreserving: w.Bool(true); return true;
        case A::kChownRestricted: w.Bool(true); return true;
        case A::kFilehandle: w.Opaque(s.handle); return true;
        case A::kFileid: w.U64(static_cast<uint64_t>(st.st_ino)); return true;
        case A::kHomogeneous: w.Bool(true); return true;
        case A::kMaxFileSize: w.U64(static_cast<uint64_t>(std::numeric_limits<int64_t>::max())); return true;
        case A::kMaxLink: w.U32(1); return true;
        case A::kMaxName: w.U32(static_cast<uint32_t>(FileService::kNameMax)); return true;
        case A::kMaxRead:
        case A::kMaxWrite: w.U64(A::kMaxData); return true;
        case A::kMode: w.U32(st.st_mode & 07777); return true;
        case A::kNoTrunc: w.Bool(true); return true;
        case A::kNumLinks: w.U32(static_cast<uint32_t>(st.st_nlink)); return true;
        case A::kOwner: w.Opaque(std::to_string(st.st_uid)); return true;
        case A::kOwnerGroup: w.Opaque(std::to_string(st.st_gid)); return true;
        case A::kRawDev: w.U32(major(st.st_rdev)); w.U32(minor(st.st_rdev)); return true;
        case A::kSpaceUsed: w.U64(static_cast<uint64_t>(st.st_blocks) * 512); return true;
        case A::kTimeAccess: w.Time(st.st_atim); return true;
        case A::kTimeDelta: w.Time(timespec{0, 1000}); return true;  // times are kept to the microsecond
        case A::kTimeMetadata: w.Time(st.st_ctim); return true;
        case A::kTimeModify: w.Time(st.st_mtim); return true;
        case A::kMountedOnFileid:
            w.U64(s.mountedOnFileid != 0 ? s.mountedOnFileid : static_cast<uint64_t>(st.st_ino));
            return true;
        default: break;
    }
    if (s.fs == nullptr) return false;
    const uint64_t block = static_cast<uint64_t>(s.fs->f_bsize);
    switch (attribute) {
        case A::kFilesAvail:
        case A::kFilesFree: w.U64(s.fs->f_ffree); return true;
        case A::kFilesTotal: w.U64(s.fs->f_files); return true;
        case A::kSpaceAvail: w.U64(s.fs->f_bavail * block); return true;
        case A::kSpaceFree: w.U64(s.fs->f_bfree * block); return true;
        case A::kSpaceTotal: w.U64(s.fs->f_blocks * block); return true;
        default: return false;
    }
}

bool DecodeTime(XdrReader& r, AttributeChange::Time& how, timespec& value) {
    uint32_t setIt = 0;
    if (!r.U32(setIt) || setIt > SET_TO_CLIENT_TIME4) return false;
    if (setIt == SET_TO_SERVER_TIME4) {
        how = AttributeChange::kServerTime;
        return true;
    }
    uint64_t seconds = 0;
    uint32_t nanoseconds = 0;
    if (!r.U64(seconds) || !r.U32(nanoseconds) || nanoseconds >= 1000000000u) return false;
    how = AttributeChange::kClientTime;
    value = timespec{static_cast<time_t>(static_cast<int64_t>(seconds)), static_cast<long>(nanoseconds)};
    return true;
}

// Decodes one settable attribute; false for values that do not decode.
bool DecodeOne(uint32_t attribute, XdrReader& r, Nfs4Attributes::Decoded& out, nfsstat4& status) {
    AttributeChange& change = out.change;
    std::string text;
    switch (attribute) {
        case A::kSize:
            change.setSize = true;
            return r.U64(change.size);
        case A::kMode: {
            uint32_t mode = 0;
            if (!r.U32(mode)) return false;
            change.setMode = true;
            change.mode = mode & 07777;
            return true;
        }
        case A::kOwner:
            if (!r.Opaque(text, NFS4_OPAQUE_LIMIT)) return false;
            change.setUid = true;
            if (!ParseId(text, change.uid)) status = NFS4ERR_BADOWNER;
            return true;
        case A::kOwnerGroup:
            if (!r.Opaque(text, NFS4_OPAQUE_LIMIT)) return false;
            change.setGid = true;
            if (!ParseId(text, change.gid)) status = NFS4ERR_BADOWNER;
            return true;
        case A::kTimeAccessSet: return DecodeTime(r, change.atime, change.atimeValue);
        case A::kTimeModifySet: return DecodeTime(r, change.mtime, change.mtimeValue);
        case A::kAcl:
            out.setAcl = true;
            return DecodeAcl(r, out.acl, status);
        default: return false;
    }
}

bool Settable(uint32_t attribute) {
    switch (attribute) {
        case A::kSize:
        case A::kMode:
        case A::kOwner:
        case A::kOwnerGroup:
        case A::kTimeAccessSet:
        case A::kTimeModifySet:
        case A::kAcl:
            return true;
        default:
            return false;
    }
}

void Mark(std::vector<uint32_t>& mask, uint32_t attribute) {
    if (mask.size() < attribute / 32 + 1) mask.resize(attribute / 32 + 1, 0);
    mask[attribute / 32] |= 1u << (attribute % 32);
}

}  // namespace

void Nfs4Attributes::Encoded::ToWire(fattr4& out) {
    out.attrmask.bitmap4_len = static_cast<u_int>(mask.size());
    out.attrmask.bitmap4_val = mask.data();
    out.attr_vals.attrlist4_len = static_cast<u_int>(values.size());
    out.attr_vals.attrlist4_val = values.empty() ? nullptr : &values[0];
}

bool Nfs4Attributes::Wants(const bitmap4& asked, uint32_t attribute) {
    const uint32_t word = attribute / 32;
    return word < asked.bitmap4_len && (asked.bitmap4_val[word] & (1u << (attribute % 32))) != 0;
}

bool Nfs4Attributes::WantsFileSystem(const bitmap4& asked) {
    for (uint32_t attribute : {kFilesAvail, kFilesFree, kFilesTotal, kSpaceAvail, kSpaceFree, kSpaceTotal}) {
        if (Wants(asked, attribute)) return true;
    }
    return false;
}

bool Nfs4Attributes::IsSupported(uint32_t attribute, bool acl) {
    switch (attribute) {
        case kAcl: return acl;
        case kSupportedAttrs: case kType: case kFhExpireType: case kChange: case kSize: case kLinkSupport:
        case kSymlinkSupport: case kNamedAttr: case kFsid: case kUniqueHandles: case kLeaseTime: case kRdattrError:
        case kAclSupport: case kCanSetTime: case kCaseInsensitive: case kCasePreserving: case kChownRestricted:
        case kFilehandle: case kFileid: case kFilesAvail: case kFilesFree: case kFilesTotal: case kHomogeneous:
        case kMaxFileSize: case kMaxLink: case kMaxName: case kMaxRead: case kMaxWrite: case kMode: case kNoTrunc:
        case kNumLinks: case kOwner: case kOwnerGroup: case kRawDev: case kSpaceAvail: case kSpaceFree:
        case kSpaceTotal: case kSpaceUsed: case kTimeAccess: case kTimeAccessSet: case kTimeDelta:
        case kTimeMetadata: case kTimeModify: case kTimeModifySet: case kMountedOnFileid:
            return true;
        default:
            return false;
    }
}

nfs_ftype4 Nfs4Attributes::TypeOf(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return NF4DIR;
        case S_IFLNK: return NF4LNK;
        case S_IFBLK: return NF4BLK;
        case S_IFCHR: return NF4CHR;
        case S_IFSOCK: return NF4SOCK;
        case S_IFIFO: return NF4FIFO;
        default: return NF4REG;
    }
}

void Nfs4Attributes::Encode(const bitmap4& asked, const Nfs4AttributeSource& source, Encoded& out) {
    out.mask.assign(kWords, 0);
    out.values.clear();
    XdrWriter writer(out.values);
    for (uint32_t attribute = 0; attribute < 32 * kWords; ++attribute) {
        // Write-only attributes are never read back.
        if (!Wants(asked, attribute) || !IsSupported(attribute, source.aclSupported) ||
            attribute == kTimeAccessSet || attribute == kTimeModifySet) {
            continue;
        }
        if (EncodeOne(attribute, source, writer)) out.mask[attribute / 32] |= 1u << (attribute % 32);
    }
    while (!out.mask.empty() && out.mask.back() == 0) out.mask.pop_back();
}

nfsstat4 Nfs4Attributes::Decode(const fattr4& attributes, bool aclSupported, Decoded& out) {
    XdrReader reader(attributes.attr_vals.attrlist4_val, attributes.attr_vals.attrlist4_len);
    nfsstat4 status = NFS4_OK;
    for (uint32_t word = 0; word < attributes.attrmask.bitmap4_len; ++word) {
        for (uint32_t bit = 0; bit < 32; ++bit) {
            if ((attributes.attrmask.bitmap4_val[word] & (1u << bit)) == 0) continue;
            const uint32_t attribute = word * 32 + bit;
            if (!IsSupported(attribute, aclSupported)) return NFS4ERR_ATTRNOTSUPP;
            if (!Settable(attribute)) return NFS4ERR_INVAL;
            if (!DecodeOne(attribute, reader, out, status)) return NFS4ERR_BADXDR;
            Mark(out.mask, attribute);
        }
    }
    if (!reader.Done()) return NFS4ERR_BADXDR;
    return status;
}
