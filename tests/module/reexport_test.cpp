// Re-export of shares at start: which stores and views this server exports
// again, the retry passes of the list thread, unload during its wait, and
// the clean-up of saved shares that are no longer this server's.
#include "configclient/App_ExecuteSP.h"
#include "tests/module/ReExportFixture.h"

using namespace exportops_test;
namespace P = PropertyNames;

namespace {

TEST_F(ReExportTest, NoConfiguredShareStartsNothingAndCleansNothing) {
    SaveExport("/old", 3, "12", "0", "");
    HostCallLog::Clear();
    ClearLines();
    BackupFSM::GetFSM()->FinalizeExports();
    EXPECT_TRUE(BackupFSM::GetFSM()->exportThreads.empty());
    EXPECT_EQ(0u, Listed());
    App::GetNFSShareReq request;
    std::string requestXml;
    request.serialize(requestXml, false);
    std::string responseXml;
    ASSERT_EQ(0, App_ExecuteSP::executeStoredProcedure(506208772, requestXml, responseXml, nullptr));
    ExpectInOrder({"INFO: Get NFS Share request XML [" + requestXml + "]",
                   "INFO: GET NFS Share response xml[" + responseXml + "]"});
    EXPECT_EQ(1u, sharesInExportsFile.count("/old"));
    Unload();
    EXPECT_TRUE(HostCalls().empty()) << Joined(HostCalls());
}

TEST_F(ReExportTest, AFailedStoredProcedureExportsNothing) {
    AddStore(11, "store11", kThisServer);
    Db().SetStatusOverride(0, "executeStoredProcedure", 4);
    BackupFSM::GetFSM()->FinalizeExports();
    EXPECT_LOGGED(-1, "ERROR: App_ExecuteSP::executeStoredProcedure failed. Error code [4]");
    EXPECT_TRUE(BackupFSM::GetFSM()->exportThreads.empty());
    EXPECT_EQ(0u, Listed());
    EXPECT_FALSE(Served("/store11"));
}

TEST_F(ReExportTest, AStoreServedHereComesBackWithTheViewsServedHere) {
    AddStore(11, "store11", "quayhere",
             View("/store11-a") + ";" + View("/store11-b", "OtherServer") + ";" +
                 View("/store11-c", "QUAYHERE"));
    StartAndSettle();
    EXPECT_TRUE(Served("/store11"));
    EXPECT_TRUE(Served("/store11-a"));  // no NFSServer: follows the store
    EXPECT_FALSE(Served("/store11-b"));
    EXPECT_TRUE(Served("/store11-c"));
    EXPECT_EQ(NFSSharesEx::kDone, StatusOf("store11"));
    EXPECT_EQ(1u, BackupFSM::GetFSM()->exportThreads.size());
    ExpectInOrder({"INFO: FinalizeSingleExport: nfsServer [quayhere]",
                   "INFO: Found ObjectStore [store11] which is using this [QuayHere] quay server "
                   "as NFS server",
                   "Re-Exporting the objectStore [store11]", "INFO: AddNFSExport: sharePath [/store11]",
                   "INFO: AddNFSExport: sharePath [/store11-a]",
                   "INFO: AddNFSExport: sharePath [/store11-c]"});

    HostCallLog::Clear();
    ClearLines();
    HandleExportListPass();
    EXPECT_LOGGED(1, "INFO: export successful: [store11]");
    EXPECT_EQ(0u, Listed());
    EXPECT_HOST_CALLS({"SaveMountPointTable"});
}

TEST_F(ReExportTest, OnlyTheViewServedHereOfAnotherServersStoreIsExported) {
    MakeStore("/store12");
    AddStore(12, "store12", "OtherServer", View("/store12-a", kThisServer) + ";" + View("/store12-b"));
    StartAndSettle();
    EXPECT_FALSE(Served("/store12"));
    EXPECT_TRUE(Served("/store12-a"));
    EXPECT_FALSE(Served("/store12-b"));
    EXPECT_EQ(NFSSharesEx::kDone, StatusOf("store12"));
    EXPECT_EQ(0, testsupport::CountLines(Lines(), "Re-Exporting the objectStore [store12]"));
}

TEST_F(ReExportTest, SharesAlreadyExportedCountAsDone) {
    AddStore(11, "store11", kThisServer, View("/store11-a"));
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    MustCreate(11, "/store11-a", EXPORT_TYPE_PIT);
    StartAndSettle();
    EXPECT_EQ(NFSSharesEx::kDone, StatusOf("store11"));
    EXPECT_EQ(2, testsupport::CountLines(Lines(), "INFO: Share is already exported"));
}

TEST_F(ReExportTest, FailuresAreRetriedByThePassesAfterTheWait) {
    AddStore(11, "store11", kThisServer);
    Db().SetStatusOverride(11, "getQuayNFSServers", 4);
    StartAndSettle();
    EXPECT_EQ(NFSSharesEx::kRetry, StatusOf("store11"));
    EXPECT_LOGGED(-1, "Error: Failed to obtain NFS Server for subclient to recreate ObjectStore "
                      "[store11]");
    EXPECT_FALSE(Served("/store11"));

    // The list thread waits a minute between passes; the test runs them.
    HandleExportListPass();
    EXPECT_LOGGED(1, "INFO: Will retry [store11].");
    EXPECT_EQ(NFSSharesEx::kRetry, StatusOf("store11"));

    Db().ClearStatusOverrides();
    HandleExportListPass();
    EXPECT_EQ(NFSSharesEx::kDone, StatusOf("store11"));
    EXPECT_TRUE(Served("/store11"));

    ClearLines();
    HandleExportListPass();
    EXPECT_LOGGED(1, "INFO: export successful: [store11]");
    EXPECT_EQ(0u, Listed());
    // Its own thread and the two retries: the list thread itself never
    // passed, it is still in its first wait.
    EXPECT_EQ(3u, Calls(11, "getQuayNFSServers"));
}

TEST_F(ReExportTest, AFailedViewIsRetriedTogetherWithTheRecordsAfterIt) {
    const std::string good = View("/store11-a") + ";" + View("/store11-b") + ";" + View("/store11-c");
    const std::string broken =
        View("/store11-a") + ";" + View("/store11-b", "", "99-99-2023 00:00:00") + ";" + View("/store11-c");
    AddStore(11, "store11", kThisServer, broken);
    StartAndSettle();
    EXPECT_EQ(NFSSharesEx::kRetry, StatusOf("store11"));
    EXPECT_TRUE(Served("/store11"));
    EXPECT_TRUE(Served("/store11-a"));
    EXPECT_FALSE(Served("/store11-b"));
    EXPECT_FALSE(Served("/store11-c"));  // waits for the retry

    SetProperty(11, P::kViewConfiguration, good);
    ClearLines();
    HandleExportListPass();
    EXPECT_EQ(NFSSharesEx::kDone, StatusOf("store11"));
    EXPECT_TRUE(Served("/store11-b"));
    EXPECT_TRUE(Served("/store11-c"));
    // What an earlier pass exported counts as done.
    EXPECT_EQ(2, testsupport::CountLines(Lines(), "INFO: Share is already exported"));
}

TEST_F(ReExportTest, AStoreWhoseSubclientIsGoneIsDoneWithoutItsViews) {
    AddStore(11, "store11", kThisServer, View("/store11-a"));
    Db().SetStatusOverride(11, "lookup", 100);
    StartAndSettle();
    EXPECT_EQ(NFSSharesEx::kDone, StatusOf("store11"));
    EXPECT_EQ(0u, Calls(11, "getQuayViewConfiguration"));
    EXPECT_TRUE(gAllExports->List().empty());
}

TEST_F(ReExportTest, UnloadDuringTheWaitEndsTheListThreadAndCleansStaleShares) {
    AddStore(11, "store11", kThisServer);
    AddStore(12, "store12", "OtherServer");
    SaveExport("/store11", 1, "11", "0", "");
    SaveExport("/gone", 2, "13", "100", "snapA");
    SaveExport("/store12", 3, "12", "0", "");
    Db().SetStatusOverride(11, "getQuayNFSServers", 4);  // keeps the list thread waiting
    StartAndSettle();
    EXPECT_EQ(NFSSharesEx::kRetry, StatusOf("store11"));
    HostCallLog::Clear();
    ClearLines();

    Unload();
    EXPECT_LOGGED(1, "INFO: shutdown announced. Exiting thread.");
    EXPECT_EQ(0, testsupport::CountLines(Lines(), "INFO: Will retry [store11]."));
    // Its subclient's re-export never finished: whether it is stale is not
    // known, so its data is kept.
    ExpectInOrder({"INFO: Found ObjectStore [/gone : 13 : 100 : snapA] which is NOT using "
                   "[QuayHere] as NFS server",
                   "INFO: ObjectStore [/store11] of subclient [11] is not re-exported yet. Not "
                   "cleaned up",
                   "INFO: Found ObjectStore [/store12 : 12 : 0 : 0] which is NOT using [QuayHere] "
                   "as NFS server"});
    EXPECT_HOST_CALLS({"RemoveSMBShare /gone 4", "RemoveSMBShare /store12 4"});
    EXPECT_EQ(3u, sharesInExportsFile.size());  // the entries stay
    EXPECT_EQ(nullptr, BackupFSM::GetObjContainer());
}

TEST_F(ReExportTest, TheListThreadRetriesOnItsOwnAndEndsWhenAllAreDone) {
    BackupFSM::setWakeTime = 1;
    AddStore(11, "store11", kThisServer);
    SaveExport("/store11", 5, "11", "0", "");
    SaveExport("/gone", 2, "13", "100", "snapA");
    Db().SetStatusOverride(11, "getQuayNFSServers", 4);
    StartAndSettle();
    Db().ClearStatusOverrides();
    ASSERT_EQ(1u, BackupFSM::GetFSM()->exportThreads.size());
    ASSERT_EQ(0, BackupFSM::GetFSM()->exportThreads[0].Join());

    EXPECT_TRUE(Served("/store11"));
    EXPECT_EQ(5u, ShareIdOf("/store11"));
    EXPECT_EQ(0u, sharesInExportsFile.count("/store11"));
    EXPECT_EQ(0, testsupport::CountLines(Lines(), "INFO: Found ObjectStore [/store11 : 11 : 0 : 0] "
                                                  "which is NOT using [QuayHere] as NFS server"));
    EXPECT_LOGGED(1, "INFO: HandleExportList");
    EXPECT_LOGGED(1, "INFO: Will retry [store11].");
    EXPECT_LOGGED(1, "INFO: export successful: [store11]");
    EXPECT_LOGGED(1, "INFO: all shares exported. Exiting thread.");
    EXPECT_LOGGED(1, "INFO: Found ObjectStore [/gone : 13 : 100 : snapA] which is NOT using "
                     "[QuayHere] as NFS server");
    EXPECT_EQ(0u, Listed());
}

TEST_F(ReExportTest, AStaleViewLosesItsWritableChangesInTheStore) {
    // A stale share's store data is cleaned through the container.
    BackupFSM::GetObjContainer()->faultPlan().FailNext("cleanupObjectStore", 5, ENOENT);
    CleanupStaleExport("/gone-a", 13, 100, "snapA");
    CleanupStaleExport("/gone-b", -1, -5, "");
    EXPECT_EQ(2, BackupFSM::GetObjContainer()->faultPlan().Injected("cleanupObjectStore"));
    EXPECT_LOGGED(1, "INFO: Found ObjectStore [/gone-b : 4294967295 : -5 : ] which is NOT using "
                     "[QuayHere] as NFS server");
    EXPECT_HOST_CALLS({"RemoveSMBShare /gone-a 4", "RemoveSMBShare /gone-b 4"});
}

}  // namespace
