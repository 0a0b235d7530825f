#include <gtest/gtest.h>

#include <cerrno>

#include "host/FSMCache.h"
#include "tests/host/HostTestSupport.h"

namespace {

using hosttest::FileExists;
using hosttest::WriteFile;

class FSMCacheTest : public hosttest::HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        FSMCache::Reset();
    }
    void TearDown() override {
        FSMCache::Reset();
        HostTest::TearDown();
    }
    void SetCachePath(const std::string& path) {
        WriteFile(dataDir_.path() + "/registry.ini", "[Quay]\nsDiskCachePath=" + path + "\n");
    }
};

TEST_F(FSMCacheTest, DefaultFolderAndSettings) {
    CPelError error = FSMCache::InitDiskCache();
    ASSERT_FALSE(error.IsError()) << error.AsString();
    ASSERT_TRUE(FSMCache::spFsmCache);
    ObjectStore::DiskCacheConfig config = FSMCache::spFsmCache->GetDiskCacheConfig();
    EXPECT_EQ(dataDir_.path() + "/cache", config.path);
    EXPECT_EQ(90u, config.highWatermarkPct);
    EXPECT_EQ(80u, config.lowWatermarkPct);
    EXPECT_EQ(85u, config.warnWatermarkPct);
    EXPECT_EQ(1000u, config.maxOpenStores);
    EXPECT_EQ(0u, config.flags);
    EXPECT_TRUE(FileExists(config.path));
    EXPECT_EQ(FSMCache::spFsmCache->getDiskCache().get(), &*FSMCache::spFsmCache->getDiskCache());
}

TEST_F(FSMCacheTest, RegistryNamesTheFolder) {
    const std::string path = dataDir_.path() + "/elsewhere/cache";
    SetCachePath(path);
    ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
    EXPECT_EQ(path, FSMCache::spFsmCache->GetDiskCacheConfig().path);
    EXPECT_TRUE(FileExists(path));
}

TEST_F(FSMCacheTest, CreatedOnce) {
    ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
    boost::shared_ptr<ObjectStore::DiskCache> first = FSMCache::spFsmCache->getDiskCache();
    SetCachePath(dataDir_.path() + "/other");  // ignored once the cache exists
    ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
    EXPECT_EQ(first, FSMCache::spFsmCache->getDiskCache());
    EXPECT_FALSE(FileExists(dataDir_.path() + "/other"));
}

TEST_F(FSMCacheTest, FailureKeepsNothingAndTheNextCallStartsAgain) {
    WriteFile(dataDir_.path() + "/blocker", "not a folder");
    SetCachePath(dataDir_.path() + "/blocker/cache");
    CPelError error = FSMCache::InitDiskCache();
    EXPECT_TRUE(error.IsError());
    EXPECT_FALSE(FSMCache::spFsmCache);

    SetCachePath(dataDir_.path() + "/good");
    ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
    ASSERT_TRUE(FSMCache::spFsmCache);
    EXPECT_EQ(dataDir_.path() + "/good", FSMCache::spFsmCache->GetDiskCacheConfig().path);
}

TEST_F(FSMCacheTest, PlannedFailures) {
    FSMCache::FailNextInit(2, CPelError(ENOSPC, "disk full"));
    for (int i = 0; i < 2; ++i) {
        CPelError error = FSMCache::InitDiskCache();
        EXPECT_EQ(ENOSPC, error.ErrNo());
        EXPECT_EQ("disk full", error.Message());
        EXPECT_FALSE(FSMCache::spFsmCache);
    }
    EXPECT_FALSE(FileExists(dataDir_.path() + "/cache"));
    ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
    EXPECT_TRUE(FSMCache::spFsmCache);
}

TEST_F(FSMCacheTest, APlannedFailureAlwaysReadsAsAnError) {
    FSMCache::FailNextInit(1, CPelError::Success());
    CPelError error = FSMCache::InitDiskCache();
    EXPECT_EQ(EIO, error.ErrNo());
    EXPECT_FALSE(FSMCache::spFsmCache);
}

TEST_F(FSMCacheTest, ResetDropsTheCacheAndThePlan) {
    ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
    FSMCache::FailNextInit(1, CPelError(EIO, "x"));
    FSMCache::Reset();
    EXPECT_FALSE(FSMCache::spFsmCache);
    ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
    EXPECT_TRUE(FSMCache::spFsmCache);
}

}  // namespace
