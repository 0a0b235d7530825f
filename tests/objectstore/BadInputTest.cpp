// Bad input gets a clear errno and changes nothing.
#include <fcntl.h>
#include <sys/stat.h>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class BadInputTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ObjectStoreConfig cfg = LiveConfig();
        cfg.maxPath = 64;
        s_ = Open(cfg);
        Mkdir(s_, Root(s_), "d");
    }
    uint64_t s_ = 0;
};

TEST_F(BadInputTest, StoreConfigurationsThatNameNoStoreAreRefused) {
    struct Case {
        std::string path;
        int err;
    } cases[] = {{"", EINVAL}, {"relative", EINVAL}, {"/a/../b", EINVAL}, {"/", EINVAL},
                 {"/" + std::string(300, 'x'), ENAMETOOLONG}};
    for (const Case& c : cases) {
        uint64_t index = 0;
        EXPECT_EQ(c.err, container_->openObjectStore(index, LiveConfig(c.path)).ErrNo()) << c.path;
    }
    ObjectStoreConfig cfg = LiveConfig("/stores/tiny");
    cfg.extentSize = 100;
    uint64_t index = 0;
    EXPECT_EQ(EINVAL, container_->openObjectStore(index, cfg).ErrNo());
    cfg.extentSize = 4096;
    cfg.maxPath = 0;
    EXPECT_EQ(EINVAL, container_->openObjectStore(index, cfg).ErrNo());
}

TEST_F(BadInputTest, BadNamesAreRefusedAndCreateNothing) {
    struct Case {
        std::string name;
        int err;
    } cases[] = {{"", EINVAL}, {"a/b", EINVAL}, {".", EINVAL}, {"..", EINVAL},
                 {std::string(256, 'n'), ENAMETOOLONG}};
    for (const Case& c : cases) {
        ItemName item;
        EXPECT_EQ(c.err, container_->create(s_, item, Root(s_), c.name, 0644).ErrNo()) << c.name;
        EXPECT_EQ(c.err, container_->mkdir(s_, item, Root(s_), c.name, 0755).ErrNo()) << c.name;
        FileHandle fh;
        struct stat st;
        EXPECT_EQ(c.err, container_->createAndOpen(s_, fh, Root(s_), c.name, st, O_RDWR).ErrNo()) << c.name;
        EXPECT_EQ("", item.getObjGuid());
    }
    EXPECT_EQ("2", StatValue(s_, "Directories"));  // the root and d
    EXPECT_EQ("0", StatValue(s_, "Files"));
}

TEST_F(BadInputTest, PathsPastMaxPathAreEnametoolong) {
    std::string longName(62, 'x');  // "/d/" + 62 bytes is one past maxPath
    ItemName item;
    EXPECT_EQ(ENAMETOOLONG, container_->mkdir(s_, item, ItemName("/d"), longName, 0755).ErrNo());
    EXPECT_EQ(ENAMETOOLONG, ErrnoOfGetattr(s_, "/d/" + longName));
    EXPECT_EQ(ENAMETOOLONG, container_->rename(s_, "/d/" + longName, "/d", false).ErrNo());
    EXPECT_EQ(ENAMETOOLONG, container_->createSymbolicLink(s_, ItemName(), std::string(65, 't'), "/l").ErrNo());
    EXPECT_EQ(0, ErrnoOfGetattr(s_, "/d"));
}

TEST_F(BadInputTest, UnknownAndMalformedItemsAreRefused) {
    struct stat st;
    ItemName empty;
    EXPECT_EQ(EINVAL, container_->getattr(s_, empty, st).ErrNo());
    ItemName shortGuid("abc", false);
    EXPECT_EQ(EINVAL, container_->getattr(s_, shortGuid, st).ErrNo());
    ItemName unknown(std::string(32, 'f'), false);
    EXPECT_EQ(ENOENT, container_->getattr(s_, unknown, st).ErrNo());
    ItemName relative(std::string("d"));
    EXPECT_EQ(EINVAL, container_->getattr(s_, relative, st).ErrNo());
    std::string path = "x";
    EXPECT_EQ(EINVAL, container_->guidToPath(s_, "not-a-guid", path).ErrNo());
    EXPECT_EQ("", path);
    ItemName created;
    EXPECT_EQ(ENOENT, container_->mkdir(s_, created, unknown, "x", 0755).ErrNo());
    EXPECT_EQ(ENOENT, container_->unlink(s_, unknown).ErrNo());
    EXPECT_EQ(ENOENT, container_->chmod(s_, unknown, 0700).ErrNo());
    // The root flag alone names the root.
    ItemName rootOnly("", true);
    EXPECT_EQ(0, container_->getattr(s_, rootOnly, st).ErrNo());
    EXPECT_EQ(container_->getRootGuid(s_), rootOnly.getObjGuid());
}

TEST_F(BadInputTest, UpperCaseGuidNamesTheSameObject) {
    std::string guid = MakeFile(s_, Root(s_), "f", "x");
    std::string upper = guid;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    std::string path;
    ASSERT_EQ(0, container_->guidToPath(s_, upper, path).ErrNo());
    EXPECT_EQ("/f", path);
}

TEST_F(BadInputTest, UnknownStoreIndexIsEbadfEverywhere) {
    const uint64_t bad = 999;
    struct stat st;
    ItemName item("/");
    FileHandle fh;
    uint64_t count = 0;
    char buf[1];
    ObjectStoreUpdates u;
    NameValueList stats;
    EXPECT_EQ(EBADF, container_->getattr(bad, item, st).ErrNo());
    EXPECT_EQ(EBADF, container_->open(bad, fh, item, O_RDONLY, false).ErrNo());
    EXPECT_EQ(EBADF, container_->read(bad, fh, buf, 0, count).ErrNo());
    EXPECT_EQ(EBADF, container_->write(bad, fh, buf, count, 0, 0).ErrNo());
    EXPECT_EQ(EBADF, container_->updateObjectStore(bad, u).ErrNo());
    EXPECT_EQ(EBADF, container_->getObjStrGuiStats(bad, stats).ErrNo());
    EXPECT_TRUE(stats.empty());
    EXPECT_EQ("", container_->getRootGuid(bad));
}

}  // namespace
}  // namespace ObjectStore
