// quayd's retention: the policy comes from the subclient (quayRetentionDays,
// its view records), prune reports what went, a dry run changes nothing,
// views of pruned times are refused with the oldest time still available,
// and the background pass prunes only the stores that are due.
#include "daemon/StorePruning.h"

#include <fcntl.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "configclient/ConfigDatabase.h"
#include "daemon/AdminRequestHandler.h"
#include "daemon/ConfigAdmin.h"
#include "daemon/PruneScheduler.h"
#include "host/FSMCache.h"
#include "objectstore/ObjectContainer.h"
#include "objectstore/TimeText.h"
#include "tests/daemon/DaemonTestSupport.h"

namespace {

using daemontest::DaemonTest;

int64_t WallSecond() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec;
}

std::string Mib(const std::string& bytes) {
    char text[32];
    snprintf(text, sizeof(text), "%.1f MiB", std::stod(bytes) / (1024.0 * 1024.0));
    return text;
}

// Waits for the next second: what came before belongs to the one returned.
int64_t EndOfSecond() {
    const int64_t t = WallSecond();
    while (WallSecond() <= t) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return t;
}

class StorePruningTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_EQ(0, config_.AddClient(1, "myhost").code);
        ASSERT_EQ(0, config_.DefineStore(10, 1, "s").code);
        ASSERT_FALSE(FSMCache::InitDiskCache().IsError());
        ObjectStore::ObjectContainerConfig root;
        root.dataRoot = FSMCache::spFsmCache->GetDiskCacheConfig().path;
        ASSERT_FALSE(container_.init(root).IsError());
        ObjectStore::ObjectStoreConfig store;
        store.storePath = "/s";
        store.defaultAttribs.mode = 0777;
        store.extentSize = 64 * 1024;
        ASSERT_FALSE(container_.openObjectStore(store_, store).IsError());
    }
    void TearDown() override {
        container_.closeObjectStore(store_);
        FSMCache::Reset();
        DaemonTest::TearDown();
    }
    void Write(const std::string& name, size_t bytes) {
        ObjectStore::FileHandle fh;
        struct stat st;
        ObjectStore::ItemName root(container_.getRootGuid(store_), true);
        ASSERT_FALSE(container_.createAndOpen(store_, fh, root, name, st, O_RDWR | O_CREAT).IsError());
        const std::string data(bytes, 'x');
        uint64_t count = data.size();
        ASSERT_FALSE(container_.write(store_, fh, data.data(), count, 0, 0).IsError());
        ASSERT_FALSE(container_.close(store_, fh).IsError());
    }
    void Remove(const std::string& name) {
        ASSERT_FALSE(container_.unlink(store_, ObjectStore::ItemName("/" + name)).IsError());
    }
    std::string Row(const AdminResult& result, const std::string& name) {
        for (const std::string& row : result.rows) {
            if (row.compare(0, name.size() + 1, name + "\t") == 0) return row.substr(name.size() + 1);
        }
        return "<missing>";
    }
    int ViewErrno(int64_t t) {
        ObjectStore::ObjectStoreConfig view;
        view.storePath = "/s";
        view.isPIT = true;
        view.readOnly = true;
        view.snapshotTime = t;
        view.extentSize = 64 * 1024;
        uint64_t index = 0;
        const CPelError error = container_.openObjectStore(index, view);
        if (!error.IsError()) container_.closeObjectStore(index);
        return error.ErrNo();
    }

    ConfigAdmin config_{ConfigDatabase::Instance(), "nfsserver1"};
    StorePruning pruning_{ConfigDatabase::Instance(), "nfsserver1"};
    ObjectStore::ObjectContainer container_;
    uint64_t store_ = 0;
};

TEST_F(StorePruningTest, WithoutARetentionPropertyEveryStateStays) {
    Write("a", 300000);
    const int64_t before = EndOfSecond();
    Remove("a");
    const AdminResult result = pruning_.Prune(10, false);
    ASSERT_EQ(AdminProtocol::kOk, result.code) << result.text;
    EXPECT_EQ("all history", Row(result, "retention"));
    EXPECT_EQ("0", Row(result, "history rows"));
    EXPECT_EQ("0", Row(result, "extent files"));
    EXPECT_EQ(0, ViewErrno(before));
}

TEST_F(StorePruningTest, RetentionZeroKeepsTheViewsOfTheRecordsAndGivesTheRestBack) {
    Write("kept", 300000);
    const int64_t viewTime = EndOfSecond();
    Remove("kept");
    Write("passing", 300000);
    const int64_t unpinned = EndOfSecond();
    Remove("passing");
    ASSERT_EQ(0, config_.SetProperty(10, "quayRetentionDays", "0").code);
    ASSERT_EQ(0, config_.AddView(10, "/s-pinned", std::to_string(viewTime), true, false, {}).code);

    const AdminResult dry = pruning_.Prune(10, true);
    ASSERT_EQ(AdminProtocol::kOk, dry.code) << dry.text;
    EXPECT_EQ(0, ViewErrno(unpinned)) << "a dry run changes nothing";

    const AdminResult done = pruning_.Prune(10, false);
    ASSERT_EQ(AdminProtocol::kOk, done.code) << done.text;
    EXPECT_EQ(Row(dry, "extent files"), Row(done, "extent files"));
    EXPECT_NE("0", Row(done, "extent files"));
    EXPECT_NE("0", Row(done, "bytes freed"));
    EXPECT_EQ("0 days", Row(done, "retention"));
    EXPECT_EQ("1", Row(done, "views kept"));
    EXPECT_EQ(0, ViewErrno(viewTime));
    EXPECT_EQ(ERANGE, ViewErrno(unpinned));
    EXPECT_LOGGED(1, "INFO: Pruned store [/s] of subclient [10]: freed " + Mib(Row(done, "bytes freed")) + ", " +
                         Row(done, "extent files") + " extent files; on disk " + Mib(Row(done, "bytes on disk before")) +
                         " before, " + Mib(Row(done, "bytes on disk after")) + " after");
    // A view of a pruned time is refused before its record is written.
    const AdminResult refused = pruning_.CheckViewTime(10, unpinned);
    EXPECT_EQ(AdminProtocol::kNotFound, refused.code);
    ObjectStore::StoreHistory history;
    AdminResult unused;
    ASSERT_TRUE(pruning_.History(10, history, unused));
    EXPECT_EQ("the store of subclient 10 no longer holds the state of " + ObjectStore::UtcText(unpinned) +
                  ": the oldest time still available is " + ObjectStore::DescribeUs(history.oldestAvailableUs),
              refused.text);
    EXPECT_EQ(AdminProtocol::kOk, pruning_.CheckViewTime(10, WallSecond()).code);
}

TEST_F(StorePruningTest, ASubclientWithoutAStoreIsRefused) {
    ASSERT_EQ(0, config_.AddSubclient(20, 1, "nostore", 0).code);
    const AdminResult result = pruning_.Prune(20, false);
    EXPECT_EQ(AdminProtocol::kNotFound, result.code);
    EXPECT_EQ("subclient 20 has no store; run define-store first", result.text);
    const AdminResult unknown = pruning_.Prune(99, false);
    EXPECT_EQ(AdminProtocol::kNotFound, unknown.code);
    EXPECT_EQ("subclient 99 not found", unknown.text);
}

TEST_F(StorePruningTest, TheBackgroundPassPrunesOnlyStoresWithAWindowThatAreDue) {
    Write("a", 300000);
    Remove("a");
    EXPECT_EQ(0, pruning_.PruneDue(3600)) << "no retention window";
    ASSERT_EQ(0, config_.SetProperty(10, "quayRetentionDays", "0").code);
    EXPECT_EQ(1, pruning_.PruneDue(3600));
    EXPECT_EQ(0, pruning_.PruneDue(3600)) << "pruned within the interval";
    EXPECT_EQ(1, pruning_.PruneDue(0));
    // Another server's store is not this one's to prune.
    ASSERT_EQ(0, config_.SetProperty(10, "quayNFSServers", "elsewhere").code);
    EXPECT_EQ(0, pruning_.PruneDue(0));
}

TEST_F(StorePruningTest, TheSchedulerRunsPassesUntilStopped) {
    ASSERT_EQ(0, config_.SetProperty(10, "quayRetentionDays", "0").code);
    PruneScheduler scheduler(pruning_);
    scheduler.Start(1, std::chrono::seconds(0));
    for (int i = 0; i < 500 && scheduler.Passes() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    scheduler.Stop();
    const uint64_t passes = scheduler.Passes();
    EXPECT_GE(passes, 3u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(passes, scheduler.Passes());
}

TEST_F(StorePruningTest, RetentionDaysAreCheckedWhenSet) {
    EXPECT_EQ(AdminProtocol::kBadRequest, config_.SetProperty(10, "quayRetentionDays", "-1").code);
    EXPECT_EQ(AdminProtocol::kBadRequest, config_.SetProperty(10, "quayRetentionDays", "36501").code);
    EXPECT_EQ(AdminProtocol::kBadRequest, config_.SetProperty(10, "quayRetentionDays", "ten").code);
    EXPECT_EQ(AdminProtocol::kOk, config_.SetProperty(10, "quayRetentionDays", "30").code);
}

}  // namespace
