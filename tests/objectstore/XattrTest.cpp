// Extended attributes: set, replace, read, remove; missing ones are ENOENT.
#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class XattrTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(LiveConfig());
        f_ = MakeFile(s_, Root(s_), "f", "x");
    }
    uint64_t s_ = 0;
    std::string f_;
};

TEST_F(XattrTest, SetReplaceReadAndRemove) {
    ItemName item(f_, false);
    std::string value;
    EXPECT_EQ(ENOENT, container_->getxattr(s_, item, "ACL", value).ErrNo());
    ASSERT_EQ(0, container_->setxattr(s_, item, "ACL", std::string("a\0b", 3)).ErrNo());
    ASSERT_EQ(0, container_->getxattr(s_, item, "ACL", value).ErrNo());
    EXPECT_EQ(std::string("a\0b", 3), value);  // binary values survive
    ASSERT_EQ(0, container_->setxattr(s_, item, "ACL", "second").ErrNo());
    ASSERT_EQ(0, container_->getxattr(s_, ItemName("/f"), "ACL", value).ErrNo());
    EXPECT_EQ("second", value);
    ASSERT_EQ(0, container_->setxattr(s_, item, "other", "").ErrNo());
    ASSERT_EQ(0, container_->removexattr(s_, item, "ACL").ErrNo());
    EXPECT_EQ(ENOENT, container_->getxattr(s_, item, "ACL", value).ErrNo());
    EXPECT_EQ(ENOENT, container_->removexattr(s_, item, "ACL").ErrNo());
    ASSERT_EQ(0, container_->getxattr(s_, item, "other", value).ErrNo());
    EXPECT_EQ("", value);
}

TEST_F(XattrTest, DirectoriesAndTheRootCarryAttributes) {
    ASSERT_EQ(0, container_->setxattr(s_, Root(s_), "ACL", "root-acl").ErrNo());
    std::string value;
    ASSERT_EQ(0, container_->getxattr(s_, ItemName("/"), "ACL", value).ErrNo());
    EXPECT_EQ("root-acl", value);
}

TEST_F(XattrTest, BadNamesValuesAndObjectsAreRefused) {
    ItemName item(f_, false);
    std::string value;
    EXPECT_EQ(EINVAL, container_->setxattr(s_, item, "", "v").ErrNo());
    EXPECT_EQ(ENAMETOOLONG, container_->setxattr(s_, item, std::string(256, 'n'), "v").ErrNo());
    EXPECT_EQ(E2BIG, container_->setxattr(s_, item, "big", std::string(65537, 'v')).ErrNo());
    EXPECT_EQ(0, container_->setxattr(s_, item, "max", std::string(65536, 'v')).ErrNo());
    EXPECT_EQ(ENOENT, container_->getxattr(s_, item, "big", value).ErrNo());
    ItemName missing(std::string(32, 'c'), false);
    EXPECT_EQ(ENOENT, container_->setxattr(s_, missing, "ACL", "v").ErrNo());
    EXPECT_EQ(ENOENT, container_->getxattr(s_, missing, "ACL", value).ErrNo());
    EXPECT_EQ(ENOENT, container_->removexattr(s_, missing, "ACL").ErrNo());
}

TEST_F(XattrTest, AttributesOfARemovedObjectAreGone) {
    ASSERT_EQ(0, container_->setxattr(s_, ItemName(f_, false), "ACL", "v").ErrNo());
    ASSERT_EQ(0, container_->unlink(s_, ItemName(f_, false)).ErrNo());
    std::string value;
    EXPECT_EQ(ENOENT, container_->getxattr(s_, ItemName(f_, false), "ACL", value).ErrNo());
}

}  // namespace
}  // namespace ObjectStore
