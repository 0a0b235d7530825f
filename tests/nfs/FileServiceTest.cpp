// What the file service tells clients about a share's names: PATHCONF's
// case_insensitive comes from the share, and it matches how the share finds
// names.
#include "nfsserver/FileService.h"

#include <gtest/gtest.h>

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

}  // namespace
