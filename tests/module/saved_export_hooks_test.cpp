// The host's saved exports at start: what CreateExport records for share-id
// reuse and the stale clean-up, and the Samba clean-up it asks for.
#include "host/FSMCache.h"
#include "module/fsm/SavedExportHooks.h"
#include "tests/module/ExportOpsFixture.h"

using namespace exportops_test;

namespace {

class SavedExportHooksTest : public ExportOpsTest {
protected:
    static ExportPtr Saved(const std::string& path, unsigned int shareId,
                           const std::map<std::string, std::string>& params) {
        ExportPtr noParent;
        ExportPtr saved(new Export(path, SHARE_PERM_READ_WRITE, "*", shareId, noParent));
        for (const auto& param : params) saved->SetOptionalParam(param.first, param.second);
        return saved;
    }
    static bool Hook(const ExportPtr& saved) {
        ExportPtr created;
        const bool result = BackupFSM::GetFSM()->CreateExport(saved, created);
        EXPECT_FALSE(created);
        return result;
    }
};

TEST_F(SavedExportHooksTest, ASavedViewIsRecordedWithItsTimeAsSnapName) {
    ASSERT_TRUE(Hook(Saved("/store12-a", 7,
                           {{"subClientID", "12"}, {"snapshotTime", "1689416430"}})));
    ASSERT_EQ(1u, sharesInExportsFile.count("/store12-a"));
    const ShareData& data = sharesInExportsFile["/store12-a"];
    EXPECT_EQ(12u, data.subclientId);
    EXPECT_EQ(1689416430, data.snapshotTime);
    EXPECT_EQ("1689416430", data.snapName);
    EXPECT_EQ(7u, BackupFSMGlobals::oldShareAndIdMap["/store12-a"]);
    EXPECT_HOST_CALLS({"RemoveSMBShare /store12-a 4"});
}

TEST_F(SavedExportHooksTest, WithoutItsParametersOnlyTheShareIdIsKept) {
    ASSERT_TRUE(Hook(Saved("/plain", 9, {{"subClientID", "12"}})));
    EXPECT_TRUE(sharesInExportsFile.empty());
    EXPECT_EQ(9u, BackupFSMGlobals::oldShareAndIdMap["/plain"]);
}

TEST_F(SavedExportHooksTest, ALaterSavedExportOfThePathReplacesTheFirst) {
    ASSERT_TRUE(Hook(Saved("/store12", 3,
                           {{"subClientID", "4294967308"}, {"snapshotTime", "5"},
                            {"snapName", "first"}})));
    EXPECT_EQ(12u, sharesInExportsFile["/store12"].subclientId);  // narrowed to 32 bits
    ASSERT_TRUE(Hook(Saved("/store12", 4,
                           {{"subClientID", "abc"}, {"snapshotTime", "6"}, {"snapName", "second"}})));
    EXPECT_EQ(0u, sharesInExportsFile["/store12"].subclientId);
    EXPECT_EQ(6, sharesInExportsFile["/store12"].snapshotTime);
    EXPECT_EQ("second", sharesInExportsFile["/store12"].snapName);
    EXPECT_EQ(4u, BackupFSMGlobals::oldShareAndIdMap["/store12"]);
}

TEST_F(SavedExportHooksTest, SambaEntriesAreCleanedOnlyUnderGaneshaAndFailuresOnlyWarn) {
    HostCallLog::FailNext("RemoveSMBShare", 1, EIO);
    ASSERT_TRUE(Hook(Saved("/a", 1, {})));
    EXPECT_LOGGED(-1, "WARN: Removing SMB share entry for [/a] failed");

    QuayServiceGlobals::isGanesha = false;
    HostCallLog::Clear();
    ASSERT_TRUE(Hook(Saved("/b", 2, {})));
    EXPECT_TRUE(HostCalls().empty());
}

TEST_F(SavedExportHooksTest, TheRecreatedShareKeepsItsSavedId) {
    AddSubclient(12);
    ASSERT_TRUE(Hook(Saved("/store12", 42, {{"subClientID", "12"}, {"snapshotTime", "0"}})));
    MustCreate(12, "/store12", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(42u, ShareIdOf("/store12"));
}

class SavedExportWithoutModuleTest : public testsupport::ModuleTest {};

TEST_F(SavedExportWithoutModuleTest, NothingIsRecordedWhenTheModuleCannotStart) {
    gQuayTimerObj.SetManualMode(true);
    FSMCache::FailNextInit(1, CPelError(EIO, "no cache"));
    ExportPtr noParent;
    ExportPtr saved(new Export("/store12", SHARE_PERM_READ_WRITE, "*", 5, noParent));
    saved->SetOptionalParam("subClientID", "12");
    saved->SetOptionalParam("snapshotTime", "1");
    ExportPtr created;
    EXPECT_FALSE(LoadFSM()->CreateExport(saved, created));
    EXPECT_LOGGED(-1, "Error: Failed to initialize BackupFSM: Cannot proceed further.");
    EXPECT_TRUE(sharesInExportsFile.empty());
    EXPECT_TRUE(BackupFSMGlobals::oldShareAndIdMap.empty());
}

}  // namespace
