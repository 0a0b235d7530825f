// ACLs through backend objects: the mode entries rebuilt on every read, the
// user-defined entries kept in the "ACL" attribute, the error conventions of
// each operation, the share-root flag, and persistence across a store restart.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/Quay2NFSV4ACLConverter.h"
#include "tests/module/BackendFixture.h"

namespace {

using backendtest::BackendTest;

QUAYACE Entry(uint32_t type, uint32_t whoKind, uint32_t id, uint32_t access) {
    QUAYACE ace = {};
    ace.type = type;
    ace.flags = whoKind == QUAY_ACE_WHO_GROUP ? ACE4_IDENTIFIER_GROUP : 0;
    ace.access = access;
    ace.whoKind = whoKind;
    ace.id = id;
    return ace;
}

std::string Bytes(const std::vector<QUAYACE>& entries) {
    return std::string(reinterpret_cast<const char*>(entries.data()),
                       entries.size() * sizeof(QUAYACE));
}

QuayNfs4Ace Special(uint32_t type, uint32_t who, uint32_t mask) {
    QuayNfs4Ace ace;
    ace.type = type;
    ace.iflag = QUAY_NFS4_IFLAG_SPECIAL_ID;
    ace.who = who;
    ace.flag = who == QUAY_NFS4_SPECIAL_GROUP ? ACE4_IDENTIFIER_GROUP : 0;
    ace.accessMask = mask;
    return ace;
}

QuayNfs4Ace User(uint32_t type, uint32_t uid, uint32_t mask) {
    QuayNfs4Ace ace;
    ace.type = type;
    ace.who = uid;
    ace.accessMask = mask;
    return ace;
}

// What a client sends after chmod-style editing: only the mode entries.
QuayNfs4Acl ModeOnly() {
    QuayNfs4Acl acl;
    acl.aces = {Special(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_OWNER, 0x1ff),
                Special(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_GROUP, 0x21),
                Special(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_NFS4_SPECIAL_EVERYONE, 0x1)};
    return acl;
}

// ModeOnly plus user 1001 may write and EVERYONE@ is denied execution.
QuayNfs4Acl WithUserEntries() {
    QuayNfs4Acl acl = ModeOnly();
    acl.aces.push_back(User(ACE4_ACCESS_ALLOWED_ACE_TYPE, 1001, ACE4_WRITE_DATA));
    acl.aces.push_back(
        Special(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_NFS4_SPECIAL_EVERYONE, ACE4_EXECUTE));
    return acl;
}

class BackendAclTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        OpenShare();
        file_ = MakeFile(root_, "f", "");
        ASSERT_TRUE(file_);
        QuayCtxt ctxt = Allowed();
        ASSERT_EQ(0, file_->chmod(&ctxt, "/f", 0640));
        ClearLines();
    }

    void TearDown() override {
        file_.reset();
        BackendTest::TearDown();
    }

    // The stored attribute, read from the store directly.
    CPelError Stored(const BkEndProcPtr& object, std::string& value) {
        return container_->getxattr(exp_->GetObjStoreIndex(),
                                    ObjectStore::ItemName(GuidOf(object), false), "ACL", value);
    }

    void Store(const BkEndProcPtr& object, const std::string& value) {
        ASSERT_FALSE(container_
                         ->setxattr(exp_->GetObjStoreIndex(),
                                    ObjectStore::ItemName(GuidOf(object), false), "ACL", value)
                         .IsError());
    }

    int Get(const BkEndProcPtr& object, QuayNfs4Acl& acl) {
        QuayCtxt ctxt = Allowed();
        errno = 0;
        return object->getACL(&ctxt, "ignored", &acl);
    }

    int Set(const BkEndProcPtr& object, const QuayNfs4Acl& acl) {
        QuayCtxt ctxt = Allowed();
        errno = 0;
        return object->setACL(&ctxt, "ignored", &acl);
    }

    int Count(const BkEndProcPtr& object, unsigned int& count) {
        QuayCtxt ctxt = Allowed();
        errno = 0;
        return object->getACLCount(&ctxt, "ignored", &count);
    }

    std::string RootFlagLine(const BkEndProcPtr& object, int flag) {
        return "DEBUG: ACL item [" + GuidOf(object) + "] share root [" + std::to_string(flag) + "]";
    }

    BkEndProcPtr file_;
};

// --- Reading without user-defined entries.

TEST_F(BackendAclTest, NoAttributeGivesTheThreeModeEntries) {
    unsigned int count = 0;
    ASSERT_EQ(0, Count(file_, count));
    EXPECT_EQ(3u, count);
    EXPECT_LOGGED(3, "INFO: Getting ACL for path [/f],");
    EXPECT_LOGGED(2, "INFO: No user defined ACL.");
    EXPECT_LOGGED(3, "INFO: Get ACL count [3] on path [/f] succeeded.");

    ClearLines();
    QuayNfs4Acl acl;
    ASSERT_EQ(0, Get(file_, acl)) << "errno " << errno << "\n" << testsupport::Dump(Lines());
    EXPECT_LOGGED(3, "INFO: No user defined ACL");
    EXPECT_LOGGED(3, "INFO: Get ACL on path [/f] succeeded.");
    ASSERT_EQ(3u, acl.aces.size());
    // Mode 0640: owner reads and writes, the group reads, others get nothing.
    EXPECT_EQ(static_cast<uint32_t>(QUAY_NFS4_SPECIAL_OWNER), acl.aces[0].who);
    EXPECT_EQ(ACE4_READ_DATA | ACE4_WRITE_DATA,
              acl.aces[0].accessMask & (ACE4_READ_DATA | ACE4_WRITE_DATA | ACE4_EXECUTE));
    EXPECT_EQ(static_cast<uint32_t>(QUAY_NFS4_SPECIAL_GROUP), acl.aces[1].who);
    EXPECT_EQ(ACE4_READ_DATA,
              acl.aces[1].accessMask & (ACE4_READ_DATA | ACE4_WRITE_DATA | ACE4_EXECUTE));
    EXPECT_EQ(static_cast<uint32_t>(QUAY_NFS4_SPECIAL_EVERYONE), acl.aces[2].who);
    EXPECT_EQ(0u, acl.aces[2].accessMask & (ACE4_READ_DATA | ACE4_WRITE_DATA | ACE4_EXECUTE));

    QUAYACL ex;
    QuayCtxt ctxt = Allowed();
    ASSERT_EQ(0, file_->getACL_ex(&ctxt, 0755, &ex));
    ASSERT_EQ(3u, ex.count);
    // The caller's mode counts, not the stored one.
    EXPECT_TRUE(ex.entries[0].access & ACE4_EXECUTE);
    EXPECT_TRUE(ex.entries[2].access & ACE4_READ_DATA);
    free(ex.entries);
}

TEST_F(BackendAclTest, ModeEntriesFollowAChmod) {
    QuayCtxt ctxt = Allowed();
    ASSERT_EQ(0, Set(file_, WithUserEntries()));
    ASSERT_EQ(0, file_->chmod(&ctxt, "/f", 0707));
    QuayNfs4Acl acl;
    ASSERT_EQ(0, Get(file_, acl));
    ASSERT_EQ(5u, acl.aces.size());
    EXPECT_TRUE(acl.aces[0].accessMask & ACE4_EXECUTE);  // OWNER@
    EXPECT_EQ(0u, acl.aces[2].accessMask & ACE4_READ_DATA);  // GROUP@
}

TEST_F(BackendAclTest, TheAllowListsAreNotConsulted) {
    QuayCtxt refused = Refused();
    unsigned int count = 0;
    EXPECT_EQ(0, file_->getACLCount(&refused, "/f", &count));
    QuayNfs4Acl acl;
    EXPECT_EQ(0, file_->getACL(&refused, "/f", &acl));
    EXPECT_EQ(0, file_->setACL(&refused, "/f", &acl));
}

// --- Stored entries.

TEST_F(BackendAclTest, FiftyByteAttributeHoldsTwoEntries) {
    std::string value = Bytes({Entry(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_USER, 1001, 0x2),
                               Entry(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_GROUP, 500, 0x1)});
    value.append(10, '\x7f');  // a partial entry, ignored
    ASSERT_EQ(50u, value.size());
    Store(file_, value);

    unsigned int count = 0;
    ASSERT_EQ(0, Count(file_, count));
    EXPECT_EQ(5u, count);
    EXPECT_LOGGED(3, "INFO: Get ACL count [5] on path [/f] succeeded.");

    QuayNfs4Acl acl;
    ASSERT_EQ(0, Get(file_, acl));
    ASSERT_EQ(5u, acl.aces.size());
    // OWNER@, user 1001, group 500 deny, GROUP@, EVERYONE@.
    EXPECT_EQ(1001u, acl.aces[1].who);
    EXPECT_EQ(0u, acl.aces[1].flag & ACE4_IDENTIFIER_GROUP);
    EXPECT_EQ(500u, acl.aces[2].who);
    EXPECT_EQ(ACE4_ACCESS_DENIED_ACE_TYPE, acl.aces[2].type);
    EXPECT_EQ(ACE4_IDENTIFIER_GROUP, acl.aces[2].flag & ACE4_IDENTIFIER_GROUP);

    QUAYACL ex;
    QuayCtxt ctxt = Allowed();
    ASSERT_EQ(0, file_->getACL_ex(&ctxt, 0640, &ex));
    EXPECT_EQ(5u, ex.count);
    EXPECT_LOGGED(3, "INFO: Get ACL on [" + GuidOf(file_) + "] succeeded.");
    free(ex.entries);
}

TEST_F(BackendAclTest, SetKeepsOnlyTheUserDefinedEntries) {
    ASSERT_EQ(0, Set(file_, WithUserEntries()));
    EXPECT_LOGGED(3, "INFO: Setting ACL for path [/f],");
    EXPECT_LOGGED(3, "INFO: Set ACL on path [/f] succeeded.");

    std::string value;
    ASSERT_FALSE(Stored(file_, value).IsError());
    EXPECT_EQ(Bytes({Entry(ACE4_ACCESS_ALLOWED_ACE_TYPE, QUAY_ACE_WHO_USER, 1001, ACE4_WRITE_DATA),
                     Entry(ACE4_ACCESS_DENIED_ACE_TYPE, QUAY_ACE_WHO_EVERYONE, 0, ACE4_EXECUTE)}),
              value);

    QuayNfs4Acl acl;
    ASSERT_EQ(0, Get(file_, acl));
    ASSERT_EQ(5u, acl.aces.size());
    EXPECT_EQ(1001u, acl.aces[1].who);
    // The denial comes before the EVERYONE@ allowance, so it takes effect.
    EXPECT_EQ(ACE4_ACCESS_DENIED_ACE_TYPE, acl.aces[3].type);
    EXPECT_EQ(static_cast<uint32_t>(QUAY_NFS4_SPECIAL_EVERYONE), acl.aces[3].who);
    EXPECT_EQ(ACE4_ACCESS_ALLOWED_ACE_TYPE, acl.aces[4].type);
}

TEST_F(BackendAclTest, SettingOnlyModeEntriesRemovesTheAttribute) {
    ASSERT_EQ(0, Set(file_, WithUserEntries()));
    ClearLines();
    ASSERT_EQ(0, Set(file_, ModeOnly()));
    EXPECT_LOGGED(3, "INFO: Removed ACL on path [/f] succeeded.");
    EXPECT_NOT_LOGGED("INFO: NO ACE to remove.");
    EXPECT_NOT_LOGGED("INFO: Setting ACL for path [/f],");
    std::string value;
    EXPECT_EQ(ENOENT, Stored(file_, value).ErrNo());

    ClearLines();
    ASSERT_EQ(0, Set(file_, ModeOnly()));
    EXPECT_LOGGED(3, "INFO: NO ACE to remove.");
    EXPECT_LOGGED(3, "INFO: Removed ACL on path [/f] succeeded.");
    ASSERT_EQ(0, Set(file_, QuayNfs4Acl()));
    unsigned int count = 0;
    ASSERT_EQ(0, Count(file_, count));
    EXPECT_EQ(3u, count);
}

// --- Failures.

TEST_F(BackendAclTest, GetAclExAnswersErrorNumbersAndLeavesErrnoAlone) {
    const std::string guid = GuidOf(file_);
    QuayCtxt ctxt = Allowed();
    QUAYACL ex;

    Faults().FailNext("getxattr", 1, EIO);
    errno = 777;
    EXPECT_EQ(EIO, file_->getACL_ex(&ctxt, 0640, &ex));
    EXPECT_EQ(777, errno);
    EXPECT_EQ(0u, ex.count);
    EXPECT_EQ(nullptr, ex.entries);
    EXPECT_LOGGED(3, "INFO: Getting ACL for [" + guid + "],");
    EXPECT_LOGGED(-1, "ERROR: Failed to get ACL for [" + guid +
                          "], error [injected failure of getxattr (errno 5)]");

    // A stored entry the converter does not know cannot be put in order.
    Store(file_, Bytes({Entry(ACE4_ACCESS_ALLOWED_ACE_TYPE, 99, 0, 0x1)}));
    ClearLines();
    errno = 778;
    EXPECT_EQ(EIO, file_->getACL_ex(&ctxt, 0640, &ex));
    EXPECT_EQ(778, errno);
    EXPECT_EQ(0u, ex.count);
    EXPECT_EQ(nullptr, ex.entries);
    EXPECT_LOGGED(-1, "ERROR: Failed to sort ACE for [" + guid +
                          "]. Error [entry 3: unknown who kind 99 (errno 22)]");

    errno = 779;
    EXPECT_EQ(EFAULT, file_->getACL_ex(&ctxt, 0640, nullptr));
    EXPECT_EQ(779, errno);
}

TEST_F(BackendAclTest, GetAclFailuresSetErrno) {
    QuayNfs4Acl acl;
    acl.aces = {User(ACE4_ACCESS_ALLOWED_ACE_TYPE, 7, 1)};

    Faults().FailNext("getxattr", 1, EIO);
    EXPECT_EQ(-1, Get(file_, acl));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to get ACL for path [/f], error [injected failure of "
                      "getxattr (errno 5)]");

    // The attributes cannot be read: the store's reason is the answer.
    Faults().FailNext("getattr", 1, ENOTCONN);
    EXPECT_EQ(-1, Get(file_, acl));
    EXPECT_EQ(ENOTCONN, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to get stat info for file [/f]. Error [injected failure of "
                      "getattr (errno 107)]");

    Store(file_, Bytes({Entry(7, QUAY_ACE_WHO_USER, 1, 0x1)}));
    EXPECT_EQ(-1, Get(file_, acl));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to sort ACE for file [/f]. Error [entry 3: unknown type 7 "
                      "(errno 22)]");
    ASSERT_EQ(1u, acl.aces.size());  // untouched by every failure
    EXPECT_EQ(7u, acl.aces[0].who);

    unsigned int count = 99;
    Faults().FailNext("getxattr", 1, EACCES);
    EXPECT_EQ(-1, Count(file_, count));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(99u, count);

    QuayCtxt ctxt = Allowed();
    errno = 0;
    EXPECT_EQ(-1, file_->getACL(&ctxt, "/f", nullptr));
    EXPECT_EQ(EFAULT, errno);
    errno = 0;
    EXPECT_EQ(-1, file_->getACLCount(&ctxt, "/f", nullptr));
    EXPECT_EQ(EFAULT, errno);
}

TEST_F(BackendAclTest, SetAclFailuresSetErrnoAndKeepTheStoredAcl) {
    ASSERT_EQ(0, Set(file_, WithUserEntries()));
    std::string before;
    ASSERT_FALSE(Stored(file_, before).IsError());

    QuayNfs4Acl bad = WithUserEntries();
    bad.aces[4].who = 9;  // not a special id
    EXPECT_EQ(-1, Set(file_, bad));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to get quay ACL for file [/f]. Error [ace 4: unknown "
                      "special id 9 (errno 22)]");

    QuayNfs4Acl other = ModeOnly();
    other.aces.push_back(User(ACE4_ACCESS_DENIED_ACE_TYPE, 1002, ACE4_READ_DATA));
    Faults().FailNext("setxattr", 1, ENOSPC);
    EXPECT_EQ(-1, Set(file_, other));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to set ACL for path [/f],");

    Faults().FailNext("removexattr", 1, EROFS);
    EXPECT_EQ(-1, Set(file_, ModeOnly()));
    EXPECT_EQ(EROFS, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to remove ACL for path [/f],");

    std::string after;
    ASSERT_FALSE(Stored(file_, after).IsError());
    EXPECT_EQ(before, after);

    QuayCtxt ctxt = Allowed();
    errno = 0;
    EXPECT_EQ(-1, file_->setACL(&ctxt, "/f", nullptr));
    EXPECT_EQ(EFAULT, errno);
}

// --- The share root.

TEST_F(BackendAclTest, RootFlagIsSetForTheShareRootExceptInGetAclEx) {
    QuayCtxt ctxt = Allowed();
    QuayNfs4Acl acl;
    unsigned int count = 0;
    QUAYACL ex;
    struct {
        BkEndProcPtr object;
        int flag;
    } cases[] = {{root_, 1}, {file_, 0}};
    for (const auto& c : cases) {
        ClearLines();
        ASSERT_EQ(0, Set(c.object, WithUserEntries()));
        EXPECT_LOGGED(5, RootFlagLine(c.object, c.flag));
        ClearLines();
        ASSERT_EQ(0, Get(c.object, acl));
        EXPECT_LOGGED(5, RootFlagLine(c.object, c.flag));
        EXPECT_LOGGED(3, "INFO: Get ACL on path [" + c.object->GetClientPath() + "] succeeded.");
        EXPECT_EQ(5u, acl.aces.size());
        ClearLines();
        ASSERT_EQ(0, Count(c.object, count));
        EXPECT_LOGGED(5, RootFlagLine(c.object, c.flag));
        EXPECT_EQ(5u, count);
        ClearLines();
        ASSERT_EQ(0, c.object->getACL_ex(&ctxt, 0755, &ex));
        EXPECT_LOGGED(5, RootFlagLine(c.object, 0));
        EXPECT_EQ(5u, ex.count);
        free(ex.entries);
    }
}

// --- Persistence.

TEST_F(BackendAclTest, AclSurvivesAStoreRestart) {
    ASSERT_EQ(0, Set(file_, WithUserEntries()));

    // Close everything the way a restart of the host does, then open afresh.
    file_.reset();
    root_.reset();
    Unpublish();
    ASSERT_FALSE(container_->closeObjectStore(exp_->GetObjStoreIndex()).IsError());
    exp_.reset();
    BackupFSM::objectContainer = nullptr;
    delete container_;
    container_ = new ObjectStore::ObjectContainer();
    ObjectStore::ObjectContainerConfig config;
    config.dataRoot = dataDir_.path() + "/stores";
    ASSERT_FALSE(container_->init(config).IsError());
    BackupFSM::objectContainer = container_;
    OpenShare();

    BkEndProcPtr file = Find(root_, "f");
    ASSERT_TRUE(file);
    QuayNfs4Acl acl;
    ASSERT_EQ(0, Get(file, acl));
    ASSERT_EQ(5u, acl.aces.size());
    EXPECT_EQ(1001u, acl.aces[1].who);
    EXPECT_EQ(ACE4_WRITE_DATA, acl.aces[1].accessMask);
    EXPECT_EQ(ACE4_ACCESS_DENIED_ACE_TYPE, acl.aces[3].type);
}

}  // namespace
