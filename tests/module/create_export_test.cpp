// Creating shares: settings of live stores and PIT views, every failure with
// its response and log line, roll-back, host call sequences, protocols and
// Samba, share ids kept from before a restart.
#include <ctime>

#include "tests/module/ExportOpsFixture.h"

using namespace exportops_test;
namespace P = PropertyNames;

namespace {

class CreateExportTest : public ExportOpsTest {
protected:
    // Subclient 11 (policy 90) with the live store /store11.
    void SetUp() override {
        ExportOpsTest::SetUp();
        AddPolicySubclient(90);
        AddSubclient(11, 90);
        ClearLines();
    }
    void ExpectNothingLeft(const std::string& path) {
        EXPECT_EQ(0u, ShareIdOf(path));
        EXPECT_TRUE(gAllExports->List().empty());
        EXPECT_TRUE(BackupFSMGlobals::sharesInInit.empty());
    }
    static std::string Clients(Export& exp) {
        std::string clients;
        exp.GetAllowedClients(clients);
        return clients;
    }
};

TEST_F(CreateExportTest, LiveStoreIsServedWithItsSettingsAndTheFlagCleared) {
    SetProperty(11, P::kAllowedNFSClients, "10.0.0.1,10.0.0.2");
    SetProperty(11, P::kUsers, "1001,1002");
    SetProperty(11, P::kGroups, "2001");
    SetProperty(11, P::kBackupFilter, "*.tmp");
    Response response;
    ASSERT_TRUE(Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response))
        << testsupport::Dump(Lines());
    EXPECT_EQ(0, response.code());
    EXPECT_EQ(nullptr, response.record.text);

    auto exp = Served("/store11");
    ASSERT_TRUE(exp);
    const std::string id = std::to_string(exp->GetShareId());
    EXPECT_EQ("3,4", exp->GetNfsVersions());
    EXPECT_EQ(ZEL_QUAY_ROOT_SQUASH, exp->GetSquashingType());
    EXPECT_EQ(4001u, exp->GetAnonUid());
    EXPECT_EQ(4002u, exp->GetAnonGid());
    EXPECT_TRUE(exp->IsACLEnabled());
    EXPECT_FALSE(exp->GetSMBEnabled());
    EXPECT_EQ(SHARE_PERM_READ_WRITE, exp->GetSharePerms());
    EXPECT_EQ("10.0.0.1,10.0.0.2", Clients(*exp));
    EXPECT_EQ("1001,1002", exp->GetUserIds());
    EXPECT_EQ("2001", exp->GetGroupIds());
    const ObjectStore::ObjectStoreConfig& config = exp->GetStoreConfig();
    EXPECT_EQ("/store11", config.storePath);
    EXPECT_EQ(2u, config.copyPrecedence);
    EXPECT_EQ("*.tmp", config.backupFilter);
    EXPECT_EQ(300u, config.versionInterval);  // 5 minutes from the subclient
    EXPECT_TRUE(config.caseSensitive);
    EXPECT_FALSE(config.isPIT);

    EXPECT_HOST_CALLS({"CreateGaneshaExport " + id, "SaveMountPointTable"});
    EXPECT_EQ("0", Property(11, P::kConfigOperationInProgress));
    EXPECT_TRUE(BackupFSMGlobals::sharesInInit.empty());
    EXPECT_LOGGED(4, "INFO: Flushing App manager client side code");
    ExpectInOrder({"INFO: Exporting the share [/store11] subclient [11] scpSubclient [90]",
                   "Subclient access permission: ",
                   "INFO: New share [/store11] got shareID [" + id + "]",
                   "INFO: NFS Versions [3,4]", "INFO: NFS Versions [3,4]",
                   "INFO: Removed [11] from sharesInInit"});
    EXPECT_LOGGED(1, "INFO: Exporting the share [/store11] subclient [11] scpSubclient [90]");
}

struct ReadFailure {
    const char* operation;
    const char* logLine;
    const char* text;
    const char* nextRead;  // must not run after the failure
};

TEST_F(CreateExportTest, EveryLiveStoreReadFailureAnswersAndLeavesNothing) {
    const ReadFailure rows[] = {
        {"getQuayAllowedNFSClients",
         "ERROR: Failed to get allowed nfs client. Create Export failed for share [/store11].",
         "Failed to get allowed nfs client.", "getQuayUsers"},
        {"getQuayUsers", "ERROR: Failed to get allowed user. Create Export failed for share [/store11].",
         "Failed to get allowed user.", "getQuayGroups"},
        {"getQuayGroups",
         "ERROR: Failed to get allowed group. Create Export failed for share [/store11].",
         "Failed to get allowed group.", "getQuayAccessPermission"},
        {"getQuayAccessPermission",
         "ERROR: Failed to get access permission. Create Export failed for share [/store11].",
         "Failed to get access permission.", "getQuaySquashType"},
        {"getQuaySquashType",
         "ERROR: Failed to get squash type. Create Export failed for share [/store11].",
         "Failed to get squash type.", "getQuayAnonUid"},
        {"getQuayAnonUid",
         "ERROR: Failed to get anonymous uid. Create Export failed for share [/store11].",
         "Failed to get anonymous uid.", "getQuayAnonGid"},
        {"getQuayAnonGid",
         "ERROR: Failed to get anonymous gid. Create Export failed for share [/store11].",
         "Failed to get anonymous gid.", "getQuayCopyPrecedence"},
        {"getQuayCopyPrecedence",
         "ERROR: Failed to get copyPrecedence. Create Export failed for share [/store11].",
         "Failed to get copyPrecedence.", "getQuayACLEnableFlag"},
        {"getQuayACLEnableFlag",
         "ERROR: Failed to get enable ACL flag. Create Export failed for share [/store11].",
         "Failed to get enable ACL flag.", "getQuayBackupFilter"},
        {"getQuayBackupFilter",
         "ERROR: Failed to get backup filter. Create Export failed for share [/store11].",
         "Failed to get backup filter.", "getQuaySupportDNFS"},
        {"getQuaySupportDNFS",
         "ERROR: Failed to get supportDNFS property. Create Export failed for share [/store11].",
         "Failed to get supportDNFS property.", "getQuayIsCaseSensitive"},
        {"getQuayIsCaseSensitive",
         "ERROR: Failed to get IsCaseSensitive property. Create Export failed for share "
         "[/store11]. err [4]",
         "Failed to get IsCaseSensitive property.", "getQuaySupportedProtocols"},
        {"getQuaySupportedProtocols",
         "ERROR: Failed to get SupportedProtocols property. Create Export failed for share "
         "[/store11].",
         "Failed to get SupportedProtocols property.", "getQuayVersionInterval"},
    };
    for (const ReadFailure& row : rows) {
        SCOPED_TRACE(row.operation);
        Db().ClearStatusOverrides();
        Db().ClearCallLog();
        Db().SetStatusOverride(11, row.operation, 4);
        HostCallLog::Clear();
        ClearLines();
        Response response;
        EXPECT_FALSE(Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response));
        EXPECT_EQ(1, response.code());
        EXPECT_EQ(row.text, response.text());
        EXPECT_LOGGED(-1, row.logLine);
        EXPECT_EQ(0u, Calls(11, row.nextRead));
        EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
        EXPECT_TRUE(HostCalls().empty()) << Joined(HostCalls());
        ExpectNothingLeft("/store11");
    }
}

TEST_F(CreateExportTest, MissingSubclientAnswers19AndLeavesTheFlag) {
    Response response;
    EXPECT_FALSE(Create(77, "/store77", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(19, response.code());
    EXPECT_EQ("Given subclient not found", response.text());
    EXPECT_LOGGED(-1, "ERROR: Given subclient [77] not found");
    EXPECT_EQ(0u, Calls(77, "setQuayConfigOperationInProgress"));
    ExpectNothingLeft("/store77");
}

TEST_F(CreateExportTest, WrongExportTypeIsRefusedAfterTheLookupWithTheResponseUntouched) {
    Response response;
    response.record.code = 55;
    response.record.text = strdup("before");
    EXPECT_FALSE(Create(11, "/store11", static_cast<ExportType>(3), response));
    EXPECT_EQ(55, response.code());
    EXPECT_EQ("before", response.text());
    EXPECT_LOGGED(-1, "ERROR: Wrong ExportType [3]");
    EXPECT_EQ(1u, Calls(11, "lookup"));
    ExpectNothingLeft("/store11");
}

TEST_F(CreateExportTest, FailedInitFreesTheShareIdAndALaterCreationSucceeds) {
    BackupFSM::GetObjContainer()->faultPlan().FailNext("openObjectStore", 1, EIO);
    Response response;
    EXPECT_FALSE(Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(1, response.code());
    EXPECT_EQ("BackupFSMExport init Failed", response.text());
    EXPECT_LOGGED(-1, "ObjectStore [/store11] open failed");
    EXPECT_LOGGED(-1, "ERROR: BackupFSMExport init Failed");
    EXPECT_TRUE(HostCalls().empty());
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
    ExpectNothingLeft("/store11");

    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_TRUE(Served("/store11"));
}

TEST_F(CreateExportTest, FailedGaneshaExportWithdrawsTheExportAndFreesTheId) {
    HostCallLog::FailNext("CreateGaneshaExport", 1, EIO);
    Response response;
    EXPECT_FALSE(Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(17, response.code());
    EXPECT_EQ("Creation of Ganesha export failed.", response.text());
    EXPECT_HOST_CALLS({"CreateGaneshaExport 1"});
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
    ExpectNothingLeft("/store11");
}

TEST_F(CreateExportTest, ASecondCreationOfAServedShareAnswers18AndKeepsTheShare) {
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    const unsigned int id = ShareIdOf("/store11");
    HostCallLog::Clear();
    Db().ClearCallLog();
    ClearLines();

    Response response;
    EXPECT_FALSE(Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(18, response.code());
    EXPECT_EQ("share is already exported", response.text());
    EXPECT_LOGGED(1, "INFO: Share is already exported");
    EXPECT_EQ(1u, Calls(11, "setQuayConfigOperationInProgress"));
    EXPECT_TRUE(HostCalls().empty());
    EXPECT_EQ(id, ShareIdOf("/store11"));
    EXPECT_TRUE(Served("/store11"));
    EXPECT_TRUE(BackupFSMGlobals::sharesInInit.empty());
}

TEST_F(CreateExportTest, OnlyExactlyROOrOneMakesALiveShareReadOnly) {
    const std::pair<const char*, SharePerms> rows[] = {
        {"RO", SHARE_PERM_READ_ONLY}, {"1", SHARE_PERM_READ_ONLY}, {"ro", SHARE_PERM_READ_WRITE},
        {"0", SHARE_PERM_READ_WRITE}, {"RW", SHARE_PERM_READ_WRITE}, {"", SHARE_PERM_READ_WRITE}};
    unsigned long id = 20;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        ++id;
        AddSubclient(id, 90);
        SetProperty(id, P::kAccessPermission, row.first);
        const std::string path = "/perm" + std::to_string(id);
        ClearLines();
        MustCreate(id, path, EXPORT_TYPE_OBJECT_STORE);
        ASSERT_TRUE(Served(path));
        EXPECT_EQ(row.second, Served(path)->GetSharePerms());
        EXPECT_LOGGED(1, std::string("Subclient access permission: ") + row.first);
        EXPECT_EQ(row.second == SHARE_PERM_READ_ONLY ? 1 : 0,
                  testsupport::CountLines(Lines(), "Info: Marking [" + path + "] read-only"));
    }
}

TEST_F(CreateExportTest, ProtocolsDecideNfsVersionsAndSambaFollowsTheModuleSwitch) {
    BackupFSMGlobals::isSambaEnabledForBackupFSM = 1;
    SetProperty(11, P::kSupportedProtocols, ProtocolsProperty({App::SMB}));
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    auto smbOnly = Served("/store11");
    ASSERT_TRUE(smbOnly);
    const std::string id = std::to_string(smbOnly->GetShareId());
    EXPECT_EQ("4", smbOnly->GetNfsVersions());
    EXPECT_TRUE(smbOnly->GetSMBEnabled());
    EXPECT_LOGGED(1, "INFO: SMB share will be created");
    EXPECT_LOGGED(1, "INFO: NFS Versions [4]");
    EXPECT_HOST_CALLS({"CreateGaneshaExport " + id, "ManageSambaShare 1 " + id + " 4",
                       "SaveMountPointTable"});

    // NFS protocols with Samba on still make the SMB share: the switch decides.
    AddSubclient(12, 90);
    HostCallLog::Clear();
    MustCreate(12, "/store12", EXPORT_TYPE_OBJECT_STORE);
    const std::string id12 = std::to_string(ShareIdOf("/store12"));
    EXPECT_EQ("3,4", Served("/store12")->GetNfsVersions());
    EXPECT_HOST_CALLS({"CreateGaneshaExport " + id12, "ManageSambaShare 1 " + id12 + " 4",
                       "SaveMountPointTable"});

    // Samba off: an SMB-only share is served over NFSv4 only.
    BackupFSMGlobals::isSambaEnabledForBackupFSM = 0;
    AddSubclient(13, 90);
    SetProperty(13, P::kSupportedProtocols, ProtocolsProperty({App::SMB}));
    HostCallLog::Clear();
    MustCreate(13, "/store13", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ("4", Served("/store13")->GetNfsVersions());
    EXPECT_FALSE(Served("/store13")->GetSMBEnabled());
    EXPECT_HOST_CALLS({"CreateGaneshaExport " + std::to_string(ShareIdOf("/store13")),
                       "SaveMountPointTable"});
}

TEST_F(CreateExportTest, UnsupportedProtocolsServeBothNfsVersionsAndTellThePolicy) {
    SetProperty(11, P::kSupportedProtocols, ProtocolsProperty({}));
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ("3,4", Served("/store11")->GetNfsVersions());
    EXPECT_LOGGED(-1, "INFO: Unsupported protocols []");
    EXPECT_EQ(ProtocolsProperty({App::NFSV3, App::NFSV4}), Property(90, P::kSupportedProtocols));
    EXPECT_EQ(0u, Calls(11, "setQuaySupportedProtocols"));
}

TEST_F(CreateExportTest, WithoutAPolicySubclientTheDefaultsAreNotWrittenAnywhere) {
    AddSubclient(14);  // no policy subclient
    Db().RemoveProperty(14, P::kIsCaseSensitive);
    SetProperty(14, P::kSupportedProtocols, ProtocolsProperty({}));
    MustCreate(14, "/store14", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_LOGGED(-1, "Failed to get Associated subclient Policy Subclient Id [14]. err "
                      "[ZEL_PROP_NOT_FOUND]");
    EXPECT_LOGGED(1, "INFO: Exporting the share [/store14] subclient [14] scpSubclient [0]");
    EXPECT_LOGGED(1, "WARN: No policy subclient known for subclient [14]. CaseSensitive default "
                     "not stored");
    EXPECT_LOGGED(1, "WARN: No policy subclient known for subclient [14]. Supported protocols "
                     "not stored");
    EXPECT_EQ(0u, Calls(0, "setQuayIsCaseSensitive"));
    EXPECT_EQ(0u, Calls(0, "setQuaySupportedProtocols"));
    EXPECT_EQ("3,4", Served("/store14")->GetNfsVersions());
}

TEST_F(CreateExportTest, FailedSambaShareLeavesAnNfsOnlyShare) {
    BackupFSMGlobals::isSambaEnabledForBackupFSM = 1;
    HostCallLog::FailNext("ManageSambaShare", 1, EIO);
    Response response;
    ASSERT_TRUE(Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response));
    EXPECT_EQ(0, response.code());
    const std::string id = std::to_string(ShareIdOf("/store11"));
    EXPECT_LOGGED(-1, "ERROR: SMB Share Creation failed");
    EXPECT_FALSE(Served("/store11")->GetSMBEnabled());
    EXPECT_HOST_CALLS({"CreateGaneshaExport " + id, "ManageSambaShare 1 " + id + " 4",
                       "UpdateGaneshaExport " + id, "SaveMountPointTable"});

    // The refresh that takes 127.0.0.1 out may fail too: still served.
    AddSubclient(12, 90);
    HostCallLog::FailNext("ManageSambaShare", 1, EIO);
    HostCallLog::FailNext("UpdateGaneshaExport", 1, EIO);
    MustCreate(12, "/store12", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_LOGGED(-1, "Error: Update Export to remove 127.0.0.1 from allowed clients failed");
}

TEST_F(CreateExportTest, WithoutGaneshaOnlyTheMountTableIsSaved) {
    QuayServiceGlobals::isGanesha = false;
    BackupFSMGlobals::isSambaEnabledForBackupFSM = 1;
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_FALSE(Served("/store11")->GetSMBEnabled());
    EXPECT_HOST_CALLS({"SaveMountPointTable"});
}

TEST_F(CreateExportTest, UnsetCaseSensitivityIsTrueAndStoredOnThePolicyForALiveStore) {
    Db().RemoveProperty(11, P::kIsCaseSensitive);
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_LOGGED(1, "CaseSensitive property is not set. Setting it to [1]");
    EXPECT_EQ("1", Property(90, P::kIsCaseSensitive));
    EXPECT_TRUE(Served("/store11")->GetStoreConfig().caseSensitive);
}

TEST_F(CreateExportTest, VersionIntervalComesFromTheRegistryOrTheSubclient) {
    BackupFSMGlobals::versionInterval = 600;
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(600u, Served("/store11")->GetStoreConfig().versionInterval);
    EXPECT_EQ(0u, Calls(11, "getQuayVersionInterval"));

    // Not configured: the subclient's minutes; a failed read keeps 60 minutes.
    BackupFSMGlobals::versionInterval = -1;
    AddSubclient(12, 90);
    Db().SetStatusOverride(12, "getQuayVersionInterval", 4);
    MustCreate(12, "/store12", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(3600u, Served("/store12")->GetStoreConfig().versionInterval);
}

TEST_F(CreateExportTest, AShareKeepsItsIdFromBeforeARestart) {
    BackupFSMGlobals::oldShareAndIdMap["/store11"] = 42;
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_EQ(42u, ShareIdOf("/store11"));
    EXPECT_LOGGED(1, "INFO: Existing share added to PathToIDMap [42 : /store11]");
    EXPECT_HOST_CALLS({"CreateGaneshaExport 42", "SaveMountPointTable"});
    EXPECT_EQ(1u, BackupFSMGlobals::oldShareAndIdMap.count("/store11"));
}

TEST_F(CreateExportTest, AnOldIdNowUsedByAnotherShareIsNotReused) {
    ASSERT_TRUE(ShareIdToPathCache::AddToExportPathToIdMap("/other", 42));
    BackupFSMGlobals::oldShareAndIdMap["/store11"] = 42;
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_NE(42u, ShareIdOf("/store11"));
    EXPECT_NE(0u, ShareIdOf("/store11"));
    EXPECT_EQ(42u, ShareIdOf("/other"));
    EXPECT_LOGGED(-1, "ERROR: Share ID [42] of [/store11] is in use by another share. A new ID "
                      "is taken");
}

TEST_F(CreateExportTest, AFlagThatCannotBeClearedGoesToTheTimerTask) {
    Db().SetStatusOverride(11, "setQuayConfigOperationInProgress", 4);
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    EXPECT_LOGGED(-1, "ERROR: Failed to reset in progress flag. Timer task will be created to "
                      "reset the flag");
    EXPECT_EQ(std::list<int>({11}), BackupFSM::inProgressList);
}

// --- Point-in-time views.

class CreatePitTest : public CreateExportTest {
protected:
    // Views open the live store /store31, so it is served first.
    void SetUp() override {
        CreateExportTest::SetUp();
        AddSubclient(31, 90);
        MustCreate(31, "/store31", EXPORT_TYPE_OBJECT_STORE);
        HostCallLog::Clear();
        Db().ClearCallLog();
        ClearLines();
    }
};

TEST_F(CreatePitTest, TheFirstMatchingRecordGivesTheViewItsSettings) {
    BackupFSMGlobals::versionInterval = 600;  // a PIT view keeps 60 seconds regardless
    const std::string first = Tag("MntPath", "/store31-a") + Tag("CopyPrecedence", "7") +
                              Tag("ReadOnly", "0") + Tag("WritablePIT", "0") +
                              Tag("NFSClient", "10.1.1.1") + Tag("UID", "1001") +
                              Tag("GID", "2001") + Tag("SnapName", "snapA") +
                              Tag("ToTime", "07-15-2023 10:20:30");
    const std::string second = Tag("MntPath", "/store31-a") + Tag("CopyPrecedence", "9") +
                               Tag("ReadOnly", "1") + Tag("ToTime", "1");
    SetProperty(31, P::kViewConfiguration, first + ";" + second);
    MustCreate(31, "/store31-a", EXPORT_TYPE_PIT);

    auto view = Served("/store31-a");
    ASSERT_TRUE(view);
    EXPECT_EQ(SHARE_PERM_READ_WRITE, view->GetSharePerms());
    EXPECT_EQ("10.1.1.1", Clients(*view));
    EXPECT_EQ("1001", view->GetUserIds());
    EXPECT_EQ("2001", view->GetGroupIds());
    const ObjectStore::ObjectStoreConfig& config = view->GetStoreConfig();
    struct tm when = {};
    when.tm_mon = 6;
    when.tm_mday = 15;
    when.tm_year = 123;
    when.tm_hour = 10;
    when.tm_min = 20;
    when.tm_sec = 30;
    when.tm_isdst = -1;
    EXPECT_EQ(static_cast<int64_t>(mktime(&when)), config.snapshotTime);
    EXPECT_EQ("/store31", config.storePath);
    EXPECT_EQ(7u, config.copyPrecedence);
    EXPECT_EQ("snapA", config.snapName);
    EXPECT_TRUE(config.isPIT);
    EXPECT_TRUE(config.readOnly);  // a view that is not writable
    EXPECT_FALSE(config.writablePIT);
    EXPECT_EQ(60u, config.versionInterval);
    EXPECT_EQ("", config.backupFilter);
    EXPECT_LOGGED(1, "Info: Marking PIT [/store31-a] as writable");
    EXPECT_LOGGED(1, "INFO: snapDetails [" + first + ";" + second + "]");
    EXPECT_LOGGED(5, "Matching snap [" + first + "]");
    EXPECT_EQ(0, testsupport::CountLines(Lines(), "Matching snap [" + second + "]"));
    // PIT views do not read the live store's settings.
    EXPECT_EQ(0u, Calls(31, "getQuayAllowedNFSClients"));
    EXPECT_EQ(0u, Calls(31, "getQuayAccessPermission"));
    EXPECT_EQ(0u, Calls(31, "getQuayBackupFilter"));
    EXPECT_EQ(0u, Calls(31, "getQuayVersionInterval"));
}

TEST_F(CreatePitTest, ReadOnlyDecidesThePermissionAndWritablePitOnlyTravelsToTheStore) {
    SetProperty(31, P::kViewConfiguration,
                Tag("MntPath", "/store31-b") + Tag("ReadOnly", "1") + Tag("WritablePIT", "1") +
                    Tag("ToTime", "1689416430") + ";" + Tag("MntPath", "/store31-c") +
                    Tag("ToTime", "1689416430"));
    MustCreate(31, "/store31-b", EXPORT_TYPE_PIT);
    auto readOnly = Served("/store31-b");
    ASSERT_TRUE(readOnly);
    EXPECT_EQ(SHARE_PERM_READ_ONLY, readOnly->GetSharePerms());
    EXPECT_LOGGED(1, "Info: Marking PIT [/store31-b] as read-only");
    EXPECT_TRUE(readOnly->GetStoreConfig().writablePIT);
    EXPECT_FALSE(readOnly->GetStoreConfig().readOnly);
    EXPECT_EQ(1689416430, readOnly->GetStoreConfig().snapshotTime);
    EXPECT_EQ("1689416430", readOnly->GetStoreConfig().snapName);

    // Neither element: both count as 0.
    MustCreate(31, "/store31-c", EXPORT_TYPE_PIT);
    auto plain = Served("/store31-c");
    ASSERT_TRUE(plain);
    EXPECT_EQ(SHARE_PERM_READ_WRITE, plain->GetSharePerms());
    EXPECT_FALSE(plain->GetStoreConfig().writablePIT);
    EXPECT_TRUE(plain->GetStoreConfig().readOnly);
}

TEST_F(CreatePitTest, SnapDetailFailuresAnswerOnlyWhereTheyHaveAText) {
    struct Case {
        const char* details;
        const char* logLine;
    };
    const Case untouched[] = {
        {"", " No snap details found in the objectStore"},
        {";", "ERROR: Given sharePath [/store31-a], not found in snap"},
        {"<MntPath>/STORE31-A</MntPath><ToTime>1</ToTime>",
         "ERROR: Given sharePath [/store31-a], not found in snap"},
        {"<MntPath>/store31-a</MntPath><ToTime>13-01-2023 00:00:00</ToTime>",
         "ERROR: Failed to parse to time string [13-01-2023 00:00:00]"},
        {"<MntPath>/store31-a</MntPath>", "ERROR: Failed to parse to time string []"},
    };
    for (const Case& c : untouched) {
        SCOPED_TRACE(c.details);
        SetProperty(31, P::kViewConfiguration, c.details);
        ClearLines();
        Response response;
        response.record.code = 55;
        EXPECT_FALSE(Create(31, "/store31-a", EXPORT_TYPE_PIT, response));
        EXPECT_EQ(55, response.code());
        EXPECT_EQ(nullptr, response.record.text);
        EXPECT_LOGGED(-1, c.logLine);
        EXPECT_EQ(0u, ShareIdOf("/store31-a"));
    }

    Db().SetStatusOverride(31, "getQuayViewConfiguration", 4);
    Response unreadable;
    EXPECT_FALSE(Create(31, "/store31-a", EXPORT_TYPE_PIT, unreadable));
    EXPECT_EQ(1, unreadable.code());
    EXPECT_EQ("Failed to get snap details.", unreadable.text());
    EXPECT_LOGGED(-1, "ERROR: Failed to get snap details. Create Export failed for share "
                      "[/store31-a].");
    Db().ClearStatusOverrides();

    SetProperty(31, P::kViewConfiguration, Tag("MntPath", "/store31-a") + Tag("ToTime", "5"));
    Db().SetStatusOverride(31, "getQuayAnonGid", 4);
    Response anonGid;
    EXPECT_FALSE(Create(31, "/store31-a", EXPORT_TYPE_PIT, anonGid));
    EXPECT_EQ("Failed to get anonymous gid.", anonGid.text());
    EXPECT_EQ(0u, Calls(31, "getQuayACLEnableFlag"));
    EXPECT_EQ(0u, ShareIdOf("/store31-a"));
}

TEST_F(CreatePitTest, UnsetCaseSensitivityUsesTheDefaultWithoutWritingIt) {
    Db().RemoveProperty(31, P::kIsCaseSensitive);
    SetProperty(31, P::kViewConfiguration, Tag("MntPath", "/store31-a") + Tag("ToTime", "5"));
    MustCreate(31, "/store31-a", EXPORT_TYPE_PIT);
    EXPECT_LOGGED(1, "CaseSensitive property is not set. Will use default value [1]");
    EXPECT_EQ(0u, Calls(90, "setQuayIsCaseSensitive"));
    EXPECT_EQ("<unset>", Property(90, P::kIsCaseSensitive));
}

}  // namespace
