// The live caches as creates fill them: a node just created, and its folder
// whose times the create changed, are cached from the rows the change wrote.
// What they answer must be what the database holds, before and after the
// node changes again, and what a restarted store (no caches) answers.
#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <utility>
#include <vector>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class MetadataCacheTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(LiveConfig());
    }
    // errno of the getattr; st holds the attributes when 0.
    int Stat(uint64_t store, const std::string& path, struct stat& st) {
        ItemName item(path);
        return container_->getattr(store, item, st).ErrNo();
    }
    struct stat StatOk(const std::string& path) {
        struct stat st{};
        EXPECT_EQ(0, Stat(s_, path, st)) << path;
        return st;
    }
    std::string PathOf(const std::string& guid) {
        std::string path;
        EXPECT_EQ(0, container_->guidToPath(s_, guid, path).ErrNo());
        return path;
    }
    uint64_t s_ = 0;
};

void ExpectSameAttributes(const struct stat& a, const struct stat& b, const std::string& what) {
    EXPECT_EQ(a.st_ino, b.st_ino) << what;
    EXPECT_EQ(a.st_mode, b.st_mode) << what;
    EXPECT_EQ(a.st_uid, b.st_uid) << what;
    EXPECT_EQ(a.st_gid, b.st_gid) << what;
    EXPECT_EQ(a.st_size, b.st_size) << what;
    EXPECT_EQ(a.st_nlink, b.st_nlink) << what;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << what;
    EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << what;
    EXPECT_EQ(a.st_ctim.tv_nsec, b.st_ctim.tv_nsec) << what;
}

TEST_F(MetadataCacheTest, CreatedNodesAndTheirFolderReadAsTheDatabaseHoldsThem) {
    Mkdir(s_, Root(s_), "d");
    const std::string file = MakeFile(s_, ItemName("/d"), "f", "");
    ItemName item;
    ASSERT_EQ(0, container_->create(s_, item, ItemName("/d"), "g", 0640).ErrNo());
    const struct stat folder = StatOk("/d");
    const struct stat f = StatOk("/d/f");
    const struct stat g = StatOk("/d/g");
    EXPECT_EQ(mode_t(S_IFREG | 0640), g.st_mode);
    // The folder's times moved with the last create, not the first.
    EXPECT_EQ(g.st_mtim.tv_sec, folder.st_mtim.tv_sec);
    EXPECT_EQ(g.st_mtim.tv_nsec, folder.st_mtim.tv_nsec);
    EXPECT_EQ("/d/f", PathOf(file));

    Restart();
    s_ = Open(LiveConfig());
    ExpectSameAttributes(folder, StatOk("/d"), "/d");
    ExpectSameAttributes(f, StatOk("/d/f"), "/d/f");
    ExpectSameAttributes(g, StatOk("/d/g"), "/d/g");
}

TEST_F(MetadataCacheTest, ACreatedNodeFollowsItsLaterChanges) {
    Mkdir(s_, Root(s_), "d");
    const std::string guid = MakeFile(s_, ItemName("/d"), "f", "abc");
    StatOk("/d/f");  // served from the cache from now on
    WriteAt(s_, guid, 3, "defg", 1);
    const struct stat written = StatOk("/d/f");
    EXPECT_EQ(7, written.st_size);
    ASSERT_EQ(0, container_->chmod(s_, ItemName("/d/f"), 0600).ErrNo());
    EXPECT_EQ(mode_t(S_IFREG | 0600), StatOk("/d/f").st_mode);

    ASSERT_EQ(0, container_->rename(s_, "/d/g", "/d/f", false).ErrNo());
    struct stat st{};
    EXPECT_EQ(ENOENT, Stat(s_, "/d/f", st));
    EXPECT_EQ(7, StatOk("/d/g").st_size);
    EXPECT_EQ("/d/g", PathOf(guid));

    // A renamed folder moves the paths of the nodes created in it.
    ASSERT_EQ(0, container_->rename(s_, "/e", "/d", false).ErrNo());
    EXPECT_EQ("/e/g", PathOf(guid));

    // What the commit cached is what the database holds.
    const struct stat cached = StatOk("/e/g");
    Restart();
    s_ = Open(LiveConfig());
    ExpectSameAttributes(cached, StatOk("/e/g"), "/e/g");
    EXPECT_EQ(written.st_mtim.tv_nsec, cached.st_mtim.tv_nsec);

    ASSERT_EQ(0, container_->unlink(s_, ItemName("/e/g")).ErrNo());
    EXPECT_EQ(ENOENT, Stat(s_, "/e/g", st));
    // The name is free again, for a node of its own.
    const std::string again = MakeFile(s_, ItemName("/e"), "g", "");
    EXPECT_NE(guid, again);
    EXPECT_EQ(0, StatOk("/e/g").st_size);
}

TEST_F(MetadataCacheTest, CaseInsensitiveStoreFindsACreatedNodeUnderAnyCaseUntilItGoes) {
    ObjectStoreConfig config = LiveConfig("/stores/ci");
    config.caseSensitive = false;
    const uint64_t ci = Open(config);
    ItemName item;
    ASSERT_EQ(0, container_->create(ci, item, Root(ci), "ReadMe", 0644).ErrNo());
    struct stat st{};
    EXPECT_EQ(0, Stat(ci, "/README", st));
    EXPECT_EQ(0, Stat(ci, "/readme", st));
    EXPECT_EQ(EEXIST, container_->create(ci, item, Root(ci), "readme", 0644).ErrNo());
    ASSERT_EQ(0, container_->unlink(ci, ItemName("/rEaDmE")).ErrNo());
    EXPECT_EQ(ENOENT, Stat(ci, "/ReadMe", st));
    EXPECT_EQ(ENOENT, Stat(ci, "/readme", st));
}

// Every entry from position `from` on: name and size, through the calls the
// NFS server makes.
using Listing = std::vector<std::pair<std::string, off_t>>;

Listing ListFrom(ObjectContainer& container, uint64_t store, const std::string& path, uint64_t from) {
    Listing entries;
    DirHandle* dir = nullptr;
    EXPECT_EQ(0, container.opendir(store, &dir, ItemName(path)).ErrNo());
    if (dir == nullptr) return entries;
    if (from != 0) {
        EXPECT_EQ(0, container.seekdir(store, dir, from).ErrNo());
    }
    struct dirent* entry = nullptr;
    std::string guid;
    struct stat st{};
    uint64_t cookie = 0;
    while (container.readdir_ex(store, dir, &entry, guid, st, &cookie).ErrNo() == 0 && entry != nullptr) {
        entries.emplace_back(entry->d_name, st.st_size);
    }
    EXPECT_EQ(0, container.closedir(store, dir).ErrNo());
    return entries;
}

TEST_F(MetadataCacheTest, ListingsRepeatedAndResumedShowEveryChangeMadeBetween) {
    Mkdir(s_, Root(s_), "d");
    std::vector<std::string> files;
    for (int i = 0; i < 300; ++i) files.push_back(MakeFile(s_, ItemName("/d"), "f" + std::to_string(i), ""));
    const auto first = ListFrom(*container_, s_, "/d", 0);
    ASSERT_EQ(302u, first.size());
    // Resumed inside what the first listing read, the same entries follow.
    const auto resumed = ListFrom(*container_, s_, "/d", 0 + 2 + 150);
    ASSERT_LT(100u, resumed.size());
    EXPECT_EQ(Listing(first.end() - static_cast<long>(resumed.size()), first.end()), resumed);
    WriteAt(s_, files[10], 0, "four");
    ASSERT_EQ(0, container_->unlink(s_, ItemName("/d/f20")).ErrNo());
    ASSERT_EQ(0, container_->rename(s_, "/d/renamed", "/d/f30", false).ErrNo());
    const std::string added = MakeFile(s_, ItemName("/d"), "new", "");
    const auto second = ListFrom(*container_, s_, "/d", 0);
    ASSERT_EQ(302u, second.size());
    std::map<std::string, off_t> sizes(second.begin(), second.end());
    EXPECT_EQ(4, sizes["f10"]);
    EXPECT_EQ(0u, sizes.count("f20"));
    EXPECT_EQ(0u, sizes.count("f30"));
    EXPECT_EQ(1u, sizes.count("renamed"));
    EXPECT_EQ(1u, sizes.count("new"));
    // The path of the entry listed last ("new", the highest number) is
    // answered from the listing until its folder is renamed.
    EXPECT_EQ(302u, ListFrom(*container_, s_, "/d", 0).size());
    EXPECT_EQ("/d/new", PathOf(added));
    ASSERT_EQ(0, container_->rename(s_, "/e", "/d", false).ErrNo());
    EXPECT_EQ("/e/new", PathOf(added));
    EXPECT_EQ("/e/f299", PathOf(files[299]));
}

TEST_F(MetadataCacheTest, PathsOfListedEntriesFollowRenamesAndRemovals) {
    Mkdir(s_, Root(s_), "a");
    Mkdir(s_, Root(s_), "b");
    const std::string moved = MakeFile(s_, ItemName("/a"), "moved", "");
    const std::string gone = MakeFile(s_, ItemName("/a"), "gone", "");
    const std::string kept = MakeFile(s_, ItemName("/a"), "kept", "");
    // A restart empties the caches: the listing alone fills them.
    Restart();
    s_ = Open(LiveConfig());
    DirHandle* dir = nullptr;
    ASSERT_EQ(0, container_->opendir(s_, &dir, ItemName("/a")).ErrNo());
    struct dirent* entry = nullptr;
    std::string guid;
    int listed = 0;
    while (container_->readdir(s_, dir, &entry, guid).ErrNo() == 0 && entry != nullptr) ++listed;
    EXPECT_EQ(0, container_->closedir(s_, dir).ErrNo());
    EXPECT_EQ(5, listed);
    EXPECT_EQ("/a/kept", PathOf(kept));
    ASSERT_EQ(0, container_->rename(s_, "/b/there", "/a/moved", false).ErrNo());
    ASSERT_EQ(0, container_->unlink(s_, ItemName("/a/gone")).ErrNo());
    ASSERT_EQ(0, container_->rename(s_, "/c", "/a", false).ErrNo());
    EXPECT_EQ("/b/there", PathOf(moved));
    EXPECT_EQ("/c/kept", PathOf(kept));
    std::string path;
    EXPECT_EQ(ENOENT, container_->guidToPath(s_, gone, path).ErrNo());
    // An entry of the root listed last: one separator, not two.
    const std::string top = MakeFile(s_, ItemName("/"), "zz-top", "");
    EXPECT_EQ(5u, ListFrom(*container_, s_, "/", 0).size());
    EXPECT_EQ("/zz-top", PathOf(top));
}

}  // namespace
}  // namespace ObjectStore
