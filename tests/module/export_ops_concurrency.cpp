// Export operations on several threads at once: creations of one subclient
// kept apart, creations of many subclients side by side, the re-export
// threads at start, unload waiting for them, and store RPCs beside updates.
#include <atomic>
#include <chrono>
#include <thread>

#include "module/exportops/ObjectStoreClientOps.h"
#include "module/exportops/UpdateExport.h"
#include "tests/module/ReExportFixture.h"

using namespace exportops_test;

namespace {

class ExportOpsConcurrencyTest : public ReExportTest {
protected:
    void TearDown() override {
        RestoreLogWriter();
        ReExportTest::TearDown();
    }
    // Routes the module's lines through gate; call before starting threads.
    void InstallGate(GateLogWriter& gate) {
        original_ = g_ptrLogWriter;
        g_ptrLogWriter = &gate;
    }
    void RestoreLogWriter() {
        if (original_ != nullptr) g_ptrLogWriter = original_;
        original_ = nullptr;
    }
    LogWriter* original_ = nullptr;
};

TEST_F(ExportOpsConcurrencyTest, ACreationWhileOneForTheSubclientRunsAnswers18AtOnce) {
    AddSubclient(11);
    GateLogWriter gate("INFO: Exporting the share [/store11] subclient [11] scpSubclient [0]");
    InstallGate(gate);
    bool firstCreated = false;
    std::thread first([&] {
        Response response;
        firstCreated = Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response);
    });
    gate.WaitUntilHeld();
    EXPECT_EQ(1u, BackupFSMGlobals::sharesInInit.count(11));

    Response second;
    EXPECT_FALSE(Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, second));
    EXPECT_EQ(18, second.code());
    EXPECT_EQ("share is already exported", second.text());
    EXPECT_EQ(0u, ShareIdOf("/store11"));  // the first has not got that far

    gate.Open();
    first.join();
    EXPECT_TRUE(firstCreated);
    EXPECT_TRUE(Served("/store11"));
    EXPECT_TRUE(BackupFSMGlobals::sharesInInit.empty());
    RestoreLogWriter();
}

TEST_F(ExportOpsConcurrencyTest, RacingCreationsOfOneShareServeItOnce) {
    AddSubclient(11);
    const int kThreads = 4;
    std::atomic<int> ready(0);
    std::atomic<int> created(0);
    std::atomic<int> answered18(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            Response response;
            if (Create(11, "/store11", EXPORT_TYPE_OBJECT_STORE, response)) {
                ++created;
            } else if (response.code() == 18) {
                ++answered18;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(1, created.load());
    EXPECT_EQ(kThreads - 1, answered18.load());
    EXPECT_EQ(1u, gAllExports->List().size());
}

TEST_F(ExportOpsConcurrencyTest, CreationsOfDifferentSubclientsRunSideBySide) {
    const int kStores = 6;
    for (int i = 1; i <= kStores; ++i) AddSubclient(20 + i);
    std::vector<std::thread> threads;
    std::atomic<int> created(0);
    for (int i = 1; i <= kStores; ++i) {
        threads.emplace_back([&, i] {
            Response response;
            if (Create(20 + i, "/store" + std::to_string(20 + i), EXPORT_TYPE_OBJECT_STORE, response)) {
                ++created;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(kStores, created.load());
    std::set<unsigned int> ids;
    for (const ExportPtr& exp : gAllExports->List()) ids.insert(exp->GetShareId());
    EXPECT_EQ(static_cast<size_t>(kStores), ids.size());
}

TEST_F(ExportOpsConcurrencyTest, EveryStoreComesBackOnItsOwnThreadAtStart) {
    const int kStores = 5;
    for (int i = 1; i <= kStores; ++i) {
        const std::string name = "store" + std::to_string(30 + i);
        AddStore(30 + i, name, kThisServer, View("/" + name + "-a"));
    }
    StartAndSettle();
    for (int i = 1; i <= kStores; ++i) {
        const std::string name = "store" + std::to_string(30 + i);
        EXPECT_EQ(NFSSharesEx::kDone, StatusOf(name)) << name;
        EXPECT_TRUE(Served("/" + name)) << name;
        EXPECT_TRUE(Served("/" + name + "-a")) << name;
    }
    Unload();
}

TEST_F(ExportOpsConcurrencyTest, UnloadWaitsForTheStoreThreadsBeforeTheContainerGoes) {
    AddStore(11, "store11", kThisServer);
    GateLogWriter gate("INFO: AddNFSExport: sharePath [/store11]");
    InstallGate(gate);
    BackupFSM::GetFSM()->FinalizeExports();
    gate.WaitUntilHeld();

    std::atomic<bool> unloaded(false);
    std::thread unloader([&] {
        Unload();
        unloaded = true;
    });
    // Cannot finish while the store's thread is held; a broken unload would
    // also free the container under it (the sanitizer build reports that).
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(unloaded.load());
    gate.Open();
    unloader.join();
    EXPECT_TRUE(unloaded.load());
    EXPECT_EQ(nullptr, BackupFSM::GetObjContainer());
    EXPECT_TRUE(Logged(1, "INFO: shutdown announced. Exiting thread."));
    RestoreLogWriter();
}

TEST_F(ExportOpsConcurrencyTest, StoreRequestsRunBesideUpdatesOfTheShare) {
    AddSubclient(11);
    MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
    const int kRounds = 20;
    std::thread updater([&] {
        for (int i = 0; i < kRounds; ++i) {
            SetProperty(11, PropertyNames::kCopyPrecedence, std::to_string(i));
            ZelCriticalSectionLock lock(BackupFSM::GetFSM()->exportOperationCS);
            Response response;
            std::string path = "/store11";
            EXPECT_TRUE(UpdateExport(11, path, EXPORT_TYPE_OBJECT_STORE, response.get()));
        }
    });
    std::thread reader([&] {
        for (int i = 0; i < kRounds; ++i) {
            QuayBackupInfoReq stats{0, 11, const_cast<char*>("/store11")};
            char* response = nullptr;
            size_t length = 0;
            int type = 0;
            EXPECT_TRUE(getBackupStat(&stats, response, length, type));
            ReleaseBackupInfoMem(response);
            QuayObjectStoreClientUpdateReq update{0, 11, const_cast<char*>("a"),
                                                  const_cast<char*>("b"),
                                                  const_cast<char*>("/store11")};
            EXPECT_TRUE(updateObjectStoreClient(&update, response, length, type));
            ReleaseUpdateClientMem(response);
        }
    });
    updater.join();
    reader.join();
    EXPECT_EQ(static_cast<unsigned int>(kRounds - 1), Served("/store11")->GetCopyPrecedence());
}

}  // namespace
