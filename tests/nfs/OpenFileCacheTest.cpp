// The open-file cache as READ, WRITE, REMOVE and RENAME reach it through the
// file service, on the real module and store: one descriptor per file for a
// whole copy, a bounded number open, idle files closed, and none kept for a
// removed or renamed file or a removed export. Descriptors are counted in the
// module's own table, so a leak shows however it happens.
#include "nfsserver/OpenFileCache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "module/filehandle/FdToObjectStoreFH.h"
#include "nfsserver/FileService.h"
#include "tests/module/BackendFixture.h"

namespace {

using namespace std::chrono_literals;
using backendtest::kAllowedUid;
using backendtest::kOtherGid;

constexpr size_t kCapacity = 3;
constexpr auto kIdle = 5s;

class OpenFileCacheTest : public backendtest::BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        OpenShare();
    }

    void TearDown() override {
        files_.Clear();
        BackendTest::TearDown();
    }

    // A file of the share's root with this content, created outside the
    // cache; the log starts after it.
    void MakeShareFile(const std::string& name, const std::string& content) {
        ASSERT_TRUE(MakeFile(root_, name, content));
        ClearLines();
    }

    // Binds a request to the named object of the share's root ("" for the
    // root) through its handle, as a received call is bound.
    void Bind(FileRequest& request, const std::string& name) {
        BkEndProcPtr object = name.empty() ? root_ : Find(root_, name);
        ASSERT_TRUE(object) << name;
        nfs_fh3 handle;
        object->GetFileHandle(handle);
        ASSERT_EQ(0, service_.Resolve(handle, request)) << name;
    }

    std::string ReadFile(const std::string& name, uint64_t offset, size_t count) {
        FileRequest request(caller_);
        Bind(request, name);
        std::string data(count, '\0');
        size_t done = 0;
        EXPECT_EQ(0, service_.Read(request, offset, &data[0], count, done)) << name;
        data.resize(done);
        return data;
    }

    void WriteFile(const std::string& name, uint64_t offset, const std::string& data) {
        FileRequest request(caller_);
        Bind(request, name);
        size_t done = 0;
        EXPECT_EQ(0, service_.Write(request, offset, data.data(), data.size(), BKEND_UNSTABLE, done)) << name;
        EXPECT_EQ(data.size(), done) << name;
    }

    std::shared_ptr<OpenFile> Cached(const std::string& name) {
        FileRequest request(caller_);
        Bind(request, name);
        return files_.Find(request.Key());
    }

    // Descriptors the module has handed out and not taken back.
    static size_t OpenDescriptors() {
        ZelCriticalSectionLock lock(FdToObjectStoreFH::fileHandleMapCS);
        return FdToObjectStoreFH::fdTofhMap.size();
    }

    int Opens(const std::string& name) {
        return testsupport::CountLines(Lines(), "INFO: opened file successfully [/" + name + "]");
    }

    int Closes(const std::string& name) { return testsupport::CountLines(Lines(), "INFO: [/" + name + "] closed"); }

    OpenFileCache::Clock::time_point now_ = OpenFileCache::Clock::now();
    OpenFileCache files_{kCapacity, kIdle, [this] { return now_; }};
    FileService service_{*BackupFSM::GetFSM(), files_};
    const CallerIdentity caller_{"127.0.0.1", kAllowedUid, kOtherGid, {}};
};

TEST_F(OpenFileCacheTest, OneDescriptorServesEveryReadAndWriteOfAFile) {
    MakeShareFile("copy.bin", "");
    const std::vector<char> pattern = backendtest::Pattern(64 * 1024, 3);
    const std::string chunk(pattern.begin(), pattern.end());
    for (int i = 0; i < 20; ++i) WriteFile("copy.bin", i * chunk.size(), chunk);
    const std::shared_ptr<OpenFile> first = Cached("copy.bin");
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->Writable());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(chunk, ReadFile("copy.bin", i * chunk.size(), chunk.size())) << i;

    EXPECT_EQ(first, Cached("copy.bin"));
    EXPECT_EQ(1, Opens("copy.bin")) << testsupport::Dump(Lines());
    EXPECT_EQ(0, Closes("copy.bin"));
    EXPECT_EQ(1u, files_.Size());
    EXPECT_EQ(1u, OpenDescriptors());
}

TEST_F(OpenFileCacheTest, AWriteAfterReadsReopensTheFileForWriting) {
    MakeShareFile("notes.txt", "first version");
    EXPECT_EQ("first", ReadFile("notes.txt", 0, 5));
    std::shared_ptr<OpenFile> reader = Cached("notes.txt");
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->Writable());

    WriteFile("notes.txt", 0, "FIRST");
    const std::shared_ptr<OpenFile> writer = Cached("notes.txt");
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->Writable());
    EXPECT_NE(reader->Fd(), writer->Fd());
    // The read-only descriptor is closed once nothing uses it.
    EXPECT_EQ(2u, OpenDescriptors());
    reader.reset();
    EXPECT_EQ(1, Closes("notes.txt"));
    EXPECT_EQ(1u, OpenDescriptors());

    // Reads go on with the writable descriptor.
    EXPECT_EQ("FIRST version", ReadFile("notes.txt", 0, 64));
    EXPECT_EQ(2, Opens("notes.txt")) << testsupport::Dump(Lines());
    EXPECT_EQ(writer, Cached("notes.txt"));
}

TEST_F(OpenFileCacheTest, AFullCacheClosesTheLeastRecentlyUsedFile) {
    for (const char* name : {"a", "b", "c", "d"}) MakeShareFile(name, name);
    EXPECT_EQ("a", ReadFile("a", 0, 8));
    EXPECT_EQ("b", ReadFile("b", 0, 8));
    EXPECT_EQ("c", ReadFile("c", 0, 8));
    EXPECT_EQ("a", ReadFile("a", 0, 8));  // b is now the least recently used

    EXPECT_EQ("d", ReadFile("d", 0, 8));
    EXPECT_EQ(kCapacity, files_.Size());
    EXPECT_FALSE(Cached("b"));
    EXPECT_TRUE(Cached("a"));
    EXPECT_TRUE(Cached("c"));
    EXPECT_TRUE(Cached("d"));
    EXPECT_EQ(1, Closes("b"));
    EXPECT_EQ(kCapacity, OpenDescriptors());
}

TEST_F(OpenFileCacheTest, AFileDroppedWhileACallUsesItClosesWhenTheCallEnds) {
    for (const char* name : {"a", "b", "c", "d"}) MakeShareFile(name, name);
    FileRequest running(caller_);
    Bind(running, "a");
    std::shared_ptr<OpenFile> inUse;
    ASSERT_EQ(0, files_.Acquire(running, false, inUse));
    for (const char* name : {"b", "c", "d"}) ReadFile(name, 0, 8);

    EXPECT_FALSE(Cached("a"));
    EXPECT_EQ(0, Closes("a"));
    EXPECT_EQ(kCapacity + 1, OpenDescriptors());
    inUse.reset();
    EXPECT_EQ(1, Closes("a"));
    EXPECT_EQ(kCapacity, OpenDescriptors());
}

TEST_F(OpenFileCacheTest, FilesIdleForTheIdleTimeAreClosed) {
    MakeShareFile("old", "old");
    MakeShareFile("recent", "recent");
    ReadFile("old", 0, 8);
    now_ += 3s;
    ReadFile("recent", 0, 8);
    now_ += 2s;  // old idle for exactly the idle time, recent for 2 s

    files_.CloseIdle();
    EXPECT_FALSE(Cached("old"));
    EXPECT_TRUE(Cached("recent"));
    EXPECT_EQ(1, Closes("old"));
    EXPECT_EQ(1u, OpenDescriptors());

    now_ += 2s;
    ReadFile("recent", 0, 8);  // a use restarts its idle time
    now_ += 4s;
    files_.CloseIdle();
    EXPECT_TRUE(Cached("recent"));
    now_ += 1s;
    files_.CloseIdle();
    EXPECT_FALSE(Cached("recent"));
    EXPECT_EQ(0u, files_.Size());
    EXPECT_EQ(0u, OpenDescriptors());
}

TEST_F(OpenFileCacheTest, ARemovedFileLeavesNoDescriptor) {
    MakeShareFile("gone", "data");
    WriteFile("gone", 4, "more");
    ASSERT_EQ(1u, OpenDescriptors());
    FileRequest dir(caller_);
    Bind(dir, "");

    ASSERT_EQ(0, service_.Remove(dir, "gone"));
    EXPECT_EQ(0u, files_.Size());
    EXPECT_EQ(0u, OpenDescriptors());
    EXPECT_EQ(1, Closes("gone"));
}

TEST_F(OpenFileCacheTest, ARenamedFileAndTheFileItReplacesLeaveNoDescriptor) {
    MakeShareFile("from", "new contents");
    MakeShareFile("to", "old contents");
    EXPECT_EQ("new", ReadFile("from", 0, 3));
    EXPECT_EQ("old", ReadFile("to", 0, 3));
    ASSERT_EQ(2u, OpenDescriptors());
    FileRequest dir(caller_);
    Bind(dir, "");

    ASSERT_EQ(0, service_.Rename(dir, "from", dir, "to"));
    EXPECT_EQ(0u, files_.Size());
    EXPECT_EQ(0u, OpenDescriptors());
    EXPECT_EQ("new contents", ReadFile("to", 0, 64));
}

TEST_F(OpenFileCacheTest, TheFilesOfARemovedExportCloseAtTheNextPass) {
    MakeShareFile("shared", "data");
    WriteFile("shared", 4, "more");
    const std::weak_ptr<OpenFile> cached = Cached("shared");
    ASSERT_FALSE(cached.expired());
    const int fd = cached.lock()->Fd();

    // What un-exporting does: the store closes, the share leaves the cache.
    ASSERT_FALSE(BackupFSM::GetObjContainer()->closeObjectStore(exp_->GetObjStoreIndex()).IsError());
    Unpublish();
    files_.CloseIdle();  // long before the idle time

    EXPECT_EQ(0u, files_.Size());
    EXPECT_TRUE(cached.expired());
    // The store closed the file already: the descriptor goes, quietly.
    EXPECT_EQ(0u, OpenDescriptors());
    EXPECT_LOGGED(3, "INFO: NFS: descriptor [" + std::to_string(fd) + "] was closed with its share");
}

TEST_F(OpenFileCacheTest, AShareExportedAnewGetsDescriptorsOfItsOwn) {
    MakeShareFile("shared", "data");
    WriteFile("shared", 4, "more");
    const std::shared_ptr<OpenFile> before = Cached("shared");
    ASSERT_TRUE(before);

    ASSERT_FALSE(BackupFSM::GetObjContainer()->closeObjectStore(exp_->GetObjStoreIndex()).IsError());
    Unpublish();
    OpenShare();  // the same path and share id, a store opened anew
    ClearLines();

    WriteFile("shared", 8, "again");
    EXPECT_EQ("datamoreagain", ReadFile("shared", 0, 64));
    const std::shared_ptr<OpenFile> after = Cached("shared");
    ASSERT_TRUE(after);
    EXPECT_NE(before, after);
    EXPECT_EQ(ExportPtr(exp_), after->GetExport());
    EXPECT_EQ(1, Opens("shared"));
}

}  // namespace
