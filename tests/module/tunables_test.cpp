// Store tunables: registry defaults, bounds and the lines they write.
#include "module/export/BackupFSMTunables.h"

#include <gtest/gtest.h>

#include "tests/support/TestEnvironment.h"

namespace {

class TunablesTest : public testsupport::ModuleTest {};

TEST_F(TunablesTest, ExtentSizeDefaultsToTenMiB) {
    EXPECT_EQ(10485760u, GetExtentSize());
    EXPECT_LOGGED(-1, "ExtentSize [10 MB]. This extent size will be used for all new files.");
}

TEST_F(TunablesTest, ExtentSizeZeroResetsToOneMiB) {
    registry_->Set("nObjStoreExtentSizeInMB", "0");
    EXPECT_EQ(1048576u, GetExtentSize());
    EXPECT_LOGGED(-1, "nObjStoreExtentSizeInMB [0]. Resetting to [1 MB].");
    EXPECT_LOGGED(-1, "ExtentSize [1 MB]. This extent size will be used for all new files.");
}

TEST_F(TunablesTest, ExtentSizeAboveBoundResetsTo1024MiB) {
    registry_->Set("nObjStoreExtentSizeInMB", "4096");
    EXPECT_EQ(1073741824u, GetExtentSize());
    EXPECT_LOGGED(-1, "nObjStoreExtentSizeInMB [4096]. Resetting to [1024 MB].");
    EXPECT_LOGGED(-1, "ExtentSize [1024 MB]. This extent size will be used for all new files.");
}

TEST_F(TunablesTest, ExtentSizeAtBoundIsKeptSilently) {
    registry_->Set("nObjStoreExtentSizeInMB", "1024");
    EXPECT_EQ(1073741824u, GetExtentSize());
    EXPECT_NOT_LOGGED("nObjStoreExtentSizeInMB [1024]. Resetting to [1024 MB].");
}

TEST_F(TunablesTest, AllOnesCountsAsAboveTheBound) {
    // "-1" reads as the unsigned maximum; its low 32 bits are 4294967295.
    for (const char* text : {"-1", "4294967295"}) {
        ClearLines();
        registry_->Set("nObjStoreExtentSizeInMB", text);
        EXPECT_EQ(1073741824u, GetExtentSize()) << text;
        EXPECT_LOGGED(-1, "nObjStoreExtentSizeInMB [-1]. Resetting to [1024 MB].");
    }
}

TEST_F(TunablesTest, ValueWiderThan32BitsKeepsItsLowBits) {
    registry_->Set("nObjStoreExtentSizeInMB", "4294967298");  // 2^32 + 2
    EXPECT_EQ(2u * 1048576u, GetExtentSize());
}

TEST_F(TunablesTest, FlushCountDefaultsAndBounds) {
    EXPECT_EQ(10000u, GetFlushAfterCount());
    EXPECT_LOGGED(-1, "CollectFileFlushCount [10000].");

    registry_->Set("nObjStoreCollectFileFlushCountInH", "0");
    EXPECT_EQ(100u, GetFlushAfterCount());
    EXPECT_LOGGED(-1, "nObjStoreCollectFileFlushCountInH [0]. Resetting to [100].");
    EXPECT_LOGGED(-1, "CollectFileFlushCount [100].");

    registry_->Set("nObjStoreCollectFileFlushCountInH", "5000");
    EXPECT_EQ(100000u, GetFlushAfterCount());
    EXPECT_LOGGED(-1, "nObjStoreCollectFileFlushCountInH [5000]. Resetting to [100000].");
    EXPECT_LOGGED(-1, "CollectFileFlushCount [100000].");

    ClearLines();
    registry_->Set("nObjStoreCollectFileFlushCountInH", "-1");
    EXPECT_EQ(100000u, GetFlushAfterCount());
    EXPECT_LOGGED(-1, "nObjStoreCollectFileFlushCountInH [-1]. Resetting to [100000].");
}

TEST_F(TunablesTest, UnboundedValuesDefaultSilently) {
    EXPECT_EQ(524288000u, GetGuidCacheBytes());
    EXPECT_EQ(104857600u, GetVersionCacheBytes());
    EXPECT_EQ(10000u, GetAttribCacheEntries());
    EXPECT_EQ(10000u, GetXattrCacheEntries());
    EXPECT_EQ(100000u, GetDirCacheEntries());
    EXPECT_EQ(5u, GetTimeoutUntilBackup());
    EXPECT_EQ(4096u, GetMaxPath());
    EXPECT_TRUE(Lines().empty()) << testsupport::Dump(Lines());
}

TEST_F(TunablesTest, UnboundedValuesPassThroughAsRead) {
    registry_->Set("GuidCacheBytes", "0");
    registry_->Set("VersionCacheBytes", "7");
    registry_->Set("AttribCacheMaxEntries", "8");
    registry_->Set("XattrCacheMaxEntries", "9");
    registry_->Set("DirCacheMaxEntries", "10");
    registry_->Set("nBkpItemIdleTimeInSecs", "0");
    registry_->Set("nObjectStoreMaxPath", "-1");
    EXPECT_EQ(0u, GetGuidCacheBytes());
    EXPECT_EQ(7u, GetVersionCacheBytes());
    EXPECT_EQ(8u, GetAttribCacheEntries());
    EXPECT_EQ(9u, GetXattrCacheEntries());
    EXPECT_EQ(10u, GetDirCacheEntries());
    EXPECT_EQ(0u, GetTimeoutUntilBackup());
    EXPECT_EQ(4294967295u, GetMaxPath());
}

TEST_F(TunablesTest, EveryCallReadsTheRegistryAgain) {
    registry_->Set("nObjStoreExtentSizeInMB", "2");
    EXPECT_EQ(2u * 1048576u, GetExtentSize());
    registry_->Set("nObjStoreExtentSizeInMB", "3");
    EXPECT_EQ(3u * 1048576u, GetExtentSize());
    registry_->Remove("nObjStoreExtentSizeInMB");
    EXPECT_EQ(10485760u, GetExtentSize());
}

}  // namespace
