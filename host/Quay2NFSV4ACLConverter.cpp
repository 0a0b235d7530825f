#include "host/Quay2NFSV4ACLConverter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

namespace {

// Every principal may read attributes and the ACL; the owner may also
// change them, as chmod and chown allow the owner under POSIX.
constexpr uint32_t kEveryoneBase = ACE4_READ_ATTRIBUTES | ACE4_READ_ACL | ACE4_SYNCHRONIZE;
constexpr uint32_t kOwnerExtra = ACE4_WRITE_ATTRIBUTES | ACE4_WRITE_ACL | ACE4_WRITE_OWNER;

CPelError Invalid(const std::string& what) {
    return CPelError(EINVAL, what);
}

bool KnownType(uint32_t type) {
    return type <= ACE4_SYSTEM_ALARM_ACE_TYPE;
}

bool KnownWho(uint32_t whoKind) {
    return whoKind <= QUAY_ACE_WHO_EVERYONE;
}

bool IsGroupKind(uint32_t whoKind) {
    return whoKind == QUAY_ACE_WHO_GROUP || whoKind == QUAY_ACE_WHO_OWNER_GROUP;
}

bool IsSpecialKind(uint32_t whoKind) {
    return whoKind == QUAY_ACE_WHO_OWNER || whoKind == QUAY_ACE_WHO_OWNER_GROUP ||
           whoKind == QUAY_ACE_WHO_EVERYONE;
}

// Access granted by one rwx triplet of the mode.
uint32_t TripletMask(unsigned int rwx, bool isDir) {
    uint32_t mask = kEveryoneBase;
    if (rwx & 4) mask |= ACE4_READ_DATA | ACE4_READ_NAMED_ATTRS;
    if (rwx & 2) {
        mask |= ACE4_WRITE_DATA | ACE4_APPEND_DATA | ACE4_WRITE_NAMED_ATTRS;
        if (isDir) mask |= ACE4_DELETE_CHILD;
    }
    if (rwx & 1) mask |= ACE4_EXECUTE;
    return mask;
}

QUAYACE ModeEntry(uint32_t whoKind, uint32_t access) {
    QUAYACE ace = {};
    ace.type = ACE4_ACCESS_ALLOWED_ACE_TYPE;
    ace.flags = IsGroupKind(whoKind) ? ACE4_IDENTIFIER_GROUP : 0;
    ace.access = access;
    ace.whoKind = whoKind;
    ace.id = 0;
    return ace;
}

CPelError CheckList(const QUAYACL& acl) {
    if (acl.count > 0 && acl.entries == nullptr) return Invalid("ACL has entries but no array");
    return CPelError::Success();
}

CPelError CheckEntry(const QUAYACE& ace, uint32_t index) {
    if (!KnownType(ace.type)) {
        return Invalid("entry " + std::to_string(index) + ": unknown type " +
                       std::to_string(ace.type));
    }
    if (!KnownWho(ace.whoKind)) {
        return Invalid("entry " + std::to_string(index) + ": unknown who kind " +
                       std::to_string(ace.whoKind));
    }
    return CPelError::Success();
}

// Sort keys of the canonical order.
int ScopeRank(const QUAYACE& ace) {
    return (ace.flags & ACE4_INHERIT_ONLY_ACE) ? 1 : 0;
}

int ClassRank(const QUAYACE& ace) {
    switch (ace.whoKind) {
        case QUAY_ACE_WHO_OWNER: return 0;
        case QUAY_ACE_WHO_USER: return 1;
        case QUAY_ACE_WHO_OWNER_GROUP:
        case QUAY_ACE_WHO_GROUP: return 2;
        default: return 3;
    }
}

int TypeRank(const QUAYACE& ace) {
    switch (ace.type) {
        case ACE4_ACCESS_DENIED_ACE_TYPE: return 0;
        case ACE4_ACCESS_ALLOWED_ACE_TYPE: return 1;
        case ACE4_SYSTEM_AUDIT_ACE_TYPE: return 2;
        default: return 3;
    }
}

bool CanonicallyBefore(const QUAYACE& a, const QUAYACE& b) {
    if (ScopeRank(a) != ScopeRank(b)) return ScopeRank(a) < ScopeRank(b);
    if (ClassRank(a) != ClassRank(b)) return ClassRank(a) < ClassRank(b);
    return TypeRank(a) < TypeRank(b);
}

bool IsModeEntry(const QUAYACE& ace) {
    return ace.type == ACE4_ACCESS_ALLOWED_ACE_TYPE && IsSpecialKind(ace.whoKind) &&
           (ace.flags & ACE4_INHERITANCE_FLAGS) == 0;
}

CPelError ToHostAce(const QUAYACE& in, uint32_t index, QuayNfs4Ace& out) {
    CPelError error = CheckEntry(in, index);
    if (error.IsError()) return error;
    out.type = in.type;
    out.accessMask = in.access;
    out.flag = in.flags & ~ACE4_IDENTIFIER_GROUP;
    if (IsGroupKind(in.whoKind)) out.flag |= ACE4_IDENTIFIER_GROUP;
    out.iflag = 0;
    switch (in.whoKind) {
        case QUAY_ACE_WHO_OWNER:
            out.iflag = QUAY_NFS4_IFLAG_SPECIAL_ID;
            out.who = QUAY_NFS4_SPECIAL_OWNER;
            break;
        case QUAY_ACE_WHO_OWNER_GROUP:
            out.iflag = QUAY_NFS4_IFLAG_SPECIAL_ID;
            out.who = QUAY_NFS4_SPECIAL_GROUP;
            break;
        case QUAY_ACE_WHO_EVERYONE:
            out.iflag = QUAY_NFS4_IFLAG_SPECIAL_ID;
            out.who = QUAY_NFS4_SPECIAL_EVERYONE;
            break;
        default:
            out.who = in.id;
            break;
    }
    return CPelError::Success();
}

CPelError ToQuayAce(const QuayNfs4Ace& in, size_t index, QUAYACE& out) {
    if (!KnownType(in.type)) {
        return Invalid("ace " + std::to_string(index) + ": unknown type " + std::to_string(in.type));
    }
    out.type = in.type;
    out.access = in.accessMask;
    out.id = 0;
    if (in.iflag & QUAY_NFS4_IFLAG_SPECIAL_ID) {
        switch (in.who) {
            case QUAY_NFS4_SPECIAL_OWNER: out.whoKind = QUAY_ACE_WHO_OWNER; break;
            case QUAY_NFS4_SPECIAL_GROUP: out.whoKind = QUAY_ACE_WHO_OWNER_GROUP; break;
            case QUAY_NFS4_SPECIAL_EVERYONE: out.whoKind = QUAY_ACE_WHO_EVERYONE; break;
            default:
                return Invalid("ace " + std::to_string(index) + ": unknown special id " +
                               std::to_string(in.who));
        }
    } else {
        out.whoKind = (in.flag & ACE4_IDENTIFIER_GROUP) ? QUAY_ACE_WHO_GROUP : QUAY_ACE_WHO_USER;
        out.id = in.who;
    }
    out.flags = in.flag & ~ACE4_IDENTIFIER_GROUP;
    if (IsGroupKind(out.whoKind)) out.flags |= ACE4_IDENTIFIER_GROUP;
    return CPelError::Success();
}

}  // namespace

CPelError Quay2NFSV4ACLConverter::PopulateModeACL(QUAYACL& acl, unsigned int mode) {
    if (acl.count < 3 || acl.entries == nullptr) return Invalid("mode entries need 3 slots");
    const bool isDir = S_ISDIR(mode);
    acl.entries[0] = ModeEntry(QUAY_ACE_WHO_OWNER, TripletMask((mode >> 6) & 7, isDir) | kOwnerExtra);
    acl.entries[1] = ModeEntry(QUAY_ACE_WHO_OWNER_GROUP, TripletMask((mode >> 3) & 7, isDir));
    acl.entries[2] = ModeEntry(QUAY_ACE_WHO_EVERYONE, TripletMask(mode & 7, isDir));
    return CPelError::Success();
}

CPelError Quay2NFSV4ACLConverter::SortQuayACE(QUAYACL& acl, unsigned int /*mode*/) {
    CPelError error = CheckList(acl);
    if (error.IsError()) return error;
    for (uint32_t i = 0; i < acl.count; ++i) {
        error = CheckEntry(acl.entries[i], i);
        if (error.IsError()) return error;
    }
    try {
        std::stable_sort(acl.entries, acl.entries + acl.count, CanonicallyBefore);
    } catch (const std::bad_alloc&) {
        return CPelError(ENOMEM, "no memory to sort ACL");
    }
    return CPelError::Success();
}

CPelError Quay2NFSV4ACLConverter::GetfsalACL(void* out) {
    if (type_ != ACL_TYPE_QUAY) return Invalid("converter is not built on a QUAYACL");
    if (acl_ == nullptr || out == nullptr) return Invalid("null ACL");
    const QUAYACL& in = *static_cast<const QUAYACL*>(acl_);
    CPelError error = CheckList(in);
    if (error.IsError()) return error;
    try {
        std::vector<QuayNfs4Ace> aces(in.count);
        for (uint32_t i = 0; i < in.count; ++i) {
            error = ToHostAce(in.entries[i], i, aces[i]);
            if (error.IsError()) return error;
        }
        static_cast<QuayNfs4Acl*>(out)->aces.swap(aces);
    } catch (const std::bad_alloc&) {
        return CPelError(ENOMEM, "no memory for NFSv4 ACL");
    }
    return CPelError::Success();
}

CPelError Quay2NFSV4ACLConverter::GetQuayACL(QUAYACL& out) {
    if (type_ != ACL_TYPE_NFSV4) return Invalid("converter is not built on an NFSv4 ACL");
    if (acl_ == nullptr) return Invalid("null ACL");
    const std::vector<QuayNfs4Ace>& aces = static_cast<const QuayNfs4Acl*>(acl_)->aces;
    if (aces.size() > std::numeric_limits<uint32_t>::max()) return Invalid("too many aces");

    QUAYACE* entries = nullptr;
    if (!aces.empty()) {
        entries = static_cast<QUAYACE*>(calloc(aces.size(), sizeof(QUAYACE)));
        if (entries == nullptr) return CPelError(ENOMEM, "no memory for ACL entries");
    }
    for (size_t i = 0; i < aces.size(); ++i) {
        CPelError error = ToQuayAce(aces[i], i, entries[i]);
        if (error.IsError()) {
            free(entries);
            return error;
        }
    }
    free(out.entries);
    out.entries = entries;
    out.count = static_cast<uint32_t>(aces.size());
    return CPelError::Success();
}

CPelError Quay2NFSV4ACLConverter::RemoveSpecialACE(QUAYACL& acl) {
    CPelError error = CheckList(acl);
    if (error.IsError() || acl.count == 0) return error;
    QUAYACE* end = std::remove_if(acl.entries, acl.entries + acl.count, IsModeEntry);
    acl.count = static_cast<uint32_t>(end - acl.entries);
    return CPelError::Success();
}
