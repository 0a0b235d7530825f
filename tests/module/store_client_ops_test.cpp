// The object-store client update and backup statistics RPCs: check orders,
// codes, the in-progress flag, and what reaches or comes from the store.
#include <map>

#include "module/exportops/ObjectStoreClientOps.h"
#include "tests/module/ExportOpsFixture.h"

using namespace exportops_test;

namespace {

// The outputs of one RPC handler; the record is released like the host does.
struct Answer {
    char* response = nullptr;
    size_t length = 0;
    int type = 0;
    Answer() = default;
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;
    ~Answer() {
        if (response != nullptr) BackupFSM::GetFSM()->ReleaseConfigRPCMem(type, response);
    }
    template <typename Record>
    Record& As() {
        return *reinterpret_cast<Record*>(response);
    }
};

std::string TextOf(const char* text) { return text != nullptr ? text : "<null>"; }

class StoreClientOpsTest : public ExportOpsTest {
protected:
    void SetUp() override {
        ExportOpsTest::SetUp();
        AddSubclient(11);
        MustCreate(11, "/store11", EXPORT_TYPE_OBJECT_STORE);
        store_ = Served("/store11");
        ASSERT_TRUE(store_);
        HostCallLog::Clear();
        Db().ClearCallLog();
        ClearLines();
    }
    bool UpdateClient(unsigned long id, const char* path, const char* first, const char* second,
                      Answer& answer) {
        QuayObjectStoreClientUpdateReq request{0, id, const_cast<char*>(first),
                                               const_cast<char*>(second), const_cast<char*>(path)};
        return updateObjectStoreClient(&request, answer.response, answer.length, answer.type);
    }
    bool Stats(unsigned long id, const char* path, Answer& answer) {
        QuayBackupInfoReq request{0, id, const_cast<char*>(path)};
        return getBackupStat(&request, answer.response, answer.length, answer.type);
    }
    std::string StoreClient() {
        ObjectStore::NameValueList stats;
        BackupFSM::GetObjContainer()->getObjStrGuiStats(store_->GetObjStoreIndex(), stats);
        for (const auto& pair : stats) {
            if (pair.first == "Client") return pair.second;
        }
        return "<none>";
    }
    void AddForeignExport(const std::string& path) {
        ExportPtr noParent;
        ExportPtr foreign(new Export(path, SHARE_PERM_READ_WRITE, "*",
                                     ShareIdToPathCache::GetShareIdForPath(path, true, false),
                                     noParent));
        gAllExports->AddExport(foreign);
    }
    static ObjectStore::FaultPlan& StorePlan() { return BackupFSM::GetObjContainer()->faultPlan(); }

    boost::shared_ptr<BackupFSMExport> store_;
};

TEST_F(StoreClientOpsTest, ClientUpdateReachesTheStoreInSwappedOrderAndClearsTheFlag) {
    Answer answer;
    ASSERT_TRUE(UpdateClient(11, "/store11", "first", "second", answer));
    EXPECT_EQ(38141987, answer.type);
    EXPECT_EQ(16u, answer.length);
    EXPECT_EQ(0, answer.As<QuayObjectStoreClientUpdateResp>().code);
    EXPECT_EQ(nullptr, answer.As<QuayObjectStoreClientUpdateResp>().text);
    EXPECT_EQ("second / first", StoreClient());
    EXPECT_EQ("0", Property(11, PropertyNames::kConfigOperationInProgress));
    EXPECT_LOGGED(4, "INFO: Flushing App manager client side code");
}

TEST_F(StoreClientOpsTest, EmptyClientTextsChangeNothingButStillClearTheFlag) {
    StorePlan().FailNext("updateObjectStore", 1, EIO);
    Answer answer;
    ASSERT_TRUE(UpdateClient(11, "/store11", "", nullptr, answer));
    EXPECT_EQ(0, answer.As<QuayObjectStoreClientUpdateResp>().code);
    EXPECT_EQ(0, StorePlan().Injected("updateObjectStore"));
    EXPECT_EQ("", StoreClient());
    EXPECT_EQ(1u, Calls(11, "setQuayConfigOperationInProgress"));
}

TEST_F(StoreClientOpsTest, ClientUpdateChecksSubclientThenShareIdThenExport) {
    struct Case {
        unsigned long id;
        const char* path;
        int code;
        const char* text;
        const char* logLine;
        uint64_t flagClears;
    };
    AddForeignExport("/foreign");
    ShareIdToPathCache::GetShareIdForPath("/ghost", true, false);
    const Case cases[] = {
        {77, "/none", 19, "Given subclient not found", "ERROR: Given subclient [77] not found", 0},
        {11, "/none", 1, "shareID not found", "ERROR: shareID not found for shareName [/none]", 1},
        {11, "/ghost", 1, "shareID not found",
         "ERROR: shareID found but export not found for sharePath [/ghost]", 1},
        {11, "/foreign", 2, "Wrong export object", "ERROR: Wrong export object", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Db().ClearCallLog();
        ClearLines();
        Answer answer;
        EXPECT_FALSE(UpdateClient(c.id, c.path, "a", "b", answer));
        EXPECT_EQ(38141987, answer.type);
        EXPECT_EQ(16u, answer.length);
        EXPECT_EQ(c.code, answer.As<QuayObjectStoreClientUpdateResp>().code);
        EXPECT_EQ(c.text, TextOf(answer.As<QuayObjectStoreClientUpdateResp>().text));
        EXPECT_LOGGED(-1, c.logLine);
        EXPECT_EQ(c.flagClears, Calls(c.id, "setQuayConfigOperationInProgress"));
    }
    EXPECT_EQ("", StoreClient());
}

TEST_F(StoreClientOpsTest, ARefusingStoreAnswers2AndTheFlagIsStillCleared) {
    StorePlan().FailNext("updateObjectStore", 1, EIO);
    Answer answer;
    EXPECT_FALSE(UpdateClient(11, "/store11", "a", "b", answer));
    EXPECT_EQ(2, answer.As<QuayObjectStoreClientUpdateResp>().code);
    EXPECT_EQ("object store not found", TextOf(answer.As<QuayObjectStoreClientUpdateResp>().text));
    EXPECT_EQ(1u, Calls(11, "setQuayConfigOperationInProgress"));
}

TEST_F(StoreClientOpsTest, AFlagThatCannotBeClearedGoesToTheTimerAndTheUpdateStands) {
    Db().SetStatusOverride(11, "setQuayConfigOperationInProgress", 4);
    Answer answer;
    EXPECT_TRUE(UpdateClient(11, "/store11", "a", "b", answer));
    EXPECT_EQ(std::list<int>({11}), BackupFSM::inProgressList);
    EXPECT_EQ("b / a", StoreClient());
}

TEST_F(StoreClientOpsTest, StatisticsKeepTheLibrarysOrderAsSeparateTexts) {
    ObjectStore::NameValueList expected;
    ASSERT_FALSE(BackupFSM::GetObjContainer()
                     ->getObjStrGuiStats(store_->GetObjStoreIndex(), expected)
                     .IsError());
    ASSERT_GE(expected.size(), 2u);
    Answer answer;
    ASSERT_TRUE(Stats(11, "/store11", answer));
    EXPECT_EQ(38142001, answer.type);
    EXPECT_EQ(32u, answer.length);
    QuayBackupInfoResp& resp = answer.As<QuayBackupInfoResp>();
    EXPECT_EQ(0, resp.code);
    EXPECT_EQ(nullptr, resp.text);
    ASSERT_EQ(expected.size(), resp.list.count);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].first, TextOf(resp.list.items[i].name));
        EXPECT_EQ(expected[i].second, TextOf(resp.list.items[i].value));
        EXPECT_LOGGED(5, "INFO: Backup stat: name --> value: [" + expected[i].first + "] --> [" +
                             expected[i].second + "]");
    }
    EXPECT_EQ(0u, Calls(11, "setQuayConfigOperationInProgress"));
}

TEST_F(StoreClientOpsTest, StatisticsCheckArgumentsThenShareIdThenSubclient) {
    struct Case {
        unsigned long id;
        const char* path;
        int code;
        const char* text;
        const char* logLine;
    };
    AddForeignExport("/foreign");
    const Case cases[] = {
        {0, "/store11", 3, "Invalid argument", "ERROR: Invalid argument"},
        {11, nullptr, 3, "Invalid argument", "ERROR: Invalid argument"},
        {77, "/none", 28, "shareID not found", "ERROR: shareID not found for sharePath [/none]"},
        {77, "/store11", 19, "Given subclient not found", "ERROR: Given subclient [77] not found"},
        {11, "/foreign", 2, "Wrong export object", "ERROR: Wrong export object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Db().ClearCallLog();
        ClearLines();
        Answer answer;
        EXPECT_FALSE(Stats(c.id, c.path, answer));
        EXPECT_EQ(38142001, answer.type);
        EXPECT_EQ(32u, answer.length);
        QuayBackupInfoResp& resp = answer.As<QuayBackupInfoResp>();
        EXPECT_EQ(c.code, resp.code);
        EXPECT_EQ(c.text, TextOf(resp.text));
        EXPECT_EQ(0u, resp.list.count);
        EXPECT_EQ(nullptr, resp.list.items);
        EXPECT_LOGGED(-1, c.logLine);
        if (c.code == 3 || c.code == 28) {
            EXPECT_EQ(0u, Calls(c.id, "lookup"));
        }
    }
}

TEST_F(StoreClientOpsTest, StatisticsOfAnIdWithoutExportAreEmptyAndUnreadableOnesFail) {
    ShareIdToPathCache::GetShareIdForPath("/ghost", true, false);
    Answer empty;
    EXPECT_TRUE(Stats(11, "/ghost", empty));
    EXPECT_EQ(0, empty.As<QuayBackupInfoResp>().code);
    EXPECT_EQ(0u, empty.As<QuayBackupInfoResp>().list.count);
    EXPECT_EQ(nullptr, empty.As<QuayBackupInfoResp>().list.items);

    StorePlan().FailNext("getObjStrGuiStats", 1, EIO);
    Answer failed;
    EXPECT_FALSE(Stats(11, "/store11", failed));
    EXPECT_EQ(1, failed.As<QuayBackupInfoResp>().code);
    EXPECT_EQ("Failed to get backup information", TextOf(failed.As<QuayBackupInfoResp>().text));
    EXPECT_EQ(0u, failed.As<QuayBackupInfoResp>().list.count);
    EXPECT_LOGGED(-1, "ERROR: Failed to get backup information for share [/store11]");
}

TEST_F(StoreClientOpsTest, NullRequestsAreRefusedWithARecord) {
    Answer update;
    EXPECT_FALSE(updateObjectStoreClient(nullptr, update.response, update.length, update.type));
    EXPECT_EQ(3, update.As<QuayObjectStoreClientUpdateResp>().code);
    Answer stats;
    EXPECT_FALSE(getBackupStat(nullptr, stats.response, stats.length, stats.type));
    EXPECT_EQ(3, stats.As<QuayBackupInfoResp>().code);
}

}  // namespace
