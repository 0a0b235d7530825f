// Quay2NFSV4ACLConverter on its own: mode entries, canonical order, removal of
// the mode entries, and conversion both ways between QUAYACL and the host's
// NFSv4 ACL.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host/Quay2NFSV4ACLConverter.h"

namespace {

constexpr uint32_t kBase = ACE4_READ_ATTRIBUTES | ACE4_READ_ACL | ACE4_SYNCHRONIZE;
constexpr uint32_t kOwnerExtra = ACE4_WRITE_ATTRIBUTES | ACE4_WRITE_ACL | ACE4_WRITE_OWNER;
constexpr uint32_t kRead = ACE4_READ_DATA | ACE4_READ_NAMED_ATTRS;
constexpr uint32_t kWrite = ACE4_WRITE_DATA | ACE4_APPEND_DATA | ACE4_WRITE_NAMED_ATTRS;

QUAYACE Ace(uint32_t type, uint32_t whoKind, uint32_t id = 0, uint32_t flags = 0,
            uint32_t access = ACE4_READ_DATA) {
    QUAYACE ace = {};
    ace.type = type;
    ace.flags = flags;
    ace.access = access;
    ace.whoKind = whoKind;
    ace.id = id;
    return ace;
}

QuayNfs4Ace HostAce(uint32_t type, uint32_t who, bool special, uint32_t flag = 0,
                    uint32_t mask = ACE4_READ_DATA) {
    QuayNfs4Ace ace;
    ace.type = type;
    ace.flag = flag;
    ace.accessMask = mask;
    ace.iflag = special ? QUAY_NFS4_IFLAG_SPECIAL_ID : 0;
    ace.who = who;
    return ace;
}

bool Same(const QUAYACE& a, const QUAYACE& b) {
    return memcmp(&a, &b, sizeof(QUAYACE)) == 0;
}

// A QUAYACL owning a malloc'd copy of the given entries.
class OwnedAcl {
public:
    explicit OwnedAcl(const std::vector<QUAYACE>& entries) {
        acl.count = static_cast<uint32_t>(entries.size());
        acl.entries = static_cast<QUAYACE*>(calloc(entries.size() + 1, sizeof(QUAYACE)));
        if (!entries.empty()) memcpy(acl.entries, entries.data(), entries.size() * sizeof(QUAYACE));
    }
    ~OwnedAcl() { free(acl.entries); }
    OwnedAcl(const OwnedAcl&) = delete;
    OwnedAcl& operator=(const OwnedAcl&) = delete;

    std::vector<QUAYACE> Entries() const {
        return std::vector<QUAYACE>(acl.entries, acl.entries + acl.count);
    }

    QUAYACL acl;
};

void ExpectEntries(const std::vector<QUAYACE>& want, const std::vector<QUAYACE>& got) {
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_TRUE(Same(want[i], got[i]))
            << "entry " << i << ": type " << got[i].type << " who " << got[i].whoKind << " id "
            << got[i].id << " flags " << got[i].flags << " access " << got[i].access;
    }
}

Quay2NFSV4ACLConverter& Plain() {
    static Quay2NFSV4ACLConverter converter(nullptr, ACL_TYPE_QUAY);
    return converter;
}

// --- Mode entries.

TEST(AclConverterModeEntries, TripletsMapToNfs4Masks) {
    struct Case {
        unsigned int mode;
        uint32_t owner, group, everyone;
    } cases[] = {
        {S_IFREG | 0754, kBase | kOwnerExtra | kRead | kWrite | ACE4_EXECUTE,
         kBase | kRead | ACE4_EXECUTE, kBase | kRead},
        {S_IFREG | 0000, kBase | kOwnerExtra, kBase, kBase},
        {S_IFREG | 0222, kBase | kOwnerExtra | kWrite, kBase | kWrite, kBase | kWrite},
        {0611, kBase | kOwnerExtra | kRead | kWrite, kBase | ACE4_EXECUTE, kBase | ACE4_EXECUTE},
        // Write on a directory includes removing entries from it.
        {S_IFDIR | 0720, kBase | kOwnerExtra | kRead | kWrite | ACE4_EXECUTE | ACE4_DELETE_CHILD,
         kBase | kWrite | ACE4_DELETE_CHILD, kBase},
    };
    for (const Case& c : cases) {
        OwnedAcl list(std::vector<QUAYACE>(3, Ace(9, 9, 9, 9, 9)));
        ASSERT_FALSE(Plain().PopulateModeACL(list.acl, c.mode).IsError());
        ExpectEntries({Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER, 0, 0, c.owner),
                       Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER_GROUP, 0,
                           ACE4_IDENTIFIER_GROUP, c.group),
                       Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE, 0, 0, c.everyone)},
                      list.Entries());
    }
}

TEST(AclConverterModeEntries, FillsOnlyTheFirstThreeAndNeedsThem) {
    const QUAYACE user = Ace(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_USER, 42);
    OwnedAcl list({QUAYACE(), QUAYACE(), QUAYACE(), user});
    ASSERT_FALSE(Plain().PopulateModeACL(list.acl, 0644).IsError());
    EXPECT_TRUE(Same(user, list.acl.entries[3]));

    OwnedAcl tooShort({QUAYACE(), QUAYACE()});
    const CPelError error = Plain().PopulateModeACL(tooShort.acl, 0644);
    EXPECT_EQ(EINVAL, error.ErrNo());
    ExpectEntries({QUAYACE(), QUAYACE()}, tooShort.Entries());

    QUAYACL noArray;
    noArray.count = 3;
    EXPECT_EQ(EINVAL, Plain().PopulateModeACL(noArray, 0644).ErrNo());
}

// --- Canonical order.

TEST(AclConverterSort, OrdersByScopeThenClassThenTypeAndKeepsTies) {
    const QUAYACE everyoneAllow = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE);
    const QUAYACE everyoneDeny = Ace(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE);
    const QUAYACE groupAllow =
        Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_GROUP, 500, ACE4_IDENTIFIER_GROUP);
    const QUAYACE ownerGroupAllow =
        Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER_GROUP, 0, ACE4_IDENTIFIER_GROUP);
    const QUAYACE groupDeny =
        Ace(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_GROUP, 600, ACE4_IDENTIFIER_GROUP);
    const QUAYACE userAudit = Ace(ACE4_SYSTEM_AUDIT_ACE_TYPE, QUAY_ACE_WHO_USER, 7);
    const QUAYACE userAllowA = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_USER, 9);
    const QUAYACE userAllowB = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_USER, 8);
    const QUAYACE userAlarm = Ace(ACE4_SYSTEM_ALARM_ACE_TYPE, QUAY_ACE_WHO_USER, 7);
    const QUAYACE ownerAllow = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER);
    const QUAYACE inheritOnlyOwnerDeny = Ace(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_OWNER, 0,
                                             ACE4_FILE_INHERIT_ACE | ACE4_INHERIT_ONLY_ACE);
    // Inheritable but also effective here: stays with the effective entries.
    const QUAYACE inheritingUserDeny =
        Ace(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_USER, 3, ACE4_FILE_INHERIT_ACE);

    OwnedAcl list({inheritOnlyOwnerDeny, everyoneAllow, groupAllow, userAllowA, everyoneDeny,
                   userAlarm, ownerGroupAllow, userAllowB, groupDeny, ownerAllow, userAudit,
                   inheritingUserDeny});
    ASSERT_FALSE(Plain().SortQuayACE(list.acl, 0644).IsError());
    ExpectEntries({ownerAllow, inheritingUserDeny, userAllowA, userAllowB, userAudit, userAlarm,
                   groupDeny, groupAllow, ownerGroupAllow, everyoneDeny, everyoneAllow,
                   inheritOnlyOwnerDeny},
                  list.Entries());
}

TEST(AclConverterSort, RefusesUnknownEntriesAndLeavesTheListAlone) {
    const QUAYACE everyone = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE);
    const QUAYACE owner = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER);
    for (const QUAYACE& bad : {Ace(4, QUAY_ACE_WHO_USER), Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, 5)}) {
        OwnedAcl list({everyone, bad, owner});
        EXPECT_EQ(EINVAL, Plain().SortQuayACE(list.acl, 0).ErrNo());
        ExpectEntries({everyone, bad, owner}, list.Entries());
    }
    QUAYACL empty;
    EXPECT_FALSE(Plain().SortQuayACE(empty, 0).IsError());
    QUAYACL noArray;
    noArray.count = 2;
    EXPECT_EQ(EINVAL, Plain().SortQuayACE(noArray, 0).ErrNo());
}

// --- Removal of the mode entries.

TEST(AclConverterRemoveSpecial, DropsOnlyWhatPopulateModeMakes) {
    const QUAYACE user = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_USER, 1001);
    const QUAYACE everyoneDeny = Ace(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE);
    const QUAYACE inheritableOwner =
        Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER, 0, ACE4_DIRECTORY_INHERIT_ACE);
    const QUAYACE ownerAudit = Ace(ACE4_SYSTEM_AUDIT_ACE_TYPE, QUAY_ACE_WHO_OWNER);
    const QUAYACE group =
        Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_GROUP, 500, ACE4_IDENTIFIER_GROUP);

    OwnedAcl list({QUAYACE(), QUAYACE(), QUAYACE(), user, everyoneDeny, inheritableOwner,
                   ownerAudit, group});
    ASSERT_FALSE(Plain().PopulateModeACL(list.acl, 0755).IsError());
    // A mode-shaped entry with another mask is still a mode entry.
    list.acl.entries[1].access = ACE4_READ_DATA;
    ASSERT_FALSE(Plain().RemoveSpecialACE(list.acl).IsError());
    ExpectEntries({user, everyoneDeny, inheritableOwner, ownerAudit, group}, list.Entries());

    OwnedAcl onlyMode({QUAYACE(), QUAYACE(), QUAYACE()});
    ASSERT_FALSE(Plain().PopulateModeACL(onlyMode.acl, 0600).IsError());
    ASSERT_FALSE(Plain().RemoveSpecialACE(onlyMode.acl).IsError());
    EXPECT_EQ(0u, onlyMode.acl.count);

    QUAYACL noArray;
    noArray.count = 1;
    EXPECT_EQ(EINVAL, Plain().RemoveSpecialACE(noArray).ErrNo());
}

// --- Host ACL to QUAYACL.

TEST(AclConverterToQuay, ConvertsPrincipalsAndNormalisesTheGroupFlag) {
    QuayNfs4Acl host;
    host.aces = {
        HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_OWNER, true, 0, 0x1ff),
        // GROUP@ without the group flag, as some clients send it.
        HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_GROUP, true, 0, 0x21),
        HostAce(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_NFS4_SPECIAL_EVERYONE, true,
                ACE4_IDENTIFIER_GROUP | ACE4_FILE_INHERIT_ACE, ACE4_WRITE_DATA),
        HostAce(ACE4_SYSTEM_AUDIT_ACE_TYPE, 1001, false, ACE4_FAILED_ACCESS_ACE_FLAG, 0x2),
        HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, 500, false, ACE4_IDENTIFIER_GROUP, 0x20),
    };
    Quay2NFSV4ACLConverter converter(&host, ACL_TYPE_NFSV4);
    QUAYACL out;
    out.count = 1;
    out.entries = static_cast<QUAYACE*>(calloc(1, sizeof(QUAYACE)));  // replaced, not leaked
    ASSERT_FALSE(converter.GetQuayACL(out).IsError());
    ExpectEntries(
        {Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER, 0, 0, 0x1ff),
         Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_OWNER_GROUP, 0, ACE4_IDENTIFIER_GROUP, 0x21),
         Ace(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE, 0, ACE4_FILE_INHERIT_ACE,
             ACE4_WRITE_DATA),
         Ace(ACE4_SYSTEM_AUDIT_ACE_TYPE, QUAY_ACE_WHO_USER, 1001, ACE4_FAILED_ACCESS_ACE_FLAG, 0x2),
         Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_GROUP, 500, ACE4_IDENTIFIER_GROUP, 0x20)},
        std::vector<QUAYACE>(out.entries, out.entries + out.count));
    free(out.entries);

    QuayNfs4Acl empty;
    Quay2NFSV4ACLConverter emptyConverter(&empty, ACL_TYPE_NFSV4);
    QUAYACL none;
    ASSERT_FALSE(emptyConverter.GetQuayACL(none).IsError());
    EXPECT_EQ(0u, none.count);
    EXPECT_EQ(nullptr, none.entries);
}

TEST(AclConverterToQuay, BadInputFailsWithEinvalAndLeavesTheOutputAlone) {
    QuayNfs4Acl badSpecial;
    badSpecial.aces = {HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_OWNER, true),
                       HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, 4, true)};
    QuayNfs4Acl badType;
    badType.aces = {HostAce(7, 1001, false)};
    QUAYACE kept = Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_USER, 5);
    QUAYACL out;
    out.count = 1;
    out.entries = &kept;
    for (const QuayNfs4Acl* acl : {&badSpecial, &badType}) {
        Quay2NFSV4ACLConverter converter(acl, ACL_TYPE_NFSV4);
        EXPECT_EQ(EINVAL, converter.GetQuayACL(out).ErrNo());
        EXPECT_EQ(1u, out.count);
        EXPECT_EQ(&kept, out.entries);
    }
    QUAYACL quay;
    Quay2NFSV4ACLConverter wrongType(&quay, ACL_TYPE_QUAY);
    EXPECT_EQ(EINVAL, wrongType.GetQuayACL(out).ErrNo());
    Quay2NFSV4ACLConverter nothing(nullptr, ACL_TYPE_NFSV4);
    EXPECT_EQ(EINVAL, nothing.GetQuayACL(out).ErrNo());
    EXPECT_EQ(&kept, out.entries);
}

// --- QUAYACL to host ACL.

TEST(AclConverterToHost, ConvertsEveryPrincipalAndRoundTrips) {
    QuayNfs4Acl original;
    original.aces = {
        HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_OWNER, true, 0, 0x1ff),
        HostAce(ACE4_ACCESS_DENIED_ACE_TYPE, 1001, false, ACE4_DIRECTORY_INHERIT_ACE, 0x6),
        HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_GROUP, true, ACE4_IDENTIFIER_GROUP,
                0x21),
        HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, 500, false, ACE4_IDENTIFIER_GROUP, 0x20),
        HostAce(ACE4_SYSTEM_ALARM_ACE_TYPE, QUAY_NFS4_SPECIAL_EVERYONE, true,
                ACE4_SUCCESSFUL_ACCESS_ACE_FLAG, 0x1),
    };
    QUAYACL quay;
    Quay2NFSV4ACLConverter toQuay(&original, ACL_TYPE_NFSV4);
    ASSERT_FALSE(toQuay.GetQuayACL(quay).IsError());

    QuayNfs4Acl back;
    back.aces.resize(9);  // replaced
    Quay2NFSV4ACLConverter toHost(&quay, ACL_TYPE_QUAY);
    ASSERT_FALSE(toHost.GetfsalACL(&back).IsError());
    free(quay.entries);
    ASSERT_EQ(original.aces.size(), back.aces.size());
    for (size_t i = 0; i < back.aces.size(); ++i) {
        const QuayNfs4Ace& a = original.aces[i];
        const QuayNfs4Ace& b = back.aces[i];
        EXPECT_EQ(a.type, b.type) << i;
        EXPECT_EQ(a.flag, b.flag) << i;
        EXPECT_EQ(a.accessMask, b.accessMask) << i;
        EXPECT_EQ(a.iflag, b.iflag) << i;
        EXPECT_EQ(a.who, b.who) << i;
    }
}

TEST(AclConverterToHost, BadInputFailsWithEinvalAndLeavesTheOutputAlone) {
    QuayNfs4Acl out;
    out.aces = {HostAce(ACE4_ACCESS_ALLOWED_ACE_TYPE, 77, false)};

    OwnedAcl badWho({Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_USER, 1),
                     Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, 11)});
    OwnedAcl badType({Ace(5, QUAY_ACE_WHO_EVERYONE)});
    for (OwnedAcl* list : {&badWho, &badType}) {
        Quay2NFSV4ACLConverter converter(&list->acl, ACL_TYPE_QUAY);
        EXPECT_EQ(EINVAL, converter.GetfsalACL(&out).ErrNo());
        ASSERT_EQ(1u, out.aces.size());
        EXPECT_EQ(77u, out.aces[0].who);
    }
    OwnedAcl good({Ace(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE)});
    Quay2NFSV4ACLConverter converter(&good.acl, ACL_TYPE_QUAY);
    EXPECT_EQ(EINVAL, converter.GetfsalACL(nullptr).ErrNo());
    QuayNfs4Acl host;
    Quay2NFSV4ACLConverter wrongType(&host, ACL_TYPE_NFSV4);
    EXPECT_EQ(EINVAL, wrongType.GetfsalACL(&out).ErrNo());
    EXPECT_EQ(77u, out.aces[0].who);
}

}  // namespace
