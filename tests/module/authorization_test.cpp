// Allow-lists and the caller checks: list parsing, AuthorizeUser with
// primary and supplementary groups, the list-text checks and the mode bits.
#include "module/backend/Authorization.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "module/export/BackupFSMExport.h"
#include "tests/support/TestEnvironment.h"

namespace {

class AuthorizationTest : public testsupport::ModuleTest {
protected:
    boost::shared_ptr<BackupFSMExport> Share(std::string users, std::string groups) {
        ExportPtr parent;
        auto exp = boost::make_shared<BackupFSMExport>("/store", SHARE_PERM_READ_WRITE, "*", 7,
                                                       parent);
        exp->SetUserIds(users);
        exp->SetGroupIds(groups);
        return exp;
    }

    bool Authorize(const boost::shared_ptr<BackupFSMExport>& exp, uint32_t uid, uint32_t gid,
                   std::vector<uint32_t> groups = {}) {
        groups_ = groups;
        id_.uid = uid;
        id_.gid = gid;
        id_.ngroups = static_cast<uint32_t>(groups_.size());
        id_.groups = groups_.empty() ? nullptr : groups_.data();
        QuayCtxt ctx(id_, exp, BkEndProcPtr());
        return AuthorizeUser(&ctx);
    }

    bool RWX(uint32_t uid, uint32_t gid, std::vector<uint32_t> groups, mode_t mode,
             uid_t owner, gid_t group, BackupFSMAccessType access) {
        groups_ = groups;
        id_.uid = uid;
        id_.gid = gid;
        id_.ngroups = static_cast<uint32_t>(groups_.size());
        id_.groups = groups_.empty() ? nullptr : groups_.data();
        QuayCtxt ctx(id_, ExportPtr(), BkEndProcPtr());
        struct stat st = {};
        st.st_mode = S_IFREG | mode;
        st.st_uid = owner;
        st.st_gid = group;
        return AuthorizeUserForRWX(&ctx, st, access);
    }

    IdInfo id_;
    std::vector<uint32_t> groups_;
};

TEST_F(AuthorizationTest, ListParsing) {
    EXPECT_EQ((std::set<unsigned int>{1001, 1002}), ParseIdSet(",1001,,1002,"));
    EXPECT_EQ((std::set<unsigned int>{0}), ParseIdSet("abc"));
    EXPECT_EQ((std::set<unsigned int>{}), ParseIdSet("1001,*,1002"));
    EXPECT_EQ((std::set<unsigned int>{}), ParseIdSet("*"));
    EXPECT_EQ((std::set<unsigned int>{}), ParseIdSet(""));
    EXPECT_EQ((std::set<unsigned int>{}), ParseIdSet(",,"));
    // atoi: leading blanks, a sign, digits up to the first other character.
    EXPECT_EQ((std::set<unsigned int>{12, 4294967295u, 7}), ParseIdSet(" 12x,-1,+7"));
}

TEST_F(AuthorizationTest, StarUserListAdmitsEverybodyAtTheUserTest) {
    auto exp = Share("*", "500");
    EXPECT_TRUE(Authorize(exp, 4242, 4242));
    EXPECT_LOGGED(3, "INFO: User ID [4242] is allowed to access the share [/store].");
}

TEST_F(AuthorizationTest, EmptyGroupListAdmitsAtTheGroupTest) {
    auto exp = Share("1001", "");
    EXPECT_TRUE(Authorize(exp, 2000, 100));
    EXPECT_LOGGED(3, "INFO: Group ID [100] is allowed to access the share [/store]");
    EXPECT_NOT_LOGGED("INFO: User ID [2000] is allowed to access the share [/store].");
}

TEST_F(AuthorizationTest, UserInListPasses) {
    auto exp = Share("1001,1002", "500");
    EXPECT_TRUE(Authorize(exp, 1002, 100));
    EXPECT_LOGGED(3, "INFO: User ID [1002] is allowed to access the share [/store].");
}

TEST_F(AuthorizationTest, PrimaryGroupPasses) {
    auto exp = Share("1001", "500");
    EXPECT_TRUE(Authorize(exp, 2000, 500));
    EXPECT_LOGGED(3, "INFO: Group ID [500] is allowed to access the share [/store]");
}

TEST_F(AuthorizationTest, SupplementaryGroupPassesAndIsNamed) {
    auto exp = Share("1001", "500");
    EXPECT_TRUE(Authorize(exp, 2000, 100, {20, 500}));
    EXPECT_LOGGED(3, "INFO: Group ID [500] is allowed to access the share [/store]");
    EXPECT_NOT_LOGGED("INFO: Group ID [20] is allowed to access the share [/store]");
}

TEST_F(AuthorizationTest, CallerOutsideEveryListIsRefused) {
    auto exp = Share("1001", "500");
    EXPECT_FALSE(Authorize(exp, 2000, 100, {20, 30}));
    EXPECT_LOGGED(1,
                  "INFO: User ID [2000] Group ID [100] not allowed to access [/store]. Given user "
                  "should be atleast in allowed user groups.");
}

TEST_F(AuthorizationTest, StarInsideListAdmitsEverybody) {
    auto exp = Share("1001,*,1002", "500");
    EXPECT_TRUE(Authorize(exp, 31337, 31337));
}

TEST_F(AuthorizationTest, DoubledCommasParseToTheTwoIds) {
    auto exp = Share(",1001,,1002,", "500");
    EXPECT_TRUE(Authorize(exp, 1001, 1));
    EXPECT_TRUE(Authorize(exp, 1002, 1));
    EXPECT_FALSE(Authorize(exp, 0, 1)) << "empty items must not add id 0";
}

TEST_F(AuthorizationTest, NonNumericItemAdmitsOnlyRootAtTheUserTest) {
    auto exp = Share("abc", "500");
    EXPECT_TRUE(Authorize(exp, 0, 1));
    EXPECT_LOGGED(3, "INFO: User ID [0] is allowed to access the share [/store].");
    EXPECT_FALSE(Authorize(exp, 1, 1));
}

TEST_F(AuthorizationTest, ListChangeTakesEffect) {
    auto exp = Share("1001", "500");
    EXPECT_FALSE(Authorize(exp, 2000, 100));
    std::string users = "2000";
    exp->SetUserIds(users);
    EXPECT_TRUE(Authorize(exp, 2000, 100));
}

TEST_F(AuthorizationTest, MissingContextOrForeignExportIsRefused) {
    EXPECT_FALSE(AuthorizeUser(nullptr));
    ExportPtr parent;
    ExportPtr foreign(new Export("/other", SHARE_PERM_READ_WRITE, "*", 9, parent));
    IdInfo id;
    QuayCtxt ctx(id, foreign, BkEndProcPtr());
    EXPECT_FALSE(AuthorizeUser(&ctx));
    QuayCtxt noExport(id, ExportPtr(), BkEndProcPtr());
    EXPECT_FALSE(AuthorizeUser(&noExport));
}

TEST_F(AuthorizationTest, ListTextChecks) {
    ExportPtr exp = Share("1001,abc", "500,501");
    EXPECT_TRUE(isUserAllowed(exp, 1001));
    EXPECT_LOGGED(3, "User ID [1001] is allowed to access this share");
    EXPECT_TRUE(isUserAllowed(exp, 0)) << "abc converts to 0";
    EXPECT_FALSE(isUserAllowed(exp, 1002));
    EXPECT_LOGGED(3, "User ID [1002] is not allowed to access this share");
    EXPECT_TRUE(isGroupAllowed(exp, 501));
    EXPECT_LOGGED(3, "Group ID [501] is allowed to access this share");
    EXPECT_FALSE(isGroupAllowed(exp, 502));
    EXPECT_LOGGED(3, "Group ID [502] is not allowed to access this share");
}

TEST_F(AuthorizationTest, ListTextChecksAdmitNobodyForStarOrEmpty) {
    ExportPtr star = Share("*", "*");
    EXPECT_FALSE(isUserAllowed(star, 1001));
    EXPECT_FALSE(isUserAllowed(star, 0)) << "\"*\" is not id 0";
    EXPECT_FALSE(isGroupAllowed(star, 0));
    ExportPtr empty = Share("", "");
    EXPECT_FALSE(isUserAllowed(empty, 0));
    EXPECT_FALSE(isGroupAllowed(empty, 0));
}

TEST_F(AuthorizationTest, RootIsAlwaysGranted) {
    EXPECT_TRUE(RWX(0, 0, {}, 0000, 1000, 1000, BACKUPFSM_ACCESS_WRITE));
    EXPECT_LOGGED(5, "DEBUG: uid [0] gid [0] accessType [1] buf.st_mode [8000] buf.st_uid [1000] "
                     "buf.st_gid [1000]");
    EXPECT_LOGGED(5, "DEBUG: Access Granted");
}

TEST_F(AuthorizationTest, OwnerBits) {
    EXPECT_TRUE(RWX(1000, 1, {}, 0400, 1000, 2, BACKUPFSM_ACCESS_READ));
    EXPECT_LOGGED(5, "DEBUG: uid == buf.st_uid R [256] W [0] X [0]");
    EXPECT_TRUE(RWX(1000, 1, {}, 0200, 1000, 2, BACKUPFSM_ACCESS_WRITE));
    EXPECT_TRUE(RWX(1000, 1, {}, 0100, 1000, 2, BACKUPFSM_ACCESS_EXECUTE));
    EXPECT_FALSE(RWX(1000, 1, {}, 0500, 1000, 2, BACKUPFSM_ACCESS_WRITE));
    // The owner is not refused by a missing owner bit: the other bits still count.
    EXPECT_TRUE(RWX(1000, 1, {}, 0577, 1000, 2, BACKUPFSM_ACCESS_WRITE));
}

TEST_F(AuthorizationTest, OwnerWithoutBitFallsThroughToGroup) {
    EXPECT_TRUE(RWX(1000, 50, {}, 0070, 1000, 50, BACKUPFSM_ACCESS_READ));
    EXPECT_LOGGED(5, "DEBUG: gid == buf.st_gid R 32 W 16 X 8");
}

TEST_F(AuthorizationTest, SupplementaryGroupBits) {
    EXPECT_TRUE(RWX(1000, 1, {7, 50}, 0020, 2000, 50, BACKUPFSM_ACCESS_WRITE));
    EXPECT_LOGGED(5, "DEBUG: garray[1] == buf.st_gid");
    EXPECT_FALSE(RWX(1000, 1, {50}, 0040, 2000, 50, BACKUPFSM_ACCESS_WRITE));
}

TEST_F(AuthorizationTest, OtherBits) {
    EXPECT_TRUE(RWX(1000, 1, {}, 0004, 2000, 2, BACKUPFSM_ACCESS_READ));
    EXPECT_LOGGED(5, "DEBUG: Checking for others R 4 W 0 X 0");
    EXPECT_FALSE(RWX(1000, 1, {}, 0770, 2000, 2, BACKUPFSM_ACCESS_EXECUTE));
}

TEST_F(AuthorizationTest, InvalidAccessTypeIsRefused) {
    EXPECT_FALSE(RWX(1000, 1, {}, 0777, 1000, 1, static_cast<BackupFSMAccessType>(3)));
    EXPECT_LOGGED(-1, "ERROR: Invalid accessType 3");
    ClearLines();
    EXPECT_FALSE(RWX(1000, 1, {}, 0777, 2000, 2, static_cast<BackupFSMAccessType>(3)));
    EXPECT_LOGGED(-1, "ERROR: Invalid accessType 3");
    ClearLines();
    // Group path logs the error from the group check, then again for others.
    EXPECT_FALSE(RWX(1000, 1, {}, 0777, 2000, 1, static_cast<BackupFSMAccessType>(3)));
    EXPECT_EQ(2, testsupport::CountLines(Lines(), "ERROR: Invalid accessType 3"));
}

}  // namespace
