// Converts between the host's NFSv4 ACL (QuayNfs4Acl) and QUAYACL entry lists.
// Type 0 (ACL_TYPE_QUAY): constructed on a QUAYACL (toward the host's ACL);
// type 1 (ACL_TYPE_NFSV4): constructed on the host's NFSv4 ACL (toward a QUAYACL).
//
// The converter does not own the ACL it is constructed on; that ACL must
// outlive it. Entry arrays it hands out are allocated with calloc and belong to
// the caller, who releases them with free. No exception leaves the converter:
// every operation returns a CPelError (EINVAL for bad input, ENOMEM when memory
// runs out) and changes nothing it was given when it fails.
//
// Thread safety: an instance is meant for one thread; distinct instances, and
// the operations that take the list as an argument, share no state.
//
// Mode entries: PopulateModeACL makes one ALLOW entry each for OWNER@, GROUP@
// and EVERYONE@ that applies to the object itself (no inheritance flags).
// Those are "special" entries: RemoveSpecialACE drops every entry of that
// shape, so a user-defined DENY or inheritable entry on a special principal
// is kept.
//
// Canonical order (SortQuayACE), a stable sort on:
//   1. entries that apply to the object before inherit-only entries;
//   2. principal class: OWNER@, named users, groups (GROUP@ and named groups),
//      EVERYONE@ - the order in which POSIX checks owner, user, group, other;
//   3. within a class: DENY, ALLOW, AUDIT, ALARM, so a denial is seen before
//      an allowance for the same class.
// Entries equal on all three keep their given order.
#pragma once
#include "host/QuayAcl.h"
#include "platform/CPelError.h"

enum ACLType { ACL_TYPE_QUAY = 0, ACL_TYPE_NFSV4 = 1 };

class Quay2NFSV4ACLConverter {
public:
    // acl: a const QUAYACL* for ACL_TYPE_QUAY, a const QuayNfs4Acl* for
    // ACL_TYPE_NFSV4. Not owned; may be null (conversions then fail with EINVAL).
    Quay2NFSV4ACLConverter(const void* acl, ACLType type) : acl_(acl), type_(type) {}
    Quay2NFSV4ACLConverter(const Quay2NFSV4ACLConverter&) = delete;
    Quay2NFSV4ACLConverter& operator=(const Quay2NFSV4ACLConverter&) = delete;

    // Fills entries 0 to 2 (OWNER@, GROUP@, EVERYONE@ ALLOW) from the
    // permission bits of mode; a directory (S_IFDIR in mode) also gets
    // DELETE_CHILD with write. acl must already hold at least 3 entries;
    // EINVAL otherwise. Other entries are not touched.
    CPelError PopulateModeACL(QUAYACL& acl, unsigned int mode);
    // Puts the entries into the canonical order (see above); the order does
    // not depend on mode. EINVAL for an entry of unknown type or who kind.
    CPelError SortQuayACE(QUAYACL& acl, unsigned int mode);
    // Type 0 only: replaces the aces of out (a QuayNfs4Acl*) with the
    // QUAYACL given at construction. EINVAL for the wrong type, a null
    // argument or an entry of unknown type or who kind.
    CPelError GetfsalACL(void* out);
    // Type 1 only: fills out (count and newly allocated entries, null when
    // the count is 0) from the host ACL given at construction; entries out
    // held before are freed. EINVAL for the wrong type, a null ACL, an ace
    // of unknown type or an unknown special id.
    CPelError GetQuayACL(QUAYACL& out);
    // Removes the entries of the kind PopulateModeACL makes, keeping the
    // others in order; count shrinks, the array is kept as it is.
    CPelError RemoveSpecialACE(QUAYACL& acl);

private:
    const void* acl_;
    ACLType type_;
};
