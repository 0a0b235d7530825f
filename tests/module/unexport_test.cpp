// Taking shares down: single exports by path, a store with its views, the
// host's un-export hook, and what is released (ids, stores, host entries).
#include "module/exportops/Unexport.h"
#include "tests/module/ExportOpsFixture.h"

using namespace exportops_test;
namespace P = PropertyNames;

namespace {

class UnexportTest : public ExportOpsTest {
protected:
    // Subclient 11 serves /store11 and the views /store11-a and /store11-c;
    // its snap details also name /store11-b, which is not served.
    void SetUp() override {
        ExportOpsTest::SetUp();
        AddPolicySubclient(90);
        AddSubclient(11, 90);
        details_ = Tag("MntPath", "/store11-a") + Tag("ToTime", "100") + ";" +
                   Tag("MntPath", "/store11-b") + Tag("ToTime", "200") + ";" +
                   Tag("MntPath", "/store11-c") + Tag("ToTime", "300");
        SetProperty(11, P::kViewConfiguration, details_);
        MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
        MustCreate(11, "/store11-a", EXPORT_TYPE_PIT);
        MustCreate(11, "/store11-c", EXPORT_TYPE_PIT);
        for (const char* path : {"/store11", "/store11-a", "/store11-c"}) {
            ids_[path] = std::to_string(ShareIdOf(path));
            indexes_[path] = Served(path)->GetObjStoreIndex();
        }
        HostCallLog::Clear();
        Db().ClearCallLog();
        ClearLines();
    }
    bool Remove(const std::string& path, Response& response) {
        std::string sharePath = path;
        return Unexport(11, sharePath, response.get());
    }
    bool HandleRemove(const std::string& path, std::string details, ExportType type,
                      Response& response) {
        std::string sharePath = path;
        return HandleUnexport(11, sharePath, details, type, response.get());
    }
    // The store index no longer names an open store.
    static bool StoreClosed(uint64_t index) {
        return BackupFSM::GetObjContainer()->getRootGuid(index).empty();
    }

    std::string details_;
    std::map<std::string, std::string> ids_;
    std::map<std::string, uint64_t> indexes_;
};

TEST_F(UnexportTest, APathThatWasNeverExportedChangesNothing) {
    Response response;
    EXPECT_FALSE(Remove("/never", response));
    EXPECT_EQ(1, response.code());
    EXPECT_EQ("shareID not found", response.text());
    EXPECT_LOGGED(-1, "ERROR: shareID not found for sharePath [/never]");
    EXPECT_TRUE(HostCalls().empty()) << Joined(HostCalls());
    EXPECT_EQ(3u, gAllExports->List().size());
}

TEST_F(UnexportTest, AKnownIdWithoutExportIsFreed) {
    ShareIdToPathCache::GetShareIdForPath("/ghost", true, false);
    Response response;
    EXPECT_FALSE(Remove("/ghost", response));
    EXPECT_EQ(2, response.code());
    EXPECT_EQ("Share not exported.", response.text());
    EXPECT_LOGGED(1, "Given share [/ghost] is not found in export table.");
    EXPECT_EQ(0u, ShareIdOf("/ghost"));
    EXPECT_HOST_CALLS({"SaveMountPointTable"});
}

TEST_F(UnexportTest, AStoreGoesWithItsViewsAndAFailedViewDoesNotStopIt) {
    Response response;
    ASSERT_TRUE(HandleRemove("/store11", details_, EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(0, response.code());
    EXPECT_EQ(nullptr, response.record.text);
    ExpectInOrder({"INFO: un-exporting all the snap belongs to objectStore [/store11]",
                   "INFO: snap string [" + details_ + "]",
                   "Given share [/store11-a] is unexported.",
                   "INFO: Un-export of the share [/store11-a] succeeded",
                   "ERROR: shareID not found for sharePath [/store11-b]",
                   "ERROR: Un-export of the share [/store11-b] failed. Still continuing ",
                   "INFO: Un-export of the share [/store11-c] succeeded",
                   "INFO: un-exporting share [/store11]", "Given share [/store11] is unexported."});
    EXPECT_LOGGED(-1, "ERROR: Un-export of the share [/store11-b] failed. Still continuing ");
    EXPECT_HOST_CALLS({"ManageGaneshaExport 2 " + ids_["/store11-a"], "SaveMountPointTable",
                       "ManageGaneshaExport 2 " + ids_["/store11-c"], "SaveMountPointTable",
                       "ManageGaneshaExport 2 " + ids_["/store11"], "SaveMountPointTable"});
    EXPECT_TRUE(gAllExports->List().empty());
    for (const auto& entry : indexes_) {
        EXPECT_EQ(0u, ShareIdOf(entry.first)) << entry.first;
        EXPECT_TRUE(StoreClosed(entry.second)) << entry.first;
    }
    // Details came with the request; the live store's flag is left alone.
    EXPECT_EQ(0u, Calls(11, "getQuayViewConfiguration"));
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
}

TEST_F(UnexportTest, MissingDetailsAreReadFromTheSubclient) {
    Response response;
    ASSERT_TRUE(HandleRemove("/store11", "", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(1u, Calls(11, "getQuayViewConfiguration"));
    EXPECT_TRUE(gAllExports->List().empty());
}

TEST_F(UnexportTest, UnreadableDetailsStillTakeTheStoreDown) {
    Db().SetStatusOverride(11, "getQuayViewConfiguration", 4);
    Response response;
    ASSERT_TRUE(HandleRemove("/store11", "", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_LOGGED(-1, "ERROR: Export share [/store11] failed as getting snap details failed. Still "
                      "continuing with un-export of Regular Object Store");
    EXPECT_LOGGED(1, "INFO: snap string []");
    EXPECT_FALSE(Served("/store11"));
    EXPECT_TRUE(Served("/store11-a"));
    EXPECT_TRUE(Served("/store11-c"));
}

TEST_F(UnexportTest, AViewAloneGoesAndItsFlagIsCleared) {
    Response response;
    ASSERT_TRUE(HandleRemove("/store11-a", "", EXPORT_TYPE_PIT, response));
    EXPECT_FALSE(Served("/store11-a"));
    EXPECT_TRUE(Served("/store11"));
    EXPECT_TRUE(Served("/store11-c"));
    EXPECT_EQ(1u, Calls(11, "setQuayConfigOperationInProgress"));
    EXPECT_EQ(0u, Calls(11, "getQuayViewConfiguration"));
    EXPECT_TRUE(StoreClosed(indexes_["/store11-a"]));
    EXPECT_FALSE(StoreClosed(indexes_["/store11"]));
}

TEST_F(UnexportTest, OnlyTheStoresOwnRemovalDecidesTheAnswer) {
    Response response;
    EXPECT_FALSE(HandleRemove("/nothere", details_, EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(1, response.code());
    EXPECT_EQ("shareID not found", response.text());
    EXPECT_LOGGED(-1, "ERROR: Un-export of the share [/nothere] failed. ");
    EXPECT_FALSE(Served("/store11-a"));  // the views named in the request went

    Response view;
    EXPECT_FALSE(HandleRemove("/store11-a", "", EXPORT_TYPE_PIT, view));
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
}

TEST_F(UnexportTest, SambaIsAskedOnlyForExportsWithTheirSmbFlag) {
    BackupFSMGlobals::isSambaEnabledForBackupFSM = 1;
    Served("/store11-a")->SetSMBEnabled(true);
    Response a;
    ASSERT_TRUE(Remove("/store11-a", a));
    Response c;
    ASSERT_TRUE(Remove("/store11-c", c));
    EXPECT_HOST_CALLS({"ManageSambaShare 2 " + ids_["/store11-a"] + " 4",
                       "ManageGaneshaExport 2 " + ids_["/store11-a"], "SaveMountPointTable",
                       "ManageGaneshaExport 2 " + ids_["/store11-c"], "SaveMountPointTable"});

    QuayServiceGlobals::isGanesha = false;
    HostCallLog::Clear();
    Response store;
    ASSERT_TRUE(Remove("/store11", store));
    EXPECT_HOST_CALLS({"SaveMountPointTable"});
}

TEST_F(UnexportTest, AnotherModulesExportUnderTheIdIsLeftAlone) {
    const unsigned int id = ShareIdToPathCache::GetShareIdForPath("/foreign", true, false);
    ExportPtr noParent;
    ExportPtr foreign(new Export("/foreign", SHARE_PERM_READ_WRITE, "*", id, noParent));
    gAllExports->AddExport(foreign);
    Response response;
    EXPECT_FALSE(Remove("/foreign", response));
    EXPECT_EQ(2, response.code());
    EXPECT_EQ("Wrong export object", response.text());
    EXPECT_EQ(id, ShareIdOf("/foreign"));
    ExportPtr still;
    EXPECT_TRUE(gAllExports->FindExport(id, still));
    EXPECT_TRUE(HostCalls().empty());
}

TEST_F(UnexportTest, TheHostHookUnexportsOnlyThisModulesExports) {
    ExportPtr noParent;
    ExportPtr foreign(new Export("/foreign", SHARE_PERM_READ_WRITE, "*", 99, noParent));
    BackupFSM::GetFSM()->UnExport(foreign);
    EXPECT_LOGGED(-1, "ERROR: Wrong export object");
    EXPECT_TRUE(HostCalls().empty());

    ExportPtr view = Served("/store11-c");
    BackupFSM::GetFSM()->UnExport(view);
    EXPECT_FALSE(Served("/store11-c"));
    EXPECT_LOGGED(1, "Given share [/store11-c] is unexported.");
    EXPECT_TRUE(StoreClosed(indexes_["/store11-c"]));
}

}  // namespace
