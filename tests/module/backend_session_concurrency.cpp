// A whole client session on one share, and request threads working on one
// export at once: writes and reads of shared and private files, racing
// closes of one descriptor, and racing flushes under the sync interval.
#include <atomic>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "module/filehandle/FdToObjectStoreFH.h"
#include "tests/module/BackendFixture.h"

namespace {

using backendtest::BackendTest;
using backendtest::Pattern;

constexpr int kThreads = 4;
constexpr size_t kFileSize = 300 * 1024;
constexpr size_t kChunk = 16 * 1024;

class BackendSessionTest : public BackendTest {
protected:
    // Writes content through a fresh file name/dir in chunks; the object of
    // the new file is returned.
    BkEndProcPtr WriteFile(const BkEndProcPtr& dir, const std::string& name,
                           const std::vector<char>& content) {
        QuayCtxt ctxt = Allowed();
        BkEndProcPtr child;
        struct stat st;
        const int fd = dir->createAndOpen(&ctxt, child, name, O_RDWR | O_CREAT, st);
        if (fd <= 0) {
            ADD_FAILURE() << name << " errno " << errno;
            return BkEndProcPtr();
        }
        for (size_t offset = 0; offset < content.size(); offset += kChunk) {
            const size_t count = std::min(kChunk, content.size() - offset);
            const BkEndSyncType sync = (offset / kChunk) % 2 == 0 ? BKEND_UNSTABLE : BKEND_FILE_SYNC;
            EXPECT_EQ(static_cast<ssize_t>(count),
                      child->write(&ctxt, fd, content.data() + offset, offset, count, sync));
        }
        EXPECT_EQ(0, child->fsync(&ctxt, fd));
        EXPECT_EQ(0, child->close(&ctxt, fd));
        return child;
    }

    // Names of dir read with readdir_ex, each with the handle it came with.
    std::map<std::string, nfs_fh3> ListWithHandles(const BkEndProcPtr& dir, DIR* stream) {
        QuayCtxt ctxt = Allowed();
        std::map<std::string, nfs_fh3> entries;
        nfs_fh3 fh;
        struct stat st;
        uint64_t cookie = 0;
        while (struct dirent* entry = dir->readdir_ex(&ctxt, stream, fh, st, &cookie)) {
            entries[entry->d_name] = fh;
        }
        return entries;
    }
};

TEST_F(BackendSessionTest, WholeSession) {
    OpenShare();
    const unsigned int descriptorsBefore = TakenUniqueNumbers();
    QuayCtxt ctxt = Allowed();

    // A tree: /top/in, /top/out.
    BkEndProcPtr top = MakeDir(root_, "top");
    ASSERT_TRUE(top);
    BkEndProcPtr in = MakeDir(top, "in");
    BkEndProcPtr out = MakeDir(top, "out");
    ASSERT_TRUE(in && out);

    // Several writers at once, each its own file.
    std::vector<std::vector<char>> contents;
    for (int i = 0; i < kThreads; ++i) contents.push_back(Pattern(kFileSize + i * 1000, i));
    std::vector<std::thread> writers;
    for (int i = 0; i < kThreads; ++i) {
        writers.emplace_back([&, i] { WriteFile(in, "file" + std::to_string(i), contents[i]); });
    }
    for (std::thread& t : writers) t.join();

    // Read back byte for byte, through objects found by name.
    for (int i = 0; i < kThreads; ++i) {
        BkEndProcPtr file = Find(in, "file" + std::to_string(i));
        ASSERT_TRUE(file) << i;
        const std::string back = ReadAll(file);
        ASSERT_EQ(contents[i].size(), back.size()) << i;
        EXPECT_TRUE(std::equal(back.begin(), back.end(), contents[i].begin())) << i;
    }

    // List with handles, remember a position, resume from it.
    DIR* stream = in->opendir(&ctxt, "/top/in");
    ASSERT_NE(nullptr, stream);
    nfs_fh3 fh;
    struct stat st;
    uint64_t cookie = 0;
    std::vector<std::string> head;
    for (int i = 0; i < 3; ++i) {
        struct dirent* entry = in->readdir_ex(&ctxt, stream, fh, st, &cookie);
        ASSERT_NE(nullptr, entry);
        head.push_back(entry->d_name);
    }
    const long position = in->telldir(&ctxt, stream);
    ASSERT_GE(position, 0);
    const std::map<std::string, nfs_fh3> tail = ListWithHandles(in, stream);
    in->seekdir(&ctxt, stream, position);
    const std::map<std::string, nfs_fh3> resumed = ListWithHandles(in, stream);
    ASSERT_EQ(0, in->closedir(&ctxt, stream));
    ASSERT_EQ(static_cast<size_t>(kThreads + 2), head.size() + tail.size());
    ASSERT_EQ(tail.size(), resumed.size());
    for (const auto& entry : tail) {
        ASSERT_EQ(1u, resumed.count(entry.first)) << entry.first;
        EXPECT_EQ(41u, entry.second.length);
        EXPECT_EQ(0, memcmp(&entry.second, &resumed.at(entry.first), sizeof(nfs_fh3)));
    }

    // Rename every file across directories, from the objects the listing named.
    for (int i = 0; i < kThreads; ++i) {
        const std::string name = "file" + std::to_string(i);
        BkEndProcPtr file = Find(in, name);
        ASSERT_TRUE(file);
        QuayCtxt move = Allowed();
        move.parentObj = out;
        ASSERT_EQ(0, file->rename(&move, name.c_str(), ("moved" + std::to_string(i)).c_str()));
    }
    EXPECT_EQ((std::vector<std::string>{".", ".."}), List(in));
    for (int i = 0; i < kThreads; ++i) {
        BkEndProcPtr moved = Find(out, "moved" + std::to_string(i));
        ASSERT_TRUE(moved) << i;
        EXPECT_EQ("/top/out/moved" + std::to_string(i), moved->GetClientPath());
        EXPECT_EQ(contents[i].size(), ReadAll(moved).size());
    }

    // Remove everything.
    for (int i = 0; i < kThreads; ++i) {
        BkEndProcPtr moved = Find(out, "moved" + std::to_string(i));
        ASSERT_TRUE(moved);
        QuayCtxt remove = Allowed();
        remove.parentObj = out;
        ASSERT_EQ(0, moved->unlink(&remove, "moved"));
    }
    ASSERT_EQ(0, in->rmdir(&ctxt, "/top/in"));
    ASSERT_EQ(0, out->rmdir(&ctxt, "/top/out"));
    ASSERT_EQ(0, top->rmdir(&ctxt, "/top"));
    EXPECT_EQ((std::vector<std::string>{".", ".."}), List(root_));
    EXPECT_EQ(descriptorsBefore, TakenUniqueNumbers());
    EXPECT_TRUE(FdToObjectStoreFH::fdTofhMap.empty());
}

TEST_F(BackendSessionTest, ConcurrentReadsAndWritesOnOneExport) {
    OpenShare();
    const std::vector<char> shared = Pattern(kFileSize, 99);
    BkEndProcPtr sharedFile = WriteFile(root_, "shared", shared);
    ASSERT_TRUE(sharedFile);

    // One descriptor on the shared file, used by every reader at once.
    QuayCtxt ctxt = Allowed();
    const int sharedFd = sharedFile->open(&ctxt, "/shared", O_RDONLY, 0);
    ASSERT_GT(sharedFd, 0);

    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            QuayCtxt mine = Allowed();
            const std::vector<char> content = Pattern(kFileSize / 2, i + 10);
            BkEndProcPtr own = WriteFile(root_, "own" + std::to_string(i), content);
            if (!own || ReadAll(own) != std::string(content.begin(), content.end())) ++failures;
            std::vector<char> buf(kChunk);
            for (size_t offset = 0; offset < shared.size(); offset += kChunk) {
                const ssize_t n = sharedFile->read(&mine, sharedFd, buf.data(), offset, kChunk);
                const size_t want = std::min(kChunk, shared.size() - offset);
                if (n != static_cast<ssize_t>(want) ||
                    memcmp(buf.data(), shared.data() + offset, want) != 0) {
                    ++failures;
                }
                struct stat st;
                if (sharedFile->lstat(&mine, "/shared", &st) != 0) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, sharedFile->close(&ctxt, sharedFd));
}

TEST_F(BackendSessionTest, RacingClosesOfOneDescriptorGiveItsNumberBackOnce) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "abc");
    ASSERT_TRUE(file);
    for (int round = 0; round < 20; ++round) {
        QuayCtxt ctxt = Allowed();
        const unsigned int before = TakenUniqueNumbers();
        const int fd = file->open(&ctxt, "/f", O_RDONLY, 0);
        ASSERT_GT(fd, 0);
        std::atomic<int> closed(0);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&] {
                QuayCtxt mine = Allowed();
                if (file->close(&mine, fd) == 0) ++closed;
            });
        }
        for (std::thread& t : threads) t.join();
        EXPECT_GE(closed.load(), 1);
        ASSERT_EQ(before, TakenUniqueNumbers()) << "round " << round;
    }
}

TEST_F(BackendSessionTest, RacingFlushesPassTheSyncIntervalOnce) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "abc");
    ASSERT_TRUE(file);
    BackupFSMGlobals::syncInterval = 3600;
    BackupFSMGlobals::lastSyncTime = 0;
    ClearLines();
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            QuayCtxt mine = Allowed();
            for (int n = 0; n < 25; ++n) {
                if (file->fdatasync(&mine, 0) != 0) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1, testsupport::CountLines(Lines(), "sync data succeeded"));
    EXPECT_EQ(kThreads * 25 - 1,
              testsupport::CountLines(Lines(), "Skipping sync due to sync interval"));
}

}  // namespace
