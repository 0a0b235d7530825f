// Container life cycle: init, opening and closing stores, statistics,
// settings updates, clean-up, the disk cache record and the fault plan.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/make_shared.hpp>

#include "objectstore/DiskCache.h"
#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

using ContainerTest = StoreTest;

TEST_F(ContainerTest, InitRejectsEmptyOrRelativeRootAndCreatesMissingOne) {
    ObjectContainer c;
    ObjectContainerConfig cc;
    EXPECT_EQ(EINVAL, c.init(cc).ErrNo());
    cc.dataRoot = "relative/root";
    EXPECT_EQ(EINVAL, c.init(cc).ErrNo());
    cc.dataRoot = tmp_ + "/a/b/c";
    EXPECT_EQ(0, c.init(cc).ErrNo());
    struct stat st;
    EXPECT_EQ(0, ::stat(cc.dataRoot.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(ContainerTest, InitTakesTheDiskCacheFolderWhenGivenItsSettingsLine) {
    DiskCacheConfig dc;
    dc.path = tmp_ + "/cache";
    auto cache = boost::make_shared<DiskCache>(dc);
    ASSERT_EQ(0, cache->Init().ErrNo());
    ObjectContainer c;
    ObjectContainerConfig cc;
    cc.dataRoot = cache->ToString();
    cc.diskCache = cache;
    cc.useDiskCache = true;
    ASSERT_EQ(0, c.init(cc).ErrNo());
    uint64_t index = 0;
    ASSERT_EQ(0, c.openObjectStore(index, LiveConfig("/x")).ErrNo());
    struct stat st;
    EXPECT_EQ(0, ::stat((dc.path + "/x/meta.db").c_str(), &st));
}

TEST_F(ContainerTest, OperationsBeforeInitFailWithEnxio) {
    ObjectContainer c;
    uint64_t index = 0;
    EXPECT_EQ(ENXIO, c.openObjectStore(index, LiveConfig()).ErrNo());
    EXPECT_EQ(ENXIO, c.cleanupObjectStore("/stores/s1", 1, "snap", true).ErrNo());
}

TEST_F(ContainerTest, DiskCacheInitCreatesFolderAndPrintsItsSettings) {
    DiskCacheConfig dc;
    dc.path = tmp_ + "/dc/nested";
    dc.highWatermarkPct = 91;
    dc.lowWatermarkPct = 81;
    dc.warnWatermarkPct = 86;
    dc.maxOpenStores = 12;
    dc.flags = 3;
    DiskCache cache(dc);
    EXPECT_EQ(0, cache.Init().ErrNo());
    EXPECT_EQ(0, ::access(dc.path.c_str(), W_OK));
    EXPECT_EQ(dc.path + " 91 81 86 12 3", cache.ToString());
    DiskCache empty(DiskCacheConfig{});
    EXPECT_EQ(EINVAL, empty.Init().ErrNo());
    // A file where the folder should be.
    std::string file = tmp_ + "/plainfile";
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ::close(fd);
    DiskCacheConfig blocked;
    blocked.path = file + "/sub";
    EXPECT_EQ(ENOTDIR, DiskCache(blocked).Init().ErrNo());
}

TEST_F(ContainerTest, CacheMigrationFlagIsOffUntilSet) {
    EXPECT_FALSE(container_->isCacheMigrationInProgress());
    container_->setCacheMigrationInProgress(true);
    EXPECT_TRUE(container_->isCacheMigrationInProgress());
}

TEST_F(ContainerTest, StoreIndexIsInvalidAfterClose) {
    uint64_t s = Open(LiveConfig());
    EXPECT_EQ(32u, container_->getRootGuid(s).size());
    ASSERT_EQ(0, container_->closeObjectStore(s).ErrNo());
    EXPECT_EQ("", container_->getRootGuid(s));
    EXPECT_EQ(EBADF, container_->closeObjectStore(s).ErrNo());
    struct stat st;
    ItemName root("/");
    EXPECT_EQ(EBADF, container_->getattr(s, root, st).ErrNo());
    EXPECT_EQ(EBADF, container_->getattr(12345, root, st).ErrNo());
}

TEST_F(ContainerTest, SamePathOpenedTwiceSharesOneStore) {
    uint64_t a = Open(LiveConfig());
    uint64_t b = Open(LiveConfig());
    EXPECT_NE(a, b);
    EXPECT_EQ(container_->getRootGuid(a), container_->getRootGuid(b));
    MakeFile(a, Root(a), "shared.txt", "hello");
    EXPECT_EQ("hello", ReadPath(b, "/shared.txt"));
    ASSERT_EQ(0, container_->closeObjectStore(a).ErrNo());
    EXPECT_EQ("hello", ReadPath(b, "/shared.txt"));
}

TEST_F(ContainerTest, MaxOpenStoresIsEnforced) {
    ObjectContainer c;
    ObjectContainerConfig cc;
    cc.dataRoot = dataRoot_;
    cc.maxOpenStores = 2;
    ASSERT_EQ(0, c.init(cc).ErrNo());
    uint64_t i1, i2, i3;
    ASSERT_EQ(0, c.openObjectStore(i1, LiveConfig("/a")).ErrNo());
    ASSERT_EQ(0, c.openObjectStore(i2, LiveConfig("/b")).ErrNo());
    EXPECT_EQ(EMFILE, c.openObjectStore(i3, LiveConfig("/c")).ErrNo());
    ASSERT_EQ(0, c.closeObjectStore(i1).ErrNo());
    EXPECT_EQ(0, c.openObjectStore(i3, LiveConfig("/c")).ErrNo());
}

TEST_F(ContainerTest, StatsArePeopleReadableAndOrdered) {
    uint64_t s = Open(LiveConfig());
    Mkdir(s, Root(s), "d");
    MakeFile(s, Root(s), "a", std::string(1000, 'x'));
    MakeFile(s, ItemName("/d"), "b", std::string(24, 'y'));
    NameValueList stats;
    ASSERT_EQ(0, container_->getObjStrGuiStats(s, stats).ErrNo());
    std::vector<std::string> names;
    for (auto& p : stats) names.push_back(p.first);
    std::vector<std::string> expected = {"Store path",     "View",         "Files",
                                         "Directories",    "Symbolic links", "Versions",
                                         "Logical bytes",  "Stored bytes", "Last write",
                                         "Bytes on disk", "Reclaimable bytes", "Retention",
                                         "Oldest time available", "Last prune", "Bytes freed by last prune",
                                         "Version interval (s)", "Copy precedence", "Backup filter",
                                         "Client"};
    EXPECT_EQ(expected, names);
    EXPECT_EQ("/stores/s1", StatValue(s, "Store path"));
    EXPECT_EQ("live", StatValue(s, "View"));
    EXPECT_EQ("2", StatValue(s, "Files"));
    EXPECT_EQ("2", StatValue(s, "Directories"));  // the root and d
    EXPECT_EQ("1024", StatValue(s, "Logical bytes"));
    EXPECT_LE(1024, std::stoll(StatValue(s, "Stored bytes")));
    EXPECT_NE("never", StatValue(s, "Last write"));
    EXPECT_NE(std::string::npos, StatValue(s, "Last write").find("UTC"));
    EXPECT_EQ("all history", StatValue(s, "Retention"));
    EXPECT_EQ("never", StatValue(s, "Last prune"));
    EXPECT_EQ("0", StatValue(s, "Reclaimable bytes"));
}

TEST_F(ContainerTest, UpdateChangesSettingsShownInStats) {
    uint64_t s = Open(LiveConfig());
    ObjectStoreUpdates u;
    u.hasCopyPrecedence = true;
    u.copyPrecedence = 7;
    ASSERT_EQ(0, container_->updateObjectStore(s, u).ErrNo());
    u.Clear();
    u.hasBackupFilter = true;
    u.backupFilter = "*.tmp";
    ASSERT_EQ(0, container_->updateObjectStore(s, u).ErrNo());
    u.Clear();
    u.hasClientPair = true;
    u.clientFirst = "clientA";
    u.clientSecond = "clientB";
    ASSERT_EQ(0, container_->updateObjectStore(s, u).ErrNo());
    u.Clear();
    u.hasVersionInterval = true;
    u.versionInterval = 90;
    ASSERT_EQ(0, container_->updateObjectStore(s, u).ErrNo());
    EXPECT_EQ("7", StatValue(s, "Copy precedence"));
    EXPECT_EQ("*.tmp", StatValue(s, "Backup filter"));
    EXPECT_EQ("clientA / clientB", StatValue(s, "Client"));
    EXPECT_EQ("90", StatValue(s, "Version interval (s)"));
}

TEST_F(ContainerTest, LiveStoreRefusesToDiscardWrites) {
    uint64_t s = Open(LiveConfig());
    MakeFile(s, Root(s), "keep", "data");
    ObjectStoreUpdates u;
    u.hasDiscardWrites = true;
    u.discardWrites = true;
    EXPECT_EQ(EINVAL, container_->updateObjectStore(s, u).ErrNo());
    EXPECT_EQ("data", ReadPath(s, "/keep"));
}

TEST_F(ContainerTest, CleanupOfUnknownStoreIsEnoent) {
    EXPECT_EQ(ENOENT, container_->cleanupObjectStore("/stores/none", 1, "snap", true).ErrNo());
    Open(LiveConfig());
    EXPECT_EQ(0, container_->cleanupObjectStore("/stores/s1", 1, "snap", true).ErrNo());
    // The share path of a view carries "-<view>" after the store path.
    EXPECT_EQ(0, container_->cleanupObjectStore("/stores/s1-snap", 1, "snap", true).ErrNo());
}

TEST_F(ContainerTest, FaultPlanFailsTheNextCallsThenLetsThemThrough) {
    uint64_t s = Open(LiveConfig());
    std::string guid = MakeFile(s, Root(s), "f", "abc");
    container_->faultPlan().FailNext("write", 2, ENOSPC);
    FileHandle fh;
    ASSERT_EQ(0, container_->open(s, fh, ItemName(guid, false), O_RDWR, false).ErrNo());
    uint64_t count = 3;
    EXPECT_EQ(ENOSPC, container_->write(s, fh, "XYZ", count, 0, 0).ErrNo());
    EXPECT_EQ(0u, count);
    count = 3;
    EXPECT_EQ(ENOSPC, container_->write(s, fh, "XYZ", count, 0, 0).ErrNo());
    EXPECT_EQ("abc", ReadPath(s, "/f"));  // a planned failure changes nothing
    count = 3;
    EXPECT_EQ(0, container_->write(s, fh, "XYZ", count, 0, 0).ErrNo());
    EXPECT_EQ(3u, count);
    EXPECT_EQ(2, container_->faultPlan().Injected("write"));
    EXPECT_EQ(0, container_->faultPlan().Injected("read"));
    EXPECT_EQ(0, container_->close(s, fh).ErrNo());
    EXPECT_EQ("XYZ", ReadPath(s, "/f"));
    container_->faultPlan().FailNext("open", 1, EAGAIN);
    container_->faultPlan().Clear();
    EXPECT_EQ("XYZ", ReadPath(s, "/f"));
}

TEST_F(ContainerTest, StatfsReportsTheDiskOfTheStore) {
    uint64_t s = Open(LiveConfig());
    struct statfs fs;
    ASSERT_EQ(0, container_->statfs(s, fs).ErrNo());
    EXPECT_GT(fs.f_blocks, 0u);
    EXPECT_LE(fs.f_bavail, fs.f_blocks);
    EXPECT_EQ(255, fs.f_namelen);
}

}  // namespace
}  // namespace ObjectStore
