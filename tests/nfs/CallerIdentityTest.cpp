#include "nfsserver/CallerIdentity.h"

#include <gtest/gtest.h>

#include "nfsserver/FileService.h"

namespace {

ExportPtr MakeExport(ZELQUAYSquashType squash) {
    ExportPtr none;
    ExportPtr exp(new Export("/share", SHARE_PERM_READ_WRITE, "*", 7, none));
    exp->SetSquashingType(squash);
    exp->SetAnonUid(65534);
    exp->SetAnonGid(65533);
    return exp;
}

TEST(CallerIdentityTest, RootSquashMapsOnlyRootIds) {
    ExportPtr exp = MakeExport(ZEL_QUAY_ROOT_SQUASH);
    CallerIdentity root("127.0.0.1", 0, 0, {0, 5});
    root.Squash(*exp);
    EXPECT_EQ(root.Ids().uid, 65534u);
    EXPECT_EQ(root.Ids().gid, 65533u);
    ASSERT_EQ(root.Ids().ngroups, 2u);
    EXPECT_EQ(root.Ids().groups[0], 65533u);
    EXPECT_EQ(root.Ids().groups[1], 5u);

    CallerIdentity user("127.0.0.1", 1000, 100, {100});
    user.Squash(*exp);
    EXPECT_EQ(user.Ids().uid, 1000u);
    EXPECT_EQ(user.Ids().gid, 100u);
}

TEST(CallerIdentityTest, AllSquashAndAnonymousCallersGetTheAnonymousIds) {
    ExportPtr exp = MakeExport(ZEL_QUAY_ALL_SQUASH);
    CallerIdentity user("127.0.0.1", 1000, 100, {100, 200});
    user.Squash(*exp);
    EXPECT_EQ(user.Ids().uid, 65534u);
    EXPECT_EQ(user.Ids().gid, 65533u);
    EXPECT_EQ(user.Ids().ngroups, 0u);
    EXPECT_EQ(user.Ids().groups, nullptr);

    ExportPtr open = MakeExport(ZEL_QUAY_NO_ROOT_SQUASH);
    CallerIdentity anonymous("127.0.0.1");
    anonymous.Squash(*open);
    EXPECT_EQ(anonymous.Ids().uid, 65534u);
    EXPECT_EQ(anonymous.Ids().gid, 65533u);
}

TEST(CallerIdentityTest, NoSquashKeepsRootAndCopiesOwnTheirGroups) {
    ExportPtr exp = MakeExport(ZEL_QUAY_NO_ROOT_SQUASH);
    CallerIdentity root("::1", 0, 0, {0, 3});
    root.Squash(*exp);
    EXPECT_EQ(root.Ids().uid, 0u);
    CallerIdentity copy(root);
    ASSERT_EQ(copy.Ids().ngroups, 2u);
    EXPECT_NE(copy.Ids().groups, root.Ids().groups);
    EXPECT_EQ(copy.Ids().groups[1], 3u);
    EXPECT_EQ(copy.Address(), "::1");
}

TEST(FileServiceNameTest, NamesThatCannotNameAnEntryAreRefused) {
    EXPECT_EQ(FileService::CheckName("a.bin", true), 0);
    EXPECT_EQ(FileService::CheckName("", false), EINVAL);
    EXPECT_EQ(FileService::CheckName("a/b", false), EINVAL);
    EXPECT_EQ(FileService::CheckName("../x", true), EINVAL);
    EXPECT_EQ(FileService::CheckName(".", true), EINVAL);
    EXPECT_EQ(FileService::CheckName("..", true), EINVAL);
    EXPECT_EQ(FileService::CheckName("..", false), 0);
    EXPECT_EQ(FileService::CheckName(std::string(255, 'n'), true), 0);
    EXPECT_EQ(FileService::CheckName(std::string(256, 'n'), true), ENAMETOOLONG);
}

}  // namespace
