// Retention and pruning: what a prune keeps (the live state, the views'
// states, the window) reads exactly as before; what it reclaims (rows, old
// versions, extent files, the tails of extents, free pages) is gone; views of
// pruned times are refused with the oldest time still available; a dry run
// reports without changing anything; a prune stopped at any step (the child
// process exits there, as a kill would) leaves a sound store whose next prune
// finishes the work.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "objectstore/FaultPlan.h"
#include "objectstore/StoreFormat.h"
#include "objectstore/StorePruner.h"
#include "objectstore/TimeText.h"
#include "tests/objectstore/StoreTestFixture.h"

namespace ObjectStore {
namespace {

constexpr uint64_t kExtent = 64 * 1024;

// Everything a client could see of a store, by path.
using Picture = std::map<std::string, std::string>;

class PruneTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        live_ = Open(LiveConfig());
    }
    void TearDown() override {
        FaultPlan::Global().Clear();
        StoreTest::TearDown();
    }

    PruneReport Prune(PrunePolicy policy) {
        PruneReport report;
        CPelError err = StorePruner::Prune(dataRoot_, "/stores/s1", policy, report);
        EXPECT_EQ(0, err.ErrNo()) << err.Message();
        return report;
    }
    static PrunePolicy KeepOnly(std::vector<int64_t> views, bool dryRun = false) {
        PrunePolicy policy;
        policy.keepAll = false;
        policy.windowSeconds = 0;
        policy.viewTimes = std::move(views);
        policy.dryRun = dryRun;
        return policy;
    }

    void Describe(uint64_t store, const std::string& path, Picture& out) {
        ItemName item(path);
        struct stat st{};
        ASSERT_EQ(0, container_->getattr(store, item, st).ErrNo()) << path;
        std::string line = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                           std::to_string(st.st_gid) + " size " + std::to_string(st.st_size) + " mtime " +
                           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                           " links " + std::to_string(st.st_nlink);
        std::string acl;
        if (container_->getxattr(store, item, "ACL", acl).ErrNo() == 0) line += " acl " + acl;
        if (S_ISREG(st.st_mode)) line += " data " + ReadAll(store, item);
        out[path] = line;
        if (!S_ISDIR(st.st_mode)) return;
        DirHandle* dir = nullptr;
        ASSERT_EQ(0, container_->opendir(store, &dir, item).ErrNo());
        std::vector<std::string> names;
        for (;;) {
            struct dirent* e = nullptr;
            std::string guid;
            ASSERT_EQ(0, container_->readdir(store, dir, &e, guid).ErrNo());
            if (!e) break;
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        }
        ASSERT_EQ(0, container_->closedir(store, dir).ErrNo());
        for (const std::string& name : names) Describe(store, (path == "/" ? "" : path) + "/" + name, out);
    }
    Picture PictureOf(uint64_t store) {
        Picture picture;
        Describe(store, "/", picture);
        return picture;
    }
    // The picture of a read-only view at t, opened and closed again.
    Picture ViewPicture(int64_t t) {
        uint64_t view = Open(PitConfig(t, false));
        Picture picture = PictureOf(view);
        EXPECT_EQ(0, container_->closeObjectStore(view).ErrNo());
        return picture;
    }
    int ViewErrno(int64_t t, std::string* message = nullptr) {
        uint64_t index = 0;
        CPelError err = container_->openObjectStore(index, PitConfig(t, false));
        if (!err.IsError()) container_->closeObjectStore(index);
        if (message) *message = err.Message();
        return err.ErrNo();
    }
    int ExtentFiles() {
        int files = 0;
        for (const char* sub : {"/extents"}) {
            std::string cmd = "find " + dataRoot_ + "/stores%2Fs1" + sub + " -type f | wc -l";
            FILE* p = ::popen(cmd.c_str(), "r");
            if (p && fscanf(p, "%d", &files) != 1) files = -1;
            if (p) ::pclose(p);
        }
        return files;
    }
    std::vector<std::string> Problems() {
        std::vector<std::string> problems;
        EXPECT_EQ(0, container_->checkIntegrity(live_, problems).ErrNo());
        return problems;
    }

    // A history: big files changed and removed between three view times.
    void MakeHistory() {
        Mkdir(live_, Root(live_), "d");
        big_ = MakeFile(live_, ItemName("/d"), "big", Pattern(5 * kExtent, 1));
        MakeFile(live_, ItemName("/d"), "removed", Pattern(3 * kExtent, 2));
        MakeFile(live_, Root(live_), "small", "small and inline");
        ASSERT_EQ(0, container_->setxattr(live_, ItemName("/d/big"), "ACL", "first").ErrNo());
        t1_ = EndOfSecond();
        WriteAt(live_, big_, 2 * kExtent + 5, "overwritten in the middle");
        ASSERT_EQ(0, container_->unlink(live_, ItemName("/d/removed")).ErrNo());
        ASSERT_EQ(0, container_->setxattr(live_, ItemName("/d/big"), "ACL", "second").ErrNo());
        ASSERT_EQ(0, container_->chmod(live_, ItemName("/small"), 0600).ErrNo());
        // A file that lives between two view times only.
        MakeFile(live_, Root(live_), "passing", Pattern(3 * kExtent, 4));
        ASSERT_EQ(0, container_->unlink(live_, ItemName("/passing")).ErrNo());
        t2_ = EndOfSecond();
        ASSERT_EQ(0, container_->setxattr(live_, ItemName("/d/big"), "ACL", "third").ErrNo());
        WriteAt(live_, big_, 4 * kExtent, "and the end");
        ASSERT_EQ(0, container_->truncate(live_, ItemName("/d/big"), 3 * kExtent, false).ErrNo());
        ASSERT_EQ(0, container_->rename(live_, "/d/moved", "/small", false).ErrNo());
        t3_ = EndOfSecond();
    }

    uint64_t live_ = 0;
    std::string big_;
    int64_t t1_ = 0, t2_ = 0, t3_ = 0;
};

TEST_F(PruneTest, KeptViewsAndTheLiveStateReadAsBeforeAndTheRestIsGone) {
    MakeHistory();
    const Picture live = PictureOf(live_);
    const Picture atT1 = ViewPicture(t1_);
    const Picture atT2 = ViewPicture(t2_);
    ASSERT_NE(atT1, atT2);
    const int filesBefore = ExtentFiles();

    const PruneReport report = Prune(KeepOnly({t1_}));
    EXPECT_GT(report.nodeRows, 0u);
    EXPECT_GT(report.extentRows, 0u);
    EXPECT_GT(report.xattrRows, 0u);
    EXPECT_GT(report.extentFiles, 0u);
    EXPECT_LT(report.bytesAfter, report.bytesBefore);
    EXPECT_LT(ExtentFiles(), filesBefore);

    EXPECT_EQ(live, PictureOf(live_));
    EXPECT_EQ(atT1, ViewPicture(t1_));
    std::string why;
    EXPECT_EQ(ERANGE, ViewErrno(t2_, &why));
    EXPECT_NE(std::string::npos, why.find("the oldest time still available is " + DescribeUs(report.oldestAvailableUs)))
        << why;
    EXPECT_TRUE(Problems().empty());
    // A second prune has nothing left to do.
    const PruneReport again = Prune(KeepOnly({t1_}));
    EXPECT_EQ(0u, again.nodeRows + again.extentRows + again.xattrRows + again.versions + again.extentFiles);
}

TEST_F(PruneTest, ADryRunReportsWhatThePruneThenDoesAndChangesNothing) {
    MakeHistory();
    const Picture atT2 = ViewPicture(t2_);
    const int files = ExtentFiles();
    const PruneReport dry = Prune(KeepOnly({t1_}, true));
    EXPECT_EQ(files, ExtentFiles());
    EXPECT_EQ(atT2, ViewPicture(t2_));
    EXPECT_EQ("0", StatValue(live_, "Bytes freed by last prune"));

    const PruneReport done = Prune(KeepOnly({t1_}));
    EXPECT_EQ(dry.nodeRows, done.nodeRows);
    EXPECT_EQ(dry.extentRows, done.extentRows);
    EXPECT_EQ(dry.xattrRows, done.xattrRows);
    EXPECT_EQ(dry.versions, done.versions);
    EXPECT_EQ(dry.extentFiles, done.extentFiles);
    EXPECT_EQ(dry.punchedFiles, done.punchedFiles);
    EXPECT_NE("never", StatValue(live_, "Last prune"));
    EXPECT_EQ(std::to_string(done.bytesFreed), StatValue(live_, "Bytes freed by last prune"));
    EXPECT_EQ("0 s", StatValue(live_, "Retention"));
    EXPECT_EQ("0", StatValue(live_, "Reclaimable bytes"));
}

TEST_F(PruneTest, TheWindowKeepsItsStatesAndMovesWithTime) {
    MakeHistory();
    const Picture atT2 = ViewPicture(t2_);
    PrunePolicy hour = KeepOnly({});
    hour.windowSeconds = 3600;
    const PruneReport inside = Prune(hour);
    EXPECT_EQ(0u, inside.nodeRows + inside.extentRows + inside.extentFiles);
    EXPECT_EQ(atT2, ViewPicture(t2_));
    // Two hours later the same window no longer holds them.
    hour.nowUs = (t3_ + 2 * 3600) * 1000000;
    const PruneReport later = Prune(hour);
    EXPECT_GT(later.nodeRows, 0u);
    EXPECT_EQ(ERANGE, ViewErrno(t2_));
    // A longer window later does not bring them back.
    PrunePolicy day = KeepOnly({});
    day.windowSeconds = 86400;
    Prune(day);
    EXPECT_EQ(ERANGE, ViewErrno(t2_));
}

TEST_F(PruneTest, WithoutAWindowOnlyWhatNoStateReadsGoes) {
    MakeHistory();
    const Picture atT1 = ViewPicture(t1_);
    // An extent file a crash left behind: no row reads it.
    container_.reset();
    const std::string orphan = dataRoot_ + "/stores%2Fs1/extents/000000/00000000000003ff";
    {
        FILE* f = ::fopen(orphan.c_str(), "w");
        ASSERT_NE(nullptr, f);
        ::fputs("left by a crash", f);
        ::fclose(f);
    }
    Restart();
    live_ = Open(LiveConfig());
    PrunePolicy all;
    all.keepAll = true;
    const PruneReport report = Prune(all);
    EXPECT_EQ(0u, report.nodeRows + report.extentRows + report.xattrRows + report.versions);
    EXPECT_EQ(1u, report.extentFiles);
    EXPECT_NE(0, ::access(orphan.c_str(), F_OK));
    EXPECT_EQ(atT1, ViewPicture(t1_));
    EXPECT_EQ("all history", StatValue(live_, "Retention"));
}

TEST_F(PruneTest, AnOpenViewKeepsItsStateUntilItCloses) {
    MakeHistory();
    uint64_t open = Open(PitConfig(t2_, false));
    const Picture atT2 = PictureOf(open);
    Prune(KeepOnly({}));
    EXPECT_EQ(atT2, PictureOf(open));
    // Another view of the same time may open while it is kept.
    EXPECT_EQ(0, ViewErrno(t2_));
    EXPECT_EQ(ERANGE, ViewErrno(t1_));
    ASSERT_EQ(0, container_->closeObjectStore(open).ErrNo());
    const PruneReport after = Prune(KeepOnly({}));
    EXPECT_GT(after.nodeRows, 0u);
    EXPECT_EQ(ERANGE, ViewErrno(t2_));
}

TEST_F(PruneTest, AWritableViewReadsItsBaseAndKeepsItsChangesAcrossAPrune) {
    MakeHistory();
    const Picture atT1 = ViewPicture(t1_);
    uint64_t writable = Open(PitConfig(t1_, true));
    WriteAt(writable, big_, 0, "the view's own bytes");
    const Picture mine = PictureOf(writable);
    Prune(KeepOnly({}));
    EXPECT_EQ(mine, PictureOf(writable));
    ASSERT_EQ(0, container_->closeObjectStore(writable).ErrNo());
    EXPECT_TRUE(Problems().empty());
}

TEST_F(PruneTest, OldFileVersionsGoWhenNoKeptStateShowsThem) {
    ObjectStoreConfig versioned = LiveConfig("/stores/versions");
    versioned.enabledVersions = true;
    uint64_t store = Open(versioned);
    std::string guid = MakeFile(store, Root(store), "f", Pattern(2 * kExtent, 3));
    const int64_t t = EndOfSecond();
    for (int round = 0; round < 3; ++round) {
        FileHandle fh;
        ASSERT_EQ(0, container_->open(store, fh, ItemName(guid, false), O_RDWR, true).ErrNo());
        uint64_t count = 10;
        ASSERT_EQ(0, container_->write(store, fh, "version!!!", count, 0, 0).ErrNo());
        ASSERT_EQ(0, container_->close(store, fh).ErrNo());
    }
    const std::string live = ReadAll(store, ItemName(guid, false));
    PruneReport report;
    PrunePolicy policy = KeepOnly({t});
    ASSERT_EQ(0, StorePruner::Prune(dataRoot_, "/stores/versions", policy, report).ErrNo());
    EXPECT_EQ(2u, report.versions);  // the first (seen at t) and the last (live) stay
    EXPECT_EQ(live, ReadAll(store, ItemName(guid, false)));
    uint64_t view = Open(PitConfig(t, false, "/stores/versions"));
    EXPECT_EQ(Pattern(2 * kExtent, 3), ReadAll(view, ItemName(guid, false)));
}

TEST_F(PruneTest, ABadPolicyAndAMissingStoreAreRefused) {
    PrunePolicy negative = KeepOnly({});
    negative.windowSeconds = -1;
    PruneReport report;
    EXPECT_EQ(EINVAL, StorePruner::Prune(dataRoot_, "/stores/s1", negative, report).ErrNo());
    EXPECT_EQ(ENOENT, StorePruner::Prune(dataRoot_, "/stores/none", KeepOnly({}), report).ErrNo());
}

// A prune stopped at a step by the fault plan in a child process that exits
// at once (no destructor runs, as under kill -9).
class PruneCrashTest : public PruneTest, public ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(PruneCrashTest, AStoppedPruneLosesNothingThatStaysAndTheNextOneFinishes) {
    MakeHistory();
    const Picture live = PictureOf(live_);
    const Picture atT1 = ViewPicture(t1_);
    container_.reset();
    const pid_t child = ::fork();
    if (child == 0) {
        FaultPlan::Global().FailNext(GetParam().first, 1, EIO, GetParam().second);
        PruneReport report;
        const CPelError err = StorePruner::Prune(dataRoot_, "/stores/s1", KeepOnly({t1_}), report);
        ::_exit(err.ErrNo() == EIO ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status)) << "the prune did not stop at " << GetParam().first;

    Restart();
    live_ = Open(LiveConfig());
    EXPECT_TRUE(Problems().empty());
    EXPECT_EQ(live, PictureOf(live_));
    EXPECT_EQ(atT1, ViewPicture(t1_));
    const PruneReport rest = Prune(KeepOnly({t1_}));
    EXPECT_TRUE(Problems().empty());
    EXPECT_EQ(live, PictureOf(live_));
    EXPECT_EQ(atT1, ViewPicture(t1_));
    EXPECT_EQ(ERANGE, ViewErrno(t2_));
    // Nothing is left for a third one.
    const PruneReport none = Prune(KeepOnly({t1_}));
    EXPECT_EQ(0u, none.nodeRows + none.extentRows + none.xattrRows + none.versions + none.extentFiles);
    (void)rest;
}

INSTANTIATE_TEST_SUITE_P(Steps, PruneCrashTest,
                         ::testing::Values(std::make_pair("prune.plan", 0), std::make_pair("prune.rows", 0),
                                           std::make_pair("prune.rows", 2), std::make_pair("prune.extents", 0),
                                           std::make_pair("prune.extents", 1), std::make_pair("prune.vacuum", 0)));

}  // namespace
}  // namespace ObjectStore
