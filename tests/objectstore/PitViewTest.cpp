// Point-in-time views: the namespace, attributes and contents as of the view
// time; read-only views refuse changes; writable views keep their changes to
// themselves and drop them on close, discard and clean-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class PitViewTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        live_ = Open(LiveConfig());
        Mkdir(live_, Root(live_), "d");
        changed_ = MakeFile(live_, ItemName("/d"), "changed", "before");
        MakeFile(live_, ItemName("/d"), "removed", "gone later");
        MakeFile(live_, ItemName("/d"), "renamed", "moves later");
        ASSERT_EQ(0, container_->setxattr(live_, ItemName("/d/changed"), "ACL", "old-acl").ErrNo());
        ASSERT_EQ(0, container_->chmod(live_, ItemName("/d/changed"), 0600).ErrNo());
        t_ = EndOfSecond();
        // Everything below happens after the view time.
        WriteAt(live_, changed_, 0, "AFTER!");
        WriteAt(live_, changed_, 6, " and more");
        ASSERT_EQ(0, container_->unlink(live_, ItemName("/d/removed")).ErrNo());
        ASSERT_EQ(0, container_->rename(live_, "/renamed-now", "/d/renamed", false).ErrNo());
        ASSERT_EQ(0, container_->setxattr(live_, ItemName("/d/changed"), "ACL", "new-acl").ErrNo());
        ASSERT_EQ(0, container_->chmod(live_, ItemName("/d/changed"), 0644).ErrNo());
        MakeFile(live_, Root(live_), "created-later", "x");
    }
    std::vector<std::string> List(uint64_t store, const std::string& path) {
        DirHandle* dir = nullptr;
        EXPECT_EQ(0, container_->opendir(store, &dir, ItemName(path)).ErrNo());
        std::vector<std::string> names;
        for (;;) {
            struct dirent* e = nullptr;
            std::string guid;
            EXPECT_EQ(0, container_->readdir(store, dir, &e, guid).ErrNo());
            if (!e) break;
            names.push_back(e->d_name);
        }
        EXPECT_EQ(0, container_->closedir(store, dir).ErrNo());
        return names;
    }
    uint64_t live_ = 0;
    std::string changed_;
    int64_t t_ = 0;
};

TEST_F(PitViewTest, ViewShowsTheStateAtItsTime) {
    uint64_t view = Open(PitConfig(t_, false));
    EXPECT_EQ("before", ReadPath(view, "/d/changed"));
    EXPECT_EQ("gone later", ReadPath(view, "/d/removed"));
    EXPECT_EQ("moves later", ReadPath(view, "/d/renamed"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(view, "/renamed-now"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(view, "/created-later"));
    EXPECT_EQ((std::vector<std::string>{".", "..", "changed", "removed", "renamed"}), List(view, "/d"));
    std::string acl;
    ASSERT_EQ(0, container_->getxattr(view, ItemName("/d/changed"), "ACL", acl).ErrNo());
    EXPECT_EQ("old-acl", acl);
    struct stat st;
    ItemName item("/d/changed");
    ASSERT_EQ(0, container_->getattr(view, item, st).ErrNo());
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(6, st.st_size);
    EXPECT_EQ(changed_, item.getObjGuid());
    // The view's root carries the view's attributes.
    ItemName root("/");
    ASSERT_EQ(0, container_->getattr(view, root, st).ErrNo());
    EXPECT_EQ(0555u, st.st_mode & 07777);
    // The live store has moved on.
    EXPECT_EQ("AFTER! and more", ReadPath(live_, "/d/changed"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(live_, "/d/removed"));
    EXPECT_EQ("moves later", ReadPath(live_, "/renamed-now"));
}

TEST_F(PitViewTest, GuidsOfTheViewResolveToTheirOldPaths) {
    uint64_t view = Open(PitConfig(t_, false));
    ItemName renamed("/d/renamed");
    struct stat st;
    ASSERT_EQ(0, container_->getattr(view, renamed, st).ErrNo());
    std::string path;
    ASSERT_EQ(0, container_->guidToPath(view, renamed.getObjGuid(), path).ErrNo());
    EXPECT_EQ("/d/renamed", path);
    ASSERT_EQ(0, container_->guidToPath(live_, renamed.getObjGuid(), path).ErrNo());
    EXPECT_EQ("/renamed-now", path);
}

TEST_F(PitViewTest, ViewBeforeTheStoreExistedShowsAnEmptyRoot) {
    uint64_t view = Open(PitConfig(1000, false));
    EXPECT_EQ((std::vector<std::string>{".", ".."}), List(view, "/"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(view, "/d"));
}

TEST_F(PitViewTest, ReadOnlyViewRefusesEveryChangeWithErofs) {
    uint64_t view = Open(PitConfig(t_, false));
    ItemName item;
    FileHandle fh;
    struct stat st;
    struct timeval tv = {1, 0};
    EXPECT_EQ(EROFS, container_->create(view, item, Root(view), "x", 0644).ErrNo());
    EXPECT_EQ(EROFS, container_->mkdir(view, item, Root(view), "x", 0755).ErrNo());
    EXPECT_EQ(EROFS, container_->createAndOpen(view, fh, Root(view), "x", st, O_RDWR | O_CREAT).ErrNo());
    EXPECT_EQ(EROFS, container_->open(view, fh, ItemName("/d/changed"), O_RDWR, false).ErrNo());
    EXPECT_EQ(EROFS, container_->open(view, fh, ItemName("/d/changed"), O_RDONLY | O_TRUNC, false).ErrNo());
    EXPECT_EQ(EROFS, container_->truncate(view, ItemName("/d/changed"), 0, false).ErrNo());
    EXPECT_EQ(EROFS, container_->unlink(view, ItemName("/d/changed")).ErrNo());
    EXPECT_EQ(EROFS, container_->rmdir(view, ItemName("/d")).ErrNo());
    EXPECT_EQ(EROFS, container_->rename(view, "/e", "/d", false).ErrNo());
    EXPECT_EQ(EROFS, container_->chmod(view, ItemName("/d"), 0700).ErrNo());
    EXPECT_EQ(EROFS, container_->chown(view, ItemName("/d"), 1, 1).ErrNo());
    EXPECT_EQ(EROFS, container_->utimes(view, ItemName("/d"), tv, tv).ErrNo());
    EXPECT_EQ(EROFS, container_->createSymbolicLink(view, ItemName(), "t", "/l").ErrNo());
    EXPECT_EQ(EROFS, container_->setxattr(view, ItemName("/d"), "n", "v").ErrNo());
    EXPECT_EQ(EROFS, container_->removexattr(view, ItemName("/d/changed"), "ACL").ErrNo());
    EXPECT_EQ(0, container_->fdatasync(view, ItemName("/d/changed")).ErrNo());
    EXPECT_EQ("before", ReadPath(view, "/d/changed"));
}

TEST_F(PitViewTest, LiveWritesAfterTheViewOpenedNeverShowInIt) {
    // A view of "now": writes in the same second after it opened stay out.
    std::string f = MakeFile(live_, Root(live_), "hot", std::string(100000, 'a'));
    uint64_t view = Open(PitConfig(::time(nullptr) + 5, false));
    WriteAt(live_, f, 10, std::string(70000, 'b'));
    WriteAt(live_, f, 100000, "tail");
    EXPECT_EQ(std::string(100000, 'a'), ReadPath(view, "/hot"));
    // A file open in the view keeps reading the view's content.
    FileHandle fh;
    ASSERT_EQ(0, container_->open(view, fh, ItemName("/hot"), O_RDONLY, false).ErrNo());
    WriteAt(live_, f, 0, "ccc");
    char buf[4];
    uint64_t count = 3;
    ASSERT_EQ(0, container_->read(view, fh, buf, 0, count).ErrNo());
    EXPECT_EQ("aaa", std::string(buf, 3));
    EXPECT_EQ(0, container_->close(view, fh).ErrNo());
}

TEST_F(PitViewTest, ViewOfAMissingStoreIsEnoent) {
    uint64_t index = 0;
    EXPECT_EQ(ENOENT, container_->openObjectStore(index, PitConfig(t_, false, "/stores/none")).ErrNo());
    EXPECT_EQ(ENOENT, container_->openObjectStore(index, PitConfig(t_, true, "/stores/none")).ErrNo());
}

TEST_F(PitViewTest, WritableViewKeepsItsChangesToItself) {
    uint64_t view = Open(PitConfig(t_, true));
    WriteAt(view, changed_, 0, "VIEW");
    ASSERT_EQ(0, container_->unlink(view, ItemName("/d/removed")).ErrNo());
    MakeFile(view, ItemName("/d"), "view-only", "v");
    ASSERT_EQ(0, container_->setxattr(view, ItemName("/d/changed"), "ACL", "view-acl").ErrNo());
    EXPECT_EQ("VIEWre", ReadPath(view, "/d/changed"));
    EXPECT_EQ("v", ReadPath(view, "/d/view-only"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(view, "/d/removed"));
    std::string acl;
    ASSERT_EQ(0, container_->getxattr(view, ItemName("/d/changed"), "ACL", acl).ErrNo());
    EXPECT_EQ("view-acl", acl);
    // The live store and a read-only view of the same time are untouched.
    EXPECT_EQ("AFTER! and more", ReadPath(live_, "/d/changed"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(live_, "/d/view-only"));
    uint64_t ro = Open(PitConfig(t_, false));
    EXPECT_EQ("before", ReadPath(ro, "/d/changed"));
    EXPECT_EQ("gone later", ReadPath(ro, "/d/removed"));
    ASSERT_EQ(0, container_->getxattr(live_, ItemName("/d/changed"), "ACL", acl).ErrNo());
    EXPECT_EQ("new-acl", acl);
    std::vector<std::string> problems;
    ASSERT_EQ(0, container_->checkIntegrity(view, problems).ErrNo());
    EXPECT_TRUE(problems.empty());
    ASSERT_EQ(0, container_->checkIntegrity(live_, problems).ErrNo());
    EXPECT_TRUE(problems.empty());
}

TEST_F(PitViewTest, ClosingAWritableViewDropsItsChanges) {
    uint64_t view = Open(PitConfig(t_, true));
    MakeFile(view, Root(view), "scratch", "s");
    ASSERT_EQ(0, container_->closeObjectStore(view).ErrNo());
    view = Open(PitConfig(t_, true));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(view, "/scratch"));
    EXPECT_EQ("before", ReadPath(view, "/d/changed"));
}

TEST_F(PitViewTest, DiscardWritesDropsTheChangesAndClosesOpenFiles) {
    uint64_t view = Open(PitConfig(t_, true));
    MakeFile(view, Root(view), "scratch", "s");
    FileHandle fh;
    ASSERT_EQ(0, container_->open(view, fh, ItemName("/d/changed"), O_RDWR, false).ErrNo());
    ObjectStoreUpdates u;
    u.hasDiscardWrites = true;
    u.discardWrites = true;
    ASSERT_EQ(0, container_->updateObjectStore(view, u).ErrNo());
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(view, "/scratch"));
    uint64_t count = 1;
    EXPECT_EQ(EBADF, container_->write(view, fh, "x", count, 0, 0).ErrNo());
    EXPECT_EQ("before", ReadPath(view, "/d/changed"));
    MakeFile(view, Root(view), "after-discard", "ok");
    EXPECT_EQ("ok", ReadPath(view, "/after-discard"));
}

TEST_F(PitViewTest, CleanupDropsLeftoverAndForcedViewChanges) {
    ObjectStoreConfig cfg = PitConfig(t_, true);
    cfg.snapName = "nightly";
    uint64_t view = Open(cfg);
    MakeFile(view, Root(view), "scratch", "s");
    // A leftover folder of a view that is no longer open.
    std::string leftover = dataRoot_ + "/stores%2Fs1/views/nightly.999";
    ASSERT_EQ(0, ::mkdir(leftover.c_str(), 0700));
    EXPECT_EQ(EBUSY, container_->cleanupObjectStore("/stores/s1-nightly", 1, "nightly", false).ErrNo());
    EXPECT_EQ(0, container_->cleanupObjectStore("/stores/s1-nightly", 1, "nightly", true).ErrNo());
    EXPECT_NE(0, ::access(leftover.c_str(), F_OK));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(view, "/scratch"));
    EXPECT_EQ("before", ReadPath(view, "/d/changed"));
}

}  // namespace
}  // namespace ObjectStore
