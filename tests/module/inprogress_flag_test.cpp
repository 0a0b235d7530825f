// The timer task that retries clearing subclients' in-progress flags.
#include "configclient/ConfigDatabase.h"
#include "configclient/Subclient.h"
#include "host/QuayServiceGlobals.h"
#include "module/fsm/BackupFSM.h"
#include "tests/support/TestEnvironment.h"

namespace {

class InProgressFlagTest : public testsupport::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ConfigDatabase& db = ConfigDatabase::Instance();
        db.AddClient(1, "client1");
        for (unsigned long id : {11ul, 12ul, 13ul}) {
            db.AddSubclient(id, 1, "sc" + std::to_string(id), 0);
            db.SetProperty(id, "quayConfigOperationInProgress", "1");
        }
    }
    int FlagClears(unsigned long id) {
        return static_cast<int>(ConfigDatabase::Instance().CallCount(id, "setQuayConfigOperationInProgress"));
    }
    std::list<int> List() {
        ZelCriticalSectionLock lock(BackupFSM::inProgressCS);
        return BackupFSM::inProgressList;
    }
};

TEST_F(InProgressFlagTest, AnIdAddedTwiceIsClearedTwiceOnOneTick) {
    BackupFSM::AddToInprogressList(11);
    BackupFSM::AddToInprogressList(11);
    EXPECT_EQ(0, BackupFSM::SetInProgressFlag(nullptr));
    EXPECT_EQ(2, FlagClears(11));
    EXPECT_EQ(2, testsupport::CountLines(Lines(),
                                         "INFO: Reset In progress flag for subclient id [11] is succeeded"));
    EXPECT_LOGGED(4, "INFO: Flushing App manager client side code");
    EXPECT_TRUE(List().empty());
    std::string flag;
    EXPECT_EQ(0, ConfigDatabase::Instance().GetProperty(11, "quayConfigOperationInProgress", flag));
    EXPECT_EQ("0", flag);
}

TEST_F(InProgressFlagTest, AFailingIdStaysForTheNextTickWhileOthersLeave) {
    ConfigDatabase::Instance().SetStatusOverride(12, "setQuayConfigOperationInProgress", 7);
    BackupFSM::AddToInprogressList(12);
    BackupFSM::AddToInprogressList(13);
    BackupFSM::SetInProgressFlag(nullptr);
    EXPECT_LOGGED(-1, "ERROR: Failed to set in progress flag for subcleint id [12]");
    EXPECT_LOGGED(1, "INFO: Reset In progress flag for subclient id [13] is succeeded");
    EXPECT_EQ(std::list<int>({12}), List());

    // Still failing: tried again on every tick.
    BackupFSM::SetInProgressFlag(nullptr);
    EXPECT_EQ(2, FlagClears(12));
    EXPECT_EQ(std::list<int>({12}), List());

    ConfigDatabase::Instance().ClearStatusOverrides();
    ClearLines();
    BackupFSM::SetInProgressFlag(nullptr);
    EXPECT_LOGGED(1, "INFO: Reset In progress flag for subclient id [12] is succeeded");
    EXPECT_TRUE(List().empty());
}

TEST_F(InProgressFlagTest, AMissingSubclientIsRemovedWithoutClearing) {
    BackupFSM::AddToInprogressList(99);
    BackupFSM::AddToInprogressList(11);
    BackupFSM::SetInProgressFlag(nullptr);
    EXPECT_LOGGED(-1, "ERROR: Subclient [99] is missing. Removing subclient form timer task list "
                      "(in process flag reset)");
    EXPECT_EQ(0, FlagClears(99));
    EXPECT_EQ(1, FlagClears(11));
    EXPECT_TRUE(List().empty());
}

TEST_F(InProgressFlagTest, OtherLookupStatusesStillTryToClear) {
    ConfigDatabase::Instance().SetStatusOverride(11, "lookup", 3);
    BackupFSM::AddToInprogressList(11);
    BackupFSM::SetInProgressFlag(nullptr);
    EXPECT_EQ(1, FlagClears(11));
    EXPECT_TRUE(List().empty());
}

TEST_F(InProgressFlagTest, AnEmptyListNeitherLogsNorFlushes) {
    const uint64_t flushesBefore = ConfigDatabase::Instance().CallCount(0, "EnableAppMgrClientMessageCache(false)");
    EXPECT_EQ(0, BackupFSM::SetInProgressFlag(nullptr));
    EXPECT_TRUE(Lines().empty()) << testsupport::Dump(Lines());
    EXPECT_EQ(flushesBefore, ConfigDatabase::Instance().CallCount(0, "EnableAppMgrClientMessageCache(false)"));
}

TEST_F(InProgressFlagTest, TheRegisteredTaskRunsOnEachTimerTick) {
    gQuayTimerObj.SetManualMode(true);
    gQuayTimerObj.Clear();
    ASSERT_NE(nullptr, BackupFSM::FSMInit());
    BackupFSM::AddToInprogressList(13);
    gQuayTimerObj.Tick();
    EXPECT_EQ(1, FlagClears(13));
    EXPECT_TRUE(List().empty());
}

}  // namespace
