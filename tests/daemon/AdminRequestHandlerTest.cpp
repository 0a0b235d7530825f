// Serving admin requests: the RPC records the module receives, how its
// answers become codes, saved exports after export requests, bad requests,
// and the log lines of each request.
#include <string>

#include <gtest/gtest.h>

#include "configclient/ConfigDatabase.h"
#include "daemon/AdminRequestHandler.h"
#include "daemon/ModuleRpc.h"
#include "daemon/SavedExportsFile.h"
#include "host/ExportCache.h"
#include "host/ShareIdToPathCache.h"
#include "module/fsm/ConfigRPCRecords.h"
#include "tests/daemon/DaemonTestSupport.h"
#include "tests/daemon/RecordingModule.h"

namespace {

using daemontest::DaemonTest;
using daemontest::ReadFile;

KeyValueList Request(const KeyValueList::Pairs& fields) {
    KeyValueList request;
    request.Add("version", "1");
    for (const auto& field : fields) request.Add(field.first, field.second);
    return request;
}

std::string Field(const KeyValueList& response, const char* key) {
    std::string value;
    response.Get(key, value);
    return value;
}

// What a module does on a successful create: serve the share under an id.
void ServeCreatedShare(const RecordingModule::Request& request) {
    if (request.rpcType != QUAY_RPC_BACKUP_EXPORT_REQ || request.operation != QUAY_EXPORT_OP_CREATE) return;
    ExportPtr exp(new ServedExport(request.path, ShareIdToPathCache::GetShareIdForPath(request.path, true, false)));
    gAllExports->AddExport(exp);
}

class AdminRequestHandlerTest : public DaemonTest {
protected:
    // Subclient 10 owns store "s": its shares are /s and /s-<name>.
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_EQ(0, config_.AddClient(1, "myhost").code);
        ASSERT_EQ(0, config_.DefineStore(10, 1, "s").code);
        g_ptrLogWriter->ClearCaptured();
    }

    KeyValueList Handle(const KeyValueList::Pairs& fields) { return handler_.Handle(Request(fields), "uid 0 pid 7"); }

    RecordingModule module_;
    ConfigAdmin config_{ConfigDatabase::Instance(), "nfsserver1"};
    ExportPersistence persistence_{dir_.path() + "/exports.saved", 4,
                                   [](unsigned long, const std::string&) { return true; }};
    StorePruning pruning_{ConfigDatabase::Instance(), "nfsserver1"};
    AdminRequestHandler handler_{module_, config_, persistence_, pruning_};
};

TEST_F(AdminRequestHandlerTest, ExportCreateSendsTheRecordAndSavesTheExport) {
    module_.onRequest = ServeCreatedShare;
    const KeyValueList response =
        Handle({{"command", "export"}, {"op", "create"}, {"type", "pit"}, {"subclient", "10"}, {"path", "/s-a"}});
    ASSERT_EQ(1u, module_.requests.size());
    const RecordingModule::Request& sent = module_.requests[0];
    EXPECT_EQ(static_cast<unsigned>(QUAY_RPC_BACKUP_EXPORT_REQ), sent.rpcType);
    EXPECT_EQ("uid 0 pid 7", sent.caller);
    EXPECT_EQ(EXPORT_TYPE_PIT, sent.exportType);
    EXPECT_EQ(QUAY_EXPORT_OP_CREATE, sent.operation);
    EXPECT_EQ(10u, sent.subclientId);
    EXPECT_EQ("/s-a", sent.path);
    EXPECT_FALSE(sent.hasSnap);
    ASSERT_EQ(1u, module_.releases.size());
    EXPECT_EQ(QUAY_RPC_BACKUP_EXPORT_RESP, module_.releases[0].responseType);

    EXPECT_EQ("0", Field(response, "code"));
    EXPECT_EQ("share [/s-a] exported with share id 1", Field(response, "text"));
    EXPECT_EQ((std::vector<std::string>{"1\t/s-a"}), response.GetAll("row"));
    EXPECT_NE(std::string::npos, ReadFile(dir_.path() + "/exports.saved").find("export=/s-a\nshareId=1\n"));
    EXPECT_LOGGED(1, "INFO: Admin request from [uid 0 pid 7]: export op=[create] type=[pit] subclient=[10] "
                     "path=[/s-a]");
    EXPECT_LOGGED(1, "INFO: Admin request [export] answered [0] [share [/s-a] exported with share id 1]");
}

TEST_F(AdminRequestHandlerTest, ModuleCodesPassThroughAndSilentFailuresAreNotSuccess) {
    module_.result = false;
    module_.code = 18;
    module_.text = "share is already exported";
    KeyValueList response =
        Handle({{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "10"}, {"path", "/s"}});
    EXPECT_EQ("18", Field(response, "code"));
    EXPECT_EQ("share is already exported", Field(response, "text"));

    module_.code = 0;
    module_.text = nullptr;
    response = Handle({{"command", "export"}, {"op", "update"}, {"type", "pit"}, {"subclient", "10"}, {"path", "/s-a"}});
    EXPECT_EQ("102", Field(response, "code"));
    EXPECT_EQ("the module refused the request without a reason (see the quayd log)", Field(response, "text"));

    module_.respond = false;
    response = Handle({{"command", "stats"}, {"subclient", "10"}, {"path", "/s"}});
    EXPECT_EQ("102", Field(response, "code"));
    EXPECT_EQ("the module did not answer the request (see the quayd log)", Field(response, "text"));
}

TEST_F(AdminRequestHandlerTest, UnknownResponseTypesAreReleasedButNotRead) {
    module_.responseTypeOverride = 12345;
    const KeyValueList response =
        Handle({{"command", "client-update"}, {"subclient", "10"}, {"path", "/s"}, {"first", "a"}, {"second", "b"}});
    EXPECT_EQ("102", Field(response, "code"));
    ASSERT_EQ(1u, module_.releases.size());
    EXPECT_EQ(12345, module_.releases[0].responseType);
    EXPECT_LOGGED(-1, "ERROR: RPC type [38141986] came back with response type [12345] of [16] bytes, which quayd "
                      "cannot read");
}

TEST_F(AdminRequestHandlerTest, UnexportPassesSnapDetailsAndClientUpdateHidesItsTexts) {
    Handle({{"command", "export"}, {"op", "unexport"}, {"type", "live"}, {"subclient", "10"}, {"path", "/s"},
            {"snap", "<MntPath>/s-a</MntPath>"}});
    Handle({{"command", "client-update"}, {"subclient", "10"}, {"path", "/s"}, {"first", "secret1"}, {"second", ""}});
    ASSERT_EQ(2u, module_.requests.size());
    EXPECT_TRUE(module_.requests[0].hasSnap);
    EXPECT_EQ("<MntPath>/s-a</MntPath>", module_.requests[0].snap);
    EXPECT_EQ(QUAY_EXPORT_OP_UNEXPORT, module_.requests[0].operation);
    EXPECT_EQ("secret1", module_.requests[1].first);
    EXPECT_EQ("", module_.requests[1].second);
    EXPECT_LOGGED(1, "INFO: Admin request from [uid 0 pid 7]: client-update subclient=[10] path=[/s] "
                     "first=[(not shown)] second=[(not shown)]");
}

TEST_F(AdminRequestHandlerTest, StatisticsBecomeRowsInTheModulesOrder) {
    module_.stats = {{"Total Size", "100"}, {"Files", "3"}};
    const KeyValueList response = Handle({{"command", "stats"}, {"subclient", "10"}, {"path", "/s"}});
    EXPECT_EQ("0", Field(response, "code"));
    EXPECT_EQ("2 statistics of [/s]", Field(response, "text"));
    EXPECT_EQ((std::vector<std::string>{"Total Size\t100", "Files\t3"}), response.GetAll("row"));
    ASSERT_EQ(1u, module_.releases.size());
    EXPECT_EQ(QUAY_RPC_BACKUP_INFO_RESP, module_.releases[0].responseType);
}

TEST_F(AdminRequestHandlerTest, BadRequestsNeverReachTheModule) {
    const struct {
        KeyValueList::Pairs fields;
        const char* text;
    } cases[] = {
        {{{"command", "export"}, {"op", "delete"}, {"type", "live"}, {"subclient", "10"}, {"path", "/s"}},
         "operation [delete] must be create, update or unexport"},
        {{{"command", "export"}, {"op", "create"}, {"type", "full"}, {"subclient", "10"}, {"path", "/s"}},
         "export type [full] must be live (1) or pit (2)"},
        {{{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "ten"}, {"path", "/s"}},
         "field subclient must be a number from 1 to 2147483647, not [ten]"},
        {{{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "0"}, {"path", "/s"}},
         "field subclient must be a number from 1 to 2147483647, not [0]"},
        {{{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "10"}, {"path", "s"}},
         "share path [s] must begin with /"},
        {{{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "10"}}, "missing field path"},
        {{{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "10"}, {"path", "/s"},
          {"snap", "x"}},
         "snap details are taken by unexport only"},
        {{{"command", "stats"}, {"subclient", "10"}, {"path", std::string("/s\0x", 4)}},
         "field path must not contain NUL bytes"},
        {{{"command", "add-view"}, {"subclient", "10"}, {"path", "/s-a"}, {"toTime", "1"}, {"readOnly", "yes"}},
         "field readOnly must be 0 or 1, not [yes]"},
        {{{"command", "add-subclient"}, {"id", "2147483648"}, {"client", "1"}, {"name", "n"}},
         "field id must be a number from 1 to 2147483647, not [2147483648]: quayd brings shares back at start "
         "by signed 32-bit ids"},
        {{{"command", "add-subclient"}, {"id", "5"}, {"client", "3000000000"}, {"name", "n"}},
         "field client must be a number from 1 to 2147483647, not [3000000000]: quayd brings shares back at "
         "start by signed 32-bit ids"},
        {{{"command", "add-subclient"}, {"id", "5"}, {"client", "1"}, {"name", "n"}, {"policy", "99999999999999999999"}},
         "field policy must be a number from 0 to 2147483647, not [99999999999999999999]"},
        {{{"command", "define-store"}, {"subclient", "3000000000"}, {"client", "1"}, {"store", "s"}},
         "field subclient must be a number from 1 to 2147483647, not [3000000000]: quayd brings shares back at "
         "start by signed 32-bit ids"},
        {{{"command", "reboot"}}, "unknown command [reboot]"},
        {{}, "missing field command"},
    };
    for (const auto& c : cases) {
        const KeyValueList response = Handle(c.fields);
        EXPECT_EQ("100", Field(response, "code")) << c.text;
        EXPECT_EQ(c.text, Field(response, "text"));
    }
    KeyValueList wrongVersion;
    wrongVersion.Add("version", "2");
    wrongVersion.Add("command", "list-exports");
    EXPECT_EQ("protocol version [2] is not supported; this quayd speaks 1",
              Field(handler_.Handle(wrongVersion, "uid 0 pid 7"), "text"));
    EXPECT_TRUE(module_.requests.empty());
}

// The module reads the export type into an enumeration that holds 1 and 2
// only: any other number must stop in quayd (this suite also runs under
// UndefinedBehaviorSanitizer). Numbers 1 and 2 are taken like live and pit.
TEST_F(AdminRequestHandlerTest, ExportTypesOutsideOneAndTwoNeverReachTheModule) {
    for (const char* op : {"create", "update", "unexport"}) {
        for (const char* type : {"7", "0", "3", "-1", "4294967297", "2x"}) {
            const KeyValueList response =
                Handle({{"command", "export"}, {"op", op}, {"type", type}, {"subclient", "10"}, {"path", "/s"}});
            EXPECT_EQ("100", Field(response, "code")) << op << " " << type;
            EXPECT_EQ(std::string("export type [") + type + "] must be live (1) or pit (2)", Field(response, "text"));
        }
    }
    EXPECT_TRUE(module_.requests.empty());

    module_.code = 2;
    module_.result = false;
    Handle({{"command", "export"}, {"op", "unexport"}, {"type", "2"}, {"subclient", "10"}, {"path", "/s-a"}});
    Handle({{"command", "export"}, {"op", "unexport"}, {"type", "1"}, {"subclient", "10"}, {"path", "/s"}});
    ASSERT_EQ(2u, module_.requests.size());
    EXPECT_EQ(EXPORT_TYPE_PIT, module_.requests[0].exportType);
    EXPECT_EQ(EXPORT_TYPE_OBJECT_STORE, module_.requests[1].exportType);

    // ModuleRpc itself refuses such values as well, whoever calls it.
    ModuleRpc rpc(module_, "uid 0 pid 7");
    const AdminResult refused = ModuleRpc::ToResult(rpc.Export(QUAY_EXPORT_OP_CREATE, 7, 10, "/s", nullptr));
    EXPECT_EQ(AdminProtocol::kBadRequest, refused.code);
    EXPECT_EQ("export type [7] is neither 1 (live) nor 2 (pit)", refused.text);
    EXPECT_EQ("export operation [4] is not 1, 2 or 3",
              ModuleRpc::ToResult(rpc.Export(4, EXPORT_TYPE_PIT, 10, "/s", nullptr)).text);
    EXPECT_EQ(2u, module_.requests.size());
}

// What a module logs while it fails a create: the reason is in the log only.
void LogAFailedCreate(const RecordingModule::Request&) {
    g_ptrLogWriter->Write(1, "f", 1, 0, 0, "INFO: Exporting the share [%s]", "/s");
    g_ptrLogWriter->Write(-1, "f", 2, 0, 0, "ExtentSize [10 MB]. This extent size will be used for all new files.");
    g_ptrLogWriter->Write(1, "f", 3, 0, 0, "INFO: ObjectStore [/s] open error [%s]", "store is open in another process");
    g_ptrLogWriter->Write(-1, "f", 4, 0, 0, "ERROR: BackupFSMExport init %s\n", "Failed");
    g_ptrLogWriter->Write(-1, "f", 5, 0, 0, "INFO: Removed [10] from sharesInInit");
}

TEST_F(AdminRequestHandlerTest, AFailureCarriesTheWarningsAndErrorsItsRequestLogged) {
    module_.onRequest = LogAFailedCreate;
    module_.result = false;
    module_.code = 1;
    module_.text = "BackupFSMExport init Failed";
    KeyValueList response =
        Handle({{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "10"}, {"path", "/s"}});
    EXPECT_EQ("1", Field(response, "code"));
    EXPECT_EQ((std::vector<std::string>{"ExtentSize [10 MB]. This extent size will be used for all new files.",
                                        "INFO: ObjectStore [/s] open error [store is open in another process]",
                                        "ERROR: BackupFSMExport init Failed"}),
              response.GetAll("log"));
    // The same lines, without a failure, stay in the log only.
    module_.result = true;
    module_.code = 0;
    module_.text = nullptr;
    response = Handle({{"command", "export"}, {"op", "update"}, {"type", "live"}, {"subclient", "10"}, {"path", "/s"}});
    EXPECT_EQ("0", Field(response, "code"));
    EXPECT_FALSE(response.Has("log"));
    // A refusal of quayd's own, after a field that reads like a failure.
    response = Handle({{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "10"},
                       {"path", "/error-fail-warn"}});
    EXPECT_EQ("103", Field(response, "code"));
    EXPECT_FALSE(response.Has("log"));
}

TEST_F(AdminRequestHandlerTest, UnexportForgetsSavedExportsThatHaveNotComeBack) {
    daemontest::WriteFile(dir_.path() + "/exports.saved",
                          "format=quayd-saved-exports\nversion=1\nexport=/s-a\nshareId=3\nmoduleType=4\n"
                          "permission=rw\nparam.exportType=2\n");
    persistence_.Restore(module_);
    ASSERT_EQ(1u, persistence_.Current().size());
    module_.code = 2;
    module_.text = "Share not exported.";
    module_.result = false;
    const KeyValueList response =
        Handle({{"command", "export"}, {"op", "unexport"}, {"type", "live"}, {"subclient", "10"}, {"path", "/s"}});
    EXPECT_EQ("2", Field(response, "code"));
    EXPECT_TRUE(persistence_.Current().empty());
    EXPECT_EQ(std::string::npos, ReadFile(dir_.path() + "/exports.saved").find("/s-a"));
}

// The rights a share really has: a view that is not writable refuses
// writes even with a read-write share permission.
TEST_F(AdminRequestHandlerTest, ListExportsShowsEveryServedExportWithItsRights) {
    const struct {
        const char* path;
        SharePerms perms;
        const char* type;
        const char* writablePIT;  // null: not set
    } shares[] = {
        {"/store1", SHARE_PERM_READ_WRITE, "1", nullptr},
        {"/store1-a", SHARE_PERM_READ_ONLY, "2", "1"},
        {"/store1-b", SHARE_PERM_READ_WRITE, "2", "0"},
        {"/store1-c", SHARE_PERM_READ_WRITE, "2", "1"},
        {"/store1-d", SHARE_PERM_READ_WRITE, "2", nullptr},
    };
    unsigned int id = 0;
    for (const auto& share : shares) {
        ExportPtr exp(new ServedExport(share.path, ++id, share.perms));
        exp->SetOptionalParam("exportType", share.type);
        if (share.writablePIT != nullptr) exp->SetOptionalParam("writablePIT", share.writablePIT);
        gAllExports->AddExport(exp);
    }
    const KeyValueList response = Handle({{"command", "list-exports"}});
    EXPECT_EQ("5 exports", Field(response, "text"));
    EXPECT_EQ((std::vector<std::string>{"1\t4\tlive\trw\t/store1", "2\t4\tpit\tro\t/store1-a",
                                        "3\t4\tpit\tro\t/store1-b", "4\t4\tpit\trw\t/store1-c",
                                        "5\t4\tpit\tro\t/store1-d"}),
              response.GetAll("row"));
}

// Another subclient's rules must never serve a store's data: exports of a
// store that is another's, or nobody's, stop in quayd.
TEST_F(AdminRequestHandlerTest, OnlyTheStoresOwnerExportsIt) {
    ASSERT_EQ(0, config_.DefineStore(50, 1, "t").code);
    const struct {
        const char* op;
        const char* type;
        const char* subclient;
        const char* path;
        const char* code;
        const char* text;
    } cases[] = {
        {"create", "live", "50", "/s", "104", "store [s] of share [/s] belongs to subclient 10"},
        {"update", "live", "50", "/s", "104", "store [s] of share [/s] belongs to subclient 10"},
        {"create", "pit", "50", "/s-a", "104", "store [s] of share [/s-a] belongs to subclient 10"},
        {"unexport", "live", "50", "/s", "104", "store [s] of share [/s] belongs to subclient 10"},
        {"create", "live", "10", "/notmystore", "103",
         "store [notmystore] of share [/notmystore] is not defined; run define-store 10 <client> notmystore first"},
        {"create", "live", "10", "/s/deeper", "100",
         "share path [/s/deeper] does not name a store: a live store is /<store>, a PIT view /<store>-<name>"},
    };
    for (const auto& c : cases) {
        const KeyValueList response =
            Handle({{"command", "export"}, {"op", c.op}, {"type", c.type}, {"subclient", c.subclient}, {"path", c.path}});
        EXPECT_EQ(c.code, Field(response, "code")) << c.op << " " << c.path;
        EXPECT_EQ(c.text, Field(response, "text"));
    }
    EXPECT_TRUE(module_.requests.empty());
    // A share whose store nobody owns can still be taken down.
    module_.result = false;
    module_.code = 2;
    Handle({{"command", "export"}, {"op", "unexport"}, {"type", "live"}, {"subclient", "10"}, {"path", "/gone"}});
    EXPECT_EQ(1u, module_.requests.size());
}

TEST_F(AdminRequestHandlerTest, AStoreOrSubclientWithExportedSharesIsNotLetGo) {
    ASSERT_EQ("0", Field(Handle({{"command", "add-view"}, {"subclient", "10"}, {"path", "/s-a"}, {"toTime", "5"}}),
                         "code"));
    EXPECT_EQ("1 views of subclient 10", Field(Handle({{"command", "list-views"}, {"subclient", "10"}}), "text"));
    module_.onRequest = ServeCreatedShare;
    ASSERT_EQ("0", Field(Handle({{"command", "export"}, {"op", "create"}, {"type", "live"}, {"subclient", "10"},
                                 {"path", "/s"}}),
                         "code"));
    gAllExports->List()[0]->SetOptionalParam("exportType", "1");
    gAllExports->List()[0]->SetOptionalParam("subClientID", "10");
    KeyValueList response = Handle({{"command", "release-store"}, {"subclient", "10"}, {"store", "s"}});
    EXPECT_EQ("108", Field(response, "code"));
    EXPECT_EQ("store [s] is exported as [/s]; un-export it first", Field(response, "text"));
    response = Handle({{"command", "remove-subclient"}, {"id", "10"}});
    EXPECT_EQ("108", Field(response, "code"));
    EXPECT_EQ("subclient 10 is exported as [/s]; un-export it first", Field(response, "text"));

    gAllExports->Clear();
    response = Handle({{"command", "release-store"}, {"subclient", "10"}, {"store", "s"}});
    EXPECT_EQ("0", Field(response, "code")) << Field(response, "text");
    EXPECT_EQ("0", Field(Handle({{"command", "define-store"}, {"subclient", "50"}, {"client", "1"}, {"store", "s"}}),
                         "code"));
    EXPECT_EQ("0 views of subclient 10", Field(Handle({{"command", "list-views"}, {"subclient", "10"}}), "text"));
}

TEST_F(AdminRequestHandlerTest, DatabaseCommandsReachTheDatabase) {
    EXPECT_EQ("0", Field(Handle({{"command", "add-client"}, {"id", "2"}, {"name", "otherhost"}}), "code"));
    EXPECT_EQ("0", Field(Handle({{"command", "define-store"}, {"subclient", "20"}, {"client", "2"}, {"store", "t"}}),
                         "code"));
    EXPECT_EQ("0", Field(Handle({{"command", "add-view"}, {"subclient", "20"}, {"path", "/t-a"}, {"toTime", "5"},
                                 {"writable", "1"}}),
                         "code"));
    EXPECT_EQ("0", Field(Handle({{"command", "set-property"}, {"subclient", "20"}, {"name", "quayUsers"},
                                 {"value", "1000"}}),
                         "code"));
    const KeyValueList shown = Handle({{"command", "show-subclient"}, {"id", "20"}});
    EXPECT_EQ("subclient 20 [t] of client 2 [otherhost], policy subclient 0", Field(shown, "text"));
    bool found = false;
    for (const std::string& row : shown.GetAll("row")) found = found || row == "quayUsers\t1000";
    EXPECT_TRUE(found);
    EXPECT_EQ("0", Field(Handle({{"command", "remove-view"}, {"subclient", "20"}, {"path", "/t-a"}}), "code"));
    EXPECT_EQ("104", Field(Handle({{"command", "add-client"}, {"id", "1"}, {"name", "again"}}), "code"));
    EXPECT_EQ("0", Field(Handle({{"command", "remove-property"}, {"subclient", "20"}, {"name", "quayUsers"}}), "code"));
    EXPECT_EQ("2 subclients", Field(Handle({{"command", "list-subclients"}}), "text"));
    EXPECT_EQ("0", Field(Handle({{"command", "remove-subclient"}, {"id", "20"}}), "code"));
}

}  // namespace
