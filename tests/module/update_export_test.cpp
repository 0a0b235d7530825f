// Updating served shares: the checks before anything changes, every read
// failure, what reaches the export, its optional parameters and its store,
// permission and version switches, and the Ganesha and Samba refresh.
#include <map>

#include "module/exportops/UpdateExport.h"
#include "tests/module/ExportOpsFixture.h"

using namespace exportops_test;
namespace P = PropertyNames;

namespace {

class UpdateExportTest : public ExportOpsTest {
protected:
    // Subclient 11 (policy 90) with its live store /store11 served.
    void SetUp() override {
        ExportOpsTest::SetUp();
        AddPolicySubclient(90);
        AddSubclient(11, 90);
        MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
        exp_ = Served("/store11");
        ASSERT_TRUE(exp_);
        id_ = std::to_string(exp_->GetShareId());
        Reset();
    }
    void Reset() {
        HostCallLog::Clear();
        Db().ClearCallLog();
        ClearLines();
    }
    bool Update(const std::string& path, ExportType type, Response& response) {
        std::string sharePath = path;
        return UpdateExport(11, sharePath, type, response.get());
    }
    void MustUpdate(const std::string& path, ExportType type) {
        Response response;
        ASSERT_TRUE(Update(path, type, response)) << response.text() << "\n"
                                                  << testsupport::Dump(Lines());
        EXPECT_EQ(0, response.code());
        EXPECT_EQ(nullptr, response.record.text);
    }
    static std::string Param(Export& exp, const std::string& key) {
        std::string value = "<unset>";
        exp.GetOptionalParam(key, value);
        return value;
    }
    static std::string Clients(Export& exp) {
        std::string clients;
        exp.GetAllowedClients(clients);
        return clients;
    }
    // The store's own view of its settings.
    static std::map<std::string, std::string> StoreStats(BackupFSMExport& exp) {
        ObjectStore::NameValueList stats;
        EXPECT_FALSE(
            BackupFSM::GetObjContainer()->getObjStrGuiStats(exp.GetObjStoreIndex(), stats).IsError());
        return std::map<std::string, std::string>(stats.begin(), stats.end());
    }
    static ObjectStore::FaultPlan& StorePlan() { return BackupFSM::GetObjContainer()->faultPlan(); }

    boost::shared_ptr<BackupFSMExport> exp_;
    std::string id_;
};

TEST_F(UpdateExportTest, ChecksBeforeAnyChangeAnswerWithTheirCodes) {
    Response noId;
    EXPECT_FALSE(Update("/none", EXPORT_TYPE_OBJECT_STORE, noId));
    EXPECT_EQ(1, noId.code());
    EXPECT_EQ("Share ID not found", noId.text());
    EXPECT_LOGGED(-1, "ERROR: Share ID not found for sharePath [/none]");
    EXPECT_EQ(0u, Calls(11, "lookup"));

    Db().SetStatusOverride(11, "lookup", 100);
    Response missing;
    EXPECT_FALSE(Update("/store11", EXPORT_TYPE_OBJECT_STORE, missing));
    EXPECT_EQ(19, missing.code());
    EXPECT_EQ("Given subclient not found", missing.text());
    EXPECT_LOGGED(-1, "ERROR: Given subclient [11] not found");
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
    Db().ClearStatusOverrides();

    // An id without an export still ends the configuration operation.
    ShareIdToPathCache::GetShareIdForPath("/ghost", true, false);
    Response ghost;
    EXPECT_FALSE(Update("/ghost", EXPORT_TYPE_OBJECT_STORE, ghost));
    EXPECT_EQ(1, ghost.code());
    EXPECT_EQ("shareID not found", ghost.text());
    EXPECT_LOGGED(-1, "ERROR: shareID found but export not found for sharePath [/ghost]");
    EXPECT_EQ(1u, Calls(11, "setQuayConfigOperationInProgress"));

    // Another module's export is not touched.
    ExportPtr noParent;
    ExportPtr foreign(new Export("/foreign", SHARE_PERM_READ_WRITE, "*",
                                 ShareIdToPathCache::GetShareIdForPath("/foreign", true, false),
                                 noParent));
    gAllExports->AddExport(foreign);
    Response wrong;
    EXPECT_FALSE(Update("/foreign", EXPORT_TYPE_OBJECT_STORE, wrong));
    EXPECT_EQ(2, wrong.code());
    EXPECT_EQ("Wrong export object", wrong.text());
    EXPECT_TRUE(HostCalls().empty()) << Joined(HostCalls());
}

struct ReadFailure {
    const char* operation;
    const char* logLine;
    const char* text;
};

TEST_F(UpdateExportTest, EveryLiveStoreReadFailureAnswersAndLeavesTheFlag) {
    const ReadFailure rows[] = {
        {"getQuayAllowedNFSClients",
         "ERROR: Failed to get allowed nfs client. Update Export failed for share [/store11].",
         "Failed to get allowed nfs client."},
        {"getQuayUsers", "ERROR: Failed to get allowed user. Update Export failed for share [/store11].",
         "Failed to get allowed user."},
        {"getQuayGroups",
         "ERROR: Failed to get allowed group. Update Export failed for share [/store11].",
         "Failed to get allowed group."},
        {"getQuaySupportedProtocols",
         "ERROR: Failed to get SupportedProtocols property. Create Export failed for share "
         "[/store11].",
         "Failed to get SupportedProtocols property."},
        {"getQuaySquashType",
         "ERROR: Failed to get squash type. Update Export failed for share [/store11].",
         "Failed to get squash type."},
        {"getQuayAnonUid",
         "ERROR: Failed to get anonymous uid. Update Export failed for share [/store11].",
         "Failed to get anonymous uid."},
        {"getQuayAnonGid", "ERROR: Update Export failed for share [/store11].",
         "Failed to get anonymous gid."},
        {"getQuayACLEnableFlag",
         "ERROR: Failed to get ACL enable flag. Update Export failed for share [/store11].",
         "Failed to get ACL enable flag."},
        {"getQuayCopyPrecedence",
         "ERROR: Failed to get copyPrecedence. Create Export failed for share [/store11].",
         "Failed to get copyPrecedence."},
        {"getQuayBackupFilter",
         "ERROR: Failed to get backupFilter. Create Export failed for share [/store11].",
         "Failed to get backupFilter."},
        {"getQuayIsCaseSensitive",
         "ERROR: Failed to get IsCaseSensitive property. Create Export failed for share "
         "[/store11]. err [4]",
         "Failed to get IsCaseSensitive property."},
        {"getQuayAccessPermission",
         "ERROR: Failed to get access permission. Update Export failed for share [/store11].",
         "Failed to get access permission."},
    };
    for (const ReadFailure& row : rows) {
        SCOPED_TRACE(row.operation);
        Db().ClearStatusOverrides();
        Db().SetStatusOverride(11, row.operation, 4);
        Reset();
        Response response;
        EXPECT_FALSE(Update("/store11", EXPORT_TYPE_OBJECT_STORE, response));
        EXPECT_EQ(1, response.code());
        EXPECT_EQ(row.text, response.text());
        EXPECT_LOGGED(-1, row.logLine);
        EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
        EXPECT_TRUE(HostCalls().empty()) << Joined(HostCalls());
        EXPECT_TRUE(Served("/store11"));
    }
}

TEST_F(UpdateExportTest, NewSettingsReachTheExportItsParametersAndItsStore) {
    SetProperty(11, P::kAllowedNFSClients, "10.9.9.9");
    SetProperty(11, P::kUsers, "1001");
    SetProperty(11, P::kGroups, "2002");
    SetProperty(11, P::kSquashType, "2");
    SetProperty(11, P::kAnonUid, "5001");
    SetProperty(11, P::kAnonGid, "5002");
    SetProperty(11, P::kACLEnableFlag, "0");
    SetProperty(11, P::kCopyPrecedence, "4");
    SetProperty(11, P::kBackupFilter, "*.iso");
    SetProperty(11, P::kVersionInterval, "7");
    SetProperty(11, P::kIsCaseSensitive, "0");
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);

    EXPECT_EQ("10.9.9.9", Clients(*exp_));
    EXPECT_EQ("1001", exp_->GetUserIds());
    EXPECT_EQ("2002", exp_->GetGroupIds());
    EXPECT_EQ(ZEL_QUAY_ALL_SQUASH, exp_->GetSquashingType());
    EXPECT_EQ(5001u, exp_->GetAnonUid());
    EXPECT_EQ(5002u, exp_->GetAnonGid());
    EXPECT_FALSE(exp_->IsACLEnabled());
    EXPECT_EQ(4u, exp_->GetCopyPrecedence());
    EXPECT_EQ(420, exp_->GetVersionInterval());
    EXPECT_FALSE(exp_->GetCaseSensitive());
    EXPECT_EQ("3,4", exp_->GetNfsVersions());
    EXPECT_EQ("1001", Param(*exp_, "uid"));
    EXPECT_EQ("2002", Param(*exp_, "gid"));
    EXPECT_EQ("4", Param(*exp_, "copyPrecedence"));
    EXPECT_EQ("*.iso", Param(*exp_, "backupFilter"));
    EXPECT_EQ("0", Param(*exp_, "caseSensitive"));
    std::map<std::string, std::string> stats = StoreStats(*exp_);
    EXPECT_EQ("4", stats["Copy precedence"]);
    EXPECT_EQ("*.iso", stats["Backup filter"]);
    EXPECT_EQ("420", stats["Version interval (s)"]);

    EXPECT_HOST_CALLS({"UpdateGaneshaExport " + id_, "SaveMountPointTable"});
    EXPECT_EQ(1u, Calls(11, "setQuayConfigOperationInProgress"));
    EXPECT_LOGGED(4, "flushing App manager client side cache");
    EXPECT_LOGGED(4, "INFO: copyPrecedence [4].");
    EXPECT_LOGGED(4, "INFO: backupFilter [*.iso].");
    EXPECT_LOGGED(4, "INFO: caseSensitive [False].");
    ExpectInOrder({"INFO: Flushing App manager client side code",
                   "flushing App manager client side cache", "INFO: NFS Versions [3,4]",
                   "INFO: Version interval in DB [7] mins.",
                   "INFO: Updating version interval [7] mins.",
                   "INFO: Updated the export with shareID [" + id_ + "] and sharePath [/store11]"});
}

TEST_F(UpdateExportTest, OnlyExactPermissionTextsSwitchTheShare) {
    const struct {
        const char* property;
        SharePerms before;
        SharePerms after;
    } rows[] = {
        {"RO", SHARE_PERM_READ_WRITE, SHARE_PERM_READ_ONLY},
        {"1", SHARE_PERM_READ_WRITE, SHARE_PERM_READ_ONLY},
        {"RW", SHARE_PERM_READ_ONLY, SHARE_PERM_READ_WRITE},
        {"0", SHARE_PERM_READ_ONLY, SHARE_PERM_READ_WRITE},
        {"", SHARE_PERM_READ_ONLY, SHARE_PERM_READ_ONLY},
        {"rw", SHARE_PERM_READ_ONLY, SHARE_PERM_READ_ONLY},
        {"", SHARE_PERM_READ_WRITE, SHARE_PERM_READ_WRITE},
        {"ro", SHARE_PERM_READ_WRITE, SHARE_PERM_READ_WRITE},
        {"RW", SHARE_PERM_READ_WRITE, SHARE_PERM_READ_WRITE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.property) + " from " + std::to_string(row.before));
        exp_->SetSharePerms(row.before);
        SetProperty(11, P::kAccessPermission, row.property);
        Reset();
        MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
        EXPECT_EQ(row.after, exp_->GetSharePerms());
        EXPECT_LOGGED(1, "INFO: Export [/store11] Export property: " +
                             std::to_string(row.before) + " Subclient Property " + row.property);
        const bool switched = row.before != row.after;
        EXPECT_EQ(switched && row.after == SHARE_PERM_READ_ONLY ? 1 : 0,
                  testsupport::CountLines(Lines(), "INFO: Export [/store11] changed to read-only"));
        EXPECT_EQ(switched && row.after == SHARE_PERM_READ_WRITE ? 1 : 0,
                  testsupport::CountLines(Lines(), "INFO: Export [/store11] changed to read-write"));
    }
}

TEST_F(UpdateExportTest, ProtocolsNamingNoNfsOrSmbLeaveTheNfsVersionsEmpty) {
    SetProperty(11, P::kSupportedProtocols, ProtocolsProperty({}));
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ("", exp_->GetNfsVersions());
    EXPECT_LOGGED(-1, "INFO: Unsupported protocols []");
    EXPECT_LOGGED(1, "INFO: NFS Versions []");
    EXPECT_EQ(0u, Calls(90, "setQuaySupportedProtocols"));

    SetProperty(11, P::kSupportedProtocols, ProtocolsProperty({App::SMB}));
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ("4", exp_->GetNfsVersions());
}

TEST_F(UpdateExportTest, FileVersionsSwitchOnlyWhenTheSubclientChanged) {
    SetProperty(11, P::kVersionSupportNeeded, "1");
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(1, exp_->GetEnabledVersions());
    EXPECT_EQ("1", Param(*exp_, "enabledVersions"));

    // Unchanged: nothing is written.
    exp_->SetOptionalParam("enabledVersions", "untouched");
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ("untouched", Param(*exp_, "enabledVersions"));

    SetProperty(11, P::kVersionSupportNeeded, "0");
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(0, exp_->GetEnabledVersions());
    EXPECT_EQ("0", Param(*exp_, "enabledVersions"));
}

TEST_F(UpdateExportTest, UnchangedBackupFilterAndIntervalSendNoStoreUpdate) {
    // Store updates of the live store are not checked, so failing them all
    // counts them without stopping the update.
    StorePlan().FailNext("updateObjectStore", 100, EIO);
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(2, StorePlan().Injected("updateObjectStore"));  // copy precedence, case
    EXPECT_EQ(0, testsupport::CountLines(Lines(), "INFO: backupFilter []."));

    SetProperty(11, P::kBackupFilter, "*.bak");
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(5, StorePlan().Injected("updateObjectStore"));

    SetProperty(11, P::kVersionInterval, "9");
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(8, StorePlan().Injected("updateObjectStore"));
    EXPECT_EQ(540, exp_->GetVersionInterval());
}

TEST_F(UpdateExportTest, RegistryVersionIntervalWinsAndTheSubclientIsNotAsked) {
    BackupFSMGlobals::versionInterval = 600;
    SetProperty(11, P::kVersionInterval, "9");
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_LOGGED(1, "INFO: Quay\\nVersionIntervalMins = [10] mins.");
    EXPECT_EQ(0u, Calls(11, "getQuayVersionInterval"));
    EXPECT_EQ(300, exp_->GetVersionInterval());
}

TEST_F(UpdateExportTest, FailedGaneshaUpdateAnswers17AndLeavesTheFlag) {
    HostCallLog::FailNext("UpdateGaneshaExport", 1, EIO);
    Response response;
    EXPECT_FALSE(Update("/store11", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(17, response.code());
    EXPECT_EQ("Creation of Ganesha export failed.", response.text());
    EXPECT_HOST_CALLS({"UpdateGaneshaExport " + id_});
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
}

TEST_F(UpdateExportTest, FailedSambaUpdateTakesTheGaneshaExportDownButKeepsTheExport) {
    BackupFSMGlobals::isSambaEnabledForBackupFSM = 1;
    exp_->SetSMBEnabled(true);
    HostCallLog::FailNext("ManageSambaShare", 1, EIO);
    Response response;
    EXPECT_FALSE(Update("/store11", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(17, response.code());
    EXPECT_EQ("Re-Creation of SMB Share failed.", response.text());
    EXPECT_HOST_CALLS({"UpdateGaneshaExport " + id_, "ManageSambaShare 4 " + id_ + " 4",
                       "ManageGaneshaExport 2 " + id_});
    ExpectInOrder({"SMB_UPDATE_SHARE", "ERROR: Re-Creation of SMB Share failed",
                   "ERROR: Removing Ganesha Export"});
    EXPECT_TRUE(Served("/store11"));
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));

    // Without the export's SMB flag Samba is left alone.
    exp_->SetSMBEnabled(false);
    Reset();
    MustUpdate("/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_HOST_CALLS({"UpdateGaneshaExport " + id_, "SaveMountPointTable"});
}

// --- Point-in-time views.

class UpdatePitTest : public UpdateExportTest {
protected:
    void SetUp() override {
        UpdateExportTest::SetUp();
        SetProperty(11, P::kViewConfiguration,
                    Tag("MntPath", "/store11-a") + Tag("ToTime", "1689416430"));
        MustCreate(11, "/store11-a", EXPORT_TYPE_PIT);
        view_ = Served("/store11-a");
        ASSERT_TRUE(view_);
        Reset();
    }
    boost::shared_ptr<BackupFSMExport> view_;
};

TEST_F(UpdatePitTest, TheSnapRecordReachesTheViewAndItsStore) {
    SetProperty(11, P::kViewConfiguration,
                Tag("MntPath", "/store11-b") + Tag("CopyPrecedence", "3") + ";" +
                    Tag("MntPath", "/store11-a") + Tag("CopyPrecedence", "6") +
                    Tag("ReadOnly", "1") + Tag("WritablePIT", "1") + Tag("NFSClient", "10.2.2.2") +
                    Tag("UID", "7") + Tag("GID", "8") + ";" + Tag("MntPath", "/store11-a") +
                    Tag("CopyPrecedence", "9"));
    MustUpdate("/store11-a", EXPORT_TYPE_PIT);
    EXPECT_EQ(SHARE_PERM_READ_ONLY, view_->GetSharePerms());
    EXPECT_EQ(1u, view_->GetWritablePIT());
    EXPECT_EQ(6u, view_->GetCopyPrecedence());
    EXPECT_EQ("10.2.2.2", Clients(*view_));
    EXPECT_EQ("7", view_->GetUserIds());
    EXPECT_EQ("8", view_->GetGroupIds());
    EXPECT_EQ("1", Param(*view_, "writablePIT"));
    EXPECT_EQ("6", Param(*view_, "copyPrecedence"));
    EXPECT_EQ("7", Param(*view_, "uid"));
    EXPECT_EQ("6", StoreStats(*view_)["Copy precedence"]);
    EXPECT_EQ(0, testsupport::CountLines(Lines(), "Matching snap [" + Tag("MntPath", "/store11-a")));
    EXPECT_HOST_CALLS({"UpdateGaneshaExport " + std::to_string(view_->GetShareId()),
                       "SaveMountPointTable"});
    // The live store's settings are not read for a view.
    EXPECT_EQ(0u, Calls(11, "getQuayAccessPermission"));
    EXPECT_EQ(0u, Calls(11, "getQuayBackupFilter"));
}

TEST_F(UpdatePitTest, AnyTypeOtherThanLiveIsAViewAndMissingFlagsCountAsZero) {
    view_->SetSharePerms(SHARE_PERM_READ_ONLY);
    view_->SetWritablePIT(1);
    SetProperty(11, P::kViewConfiguration, Tag("MntPath", "/store11-a"));
    MustUpdate("/store11-a", static_cast<ExportType>(3));
    EXPECT_EQ(SHARE_PERM_READ_WRITE, view_->GetSharePerms());
    EXPECT_EQ(0u, view_->GetWritablePIT());
    EXPECT_EQ("0", Param(*view_, "writablePIT"));
    EXPECT_EQ("", Clients(*view_));
}

TEST_F(UpdatePitTest, SnapRecordFailuresAnswerWithTheirTexts) {
    SetProperty(11, P::kViewConfiguration, "");
    Response empty;
    EXPECT_FALSE(Update("/store11-a", EXPORT_TYPE_PIT, empty));
    EXPECT_EQ(1, empty.code());
    EXPECT_EQ("No snap details found in the objectStore", empty.text());
    EXPECT_LOGGED(-1, "No snap details found in the objectStore");

    SetProperty(11, P::kViewConfiguration, ";" + Tag("MntPath", "/store11-b") + ";");
    Response noRecord;
    EXPECT_FALSE(Update("/store11-a", EXPORT_TYPE_PIT, noRecord));
    EXPECT_EQ(1, noRecord.code());
    EXPECT_EQ("sharePath not found in snap", noRecord.text());
    EXPECT_LOGGED(-1, "ERROR: Given sharePath [/store11-a], not found in snap");

    Db().SetStatusOverride(11, "getQuayViewConfiguration", 4);
    Response unreadable;
    EXPECT_FALSE(Update("/store11-a", EXPORT_TYPE_PIT, unreadable));
    EXPECT_EQ("Failed to get snap details.", unreadable.text());
    EXPECT_LOGGED(-1, "ERROR: Failed to get snap details. Update Export failed for share "
                      "[/store11-a].");
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
}

TEST_F(UpdatePitTest, StoreRefusalsOfAViewAreReported) {
    SetProperty(11, P::kViewConfiguration, Tag("MntPath", "/store11-a") + Tag("WritablePIT", "1"));
    StorePlan().FailNext("updateObjectStore", 1, EIO);
    Response copyPrecedence;
    EXPECT_FALSE(Update("/store11-a", EXPORT_TYPE_PIT, copyPrecedence));
    EXPECT_EQ(1, copyPrecedence.code());
    EXPECT_EQ("Failed to update copy precedence.", copyPrecedence.text());
    EXPECT_LOGGED(-1, "ERROR: Failed to update copy precedence for share [/store11-a], error=" +
                          CPelError(EIO, "injected failure of updateObjectStore").AsString());

    // A live store cannot discard writes: asked to as a view, it refuses.
    SetProperty(11, P::kViewConfiguration, Tag("MntPath", "/store11") + Tag("WritablePIT", "1"));
    Response discard;
    EXPECT_FALSE(Update("/store11", EXPORT_TYPE_PIT, discard));
    EXPECT_EQ(1, discard.code());
    EXPECT_EQ("Failed to update discardWrites.", discard.text());
    EXPECT_LOGGED(-1, "ERROR: Failed to update discardWrites for share [/store11], error=" +
                          CPelError(EINVAL, "updateObjectStore: the live store cannot discard "
                                            "writes").AsString());
}

}  // namespace
