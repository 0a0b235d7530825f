// Directory streams: "." and "..", entries with attributes and cookies,
// positions that survive changes, streams used after close.
#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <set>

#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

class DirectoryTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(LiveConfig());
        dir_ = Mkdir(s_, Root(s_), "d");
    }
    DirHandle* OpenDir() {
        DirHandle* dir = nullptr;
        EXPECT_EQ(0, container_->opendir(s_, &dir, ItemName(dir_, false)).ErrNo());
        return dir;
    }
    // Reads up to n entries (all when n < 0); returns their names.
    std::vector<std::string> ReadNames(DirHandle* dir, int n = -1) {
        std::vector<std::string> names;
        while (n < 0 || static_cast<int>(names.size()) < n) {
            struct dirent* e = nullptr;
            std::string guid;
            struct stat st;
            uint64_t cookie = 0;
            EXPECT_EQ(0, container_->readdir_ex(s_, dir, &e, guid, st, &cookie).ErrNo());
            if (!e) break;
            names.push_back(e->d_name);
        }
        return names;
    }
    uint64_t s_ = 0;
    std::string dir_;
};

TEST_F(DirectoryTest, ListingStartsWithDotEntriesAndGivesEachChild) {
    std::string a = MakeFile(s_, ItemName(dir_, false), "a", "12345");
    std::string sub = Mkdir(s_, ItemName(dir_, false), "sub");
    DirHandle* dir = OpenDir();
    std::map<std::string, std::string> guids;
    std::map<std::string, struct stat> stats;
    std::vector<std::string> order;
    std::set<uint64_t> cookies;
    for (;;) {
        struct dirent* e = nullptr;
        std::string guid;
        struct stat st;
        uint64_t cookie = 0;
        ASSERT_EQ(0, container_->readdir_ex(s_, dir, &e, guid, st, &cookie).ErrNo());
        if (!e) break;
        order.push_back(e->d_name);
        guids[e->d_name] = guid;
        stats[e->d_name] = st;
        EXPECT_TRUE(cookies.insert(cookie).second) << "cookie repeated";
    }
    ASSERT_EQ((std::vector<std::string>{".", "..", "a", "sub"}), order);
    EXPECT_EQ(dir_, guids["."]);
    EXPECT_EQ(container_->getRootGuid(s_), guids[".."]);
    EXPECT_EQ(a, guids["a"]);
    EXPECT_EQ(sub, guids["sub"]);
    EXPECT_TRUE(S_ISDIR(stats["."].st_mode));
    EXPECT_TRUE(S_ISREG(stats["a"].st_mode));
    EXPECT_EQ(5, stats["a"].st_size);
    EXPECT_TRUE(S_ISDIR(stats["sub"].st_mode));
    // At the end the stream keeps answering "no entry".
    struct dirent* e = reinterpret_cast<struct dirent*>(1);
    std::string guid;
    ASSERT_EQ(0, container_->readdir(s_, dir, &e, guid).ErrNo());
    EXPECT_EQ(nullptr, e);
    EXPECT_EQ(0, container_->closedir(s_, dir).ErrNo());
}

TEST_F(DirectoryTest, DotDotOfTheRootIsTheRoot) {
    DirHandle* dir = nullptr;
    ASSERT_EQ(0, container_->opendir(s_, &dir, Root(s_)).ErrNo());
    struct dirent* e = nullptr;
    std::string guid;
    ASSERT_EQ(0, container_->readdir(s_, dir, &e, guid).ErrNo());
    ASSERT_EQ(0, container_->readdir(s_, dir, &e, guid).ErrNo());
    EXPECT_STREQ("..", e->d_name);
    EXPECT_EQ(container_->getRootGuid(s_), guid);
    EXPECT_EQ(0, container_->closedir(s_, dir).ErrNo());
}

TEST_F(DirectoryTest, ResumedListingGivesEverySurvivingEntryExactlyOnce) {
    for (int i = 0; i < 300; ++i) MakeFile(s_, ItemName(dir_, false), "f" + std::to_string(i), "");
    DirHandle* dir = OpenDir();
    std::vector<std::string> first = ReadNames(dir, 152);  // ".", "..", 150 files
    uint64_t pos = 0;
    ASSERT_EQ(0, container_->telldir(s_, dir, pos).ErrNo());
    ASSERT_EQ(0, container_->closedir(s_, dir).ErrNo());
    // Between the two halves: remove some seen and unseen entries, add new ones.
    std::set<std::string> removed;
    for (int i = 0; i < 300; i += 7) {
        std::string name = "f" + std::to_string(i);
        ASSERT_EQ(0, container_->unlink(s_, ItemName("/d/" + name)).ErrNo());
        removed.insert(name);
    }
    for (int i = 0; i < 20; ++i) MakeFile(s_, ItemName(dir_, false), "new" + std::to_string(i), "");
    dir = OpenDir();
    ASSERT_EQ(0, container_->seekdir(s_, dir, pos).ErrNo());
    std::vector<std::string> second = ReadNames(dir);
    ASSERT_EQ(0, container_->closedir(s_, dir).ErrNo());
    std::map<std::string, int> seen;
    for (auto& n : first) ++seen[n];
    for (auto& n : second) ++seen[n];
    for (int i = 0; i < 300; ++i) {
        std::string name = "f" + std::to_string(i);
        if (!removed.count(name)) {
            EXPECT_EQ(1, seen[name]) << name;
        }
    }
    for (auto& entry : seen) EXPECT_EQ(1, entry.second) << entry.first;
}

TEST_F(DirectoryTest, SeekBackToAPositionRepeatsTheFollowingEntries) {
    for (int i = 0; i < 5; ++i) MakeFile(s_, ItemName(dir_, false), "f" + std::to_string(i), "");
    DirHandle* dir = OpenDir();
    ReadNames(dir, 3);
    uint64_t pos = 0;
    ASSERT_EQ(0, container_->telldir(s_, dir, pos).ErrNo());
    std::vector<std::string> rest = ReadNames(dir);
    ASSERT_EQ(0, container_->seekdir(s_, dir, pos).ErrNo());
    EXPECT_EQ(rest, ReadNames(dir));
    ASSERT_EQ(0, container_->seekdir(s_, dir, 0).ErrNo());
    EXPECT_EQ(7u, ReadNames(dir).size());
    EXPECT_EQ(0, container_->closedir(s_, dir).ErrNo());
}

TEST_F(DirectoryTest, CookieOfAnEntryResumesAfterIt) {
    for (int i = 0; i < 4; ++i) MakeFile(s_, ItemName(dir_, false), "f" + std::to_string(i), "");
    DirHandle* dir = OpenDir();
    struct dirent* e = nullptr;
    std::string guid;
    struct stat st;
    uint64_t cookie = 0, afterF1 = 0;
    for (;;) {
        ASSERT_EQ(0, container_->readdir_ex(s_, dir, &e, guid, st, &cookie).ErrNo());
        ASSERT_NE(nullptr, e);
        if (std::string(e->d_name) == "f1") {
            afterF1 = cookie;
            break;
        }
    }
    ASSERT_EQ(0, container_->seekdir(s_, dir, afterF1).ErrNo());
    EXPECT_EQ((std::vector<std::string>{"f2", "f3"}), ReadNames(dir));
    EXPECT_EQ(0, container_->closedir(s_, dir).ErrNo());
}

TEST_F(DirectoryTest, StreamsAreRefusedAfterCloseAndOnFiles) {
    DirHandle* dir = OpenDir();
    ASSERT_EQ(0, container_->closedir(s_, dir).ErrNo());
    struct dirent* e = nullptr;
    std::string guid;
    uint64_t pos = 0;
    EXPECT_EQ(EBADF, container_->readdir(s_, dir, &e, guid).ErrNo());
    EXPECT_EQ(EBADF, container_->telldir(s_, dir, pos).ErrNo());
    EXPECT_EQ(EBADF, container_->seekdir(s_, dir, 0).ErrNo());
    EXPECT_EQ(EBADF, container_->closedir(s_, dir).ErrNo());
    EXPECT_EQ(EBADF, container_->closedir(s_, nullptr).ErrNo());
    std::string f = MakeFile(s_, Root(s_), "plain", "");
    DirHandle* none = nullptr;
    EXPECT_EQ(ENOTDIR, container_->opendir(s_, &none, ItemName(f, false)).ErrNo());
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(EINVAL, container_->opendir(s_, nullptr, Root(s_)).ErrNo());
}

TEST_F(DirectoryTest, StreamOfOneStoreIsUnknownInAnother) {
    uint64_t other = Open(LiveConfig("/stores/other"));
    DirHandle* dir = OpenDir();
    struct dirent* e = nullptr;
    std::string guid;
    EXPECT_EQ(EBADF, container_->readdir(other, dir, &e, guid).ErrNo());
    EXPECT_EQ(0, container_->closedir(s_, dir).ErrNo());
}

TEST_F(DirectoryTest, ClosingTheStoreClosesItsStreams) {
    DirHandle* dir = OpenDir();
    (void)dir;
    // No leak and no crash: the store owns and frees the stream (checked under ASan).
    EXPECT_EQ(0, container_->closeObjectStore(s_).ErrNo());
}

}  // namespace
}  // namespace ObjectStore
