// The permission table of the NFS service, row by row: callers (owner,
// group member by primary or supplementary group, other, root) against
// modes, for every kind of check; sticky directories; SETATTR's owner and
// group rules and the bits they clear; ACCESS without the owner's override.
#include "nfsserver/AccessPolicy.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kOwner = 1000;
constexpr uint32_t kGroup = 100;

// A caller with its own copy of its supplementary groups.
struct Caller {
    Caller(uint32_t uid, uint32_t gid, std::vector<uint32_t> groups = {}) : groups_(std::move(groups)) {
        ids.uid = uid;
        ids.gid = gid;
        ids.ngroups = static_cast<uint32_t>(groups_.size());
        ids.groups = groups_.empty() ? nullptr : groups_.data();
    }
    IdInfo ids;

private:
    std::vector<uint32_t> groups_;
};

const Caller kTheOwner(kOwner, 5);
const Caller kMember(2000, kGroup);
const Caller kSupplementaryMember(2001, 7, {8, kGroup});
const Caller kOther(3000, 300, {301});
const Caller kRoot(0, 0);

struct stat Object(mode_t type, mode_t mode, uint32_t uid = kOwner, uint32_t gid = kGroup) {
    struct stat st{};
    st.st_mode = type | mode;
    st.st_uid = uid;
    st.st_gid = gid;
    return st;
}

struct ModeRow {
    const char* who;
    const Caller& caller;
    mode_t mode;
    unsigned access;
    bool allowed;
};

TEST(AccessPolicyTest, ModeBitsOfTheOneClassTheCallerFallsIn) {
    const ModeRow rows[] = {
        {"owner reads 0400", kTheOwner, 0400, AccessPolicy::kRead, true},
        {"owner of 0077 reads (owner bits rule)", kTheOwner, 0077, AccessPolicy::kRead, false},
        {"owner writes 0200", kTheOwner, 0200, AccessPolicy::kWrite, true},
        {"owner runs 0100", kTheOwner, 0100, AccessPolicy::kExecute, true},
        {"member reads 0040", kMember, 0040, AccessPolicy::kRead, true},
        {"member of 0707 reads (group bits rule)", kMember, 0707, AccessPolicy::kRead, false},
        {"supplementary member writes 0020", kSupplementaryMember, 0020, AccessPolicy::kWrite, true},
        {"supplementary member of 0602 writes", kSupplementaryMember, 0602, AccessPolicy::kWrite, false},
        {"other reads 0004", kOther, 0004, AccessPolicy::kRead, true},
        {"other reads 0770", kOther, 0770, AccessPolicy::kRead, false},
        {"other read+write on 0006", kOther, 0006, AccessPolicy::kRead | AccessPolicy::kWrite, true},
        {"other read+write on 0004", kOther, 0004, AccessPolicy::kRead | AccessPolicy::kWrite, false},
        {"root reads 0000", kRoot, 0000, AccessPolicy::kRead, true},
        {"root writes 0000", kRoot, 0000, AccessPolicy::kWrite, true},
        {"root runs a file without x bits", kRoot, 0666, AccessPolicy::kExecute, false},
        {"root runs a file with any x bit", kRoot, 0001, AccessPolicy::kExecute, true},
    };
    for (const ModeRow& row : rows) {
        EXPECT_EQ(row.allowed, AccessPolicy::ModeAllows(row.caller.ids, Object(S_IFREG, row.mode), row.access))
            << row.who;
    }
    // Root searches any directory.
    EXPECT_TRUE(AccessPolicy::ModeAllows(kRoot.ids, Object(S_IFDIR, 0), AccessPolicy::kExecute));
}

struct CheckRow {
    const char* what;
    int (*check)(const IdInfo&, const struct stat&);
    const Caller& caller;
    mode_t type;
    mode_t mode;
    int expected;
};

TEST(AccessPolicyTest, EachCheckAsksForItsBitsAndOnlyReadAndWriteOfDataLetTheOwnerThrough) {
    const CheckRow rows[] = {
        {"lookup, search bit", AccessPolicy::MayLookUp, kOther, S_IFDIR, 0001, 0},
        {"lookup without it", AccessPolicy::MayLookUp, kOther, S_IFDIR, 0754, EACCES},
        {"lookup by the owner without it", AccessPolicy::MayLookUp, kTheOwner, S_IFDIR, 0677, EACCES},
        {"list, read bit", AccessPolicy::MayList, kMember, S_IFDIR, 0040, 0},
        {"list without it", AccessPolicy::MayList, kMember, S_IFDIR, 0715, EACCES},
        {"read, read bit", AccessPolicy::MayReadData, kOther, S_IFREG, 0004, 0},
        {"read of 0600 by other", AccessPolicy::MayReadData, kOther, S_IFREG, 0600, EACCES},
        {"read of 0000 by the owner", AccessPolicy::MayReadData, kTheOwner, S_IFREG, 0000, 0},
        {"read of an execute-only program", AccessPolicy::MayReadData, kOther, S_IFREG, 0001, 0},
        {"read of 0000 by root", AccessPolicy::MayReadData, kRoot, S_IFREG, 0000, 0},
        {"write, write bit", AccessPolicy::MayWriteData, kSupplementaryMember, S_IFREG, 0020, 0},
        {"write of 0444 by the owner", AccessPolicy::MayWriteData, kTheOwner, S_IFREG, 0444, 0},
        {"write of 0644 by a member", AccessPolicy::MayWriteData, kMember, S_IFREG, 0644, EACCES},
        {"write of 0000 by root", AccessPolicy::MayWriteData, kRoot, S_IFREG, 0000, 0},
        {"add entry, write and search", AccessPolicy::MayAddEntry, kOther, S_IFDIR, 0003, 0},
        {"add entry without search", AccessPolicy::MayAddEntry, kOther, S_IFDIR, 0002, EACCES},
        {"add entry without write", AccessPolicy::MayAddEntry, kOther, S_IFDIR, 0005, EACCES},
        {"add entry in 0555 by the owner", AccessPolicy::MayAddEntry, kTheOwner, S_IFDIR, 0555, EACCES},
        {"add entry in 0000 by root", AccessPolicy::MayAddEntry, kRoot, S_IFDIR, 0000, 0},
        {"move a directory, its write bit", AccessPolicy::MayMoveDirectory, kOther, S_IFDIR, 0002, 0},
        {"move a 0755 directory by other", AccessPolicy::MayMoveDirectory, kOther, S_IFDIR, 0755, EACCES},
    };
    for (const CheckRow& row : rows) {
        EXPECT_EQ(row.expected, row.check(row.caller.ids, Object(row.type, row.mode))) << row.what;
    }
}

TEST(AccessPolicyTest, InAStickyDirectoryOnlyTheEntrysOwnerTheDirectorysOwnerOrRootRemoves) {
    const struct stat sticky = Object(S_IFDIR, 01777, 4000, 400);
    const struct stat plain = Object(S_IFDIR, 0777, 4000, 400);
    const struct stat entry = Object(S_IFREG, 0666, kOwner, kGroup);
    EXPECT_EQ(0, AccessPolicy::MayRemoveEntry(kTheOwner.ids, sticky, entry));
    EXPECT_EQ(0, AccessPolicy::MayRemoveEntry(Caller(4000, 1).ids, sticky, entry));
    EXPECT_EQ(0, AccessPolicy::MayRemoveEntry(kRoot.ids, sticky, entry));
    EXPECT_EQ(EPERM, AccessPolicy::MayRemoveEntry(kOther.ids, sticky, entry));
    EXPECT_EQ(EPERM, AccessPolicy::MayRemoveEntry(kMember.ids, sticky, entry));
    EXPECT_EQ(0, AccessPolicy::MayRemoveEntry(kOther.ids, plain, entry));
    // The directory's bits come first.
    EXPECT_EQ(EACCES, AccessPolicy::MayRemoveEntry(kTheOwner.ids, Object(S_IFDIR, 01755, 4000, 400), entry));
}

struct SetattrRow {
    const char* what;
    const Caller& caller;
    mode_t mode;  // of a regular file owned by kOwner:kGroup
    AttributeChange change;
    int expected;
    bool modeSet;  // the change applies a mode afterwards
    mode_t modeAfter;
};

AttributeChange Chmod(mode_t mode) {
    AttributeChange c;
    c.setMode = true;
    c.mode = mode;
    return c;
}
AttributeChange Chown(bool uid, uint32_t newUid, bool gid, uint32_t newGid) {
    AttributeChange c;
    c.setUid = uid;
    c.uid = newUid;
    c.setGid = gid;
    c.gid = newGid;
    return c;
}
AttributeChange Truncate() {
    AttributeChange c;
    c.setSize = true;
    return c;
}
AttributeChange Times(AttributeChange::Time how) {
    AttributeChange c;
    c.atime = c.mtime = how;
    return c;
}

TEST(AccessPolicyTest, SetattrLetsRootChangeOwnersAndTheOwnerItsModeTimesAndGroupsItBelongsTo) {
    const SetattrRow rows[] = {
        {"root gives the file away", kRoot, 0644, Chown(true, 42, false, 0), 0, false, 0},
        {"the owner gives it to root", kTheOwner, 0644, Chown(true, 0, false, 0), EPERM, false, 0},
        {"the owner names itself", kTheOwner, 0644, Chown(true, kOwner, false, 0), 0, false, 0},
        {"another names the owner", kOther, 0644, Chown(true, kOwner, false, 0), EPERM, false, 0},
        {"the owner to its own group", kTheOwner, 0644, Chown(false, 0, true, 5), 0, false, 0},
        {"the owner to a foreign group", kTheOwner, 0644, Chown(false, 0, true, 999), EPERM, false, 0},
        {"a member changes the group", kMember, 0664, Chown(false, 0, true, kGroup), EPERM, false, 0},
        {"root to any group", kRoot, 0644, Chown(false, 0, true, 999), 0, false, 0},
        {"the owner chmods", kTheOwner, 0644, Chmod(0600), 0, true, 0600},
        {"a writer chmods", kOther, 0666, Chmod(0600), EPERM, false, 0},
        {"root chmods", kRoot, 0644, Chmod(0600), 0, true, 0600},
        {"chmod g+s outside the group", kTheOwner, 0644, Chmod(02755), 0, true, 0755},
        {"chmod g+s by a member owner", Caller(kOwner, kGroup), 0644, Chmod(02755), 0, true, 02755},
        {"chmod g+s by root", kRoot, 0644, Chmod(02755), 0, true, 02755},
        {"group change clears set-ids", kTheOwner, 06755, Chown(false, 0, true, 5), 0, true, 0755},
        {"truncate by a writer clears set-ids", kOther, 06757, Truncate(), 0, true, 0757},
        {"truncate by root keeps them", kRoot, 06755, Truncate(), 0, false, 0},
        {"truncate of 0444 by its owner", kTheOwner, 0444, Truncate(), 0, false, 0},
        {"truncate of 0644 by other", kOther, 0644, Truncate(), EACCES, false, 0},
        {"client times by the owner", kTheOwner, 0444, Times(AttributeChange::kClientTime), 0, false, 0},
        {"client times by a writer", kOther, 0666, Times(AttributeChange::kClientTime), EPERM, false, 0},
        {"times to now by a writer", kOther, 0666, Times(AttributeChange::kServerTime), 0, false, 0},
        {"times to now by a reader", kOther, 0644, Times(AttributeChange::kServerTime), EACCES, false, 0},
    };
    for (const SetattrRow& row : rows) {
        AttributeChange change = row.change;
        EXPECT_EQ(row.expected, AccessPolicy::MaySetAttributes(row.caller.ids, Object(S_IFREG, row.mode), change))
            << row.what;
        if (row.expected != 0) continue;
        EXPECT_EQ(row.modeSet, change.setMode) << row.what;
        if (row.modeSet) {
            EXPECT_EQ(row.modeAfter, change.mode) << row.what;
        }
    }
}

TEST(AccessPolicyTest, AccessAnswersFromTheModeWithoutTheOwnersOverride) {
    const uint32_t all = AccessPolicy::kAccessRead | AccessPolicy::kAccessLookup | AccessPolicy::kAccessModify |
                         AccessPolicy::kAccessExtend | AccessPolicy::kAccessDelete | AccessPolicy::kAccessExecute;
    const uint32_t readWrite = AccessPolicy::kAccessRead | AccessPolicy::kAccessModify | AccessPolicy::kAccessExtend;
    EXPECT_EQ(AccessPolicy::kAccessRead, AccessPolicy::Access(kTheOwner.ids, Object(S_IFREG, 0444), false, all));
    EXPECT_EQ(readWrite | AccessPolicy::kAccessExecute,
              AccessPolicy::Access(kTheOwner.ids, Object(S_IFREG, 0700), false, all));
    EXPECT_EQ(readWrite, AccessPolicy::Access(kRoot.ids, Object(S_IFREG, 0644), false, all));
    EXPECT_EQ(0u, AccessPolicy::Access(kOther.ids, Object(S_IFREG, 0640), false, all));
    // Directories: LOOKUP and DELETE, never EXECUTE.
    EXPECT_EQ(all & ~AccessPolicy::kAccessExecute, AccessPolicy::Access(kMember.ids, Object(S_IFDIR, 0070), false, all));
    EXPECT_EQ(AccessPolicy::kAccessRead | AccessPolicy::kAccessLookup,
              AccessPolicy::Access(kOther.ids, Object(S_IFDIR, 0755), false, all));
    // A read-only share grants no change, to root neither; only what was asked is answered.
    EXPECT_EQ(AccessPolicy::kAccessRead | AccessPolicy::kAccessLookup,
              AccessPolicy::Access(kRoot.ids, Object(S_IFDIR, 0777), true, all));
    EXPECT_EQ(AccessPolicy::kAccessModify,
              AccessPolicy::Access(kOther.ids, Object(S_IFREG, 0666), false, AccessPolicy::kAccessModify));
}

TEST(AccessPolicyTest, WritesClearSetIdsUnlessByRootAndNewFilesKeepSetGidOnlyForTheGroup) {
    EXPECT_EQ(0755u, AccessPolicy::ModeAfterWrite(kTheOwner.ids, Object(S_IFREG, 06755)));
    EXPECT_EQ(06755u, AccessPolicy::ModeAfterWrite(kRoot.ids, Object(S_IFREG, 06755)));
    const struct stat setGidDir = Object(S_IFDIR, 02775, 0, kGroup);
    EXPECT_EQ(0755u, AccessPolicy::NewObjectMode(kOther.ids, setGidDir, 02755, false));
    EXPECT_EQ(02755u, AccessPolicy::NewObjectMode(kSupplementaryMember.ids, setGidDir, 02755, false));
    EXPECT_EQ(02755u, AccessPolicy::NewObjectMode(kRoot.ids, setGidDir, 02755, false));
    EXPECT_EQ(02755u, AccessPolicy::NewObjectMode(kOther.ids, setGidDir, 02755, true));
    EXPECT_EQ(02755u, AccessPolicy::NewObjectMode(kOther.ids, Object(S_IFDIR, 0777), 02755, false));
}

}  // namespace
