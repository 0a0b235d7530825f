// Who owns new objects and how many links a directory has: the creating
// thread's owner, set-group-id directories, link counts through creates,
// removes and renames, in views of earlier times, after migrating a store
// of the previous format, and in the integrity check.
#include <sys/stat.h>

#include <thread>

#include "objectstore/CreatorScope.h"
#include "objectstore/SqlConnection.h"
#include "objectstore/StoreFormat.h"
#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class OwnershipTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(LiveConfig());
    }
    struct stat Stat(uint64_t store, const std::string& path) {
        struct stat st{};
        ItemName item(path);
        CPelError err = container_->getattr(store, item, st);
        EXPECT_EQ(0, err.ErrNo()) << path << ": " << err.Message();
        return st;
    }
    ItemName Item(const std::string& path) {
        ItemName item(path);
        struct stat st{};
        EXPECT_EQ(0, container_->getattr(s_, item, st).ErrNo()) << path;
        return ItemName(item.getObjGuid(), path == "/");
    }
    void Rename(const std::string& from, const std::string& to) {
        CPelError err = container_->rename(s_, to, from, false);
        ASSERT_EQ(0, err.ErrNo()) << err.Message();
    }
    std::string MetaPath() const { return dataRoot_ + "/stores%2Fs1/" + kMetaFileName; }
    std::vector<std::string> Problems(uint64_t store) {
        std::vector<std::string> problems;
        EXPECT_EQ(0, container_->checkIntegrity(store, problems).ErrNo());
        return problems;
    }
    uint64_t s_ = 0;
};

TEST_F(OwnershipTest, NewObjectsBelongToTheCreatingThreadsOwnerAndOtherwiseToTheDefault) {
    {
        CreatorScope owner(1234, 5678);
        Mkdir(s_, Root(s_), "d");
        MakeFile(s_, Root(s_), "f", "x");
        ASSERT_EQ(0, container_->createSymbolicLink(s_, ItemName(), "f", "/l").ErrNo());
        {
            CreatorScope inner(7, 8);
            MakeFile(s_, Root(s_), "inner", "");
        }
        MakeFile(s_, Root(s_), "outer", "");
    }
    MakeFile(s_, Root(s_), "nobody", "");
    // Another thread does not see this thread's owner.
    CreatorScope mine(1, 1);
    std::thread([this] { MakeFile(s_, Root(s_), "other-thread", ""); }).join();

    for (const char* path : {"/d", "/f", "/l", "/outer"}) {
        EXPECT_EQ(1234u, Stat(s_, path).st_uid) << path;
        EXPECT_EQ(5678u, Stat(s_, path).st_gid) << path;
    }
    EXPECT_EQ(7u, Stat(s_, "/inner").st_uid);
    EXPECT_EQ(8u, Stat(s_, "/inner").st_gid);
    for (const char* path : {"/nobody", "/other-thread"}) {
        EXPECT_EQ(0u, Stat(s_, path).st_uid) << path;
        EXPECT_EQ(0u, Stat(s_, path).st_gid) << path;
    }
}

TEST_F(OwnershipTest, ASetGroupIdDirectoryHandsDownItsGroupAndToDirectoriesItsFlag) {
    Mkdir(s_, Root(s_), "shared");
    ASSERT_EQ(0, container_->chown(s_, Item("/shared"), 0, 300).ErrNo());
    ASSERT_EQ(0, container_->chmod(s_, Item("/shared"), 02775).ErrNo());
    CreatorScope owner(1000, 100);
    Mkdir(s_, Item("/shared"), "sub");
    MakeFile(s_, Item("/shared"), "file", "x");
    MakeFile(s_, Item("/shared/sub"), "deeper", "x");

    const struct stat sub = Stat(s_, "/shared/sub");
    EXPECT_EQ(300u, sub.st_gid);
    EXPECT_EQ(1000u, sub.st_uid);
    EXPECT_EQ(static_cast<mode_t>(S_ISGID), sub.st_mode & S_ISGID);
    const struct stat file = Stat(s_, "/shared/file");
    EXPECT_EQ(300u, file.st_gid);
    EXPECT_EQ(0u, file.st_mode & S_ISGID);
    EXPECT_EQ(300u, Stat(s_, "/shared/sub/deeper").st_gid);
    // Outside it, the creator's own group.
    MakeFile(s_, Root(s_), "plain", "");
    EXPECT_EQ(100u, Stat(s_, "/plain").st_gid);
}

TEST_F(OwnershipTest, ADirectoryLinksToItselfItsParentAndEachSubdirectory) {
    EXPECT_EQ(2u, Stat(s_, "/").st_nlink);
    Mkdir(s_, Root(s_), "a");
    Mkdir(s_, Root(s_), "b");
    Mkdir(s_, Item("/a"), "a1");
    MakeFile(s_, Item("/a"), "file", "not a directory");
    EXPECT_EQ(4u, Stat(s_, "/").st_nlink);
    EXPECT_EQ(3u, Stat(s_, "/a").st_nlink);
    EXPECT_EQ(2u, Stat(s_, "/a/a1").st_nlink);

    Rename("/a/a1", "/b/b1");  // moves to another parent
    EXPECT_EQ(2u, Stat(s_, "/a").st_nlink);
    EXPECT_EQ(3u, Stat(s_, "/b").st_nlink);
    Rename("/b/b1", "/b/renamed");  // same parent
    EXPECT_EQ(3u, Stat(s_, "/b").st_nlink);
    Mkdir(s_, Item("/a"), "empty");
    Rename("/a/empty", "/b/renamed");  // replaces an empty directory
    EXPECT_EQ(2u, Stat(s_, "/a").st_nlink);
    EXPECT_EQ(3u, Stat(s_, "/b").st_nlink);
    Mkdir(s_, Item("/b"), "gone");
    ASSERT_EQ(0, container_->rmdir(s_, Item("/b/gone")).ErrNo());
    EXPECT_EQ(3u, Stat(s_, "/b").st_nlink);
    Mkdir(s_, Item("/b"), "twin");
    Rename("/b/twin", "/b/renamed");  // replaces one within the same parent
    EXPECT_EQ(3u, Stat(s_, "/b").st_nlink);
    EXPECT_EQ(4u, Stat(s_, "/").st_nlink);
    EXPECT_TRUE(Problems(s_).empty());
}

TEST_F(OwnershipTest, AViewSeesTheLinkCountOfItsTime) {
    Mkdir(s_, Root(s_), "d");
    Mkdir(s_, Item("/d"), "one");
    const int64_t t = EndOfSecond();
    Mkdir(s_, Item("/d"), "two");
    Mkdir(s_, Item("/d"), "three");
    uint64_t view = Open(PitConfig(t, false));
    EXPECT_EQ(3u, Stat(view, "/d").st_nlink);
    EXPECT_EQ(5u, Stat(s_, "/d").st_nlink);
    // A writable view starts from its time and counts its own changes.
    uint64_t writable = Open(PitConfig(t, true));
    EXPECT_EQ(3u, Stat(writable, "/d").st_nlink);
    ItemName d("/d");
    struct stat st{};
    ASSERT_EQ(0, container_->getattr(writable, d, st).ErrNo());
    ItemName made;
    ASSERT_EQ(0, container_->mkdir(writable, made, ItemName(d.getObjGuid(), false), "mine", 0755).ErrNo());
    EXPECT_EQ(4u, Stat(writable, "/d").st_nlink);
    EXPECT_EQ(5u, Stat(s_, "/d").st_nlink);
}

TEST_F(OwnershipTest, AStoreOfThePreviousFormatCountsSubdirectoriesOfEveryTime) {
    Mkdir(s_, Root(s_), "d");
    Mkdir(s_, Item("/d"), "one");
    const int64_t t = EndOfSecond();
    Mkdir(s_, Item("/d"), "two");
    MakeFile(s_, Item("/d"), "file", "x");
    container_.reset();
    {
        // Format 2 had no subdirectory counts.
        SqlConnection c(MetaPath(), false, false, 5000);
        c.Exec("ALTER TABLE nodes DROP COLUMN subdirs");
        c.Exec("UPDATE meta SET value = '2' WHERE key = 'format'");
    }
    Restart();
    s_ = Open(LiveConfig());
    EXPECT_EQ(4u, Stat(s_, "/d").st_nlink);
    EXPECT_EQ(3u, Stat(s_, "/").st_nlink);
    uint64_t view = Open(PitConfig(t, false));
    EXPECT_EQ(3u, Stat(view, "/d").st_nlink);
    EXPECT_TRUE(Problems(s_).empty());
    container_.reset();
    SqlConnection c(MetaPath(), false, true, 5000);
    SqlConnection::Stmt format(c, "SELECT value FROM meta WHERE key = 'format'");
    ASSERT_TRUE(format.Step());
    EXPECT_EQ(std::to_string(kFormatVersion), format.Text(0));
}

TEST_F(OwnershipTest, TheIntegrityCheckFindsAWrongSubdirectoryCount) {
    std::string d = Mkdir(s_, Root(s_), "d");
    Mkdir(s_, Item("/d"), "sub");
    container_.reset();
    {
        SqlConnection c(MetaPath(), false, false, 5000);
        c.Exec("UPDATE nodes SET subdirs = 5 WHERE guid = '" + d + "'");
    }
    Restart();
    s_ = Open(LiveConfig());
    EXPECT_EQ(std::vector<std::string>{"directory " + d + " counts 5 subdirectories but holds 1"}, Problems(s_));
}

}  // namespace
}  // namespace ObjectStore
