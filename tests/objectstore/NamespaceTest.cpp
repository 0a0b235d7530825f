// Names and attributes: create, look up, GUIDs and paths, remove, rename with
// replace, symbolic links, attribute changes, case-insensitive look-ups.
#include <fcntl.h>
#include <sys/stat.h>

#include <set>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class NamespaceTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(LiveConfig());
    }
    struct stat Stat(const std::string& path) {
        struct stat st;
        ItemName item(path);
        CPelError err = container_->getattr(s_, item, st);
        EXPECT_EQ(0, err.ErrNo()) << path << ": " << err.Message();
        return st;
    }
    std::string GuidOf(const std::string& path) {
        ItemName item(path);
        struct stat st;
        EXPECT_EQ(0, container_->getattr(s_, item, st).ErrNo()) << path;
        return item.getObjGuid();
    }
    uint64_t s_ = 0;
};

TEST_F(NamespaceTest, RootIsADirectoryAtSlash) {
    std::string root = container_->getRootGuid(s_);
    EXPECT_EQ(32u, root.size());
    std::string path;
    ASSERT_EQ(0, container_->guidToPath(s_, root, path).ErrNo());
    EXPECT_EQ("/", path);
    struct stat st = Stat("/");
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0777u, st.st_mode & 07777);
    EXPECT_EQ(root, GuidOf("/"));
}

TEST_F(NamespaceTest, CreatedObjectsHaveDistinctGuidsAndPaths) {
    std::string d = Mkdir(s_, Root(s_), "dir");
    std::string f = MakeFile(s_, ItemName(d, false), "file.txt", "abc");
    EXPECT_EQ(32u, d.size());
    EXPECT_NE(d, f);
    std::string path;
    ASSERT_EQ(0, container_->guidToPath(s_, f, path).ErrNo());
    EXPECT_EQ("/dir/file.txt", path);
    EXPECT_EQ(f, GuidOf("/dir/file.txt"));
    EXPECT_EQ(f, GuidOf("//dir///file.txt"));
    EXPECT_EQ(d, GuidOf("/dir/file.txt/../"));  // ".." is resolved by name
    EXPECT_EQ(container_->getRootGuid(s_), GuidOf("/dir/.."));
    EXPECT_EQ(container_->getRootGuid(s_), GuidOf("/.."));
    struct stat st = Stat("/dir/file.txt");
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(3, st.st_size);
    EXPECT_NE(Stat("/dir").st_ino, st.st_ino);
}

TEST_F(NamespaceTest, UnknownObjectsAreEnoentWithEmptyPath) {
    std::string path = "stale";
    EXPECT_EQ(ENOENT, container_->guidToPath(s_, std::string(32, 'a'), path).ErrNo());
    EXPECT_EQ("", path);
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/missing"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/missing/deeper"));
    // The same answer by GUID and by path, with the text callers log.
    struct stat st;
    ItemName absent(std::string(32, 'b'), false);
    CPelError err = container_->getattr(s_, absent, st);
    EXPECT_EQ(ENOENT, err.ErrNo());
    EXPECT_EQ("getattr: no such object", err.Message());
    ItemName byPath("/missing");
    EXPECT_EQ("getattr: no such object", container_->getattr(s_, byPath, st).Message());
    MakeFile(s_, Root(s_), "f", "x");
    EXPECT_EQ(ENOTDIR, ErrnoOfGetattr(s_, "/f/child"));
}

TEST_F(NamespaceTest, CreateRefusesExistingNames) {
    Mkdir(s_, Root(s_), "d");
    ItemName item;
    EXPECT_EQ(EEXIST, container_->mkdir(s_, item, Root(s_), "d", 0755).ErrNo());
    EXPECT_EQ(EEXIST, container_->create(s_, item, Root(s_), "d", 0644).ErrNo());
    ASSERT_EQ(0, container_->create(s_, item, Root(s_), "f", 0640).ErrNo());
    EXPECT_EQ(0640u, Stat("/f").st_mode & 07777);
    ItemName under;
    EXPECT_EQ(ENOTDIR, container_->mkdir(s_, under, item, "x", 0755).ErrNo());
}

TEST_F(NamespaceTest, RmdirAndUnlinkFollowPosixRules) {
    std::string d = Mkdir(s_, Root(s_), "d");
    std::string f = MakeFile(s_, ItemName(d, false), "f", "x");
    EXPECT_EQ(ENOTEMPTY, container_->rmdir(s_, ItemName("/d")).ErrNo());
    EXPECT_EQ(EISDIR, container_->unlink(s_, ItemName("/d")).ErrNo());
    EXPECT_EQ(ENOTDIR, container_->rmdir(s_, ItemName(f, false)).ErrNo());
    EXPECT_EQ(EBUSY, container_->rmdir(s_, Root(s_)).ErrNo());
    ASSERT_EQ(0, container_->unlink(s_, ItemName(f, false)).ErrNo());
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/d/f"));
    std::string path;
    EXPECT_EQ(ENOENT, container_->guidToPath(s_, f, path).ErrNo());
    ASSERT_EQ(0, container_->rmdir(s_, ItemName("/d")).ErrNo());
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/d"));
    EXPECT_EQ(ENOENT, container_->rmdir(s_, ItemName(d, false)).ErrNo());
}

TEST_F(NamespaceTest, RenameMovesAndKeepsTheGuid) {
    Mkdir(s_, Root(s_), "a");
    Mkdir(s_, Root(s_), "b");
    std::string f = MakeFile(s_, ItemName("/a"), "f", "content");
    ASSERT_EQ(0, container_->rename(s_, "/b/g", "/a/f", false).ErrNo());
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/a/f"));
    EXPECT_EQ(f, GuidOf("/b/g"));
    std::string path;
    ASSERT_EQ(0, container_->guidToPath(s_, f, path).ErrNo());
    EXPECT_EQ("/b/g", path);
    EXPECT_EQ("content", ReadPath(s_, "/b/g"));
}

TEST_F(NamespaceTest, RenameReplacesAnExistingFile) {
    std::string src = MakeFile(s_, Root(s_), "new", "new content");
    std::string dst = MakeFile(s_, Root(s_), "old", "old content");
    ASSERT_EQ(0, container_->rename(s_, "/old", "/new", false).ErrNo());
    EXPECT_EQ(src, GuidOf("/old"));
    EXPECT_EQ("new content", ReadPath(s_, "/old"));
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/new"));
    std::string path;
    EXPECT_EQ(ENOENT, container_->guidToPath(s_, dst, path).ErrNo());
}

TEST_F(NamespaceTest, RenameRefusesWhatPosixRefuses) {
    Mkdir(s_, Root(s_), "d");
    Mkdir(s_, ItemName("/d"), "sub");
    Mkdir(s_, Root(s_), "full");
    MakeFile(s_, ItemName("/full"), "x", "1");
    MakeFile(s_, Root(s_), "f", "1");
    EXPECT_EQ(EINVAL, container_->rename(s_, "/d/sub/inner", "/d", false).ErrNo());
    EXPECT_EQ(ENOTEMPTY, container_->rename(s_, "/full", "/d", false).ErrNo());
    EXPECT_EQ(ENOTDIR, container_->rename(s_, "/f", "/d", false).ErrNo());
    EXPECT_EQ(EISDIR, container_->rename(s_, "/d", "/f", false).ErrNo());
    EXPECT_EQ(ENOENT, container_->rename(s_, "/g", "/missing", false).ErrNo());
    EXPECT_EQ(ENOENT, container_->rename(s_, "/nodir/g", "/f", false).ErrNo());
    EXPECT_EQ(EBUSY, container_->rename(s_, "/x", "/", false).ErrNo());
    // Nothing moved.
    EXPECT_EQ(0, ErrnoOfGetattr(s_, "/d/sub"));
    EXPECT_EQ(0, ErrnoOfGetattr(s_, "/f"));
    // A directory over an empty directory is fine.
    Mkdir(s_, Root(s_), "empty");
    EXPECT_EQ(0, container_->rename(s_, "/empty", "/d", false).ErrNo());
    EXPECT_EQ(0, ErrnoOfGetattr(s_, "/empty/sub"));
    // Renaming onto itself changes nothing.
    EXPECT_EQ(0, container_->rename(s_, "/f", "/f", false).ErrNo());
    EXPECT_EQ("1", ReadPath(s_, "/f"));
}

TEST_F(NamespaceTest, SymbolicLinksStoreTheirTarget) {
    Mkdir(s_, Root(s_), "d");
    ASSERT_EQ(0, container_->createSymbolicLink(s_, ItemName(), "../some//target", "/d//link").ErrNo());
    struct stat st = Stat("/d/link");
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(15, st.st_size);
    std::string target;
    ASSERT_EQ(0, container_->readLink(s_, ItemName("/d/link"), target).ErrNo());
    EXPECT_EQ("../some//target", target);
    EXPECT_EQ(EEXIST, container_->createSymbolicLink(s_, ItemName(), "x", "/d/link").ErrNo());
    EXPECT_EQ(ENOENT, container_->createSymbolicLink(s_, ItemName(), "", "/d/l2").ErrNo());
    EXPECT_EQ(EINVAL, container_->readLink(s_, ItemName("/d"), target).ErrNo());
    FileHandle fh;
    EXPECT_EQ(ELOOP, container_->open(s_, fh, ItemName("/d/link"), O_RDONLY, false).ErrNo());
}

TEST_F(NamespaceTest, AttributeChangesAreKept) {
    MakeFile(s_, Root(s_), "f", "x");
    ASSERT_EQ(0, container_->chmod(s_, ItemName("/f"), 04751).ErrNo());
    EXPECT_EQ(04751u, Stat("/f").st_mode & 07777);
    ASSERT_EQ(0, container_->chown(s_, ItemName("/f"), 1001, 2002).ErrNo());
    ASSERT_EQ(0, container_->chown(s_, ItemName("/f"), static_cast<uid_t>(-1), 3003).ErrNo());
    struct stat st = Stat("/f");
    EXPECT_EQ(1001u, st.st_uid);
    EXPECT_EQ(3003u, st.st_gid);
    struct timeval at = {1000000000, 250000}, mt = {1200000000, 500};
    ASSERT_EQ(0, container_->utimes(s_, ItemName("/f"), at, mt).ErrNo());
    st = Stat("/f");
    EXPECT_EQ(1000000000, st.st_atim.tv_sec);
    EXPECT_EQ(250000000, st.st_atim.tv_nsec);
    EXPECT_EQ(1200000000, st.st_mtim.tv_sec);
    EXPECT_EQ(500000, st.st_mtim.tv_nsec);
    struct timeval bad = {1, 1000000};
    EXPECT_EQ(EINVAL, container_->utimes(s_, ItemName("/f"), bad, mt).ErrNo());
    ASSERT_EQ(0, container_->chmod(s_, Root(s_), 0700).ErrNo());
    EXPECT_EQ(0700u, Stat("/").st_mode & 07777);
}

TEST_F(NamespaceTest, UtimesAfterWritesOnAnOpenFileIsNotOverwrittenByTheWrites) {
    std::string f = MakeFile(s_, Root(s_), "f", "");
    FileHandle fh;
    ASSERT_EQ(0, container_->open(s_, fh, ItemName(f, false), O_RDWR, false).ErrNo());
    uint64_t count = 4;
    ASSERT_EQ(0, container_->write(s_, fh, "data", count, 0, 0).ErrNo());
    EXPECT_EQ(4, Stat("/f").st_size);  // visible before the file is closed
    struct timeval t = {1300000000, 0};
    ASSERT_EQ(0, container_->utimes(s_, ItemName(f, false), t, t).ErrNo());
    ASSERT_EQ(0, container_->close(s_, fh).ErrNo());
    EXPECT_EQ(1300000000, Stat("/f").st_mtim.tv_sec);
    EXPECT_EQ(4, Stat("/f").st_size);
}

TEST_F(NamespaceTest, CaseInsensitiveStoreIgnoresLetterCaseOnLookup) {
    ObjectStoreConfig cfg = LiveConfig("/stores/ci");
    cfg.caseSensitive = false;
    uint64_t ci = Open(cfg);
    Mkdir(ci, Root(ci), "Docs");
    MakeFile(ci, ItemName("/Docs"), "ReadMe.TXT", "hi");
    EXPECT_EQ("hi", ReadPath(ci, "/docs/readme.txt"));
    EXPECT_EQ("hi", ReadPath(ci, "/DOCS/README.txt"));
    ItemName item;
    EXPECT_EQ(EEXIST, container_->create(ci, item, ItemName("/docs"), "README.TXT", 0644).ErrNo());
    // Names are stored as given.
    DirHandle* dir = nullptr;
    ASSERT_EQ(0, container_->opendir(ci, &dir, ItemName("/DOCS")).ErrNo());
    std::set<std::string> names;
    for (;;) {
        struct dirent* e = nullptr;
        std::string guid;
        ASSERT_EQ(0, container_->readdir(ci, dir, &e, guid).ErrNo());
        if (!e) break;
        names.insert(e->d_name);
    }
    EXPECT_EQ(1u, names.count("ReadMe.TXT"));
    EXPECT_EQ(0, container_->closedir(ci, dir).ErrNo());
    // A rename that only changes the case keeps the object.
    ASSERT_EQ(0, container_->rename(ci, "/docs/README.txt", "/Docs/readme.txt", false).ErrNo());
    std::string path;
    ItemName byPath("/docs/readme.TXT");
    struct stat st;
    ASSERT_EQ(0, container_->getattr(ci, byPath, st).ErrNo());
    ASSERT_EQ(0, container_->guidToPath(ci, byPath.getObjGuid(), path).ErrNo());
    EXPECT_EQ("/Docs/README.txt", path);
    // The default store is case sensitive.
    MakeFile(s_, Root(s_), "Name", "1");
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/name"));
    MakeFile(s_, Root(s_), "name", "2");
    EXPECT_EQ("1", ReadPath(s_, "/Name"));
    EXPECT_EQ("2", ReadPath(s_, "/name"));
}

TEST_F(NamespaceTest, CaseSensitivityCanBeSwitchedOnAnOpenStore) {
    MakeFile(s_, Root(s_), "Mixed", "m");
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/mixed"));
    ObjectStoreUpdates u;
    u.hasCaseSensitive = true;
    u.caseSensitive = false;
    ASSERT_EQ(0, container_->updateObjectStore(s_, u).ErrNo());
    EXPECT_EQ("m", ReadPath(s_, "/mixed"));
    u.caseSensitive = true;
    ASSERT_EQ(0, container_->updateObjectStore(s_, u).ErrNo());
    EXPECT_EQ(ENOENT, ErrnoOfGetattr(s_, "/mixed"));
}

}  // namespace
}  // namespace ObjectStore
