// Module start-up: identity, one-time initialisation, registry switches,
// disk-cache and container failures with recovery, the index-cache report.
#include <fstream>

#include <sys/stat.h>

#include "configclient/ConfigDatabase.h"
#include "host/FSMCache.h"
#include "host/QuayServiceGlobals.h"
#include "module/fsm/BackupFSM.h"
#include "objectstore/FaultPlan.h"
#include "tests/support/TestEnvironment.h"

namespace {

class FSMInitTest : public testsupport::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        gQuayTimerObj.SetManualMode(true);
        gQuayTimerObj.Clear();
    }
    size_t TimerRegistrations() { return gQuayTimerObj.Registrations().size(); }
};

TEST_F(FSMInitTest, IdentityAnswersBeforeInitialisation) {
    FSM* module = LoadFSM();
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(module, LoadFSM());
    EXPECT_EQ("BackupFSM", module->GetFSMName());
    EXPECT_EQ(4, module->GetFSMType());
    EXPECT_EQ("Using this FSM, NFS Clients can use the exported NFS share as backup target.",
              module->GetFSMDetails());
    EXPECT_FALSE(BackupFSM::fsmInited);
    EXPECT_EQ(nullptr, BackupFSM::GetObjContainer());
}

TEST_F(FSMInitTest, FirstInitStartsEverythingOnceAndRegistersTheTimerOnce) {
    BackupFSM* first = BackupFSM::FSMInit();
    ASSERT_NE(nullptr, first);
    EXPECT_TRUE(BackupFSM::fsmInited);
    EXPECT_NE(nullptr, BackupFSM::GetObjContainer());
    EXPECT_LOGGED(1, "Cache Migration not in Progress. Setting Cache Status Online");
    EXPECT_LOGGED(1, "INFO: Cache status set Online on QX");
    ASSERT_EQ(1u, TimerRegistrations());
    const ZelTimer::Registration reg = gQuayTimerObj.Registrations()[0];
    EXPECT_EQ(3, reg.task);
    EXPECT_EQ(60000ul, reg.periodMs);
    EXPECT_EQ(0, reg.flags);
    EXPECT_EQ(nullptr, reg.argument);
    EXPECT_EQ(&BackupFSM::SetInProgressFlag, reg.callback);

    ClearLines();
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    EXPECT_EQ(first, BackupFSM::FSMInit());
    EXPECT_EQ(container, BackupFSM::GetObjContainer());
    EXPECT_EQ(1u, TimerRegistrations());
    EXPECT_TRUE(Lines().empty()) << testsupport::Dump(Lines());
}

TEST_F(FSMInitTest, DiskCacheFailureFailsAndTheNextCallStartsAgain) {
    FSMCache::FailNextInit(1, CPelError(EIO, "cache folder unusable"));
    EXPECT_EQ(nullptr, BackupFSM::FSMInit());
    EXPECT_LOGGED(-1, "Error: Failed to initialize disk cache [" +
                          CPelError(EIO, "cache folder unusable").AsString() + "]");
    EXPECT_FALSE(BackupFSM::fsmInited);
    EXPECT_EQ(nullptr, BackupFSM::GetObjContainer());
    EXPECT_EQ(0u, TimerRegistrations());

    EXPECT_NE(nullptr, BackupFSM::FSMInit());
    EXPECT_TRUE(BackupFSM::fsmInited);
    EXPECT_EQ(1u, TimerRegistrations());
}

TEST_F(FSMInitTest, ContainerFailureDiscardsTheContainerAndTheNextCallInitialisesAgain) {
    ObjectStore::FaultPlan::Global().FailNext("init", 1, EIO);
    EXPECT_EQ(nullptr, BackupFSM::FSMInit());
    EXPECT_LOGGED(-1, "ERROR: Could not initialize objectContainer");
    EXPECT_EQ(nullptr, BackupFSM::GetObjContainer());
    EXPECT_FALSE(BackupFSM::fsmInited);
    EXPECT_EQ(0u, TimerRegistrations());

    EXPECT_NE(nullptr, BackupFSM::FSMInit());
    ASSERT_NE(nullptr, BackupFSM::GetObjContainer());
    EXPECT_EQ(1, ObjectStore::FaultPlan::Global().Injected("init"));
    EXPECT_EQ(1u, TimerRegistrations());
}

TEST_F(FSMInitTest, CacheMigrationInProgressSendsNoStatusAndStillSucceeds) {
    const std::string cacheDir = dataDir_.path() + "/cache";
    ASSERT_EQ(0, mkdir(cacheDir.c_str(), 0755));
    std::ofstream(cacheDir + "/" + ObjectStore::kCacheMigrationMarker) << "moving\n";

    EXPECT_NE(nullptr, BackupFSM::FSMInit());
    EXPECT_NOT_LOGGED("Cache Migration not in Progress. Setting Cache Status Online");
    EXPECT_NOT_LOGGED("INFO: Cache status set Online on QX");
    EXPECT_EQ(0u, ConfigDatabase::Instance().CallCount(0, "setIndexCacheOnlineOffline"));
    EXPECT_EQ(1u, TimerRegistrations());
}

TEST_F(FSMInitTest, IndexCacheStatusFailureIsOnlyLogged) {
    ConfigDatabase::Instance().SetStatusOverride(0, "setIndexCacheOnlineOffline", 5);
    EXPECT_NE(nullptr, BackupFSM::FSMInit());
    EXPECT_LOGGED(-1, "ERROR: Cache Status set failed.");
    EXPECT_NOT_LOGGED("INFO: Cache status set Online on QX");
    EXPECT_TRUE(BackupFSM::fsmInited);
}

TEST_F(FSMInitTest, UnloadFreesTheContainerAndForgetsTheSingleton) {
    BackupFSM* module = BackupFSM::FSMInit();
    ASSERT_NE(nullptr, module);
    EXPECT_TRUE(module->UnloadFSM());
    EXPECT_EQ(nullptr, BackupFSM::GetObjContainer());
    EXPECT_EQ(nullptr, BackupFSM::backupFSM);
    EXPECT_TRUE(BackupFSM::timerEvent.IsSet());
    EXPECT_TRUE(BackupFSM::fsmInited);  // not reset: the host deletes the object next
    delete module;
}

// Registry switches read at initialisation.
class RegistryKeysTest : public FSMInitTest {
protected:
    void TearDown() override {
        gIsSambaEnabled = 0;
        FSMInitTest::TearDown();
    }
};

TEST_F(RegistryKeysTest, AbsentKeysKeepTheDefaults) {
    BackupFSM::LoadBackupFSMRegKeys();
    EXPECT_LOGGED(1, "Info: nEnableSMBObjectStore not found, SMB Support Disabled for BackupFSM");
    EXPECT_LOGGED(1, "Info: nSyncInterval = [0] seconds");
    EXPECT_EQ(0, BackupFSMGlobals::isSambaEnabledForBackupFSM);
    EXPECT_EQ(0u, BackupFSMGlobals::syncInterval);
    EXPECT_EQ(-1, BackupFSMGlobals::versionInterval);
    for (const LogLine& line : Lines()) {
        EXPECT_EQ(std::string::npos, line.text.find("nVersionIntervalMins")) << line.text;
    }
}

TEST_F(RegistryKeysTest, SmbNeedsTheHostsSambaToo) {
    registry_->Set("nEnableSMBObjectStore", "1");
    gIsSambaEnabled = 0;
    BackupFSM::LoadBackupFSMRegKeys();
    EXPECT_EQ(0, BackupFSMGlobals::isSambaEnabledForBackupFSM);
    EXPECT_LOGGED(1, "Info: Enable nUSESAMBA along with nEnableSMBObjectStore to get SMB support "
                     "for BackupFSM");

    ClearLines();
    gIsSambaEnabled = 1;
    BackupFSM::LoadBackupFSMRegKeys();
    EXPECT_EQ(1, BackupFSMGlobals::isSambaEnabledForBackupFSM);
    EXPECT_LOGGED(1, "Info: SMB Support for BackupFSM Enabled");

    ClearLines();
    registry_->Set("nEnableSMBObjectStore", "0");
    BackupFSM::LoadBackupFSMRegKeys();
    EXPECT_EQ(0, BackupFSMGlobals::isSambaEnabledForBackupFSM);
    EXPECT_LOGGED(1, "Info: SMB Support for BackupFSM Disabled");
}

TEST_F(RegistryKeysTest, SyncIntervalAndVersionInterval) {
    registry_->Set("nSyncInterval", "30");
    registry_->Set("nVersionIntervalMins", "5");
    BackupFSM::LoadBackupFSMRegKeys();
    EXPECT_EQ(30u, BackupFSMGlobals::syncInterval);
    EXPECT_LOGGED(1, "Info: nSyncInterval = [30] seconds");
    EXPECT_EQ(300, BackupFSMGlobals::versionInterval);
    EXPECT_LOGGED(1, "Info: nVersionIntervalMins = [5] mins");
}

TEST_F(RegistryKeysTest, UnreadableValuesCountAsAbsent) {
    registry_->Set("nSyncInterval", "soon");
    registry_->Set("nVersionIntervalMins", "");
    BackupFSM::LoadBackupFSMRegKeys();
    EXPECT_EQ(0u, BackupFSMGlobals::syncInterval);
    EXPECT_EQ(-1, BackupFSMGlobals::versionInterval);
    EXPECT_LOGGED(1, "Info: nSyncInterval = [0] seconds");
}

TEST_F(RegistryKeysTest, InitReadsTheKeys) {
    registry_->Set("nVersionIntervalMins", "2");
    ASSERT_NE(nullptr, BackupFSM::FSMInit());
    EXPECT_EQ(120, BackupFSMGlobals::versionInterval);
}

}  // namespace
