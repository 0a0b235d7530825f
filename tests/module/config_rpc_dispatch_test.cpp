// Configuration RPCs as the host sends them: routing by type and operation,
// the answer when the module cannot start, network services, and the
// freeing of responses by their type.
#include <cstring>

#include "host/FSMCache.h"
#include "module/fsm/ConfigRPCDispatch.h"
#include "tests/module/ExportOpsFixture.h"

using namespace exportops_test;

namespace {

// The outputs of GenericConfigRPCHandler, released like the host does.
struct RpcAnswer {
    char* response = reinterpret_cast<char*>(0x1);  // proves the handler writes it
    size_t length = 99;
    int type = 99;
    bool result = false;
    RpcAnswer() = default;
    RpcAnswer(const RpcAnswer&) = delete;
    RpcAnswer& operator=(const RpcAnswer&) = delete;
    ~RpcAnswer() {
        if (response != nullptr && response != reinterpret_cast<char*>(0x1)) {
            BackupFSM::GetFSM()->ReleaseConfigRPCMem(type, response);
        }
    }
    template <typename Record>
    Record& As() {
        return *reinterpret_cast<Record*>(response);
    }
};

std::string TextOf(const char* text) { return text != nullptr ? text : "<null>"; }

void Send(void* request, unsigned rpcType, RpcAnswer& answer) {
    answer.result = BackupFSM::GetFSM()->GenericConfigRPCHandler(
        request, "caller", rpcType, answer.response, answer.length, answer.type);
}

int g_setupCalls = 0;
int g_setupArgs[2] = {0, 0};
int RecordSetup(int a, int b) {
    ++g_setupCalls;
    g_setupArgs[0] = a;
    g_setupArgs[1] = b;
    return 0;
}

class ConfigRpcDispatchTest : public ExportOpsTest {
protected:
    void SetUp() override {
        ExportOpsTest::SetUp();
        AddSubclient(11);
        ClearLines();
    }
    static QuayBackupExportReq ExportRequest(int operation, const char* path,
                                             const char* details = nullptr) {
        return QuayBackupExportReq{0, EXPORT_TYPE_OBJECT_STORE, operation, 11,
                                   const_cast<char*>(path), const_cast<char*>(details)};
    }
};

TEST_F(ConfigRpcDispatchTest, ExportRequestsRunTheirOperationWithAnExportResponse) {
    QuayBackupExportReq create = ExportRequest(1, "/store11");
    RpcAnswer created;
    Send(&create, 38141978, created);
    EXPECT_TRUE(created.result) << testsupport::Dump(Lines());
    EXPECT_EQ(38141979, created.type);
    EXPECT_EQ(16u, created.length);
    EXPECT_EQ(0, created.As<QuayBackupExportResp>().code);
    EXPECT_TRUE(Served("/store11"));

    QuayBackupExportReq update = ExportRequest(2, "/store11");
    RpcAnswer updated;
    Send(&update, 38141978, updated);
    EXPECT_TRUE(updated.result);
    EXPECT_LOGGED(1, "INFO: Updated the export with shareID [1] and sharePath [/store11]");

    // Un-export without snap details: they are read from the subclient.
    QuayBackupExportReq remove = ExportRequest(3, "/store11");
    RpcAnswer removed;
    Send(&remove, 38141978, removed);
    EXPECT_TRUE(removed.result);
    EXPECT_EQ(1u, Calls(11, "getQuayViewConfiguration"));
    EXPECT_FALSE(Served("/store11"));
}

TEST_F(ConfigRpcDispatchTest, AnUnknownOperationFailsWithAnEmptyExportResponse) {
    QuayBackupExportReq request = ExportRequest(4, "/store11");
    RpcAnswer answer;
    Send(&request, 38141978, answer);
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(38141979, answer.type);
    EXPECT_EQ(16u, answer.length);
    EXPECT_EQ(0, answer.As<QuayBackupExportResp>().code);
    EXPECT_EQ(nullptr, answer.As<QuayBackupExportResp>().text);
    EXPECT_LOGGED(-1, "ERROR: Unknown operation Type [4]");
    EXPECT_TRUE(gAllExports->List().empty());
}

TEST_F(ConfigRpcDispatchTest, AnExportTypeOutsideOneAndTwoIsReadAsTheNumberItIs) {
    // The record's 32 bits as a sender may fill them: every value is a
    // defined export type to read, and 7 is refused by number.
    auto withType = [](int operation, int32_t type) {
        QuayBackupExportReq request = ExportRequest(operation, "/store11");
        std::memcpy(&request.exportType, &type, sizeof(type));
        return request;
    };
    QuayBackupExportReq create = withType(1, 7);
    RpcAnswer created;
    Send(&create, 38141978, created);
    EXPECT_FALSE(created.result);
    EXPECT_LOGGED(-1, "ERROR: Wrong ExportType [7]");
    EXPECT_FALSE(Served("/store11"));
    for (int operation : {2, 3}) {
        QuayBackupExportReq request = withType(operation, 7);
        RpcAnswer answer;
        Send(&request, 38141978, answer);
        EXPECT_FALSE(answer.result) << operation;
    }
}

TEST_F(ConfigRpcDispatchTest, ARequestWithoutItsRecordIsRefused) {
    RpcAnswer answer;
    Send(nullptr, 38141978, answer);
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(3, answer.As<QuayBackupExportResp>().code);
    EXPECT_EQ("Invalid argument", TextOf(answer.As<QuayBackupExportResp>().text));
}

TEST_F(ConfigRpcDispatchTest, StoreRequestsGetTheirOwnResponseRecords) {
    QuayObjectStoreClientUpdateReq update{0, 11, const_cast<char*>("a"), const_cast<char*>("b"),
                                          const_cast<char*>("/none")};
    RpcAnswer updated;
    Send(&update, 38141986, updated);
    EXPECT_FALSE(updated.result);
    EXPECT_EQ(38141987, updated.type);
    EXPECT_EQ(16u, updated.length);
    EXPECT_EQ(1, updated.As<QuayObjectStoreClientUpdateResp>().code);

    QuayBackupInfoReq stats{0, 11, const_cast<char*>("/none")};
    RpcAnswer answered;
    Send(&stats, 38142000, answered);
    EXPECT_FALSE(answered.result);
    EXPECT_EQ(38142001, answered.type);
    EXPECT_EQ(32u, answered.length);
    EXPECT_EQ(28, answered.As<QuayBackupInfoResp>().code);
}

TEST_F(ConfigRpcDispatchTest, AnUnknownTypeGetsNoResponse) {
    RpcAnswer answer;
    Send(nullptr, 5, answer);
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(nullptr, answer.response);
    EXPECT_EQ(0u, answer.length);
    EXPECT_EQ(0, answer.type);
    EXPECT_LOGGED(-1, "ERROR: BackupFSM does not support RPC type [5]");
}

TEST_F(ConfigRpcDispatchTest, NetworkServicesAreBroughtUpOnlyWhileTheyAreDown) {
    g_setupCalls = 0;
    QuayServiceGlobals::setupNWSvcCB = &RecordSetup;
    QuayServiceGlobals::networkServicesStarted = true;
    QuayServiceGlobals::portMapperRegistered = false;
    RpcAnswer first;
    Send(nullptr, 5, first);
    EXPECT_EQ(1, g_setupCalls);
    EXPECT_EQ(1, g_setupArgs[0]);
    EXPECT_EQ(1, g_setupArgs[1]);

    QuayServiceGlobals::portMapperRegistered = true;
    RpcAnswer second;
    Send(nullptr, 5, second);
    EXPECT_EQ(1, g_setupCalls);
    QuayServiceGlobals::setupNWSvcCB = nullptr;
}

TEST_F(ConfigRpcDispatchTest, ResponsesAreFreedByTheirTypeAndRequestTypesAreRefused) {
    BackupFSM* module = BackupFSM::GetFSM();
    auto* exportResp = new QuayBackupExportResp();
    exportResp->text = strdup("export");
    module->ReleaseConfigRPCMem(38141979, exportResp);
    auto* cacheResp = new QuayCacheConfigResp();
    cacheResp->text = strdup("cache");
    module->ReleaseConfigRPCMem(38141985, cacheResp);
    auto* updateResp = new QuayObjectStoreClientUpdateResp();
    updateResp->text = strdup("update");
    module->ReleaseConfigRPCMem(38141987, updateResp);
    auto* infoResp = new QuayBackupInfoResp();
    infoResp->text = strdup("info");
    infoResp->list.count = 2;
    infoResp->list.items = new QuayBackupInfo[2];
    for (int i = 0; i < 2; ++i) {
        infoResp->list.items[i].name = strdup("name");
        infoResp->list.items[i].value = strdup("value");
    }
    module->ReleaseConfigRPCMem(38142001, infoResp);
    module->ReleaseConfigRPCMem(38142001, nullptr);
    EXPECT_TRUE(Lines().empty()) << testsupport::Dump(Lines());

    // A request type names no response: nothing is freed (the sanitizer
    // build would report the use below otherwise).
    auto* notFreed = new QuayBackupExportResp();
    module->ReleaseConfigRPCMem(38141978, notFreed);
    EXPECT_LOGGED(-1, "ERROR: BackupFSM does not support RPC type [38141978]");
    notFreed->code = 3;  // still ours
    ReleaseBackupExportMem(notFreed);
}

TEST_F(ConfigRpcDispatchTest, FillErrorResponseLeavesUnknownTypesUntouched) {
    char sentinel = 0;
    char* response = &sentinel;
    size_t length = 7;
    int type = 7;
    FillErrorResponse(38141979, response, length, type, 1, "text");
    EXPECT_EQ(&sentinel, response);
    EXPECT_EQ(7u, length);
    EXPECT_EQ(7, type);
    EXPECT_LOGGED(-1, "ERROR: BackupFSM does not support RPC type [38141979]");
}

// The module cannot start: every request type answers code 49.
class ConfigRpcWithoutModuleTest : public testsupport::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        gQuayTimerObj.SetManualMode(true);
        gQuayTimerObj.Clear();
        FSMCache::FailNextInit(4, CPelError(EIO, "no cache"));
    }
};

TEST_F(ConfigRpcWithoutModuleTest, EveryRequestTypeAnswers49) {
    RpcAnswer exportAnswer;
    Send(nullptr, 38141978, exportAnswer);
    EXPECT_FALSE(exportAnswer.result);
    EXPECT_EQ(38141979, exportAnswer.type);
    EXPECT_EQ(16u, exportAnswer.length);
    EXPECT_EQ(49, exportAnswer.As<QuayBackupExportResp>().code);
    EXPECT_EQ("Failed to initialize BackupFSM module",
              TextOf(exportAnswer.As<QuayBackupExportResp>().text));

    RpcAnswer updateAnswer;
    Send(nullptr, 38141986, updateAnswer);
    EXPECT_EQ(38141987, updateAnswer.type);
    EXPECT_EQ(16u, updateAnswer.length);
    EXPECT_EQ(49, updateAnswer.As<QuayObjectStoreClientUpdateResp>().code);

    RpcAnswer statsAnswer;
    Send(nullptr, 38142000, statsAnswer);
    EXPECT_FALSE(statsAnswer.result);
    EXPECT_EQ(38142001, statsAnswer.type);
    EXPECT_EQ(32u, statsAnswer.length);
    QuayBackupInfoResp& stats = statsAnswer.As<QuayBackupInfoResp>();
    EXPECT_EQ(49, stats.code);
    EXPECT_EQ("Failed to initialize BackupFSM module", TextOf(stats.text));
    EXPECT_EQ(0u, stats.list.count);
    EXPECT_EQ(nullptr, stats.list.items);

    ClearLines();
    RpcAnswer unknown;
    Send(nullptr, 5, unknown);
    EXPECT_FALSE(unknown.result);
    EXPECT_EQ(nullptr, unknown.response);
    EXPECT_EQ(0, unknown.type);
    EXPECT_LOGGED(-1, "Error: Failed to initialize BackupFSM: Cannot proceed further.");
    EXPECT_LOGGED(-1, "ERROR: BackupFSM does not support RPC type [5]");
    EXPECT_FALSE(BackupFSM::fsmInited);
}

}  // namespace
