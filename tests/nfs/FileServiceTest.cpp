// What the file service tells clients about a share's names: PATHCONF's
// case_insensitive comes from the share, and it matches how the share finds
// names. Listings begin with "." and "..", whose cookies resume as any other.
#include "nfsserver/FileService.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "nfsserver/OpenFileCache.h"
#include "tests/module/BackendFixture.h"

namespace {

using backendtest::kAllowedUid;
using backendtest::kOtherGid;

class FileServiceTest : public backendtest::BackendTest {
protected:
    void TearDown() override {
        files_.Clear();
        BackendTest::TearDown();
    }

    // A request bound to the share's root, as a received call is bound.
    void BindRoot(FileRequest& request) {
        nfs_fh3 handle;
        root_->GetFileHandle(handle);
        ASSERT_EQ(0, service_.Resolve(handle, request));
    }

    OpenFileCache files_{4, std::chrono::seconds(5)};
    FileService service_{*BackupFSM::GetFSM(), files_};
    const CallerIdentity caller_{"127.0.0.1", kAllowedUid, kOtherGid, {}};
};

TEST_F(FileServiceTest, ACaseInsensitiveShareSaysSoAndFindsNamesInAnyCase) {
    OpenShare(false, false, 300, false);
    ASSERT_TRUE(MakeFile(root_, "ReadMe.txt", "x"));
    FileRequest request(caller_);
    BindRoot(request);
    EXPECT_TRUE(FileService::CaseInsensitive(request));
    BkEndProcPtr child;
    EXPECT_EQ(0, service_.Lookup(request, "README.TXT", child));
}

TEST_F(FileServiceTest, ACaseSensitiveShareSaysSoAndFindsOnlyTheExactName) {
    OpenShare();
    ASSERT_TRUE(MakeFile(root_, "ReadMe.txt", "x"));
    FileRequest request(caller_);
    BindRoot(request);
    EXPECT_FALSE(FileService::CaseInsensitive(request));
    BkEndProcPtr child;
    EXPECT_EQ(ENOENT, service_.Lookup(request, "README.TXT", child));
    EXPECT_EQ(0, service_.Lookup(request, "ReadMe.txt", child));
}

TEST_F(FileServiceTest, AListingBeginsWithDotAndDotDotAndResumesAfterThem) {
    OpenShare();
    ASSERT_TRUE(MakeFile(root_, "a", "x"));
    ASSERT_TRUE(MakeFile(root_, "b", "x"));
    FileRequest request(caller_);
    BindRoot(request);
    struct Seen {
        std::string name;
        uint64_t cookie;
        std::string handle;
    };
    auto list = [&](uint64_t cookie, size_t room, std::vector<Seen>& seen, bool& eof) {
        return service_.ListDirectory(request, cookie, [&](const DirEntry& e) {
            if (seen.size() == room) return false;
            seen.push_back({e.name, e.cookie, std::string(reinterpret_cast<const char*>(e.handle.data), e.handle.length)});
            return true;
        }, eof);
    };
    std::vector<Seen> first;
    bool eof = true;
    ASSERT_EQ(0, list(0, 2, first, eof));
    EXPECT_FALSE(eof);
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ(".", first[0].name);
    EXPECT_EQ("..", first[1].name);
    // Both are the share root, whose handle they carry.
    EXPECT_EQ(request.Key(), first[0].handle);
    EXPECT_EQ(request.Key(), first[1].handle);

    std::vector<Seen> rest;
    ASSERT_EQ(0, list(first[1].cookie, 10, rest, eof));
    EXPECT_TRUE(eof);
    ASSERT_EQ(2u, rest.size());
    EXPECT_EQ("a", rest[0].name);
    EXPECT_EQ("b", rest[1].name);
    EXPECT_FALSE(rest[0].handle.empty());
    // Resuming after "." gives ".." again, then the rest.
    std::vector<Seen> again;
    ASSERT_EQ(0, list(first[0].cookie, 10, again, eof));
    ASSERT_EQ(3u, again.size());
    EXPECT_EQ("..", again[0].name);
}

TEST_F(FileServiceTest, DotDotBelowTheShareRootCarriesNoHandle) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    FileRequest request(caller_);
    nfs_fh3 handle;
    dir->GetFileHandle(handle);
    ASSERT_EQ(0, service_.Resolve(handle, request));
    std::vector<std::pair<std::string, uint32_t>> seen;
    bool eof = false;
    ASSERT_EQ(0, service_.ListDirectory(request, 0, [&](const DirEntry& e) {
        seen.emplace_back(e.name, e.handle.length);
        return true;
    }, eof));
    const std::vector<std::pair<std::string, uint32_t>> expected{{".", handle.length}, {"..", 0}};
    EXPECT_EQ(expected, seen);
}

}  // namespace
