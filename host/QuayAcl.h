// ACL records shared by the host and file-system modules.
//
// QUAYACL: a count and a heap array (malloc family) of 20-byte QUAYACE
// entries. Modules store the entries as they are (a plain array, no header),
// so the entry layout and the constant values below are a persistent format:
// never renumber them.
//
// QuayNfs4Acl: the host's own NFSv4 ACL, the form the NFS layer hands to
// setACL and receives from getACL. Quay2NFSV4ACLConverter translates between
// the two.
#pragma once
#include <cstdint>
#include <vector>

// --- NFSv4 values (RFC 7530 section 6.2.1), used by both records.

// ACE types.
constexpr uint32_t ACE4_ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr uint32_t ACE4_ACCESS_DENIED_ACE_TYPE = 1;
constexpr uint32_t ACE4_SYSTEM_AUDIT_ACE_TYPE = 2;
constexpr uint32_t ACE4_SYSTEM_ALARM_ACE_TYPE = 3;

// ACE flags.
constexpr uint32_t ACE4_FILE_INHERIT_ACE = 0x00000001;
constexpr uint32_t ACE4_DIRECTORY_INHERIT_ACE = 0x00000002;
constexpr uint32_t ACE4_NO_PROPAGATE_INHERIT_ACE = 0x00000004;
constexpr uint32_t ACE4_INHERIT_ONLY_ACE = 0x00000008;
constexpr uint32_t ACE4_SUCCESSFUL_ACCESS_ACE_FLAG = 0x00000010;
constexpr uint32_t ACE4_FAILED_ACCESS_ACE_FLAG = 0x00000020;
constexpr uint32_t ACE4_IDENTIFIER_GROUP = 0x00000040;
constexpr uint32_t ACE4_INHERITED_ACE = 0x00000080;
constexpr uint32_t ACE4_INHERITANCE_FLAGS =
    ACE4_FILE_INHERIT_ACE | ACE4_DIRECTORY_INHERIT_ACE | ACE4_NO_PROPAGATE_INHERIT_ACE |
    ACE4_INHERIT_ONLY_ACE;

// Access mask bits.
constexpr uint32_t ACE4_READ_DATA = 0x00000001;  // also LIST_DIRECTORY
constexpr uint32_t ACE4_WRITE_DATA = 0x00000002;  // also ADD_FILE
constexpr uint32_t ACE4_APPEND_DATA = 0x00000004;  // also ADD_SUBDIRECTORY
constexpr uint32_t ACE4_READ_NAMED_ATTRS = 0x00000008;
constexpr uint32_t ACE4_WRITE_NAMED_ATTRS = 0x00000010;
constexpr uint32_t ACE4_EXECUTE = 0x00000020;
constexpr uint32_t ACE4_DELETE_CHILD = 0x00000040;
constexpr uint32_t ACE4_READ_ATTRIBUTES = 0x00000080;
constexpr uint32_t ACE4_WRITE_ATTRIBUTES = 0x00000100;
constexpr uint32_t ACE4_DELETE = 0x00010000;
constexpr uint32_t ACE4_READ_ACL = 0x00020000;
constexpr uint32_t ACE4_WRITE_ACL = 0x00040000;
constexpr uint32_t ACE4_WRITE_OWNER = 0x00080000;
constexpr uint32_t ACE4_SYNCHRONIZE = 0x00100000;

// --- QUAYACL: the module-facing entry list.

// Who an entry applies to (QUAYACE::whoKind).
enum QuayAceWho : uint32_t {
    QUAY_ACE_WHO_USER = 0,      // the user whose uid is in id
    QUAY_ACE_WHO_GROUP = 1,     // the group whose gid is in id
    QUAY_ACE_WHO_OWNER = 2,     // OWNER@
    QUAY_ACE_WHO_OWNER_GROUP = 3,  // GROUP@
    QUAY_ACE_WHO_EVERYONE = 4,  // EVERYONE@
};

struct QUAYACE {
    uint32_t type;    // ACE4_*_ACE_TYPE: allow / deny / audit / alarm
    uint32_t flags;   // ACE4 flags; ACE4_IDENTIFIER_GROUP set exactly for group kinds
    uint32_t access;  // NFSv4 access mask
    uint32_t whoKind; // QuayAceWho
    uint32_t id;      // uid or gid for QUAY_ACE_WHO_USER / _GROUP, else 0
};
static_assert(sizeof(QUAYACE) == 20, "an ACL entry is 20 bytes");

struct QUAYACL {
    uint32_t count = 0;
    QUAYACE* entries = nullptr;
};
typedef QUAYACL QUAYACL_t;

// --- The host's NFSv4 ACL, as the NFS layer keeps it: a principal is either
// a numeric id (user, or group when the flag ACE4_IDENTIFIER_GROUP is set)
// or, with QUAY_NFS4_IFLAG_SPECIAL_ID, one of the special ids below.

constexpr uint32_t QUAY_NFS4_IFLAG_SPECIAL_ID = 0x80000000;

enum QuayNfs4SpecialId : uint32_t {
    QUAY_NFS4_SPECIAL_OWNER = 1,     // OWNER@
    QUAY_NFS4_SPECIAL_GROUP = 2,     // GROUP@
    QUAY_NFS4_SPECIAL_EVERYONE = 3,  // EVERYONE@
};

struct QuayNfs4Ace {
    uint32_t type = ACE4_ACCESS_ALLOWED_ACE_TYPE;
    uint32_t flag = 0;        // ACE4 flags as on the wire
    uint32_t accessMask = 0;
    uint32_t iflag = 0;       // host-internal flags: QUAY_NFS4_IFLAG_SPECIAL_ID
    uint32_t who = 0;         // uid, gid or QuayNfs4SpecialId
};

struct QuayNfs4Acl {
    std::vector<QuayNfs4Ace> aces;  // in evaluation order
};
