// Initialisation entered from many threads at once runs once.
#include <atomic>
#include <thread>
#include <vector>

#include "host/QuayServiceGlobals.h"
#include "module/fsm/BackupFSM.h"
#include "tests/support/TestEnvironment.h"

namespace {

class FSMInitConcurrencyTest : public testsupport::ModuleTest {};

TEST_F(FSMInitConcurrencyTest, ConcurrentCallersShareOneInitialisationAndOneTimer) {
    gQuayTimerObj.SetManualMode(true);
    gQuayTimerObj.Clear();
    constexpr int kThreads = 8;
    std::atomic<bool> go(false);
    std::vector<BackupFSM*> results(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            results[i] = BackupFSM::FSMInit();
        });
    }
    go = true;
    for (auto& t : threads) t.join();

    for (BackupFSM* result : results) {
        ASSERT_NE(nullptr, result);
        EXPECT_EQ(results[0], result);
    }
    EXPECT_EQ(1u, gQuayTimerObj.Registrations().size());
    EXPECT_EQ(1, testsupport::CountLines(Lines(), "INFO: Cache status set Online on QX"));
}

TEST_F(FSMInitConcurrencyTest, AddingWhileTheTimerWalksTheListLosesNothing) {
    constexpr int kAdds = 200;
    std::thread adder([] {
        for (int i = 0; i < kAdds; ++i) BackupFSM::AddToInprogressList(1000 + i);
    });
    for (int i = 0; i < 20; ++i) BackupFSM::SetInProgressFlag(nullptr);
    adder.join();
    BackupFSM::SetInProgressFlag(nullptr);
    // None of the subclients exists: every id is reported missing exactly once.
    int missing = 0;
    for (const LogLine& line : Lines()) {
        missing += line.text.find("is missing. Removing subclient") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(kAdds, missing);
    ZelCriticalSectionLock lock(BackupFSM::inProgressCS);
    EXPECT_TRUE(BackupFSM::inProgressList.empty());
}

}  // namespace
