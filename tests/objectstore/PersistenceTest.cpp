// Everything survives closing the store and restarting the container.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

using PersistenceTest = StoreTest;

TEST_F(PersistenceTest, StoreContentSurvivesARestart) {
    uint64_t s = Open(LiveConfig());
    std::string root = container_->getRootGuid(s);
    std::string d = Mkdir(s, Root(s), "dir");
    std::string data = Pattern(300000, 9);
    std::string f = MakeFile(s, ItemName(d, false), "file", data);
    ASSERT_EQ(0, container_->createSymbolicLink(s, ItemName(), "file", "/dir/link").ErrNo());
    ASSERT_EQ(0, container_->setxattr(s, ItemName(f, false), "ACL", "acl").ErrNo());
    ASSERT_EQ(0, container_->chmod(s, ItemName(f, false), 0612).ErrNo());
    Restart();
    s = Open(LiveConfig());
    EXPECT_EQ(root, container_->getRootGuid(s));
    std::string path;
    ASSERT_EQ(0, container_->guidToPath(s, f, path).ErrNo());
    EXPECT_EQ("/dir/file", path);
    EXPECT_EQ(data, ReadPath(s, "/dir/file"));
    std::string target, acl;
    ASSERT_EQ(0, container_->readLink(s, ItemName("/dir/link"), target).ErrNo());
    EXPECT_EQ("file", target);
    ASSERT_EQ(0, container_->getxattr(s, ItemName(f, false), "ACL", acl).ErrNo());
    EXPECT_EQ("acl", acl);
    struct stat st;
    ItemName item(f, false);
    ASSERT_EQ(0, container_->getattr(s, item, st).ErrNo());
    EXPECT_EQ(0612u, st.st_mode & 07777);
    // New objects get GUIDs never used before.
    std::string g = MakeFile(s, Root(s), "later", "");
    EXPECT_NE(f, g);
    EXPECT_NE(d, g);
    std::vector<std::string> problems;
    ASSERT_EQ(0, container_->checkIntegrity(s, problems).ErrNo());
    EXPECT_TRUE(problems.empty());
}

TEST_F(PersistenceTest, WritesOfAFileLeftOpenAreCommittedWhenTheStoreCloses) {
    uint64_t s = Open(LiveConfig());
    std::string f = MakeFile(s, Root(s), "f", "");
    FileHandle fh;
    ASSERT_EQ(0, container_->open(s, fh, ItemName(f, false), O_RDWR, false).ErrNo());
    uint64_t count = 7;
    ASSERT_EQ(0, container_->write(s, fh, "pending", count, 0, 0).ErrNo());
    ASSERT_EQ(0, container_->closeObjectStore(s).ErrNo());
    Restart();
    s = Open(LiveConfig());
    EXPECT_EQ("pending", ReadPath(s, "/f"));
}

TEST_F(PersistenceTest, ExtentSizeIsFixedWhenTheStoreIsCreated) {
    ObjectStoreConfig cfg = LiveConfig();
    cfg.extentSize = 8192;
    uint64_t s = Open(cfg);
    std::string data = Pattern(40000, 4);
    MakeFile(s, Root(s), "f", data);
    ASSERT_EQ(0, container_->closeObjectStore(s).ErrNo());
    cfg.extentSize = 1 << 20;  // a later opener cannot change the layout
    s = Open(cfg);
    EXPECT_EQ(data, ReadPath(s, "/f"));
    std::vector<std::string> problems;
    ASSERT_EQ(0, container_->checkIntegrity(s, problems).ErrNo());
    EXPECT_TRUE(problems.empty());
}

TEST_F(PersistenceTest, MetadataFolderCanLiveApart) {
    ObjectStoreConfig cfg = LiveConfig();
    cfg.metadataDir = tmp_ + "/meta";
    uint64_t s = Open(cfg);
    MakeFile(s, Root(s), "f", "abc");
    struct stat st;
    EXPECT_EQ(0, ::stat((tmp_ + "/meta/stores%2Fs1/meta.db").c_str(), &st));
    Restart();
    s = Open(cfg);
    EXPECT_EQ("abc", ReadPath(s, "/f"));
}

TEST_F(PersistenceTest, AStoreCannotBeOpenedByTwoProcessesAtOnce) {
    Open(LiveConfig());
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    pid_t pid = ::fork();
    if (pid == 0) {
        ObjectContainer other;
        ObjectContainerConfig cc;
        cc.dataRoot = dataRoot_;
        other.init(cc);
        uint64_t index = 0;
        int e = other.openObjectStore(index, LiveConfig()).ErrNo();
        (void)!::write(fds[1], &e, sizeof(e));
        ::_exit(0);
    }
    int e = -1;
    ASSERT_EQ(static_cast<ssize_t>(sizeof(e)), ::read(fds[0], &e, sizeof(e)));
    ::waitpid(pid, nullptr, 0);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(EBUSY, e);
}

}  // namespace
}  // namespace ObjectStore
