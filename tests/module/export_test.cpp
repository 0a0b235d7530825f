// BackupFSMExport: initial values, accessors, opening its store with the full
// configuration, every failure of init, and rebuilding from saved parameters.
#include "module/export/BackupFSMExport.h"

#include <cerrno>
#include <cstdio>

#include <gtest/gtest.h>

#include "module/filehandle/BackupFSMFileHandle.h"
#include "tests/module/ExportFixture.h"

namespace {

using moduletest::kSubclientId;

class ExportTest : public moduletest::ExportFixture {
protected:
    std::string Param(const Export& exp, const std::string& key) {
        std::string value;
        EXPECT_TRUE(exp.GetOptionalParam(key, value)) << key;
        return value;
    }
    std::string Address(const void* p) {
        char text[32];
        snprintf(text, sizeof(text), "%p", p);
        return text;
    }
};

TEST_F(ExportTest, FreshExportHasInitialValues) {
    auto exp = MakeExport("/store", 7);
    EXPECT_EQ(0u, exp->GetObjStoreIndex());
    EXPECT_EQ(0u, exp->GetSubClientID());
    EXPECT_FALSE(exp->GetSupportDNFS());
    EXPECT_EQ(0, exp->GetEnabledVersions());
    EXPECT_EQ(60, exp->GetVersionInterval());
    EXPECT_EQ("", exp->GetUserIds());
    EXPECT_EQ("", exp->GetGroupIds());
    EXPECT_TRUE(exp->GetCaseSensitive());
    EXPECT_EQ(4, exp->GetFSModuleType());
    EXPECT_FALSE(exp->GetRootHandle());
    EXPECT_EQ(7u, exp->GetShareId());
    EXPECT_EQ("/store", exp->GetPath());
    // Empty sets admit everybody.
    EXPECT_TRUE(exp->isUserIdAllowed(12345));
    EXPECT_TRUE(exp->isGroupIdAllowed(12345));

    nfs_fh3 fh;
    fh.length = 99;
    exp->GetFileHandle(CPelIPAddr{"10.0.0.1"}, fh);
    EXPECT_EQ(0u, fh.length) << "no root handle before init";
}

TEST_F(ExportTest, SettersUpdateSettingsAndSets) {
    auto exp = MakeExport("/store", 7);
    EXPECT_EQ(0, exp->SetEnabledVersions(1));
    EXPECT_EQ(0, exp->SetEnabledVersions(5));
    EXPECT_EQ(5, exp->GetEnabledVersions());
    std::string users = "1001";
    exp->SetUserIds(users);
    EXPECT_EQ("1001", exp->GetUserIds());
    EXPECT_TRUE(exp->isUserIdAllowed(1001));
    EXPECT_FALSE(exp->isUserIdAllowed(1002));
    std::string groups = "*";
    exp->SetGroupIds(groups);
    EXPECT_TRUE(exp->isGroupIdAllowed(77));
}

TEST_F(ExportTest, DestructorLogsAtLevelTen) {
    auto exp = MakeExport("/store", 7);
    const std::string text = "SinkFSMExport [" + Address(exp.get()) + "] deleted";
    exp.reset();
    EXPECT_LOGGED(10, text);
}

TEST_F(ExportTest, InitOpensLiveStoreWithFullConfiguration) {
    auto exp = MakeExport("/store", 7);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_OBJECT_STORE, 0, 1)) << testsupport::Dump(Lines());

    const ObjectStore::ObjectStoreConfig& c = exp->GetStoreConfig();
    EXPECT_EQ("/store", c.storePath);
    EXPECT_EQ(kSubclientId, c.subClientId);
    EXPECT_EQ(0777u, c.defaultAttribs.mode);
    EXPECT_EQ(0u, c.defaultAttribs.uid);
    EXPECT_EQ(0u, c.defaultAttribs.gid);
    EXPECT_EQ(10485760u, c.extentSize);
    EXPECT_EQ("", c.metadataDir);
    EXPECT_EQ(5u, c.timeoutUntilBackup);
    EXPECT_EQ(300000u, c.lockWaitMs);
    EXPECT_EQ(0, c.snapshotTime);
    EXPECT_EQ(524288000u, c.guidCacheBytes);
    EXPECT_EQ(104857600u, c.versionCacheBytes);
    EXPECT_EQ(10000, c.attribCacheEntries);
    EXPECT_EQ(10000, c.xattrCacheEntries);
    EXPECT_EQ(100000, c.dirCacheEntries);
    EXPECT_EQ(4096u, c.maxPath);
    EXPECT_EQ(10000u, c.flushAfterCount);
    EXPECT_EQ(60u, c.flushAfterSeconds);
    EXPECT_FALSE(c.readOnly) << "a live store is writable whatever writablePIT says";
    EXPECT_TRUE(c.writablePIT);
    EXPECT_EQ(4096u, c.pageSize);
    EXPECT_EQ(2u, c.copyPrecedence);
    EXPECT_EQ("0", c.snapName) << "empty snap name: the snapshot time as text";
    EXPECT_EQ("*.tmp", c.backupFilter);
    EXPECT_FALSE(c.caseSensitive);
    EXPECT_EQ(300u, c.versionInterval);
    EXPECT_FALSE(c.enabledVersions);
    EXPECT_FALSE(c.isPIT);

    EXPECT_LOGGED(1,
                  "opening the ObjectStore [/store] for Client ID [3], Subclient ID [12], "
                  "snapShotTime[0] timeoutUntilBackup [5] enabledVersions [0] readOnly [0] "
                  "writablePIT [1]");
    ASSERT_TRUE(exp->GetRootHandle());
    const std::string rootGuid = container_->getRootGuid(exp->GetObjStoreIndex());
    ASSERT_EQ(32u, rootGuid.size());
    EXPECT_LOGGED(1, "Object Store [/store] opened and root GUID [" + rootGuid + "]");
    EXPECT_STREQ(rootGuid.c_str(), exp->GetRootHandle()->guid);
    EXPECT_EQ("/", exp->GetRootHandle()->path);
    EXPECT_EQ(kSubclientId, exp->GetSubClientID());
    EXPECT_EQ(EXPORT_TYPE_OBJECT_STORE, exp->GetExportType());
    EXPECT_EQ(300, exp->GetVersionInterval());
    EXPECT_TRUE(exp->isUserIdAllowed(1002));
    EXPECT_FALSE(exp->isUserIdAllowed(1003));
    EXPECT_TRUE(exp->isGroupIdAllowed(500));
}

TEST_F(ExportTest, InitRecordsEveryOptionalParameter) {
    auto exp = MakeExport("/store", 7);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_OBJECT_STORE, -5, 0, "", true));
    const std::map<std::string, std::string> expected = {
        {"subClientID", "12"},
        {"exportType", "1"},
        {"uid", "1001,1002"},
        {"gid", "500"},
        {"extentSize", "10485760"},
        {"timeoutUntilBackup", "5"},
        {"snapshotTime", "18446744073709551611"},  // -5 printed unsigned
        {"guidCacheBytes", "524288000"},
        {"versionCacheBytes", "104857600"},
        {"attribCacheEntries", "10000"},
        {"xattrCacheEntries", "10000"},
        {"dirCacheEntries", "100000"},
        {"flushAfterCount", "10000"},
        {"flushAfterSeconds", "60"},
        {"enabledVersions", "0"},
        {"copyPrecedence", "2"},
        {"backupFilter", "*.tmp"},
        {"writablePIT", "0"},
        {"snapName", ""},
        {"supportDNFS", "1"},
        {"caseSensitive", "0"},
        {"protocols", "nfs"},
    };
    EXPECT_EQ(expected, exp->GetOptionalParams());
    EXPECT_EQ("-5", exp->GetStoreConfig().snapName) << "time before 1970 keeps its sign";
}

TEST_F(ExportTest, PitExportOpensStoreBeforeLastDashReadOnly) {
    CreateStore("/store/a-b");
    auto exp = MakeExport("/store/a-b-c", 8);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_PIT, 1700000000, 0)) << testsupport::Dump(Lines());
    const ObjectStore::ObjectStoreConfig& c = exp->GetStoreConfig();
    EXPECT_EQ("/store/a-b", c.storePath);
    EXPECT_TRUE(c.readOnly);
    EXPECT_FALSE(c.writablePIT);
    EXPECT_EQ(0555u, c.defaultAttribs.mode);
    EXPECT_EQ(1700000000, c.snapshotTime);
    EXPECT_EQ("1700000000", c.snapName);
    EXPECT_TRUE(c.isPIT);
    EXPECT_LOGGED(1,
                  "opening the ObjectStore [/store/a-b] for Client ID [3], Subclient ID [12], "
                  "snapShotTime[1700000000] timeoutUntilBackup [5] enabledVersions [0] "
                  "readOnly [1] writablePIT [0]");
}

TEST_F(ExportTest, WritablePitIsNotReadOnlyAndKeepsItsSnapName) {
    CreateStore("/store/a-b");
    auto exp = MakeExport("/store/a-b-c", 8);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_PIT, 1700000000, 1, "snap1"));
    const ObjectStore::ObjectStoreConfig& c = exp->GetStoreConfig();
    EXPECT_EQ("/store/a-b", c.storePath);
    EXPECT_FALSE(c.readOnly);
    EXPECT_TRUE(c.writablePIT);
    EXPECT_EQ("snap1", c.snapName);
}

TEST_F(ExportTest, PitPathWithoutDashStaysWhole) {
    CreateStore("/plain");
    auto exp = MakeExport("/plain", 8);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_PIT, 5, 0));
    EXPECT_EQ("/plain", exp->GetStoreConfig().storePath);
}

TEST_F(ExportTest, VersionsFollowTheSubclientProperty) {
    ASSERT_FALSE(ConfigDatabase::Instance()
                     .SetProperty(kSubclientId, "quayVersionSupportNeeded", "1")
                     .IsError());
    auto exp = MakeExport("/store", 7);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_OBJECT_STORE));
    EXPECT_LOGGED(1, "SubclientID [12] bEnableVersions = True ");
    EXPECT_EQ(1, exp->GetEnabledVersions());
    EXPECT_TRUE(exp->GetStoreConfig().enabledVersions);
    EXPECT_EQ("1", Param(*exp, "enabledVersions"));
}

TEST_F(ExportTest, VersionsOffWhenPropertyMissing) {
    auto exp = MakeExport("/store", 7);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_OBJECT_STORE));
    EXPECT_LOGGED(1, "SubclientID [12] bEnableVersions = False ");
    EXPECT_EQ(0, exp->GetEnabledVersions());
}

TEST_F(ExportTest, RootHandleIs41BytesEvenWithDnfs) {
    auto exp = MakeExport("/store", 7);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_OBJECT_STORE, 0, 0, "", true));
    EXPECT_TRUE(exp->GetSupportDNFS());
    nfs_fh3 fh;
    exp->GetFileHandle(CPelIPAddr{"10.0.0.1"}, fh);
    EXPECT_EQ(41u, fh.length);
    EXPECT_TRUE(BackupFSMFileHandle::IsValid(fh));
}

TEST_F(ExportTest, InitFailsForUnknownSubclientWithoutOpening) {
    auto exp = MakeExport("/store", 7);
    EXPECT_FALSE(Init(*exp, EXPORT_TYPE_OBJECT_STORE, 0, 0, "", false, 99));
    EXPECT_LOGGED(-1, "Error: Failed to identify subclient params from subclient id [99]");
    EXPECT_NOT_LOGGED("ObjectStore [/store] open failed");
    EXPECT_FALSE(exp->GetRootHandle());
    // Parameters and allow-lists are already in place.
    EXPECT_EQ("99", Param(*exp, "subClientID"));
    EXPECT_FALSE(exp->isUserIdAllowed(7));
}

TEST_F(ExportTest, InitFailsWhenStoreDoesNotOpen) {
    container_->faultPlan().FailNext("openObjectStore", 1, EIO);
    auto exp = MakeExport("/store", 7);
    EXPECT_FALSE(Init(*exp, EXPORT_TYPE_OBJECT_STORE));
    EXPECT_LOGGED(-1, "ObjectStore [/store] open failed");
    EXPECT_FALSE(exp->GetRootHandle());
}

TEST_F(ExportTest, InitFailsWithoutContainer) {
    BackupFSM::objectContainer = nullptr;
    auto exp = MakeExport("/store", 7);
    EXPECT_FALSE(Init(*exp, EXPORT_TYPE_OBJECT_STORE));
    EXPECT_LOGGED(-1, "ObjectStore [/store] open failed");
}

TEST_F(ExportTest, InitFailingAtRootPathClosesItsStore) {
    // Learn the store's root GUID first: it is the one the failure names.
    ObjectStore::ObjectStoreConfig config;
    config.storePath = "/store";
    uint64_t probe = 0;
    ASSERT_FALSE(container_->openObjectStore(probe, config).IsError());
    const std::string rootGuid = container_->getRootGuid(probe);
    ASSERT_FALSE(container_->closeObjectStore(probe).IsError());
    ASSERT_EQ(32u, rootGuid.size());

    container_->faultPlan().FailNext("guidToPath", 1, ENOENT);
    auto exp = MakeExport("/store", 7);
    EXPECT_FALSE(Init(*exp, EXPORT_TYPE_OBJECT_STORE));
    EXPECT_LOGGED(-1, "ERROR: Root path is empty for rootGUID [" + rootGuid + "]");
    EXPECT_FALSE(exp->GetRootHandle());
    EXPECT_EQ("", container_->getRootGuid(exp->GetObjStoreIndex()))
        << "the store must be closed again";
    // What init recorded before the failure stays on the object.
    EXPECT_EQ("1001,1002", Param(*exp, "uid"));
    EXPECT_TRUE(exp->isUserIdAllowed(1001));
    EXPECT_FALSE(exp->isUserIdAllowed(1));
}

TEST_F(ExportTest, RebuildingRestoresSettingsAndKeepsTheFilter) {
    ExportPtr parent;
    Export saved("/store", SHARE_PERM_READ_WRITE, "*", 9, parent);
    saved.SetOptionalParam("uid", "1001");
    saved.SetOptionalParam("gid", "500,501");
    saved.SetOptionalParam("subClientID", "4294967308");  // low 32 bits: 12
    saved.SetOptionalParam("exportType", "2");
    saved.SetOptionalParam("snapshotTime", "1700000000");
    saved.SetOptionalParam("enabledVersions", "1");
    saved.SetOptionalParam("copyPrecedence", "4");
    saved.SetOptionalParam("writablePIT", "1");
    saved.SetOptionalParam("backupFilter", "*.bak");
    saved.SetOptionalParam("supportDNFS", "1");
    saved.SetOptionalParam("caseSensitive", "0");
    saved.SetOptionalParam("protocols", "smb");

    BackupFSMExport rebuilt(saved);
    EXPECT_EQ("1001", rebuilt.GetUserIds());
    EXPECT_EQ("500,501", rebuilt.GetGroupIds());
    EXPECT_FALSE(rebuilt.isUserIdAllowed(1000));
    EXPECT_TRUE(rebuilt.isGroupIdAllowed(501));
    EXPECT_EQ(12u, rebuilt.GetSubClientID());
    EXPECT_EQ(EXPORT_TYPE_PIT, rebuilt.GetExportType());
    EXPECT_EQ(1700000000, rebuilt.GetSnapshotTime());
    EXPECT_EQ(1, rebuilt.GetEnabledVersions());
    EXPECT_EQ(4u, rebuilt.GetCopyPrecedence());
    EXPECT_EQ(1u, rebuilt.GetWritablePIT());
    EXPECT_TRUE(rebuilt.GetSupportDNFS());
    EXPECT_TRUE(rebuilt.GetCaseSensitive()) << "caseSensitive is not read back";
    std::string filter;
    rebuilt.GetBackupFilter(filter);
    EXPECT_EQ("*.bak", filter);
    EXPECT_EQ(0u, rebuilt.GetObjStoreIndex());
    EXPECT_FALSE(rebuilt.GetRootHandle());
    EXPECT_EQ(9u, rebuilt.GetShareId());
    EXPECT_LOGGED(1, "enabledVersions = 1");
    EXPECT_LOGGED(1, "copyPrecedence = 4");
    EXPECT_LOGGED(1, "writablePIT = 1");
    EXPECT_LOGGED(1, "backupFilter = *.bak");
    EXPECT_LOGGED(1, "supportDNFS = 1");
}

TEST_F(ExportTest, RebuildingWithoutParametersKeepsInitialValues) {
    ExportPtr parent;
    Export saved("/store", SHARE_PERM_READ_ONLY, "", 9, parent);
    BackupFSMExport rebuilt(saved);
    EXPECT_EQ(0u, rebuilt.GetSubClientID());
    EXPECT_EQ(0u, rebuilt.GetCopyPrecedence());
    EXPECT_EQ(0u, rebuilt.GetWritablePIT());
    EXPECT_EQ(60, rebuilt.GetVersionInterval());
    EXPECT_TRUE(rebuilt.isUserIdAllowed(1));
    EXPECT_TRUE(Lines().empty()) << testsupport::Dump(Lines());
}

TEST_F(ExportTest, RebuildingRoundTripsWhatInitRecorded) {
    auto exp = MakeExport("/store", 7);
    ASSERT_TRUE(Init(*exp, EXPORT_TYPE_OBJECT_STORE, -5, 1, "", true));
    BackupFSMExport rebuilt(static_cast<const Export&>(*exp));
    EXPECT_EQ(kSubclientId, rebuilt.GetSubClientID());
    EXPECT_EQ(-5, rebuilt.GetSnapshotTime());
    EXPECT_EQ(2u, rebuilt.GetCopyPrecedence());
    EXPECT_EQ("1001,1002", rebuilt.GetUserIds());
    EXPECT_TRUE(rebuilt.GetSupportDNFS());
}

}  // namespace
