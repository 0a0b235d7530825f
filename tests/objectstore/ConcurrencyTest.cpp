// Many threads on one store at once: writers and readers of many files,
// creators in one directory, listers beside them, lock contention, a view
// read beside live writes, prunes beside writers that keep rewriting and
// removing their files.
#include <fcntl.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "objectstore/StorePruner.h"
#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

constexpr int kThreads = 6;

class ConcurrencyTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        s_ = Open(SmallCachesConfig());
    }
    ObjectStoreConfig SmallCachesConfig() const {
        ObjectStoreConfig cfg = LiveConfig();
        cfg.extentSize = 8192;
        cfg.attribCacheEntries = 64;
        cfg.dirCacheEntries = 64;
        return cfg;
    }
    void RunThreads(const std::function<void(int)>& body) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
        for (auto& th : threads) th.join();
    }
    uint64_t s_ = 0;
};

TEST_F(ConcurrencyTest, ThreadsWritingTheirOwnFilesKeepEveryByte) {
    std::vector<std::string> guids(kThreads);
    for (int t = 0; t < kThreads; ++t) guids[t] = MakeFile(s_, Root(s_), "f" + std::to_string(t), "");
    std::atomic<int> failures{0};
    RunThreads([&](int t) {
        FileHandle fh;
        if (container_->open(s_, fh, ItemName(guids[t], false), O_RDWR, false).IsError()) {
            ++failures;
            return;
        }
        for (int i = 0; i < 60; ++i) {
            std::string chunk = Pattern(3000, t * 1000 + i);
            uint64_t count = chunk.size();
            if (container_->write(s_, fh, chunk.data(), count, i * 3000ull, i % 10 == 0).IsError()) ++failures;
            char buf[3000];
            count = sizeof(buf);
            if (container_->read(s_, fh, buf, i * 3000ull, count).IsError() || count != 3000 ||
                std::string(buf, count) != chunk)
                ++failures;
        }
        if (container_->close(s_, fh).IsError()) ++failures;
    });
    EXPECT_EQ(0, failures.load());
    for (int t = 0; t < kThreads; ++t) {
        std::string expect;
        for (int i = 0; i < 60; ++i) expect += Pattern(3000, t * 1000 + i);
        EXPECT_EQ(expect, ReadPath(s_, "/f" + std::to_string(t)));
    }
    std::vector<std::string> problems;
    ASSERT_EQ(0, container_->checkIntegrity(s_, problems).ErrNo());
    EXPECT_TRUE(problems.empty());
}

TEST_F(ConcurrencyTest, SharedFileWritersAndReadersSeeWholeChunks) {
    std::string guid = MakeFile(s_, Root(s_), "shared", std::string(kThreads * 4096, '.'));
    std::atomic<int> failures{0};
    RunThreads([&](int t) {
        FileHandle fh;
        if (container_->open(s_, fh, ItemName(guid, false), O_RDWR, false).IsError()) {
            ++failures;
            return;
        }
        std::string mine(4096, static_cast<char>('A' + t));
        for (int i = 0; i < 40; ++i) {
            uint64_t count = mine.size();
            if (container_->write(s_, fh, mine.data(), count, t * 4096ull, 0).IsError()) ++failures;
            char buf[4096];
            count = sizeof(buf);
            int other = (t + 1) % kThreads;
            if (container_->read(s_, fh, buf, other * 4096ull, count).IsError() || count != 4096) ++failures;
            // A chunk is either all dots or all the other thread's letter.
            for (size_t k = 1; k < count; ++k)
                if (buf[k] != buf[0]) {
                    ++failures;
                    break;
                }
        }
        if (container_->close(s_, fh).IsError()) ++failures;
    });
    EXPECT_EQ(0, failures.load());
}

TEST_F(ConcurrencyTest, CreatorsInOneDirectoryGetDistinctObjects) {
    std::string dir = Mkdir(s_, Root(s_), "d");
    std::vector<std::vector<std::string>> made(kThreads);
    std::atomic<int> failures{0};
    RunThreads([&](int t) {
        for (int i = 0; i < 40; ++i) {
            ItemName item;
            std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
            if (container_->create(s_, item, ItemName(dir, false), name, 0644).IsError()) ++failures;
            made[t].push_back(item.getObjGuid());
            // Everybody races for the same name: exactly one wins.
            ItemName same;
            container_->mkdir(s_, same, ItemName(dir, false), "race" + std::to_string(i), 0755);
            struct stat st;
            ItemName byPath("/d/" + name);
            if (container_->getattr(s_, byPath, st).IsError()) ++failures;
        }
    });
    EXPECT_EQ(0, failures.load());
    std::set<std::string> all;
    for (auto& v : made) all.insert(v.begin(), v.end());
    EXPECT_EQ(static_cast<size_t>(kThreads * 40), all.size());
    EXPECT_EQ(std::to_string(kThreads * 40), StatValue(s_, "Files"));
    EXPECT_EQ("42", StatValue(s_, "Directories"));  // root, d, 40 race winners
}

// Listings kept between changes, read beside creates and removes in the same
// directory: each listing holds every file that stays, once, and the last
// one, after the changes, holds exactly those.
TEST_F(ConcurrencyTest, ListersBesideCreatorsAndRemoversSeeEveryFileThatStays) {
    const std::string dir = Mkdir(s_, Root(s_), "d");
    std::set<std::string> stays;
    for (int i = 0; i < 20; ++i) {
        stays.insert("s" + std::to_string(i));
        MakeFile(s_, ItemName(dir, false), "s" + std::to_string(i), "");
    }
    auto list = [&](std::multiset<std::string>& names) {
        DirHandle* stream = nullptr;
        if (container_->opendir(s_, &stream, ItemName("/d")).IsError()) return false;
        struct dirent* entry = nullptr;
        std::string guid;
        struct stat st{};
        uint64_t cookie = 0;
        bool ok = true;
        while ((ok = !container_->readdir_ex(s_, stream, &entry, guid, st, &cookie).IsError()) && entry != nullptr) {
            if (entry->d_name[0] != '.') names.insert(entry->d_name);
        }
        return !container_->closedir(s_, stream).IsError() && ok;
    };
    std::atomic<int> failures{0};
    RunThreads([&](int t) {
        for (int i = 0; i < 30; ++i) {
            if (t % 2 == 0) {
                const std::string name = "c" + std::to_string(t) + "-" + std::to_string(i);
                ItemName item;
                if (container_->create(s_, item, ItemName(dir, false), name, 0644).IsError()) ++failures;
                if (container_->unlink(s_, ItemName("/d/" + name)).IsError()) ++failures;
                continue;
            }
            std::multiset<std::string> names;
            if (!list(names)) ++failures;
            for (const std::string& name : stays) {
                if (names.count(name) != 1) ++failures;
            }
        }
    });
    EXPECT_EQ(0, failures.load());
    std::multiset<std::string> last;
    ASSERT_TRUE(list(last));
    EXPECT_EQ(std::multiset<std::string>(stays.begin(), stays.end()), last);
}

// Changes of many threads at once commit together; each one's cache updates
// run wherever its commit ends. What the caches answer afterwards must be
// what a restarted store (no caches) reads from the database.
TEST_F(ConcurrencyTest, ChangesCommittedTogetherLeaveTheCachesAsTheDatabase) {
    const std::string dir = Mkdir(s_, Root(s_), "d");
    std::atomic<int> failures{0};
    RunThreads([&](int t) {
        for (int i = 0; i < 20; ++i) {
            const std::string name = "f" + std::to_string(t) + "-" + std::to_string(i);
            const std::string guid = MakeFile(s_, ItemName(dir, false), name, std::string(1 + i, 'x'));
            if (container_->chmod(s_, ItemName(guid, false), 0600 + i % 8).IsError()) ++failures;
            // Every third file moves, every fifth goes.
            if (i % 3 == 0 && container_->rename(s_, "/d/m" + name, "/d/" + name, false).IsError()) ++failures;
            if (i % 5 == 0 && container_->unlink(s_, ItemName(guid, false)).IsError()) ++failures;
        }
    });
    ASSERT_EQ(0, failures.load());
    auto snapshot = [&] {
        std::map<std::string, std::string> seen;
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < 20; ++i) {
                const std::string name = "f" + std::to_string(t) + "-" + std::to_string(i);
                for (const std::string& path : {"/d/" + name, "/d/m" + name}) {
                    struct stat st{};
                    ItemName item(path);
                    const int error = container_->getattr(s_, item, st).ErrNo();
                    seen[path] = error != 0 ? "errno " + std::to_string(error)
                                            : std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                                                  std::to_string(st.st_ino);
                }
            }
        }
        struct stat folder{};
        ItemName d("/d");
        container_->getattr(s_, d, folder);
        seen["/d"] = std::to_string(folder.st_mtim.tv_sec) + "." + std::to_string(folder.st_mtim.tv_nsec);
        return seen;
    };
    const std::map<std::string, std::string> cached = snapshot();
    Restart();
    s_ = Open(SmallCachesConfig());
    EXPECT_EQ(snapshot(), cached);
    EXPECT_EQ(std::to_string(kThreads * 20 - kThreads * 4), StatValue(s_, "Files"));
}

TEST_F(ConcurrencyTest, OnlyOneOwnerHoldsAnExclusiveRangeAtATime) {
    std::string guid = MakeFile(s_, Root(s_), "locked", "x");
    std::atomic<int> inside{0}, maxInside{0}, taken{0};
    int owners[kThreads];
    RunThreads([&](int t) {
        FileHandle fh;
        ASSERT_EQ(0, container_->open(s_, fh, ItemName(guid, false), O_RDWR, false).ErrNo());
        LockInfo want;
        want.fileHandle = &fh;
        want.kind = LOCK_EXCLUSIVE;
        want.firstByte = 0;
        want.lastByte = 99;
        want.owner = &owners[t];
        for (int i = 0; i < 200; ++i) {
            LockInfo holder;
            if (container_->lock(s_, want, holder).IsError()) continue;
            ++taken;
            int now = ++inside;
            int prev = maxInside.load();
            while (now > prev && !maxInside.compare_exchange_weak(prev, now)) {
            }
            --inside;
            EXPECT_EQ(0, container_->unlock(s_, want).ErrNo());
        }
        EXPECT_EQ(0, container_->close(s_, fh).ErrNo());
    });
    EXPECT_EQ(1, maxInside.load());
    EXPECT_GT(taken.load(), 0);
}

TEST_F(ConcurrencyTest, ViewReadersBesideLiveWritersSeeOnlyTheSnapshot) {
    std::string guid = MakeFile(s_, Root(s_), "hot", std::string(50000, 'o'));
    int64_t t = EndOfSecond();
    ObjectStoreConfig pit = PitConfig(t, false);
    pit.extentSize = 8192;
    uint64_t view = Open(pit);
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        FileHandle fh;
        if (container_->open(s_, fh, ItemName(guid, false), O_RDWR, false).IsError()) return;
        for (int i = 0; i < 100; ++i) {
            std::string data(5000, static_cast<char>('a' + i % 26));
            uint64_t count = data.size();
            if (container_->write(s_, fh, data.data(), count, (i * 7919) % 45000, 0).IsError()) ++failures;
        }
        container_->close(s_, fh);
        stop = true;
    });
    RunThreads([&](int) {
        while (!stop.load()) {
            if (ReadPath(view, "/hot") != std::string(50000, 'o')) ++failures;
        }
    });
    writer.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_NE(std::string(50000, 'o'), ReadPath(s_, "/hot"));
}

TEST_F(ConcurrencyTest, PrunesBesideWritersTakeNothingTheWritersStillRead) {
    std::atomic<bool> writing{true};
    std::atomic<int> failures{0};
    std::thread pruner([&] {
        PrunePolicy policy;
        policy.keepAll = false;  // only the live state stays
        while (writing.load()) {
            PruneReport report;
            if (StorePruner::Prune(dataRoot_, "/stores/s1", policy, report).IsError()) ++failures;
        }
    });
    RunThreads([&](int t) {
        for (int round = 0; round < 15; ++round) {
            const std::string name = "w" + std::to_string(t) + "-" + std::to_string(round % 3);
            const std::string content = Pattern(20000 + round * 100, t * 100 + round);
            ItemName made;
            FileHandle fh;
            struct stat st;
            if (container_->createAndOpen(s_, fh, Root(s_), name, st, O_RDWR | O_CREAT | O_TRUNC).IsError()) {
                ++failures;
                continue;
            }
            uint64_t count = content.size();
            if (container_->write(s_, fh, content.data(), count, 0, 0).IsError()) ++failures;
            if (container_->close(s_, fh).IsError()) ++failures;
            if (ReadPath(s_, "/" + name) != content) ++failures;
            if (round % 3 == 2 && container_->unlink(s_, ItemName("/" + name)).IsError()) ++failures;
        }
    });
    writing = false;
    pruner.join();
    EXPECT_EQ(0, failures.load());
    std::vector<std::string> problems;
    ASSERT_EQ(0, container_->checkIntegrity(s_, problems).ErrNo());
    EXPECT_TRUE(problems.empty()) << problems.front();
}

}  // namespace
}  // namespace ObjectStore
