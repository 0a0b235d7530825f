// Subclient helpers: protocols property, policy subclient, the "already
// exported" answer and the creations-under-way set.
#include "module/exportops/SubclientHelpers.h"

#include <gtest/gtest.h>

#include "configclient/AppMessages.h"
#include "configclient/ConfigDatabase.h"
#include "configclient/ConfigStatus.h"
#include "configclient/Subclient.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/ConfigRPCRecords.h"
#include "tests/support/TestEnvironment.h"

namespace {

constexpr unsigned long kSubclient = 12;
constexpr unsigned long kPolicy = 40;

class SubclientHelpersTest : public testsupport::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ConfigDatabase& db = ConfigDatabase::Instance();
        ASSERT_FALSE(db.AddClient(3, "client3").IsError());
        ASSERT_FALSE(db.AddSubclient(kPolicy, 3, "policy", 0).IsError());
        ASSERT_FALSE(db.AddSubclient(kSubclient, 3, "sc12", kPolicy).IsError());
    }

    static std::string Serialized(const std::vector<int>& types) {
        App::MossgateProtocols message(30, 3078);
        *message.getlistint(1, 1, 506452600, 9910465, true) = types;
        std::string xml;
        message.serializeUnicode(xml);
        return xml;
    }

    static void SetProperty(const std::string& value) {
        ASSERT_FALSE(ConfigDatabase::Instance()
                         .SetProperty(kSubclient, "quaySupportedProtocols", value)
                         .IsError());
    }

    // The list stored in the property; false when it does not parse.
    static bool StoredList(std::vector<int>& types) {
        std::string value;
        if (ConfigDatabase::Instance().GetProperty(kSubclient, "quaySupportedProtocols", value) != 0)
            return false;
        App::MossgateProtocols message(30, 3078);
        if (message.unserialize(value) != 0) return false;
        std::vector<int>* list = message.getlistint(1, 1, 506452600, 9910465, false);
        if (list == nullptr) return false;
        types = *list;
        return true;
    }
};

TEST_F(SubclientHelpersTest, SetProtocolsKeepsKnownPiecesInOrder) {
    Subclient subclient(kSubclient);
    SetSupportedProtocols(subclient, "nfsv3,smb,ftp");
    std::vector<int> types;
    ASSERT_TRUE(StoredList(types));
    EXPECT_EQ((std::vector<int>{1, 3}), types);
    EXPECT_LOGGED(1, "Subclient Policy SubClientID [12] Setting supported protocols [" +
                         Serialized({1, 3}) + "]");
}

TEST_F(SubclientHelpersTest, SetProtocolsKeepsDuplicatesAndSkipsEmptyPieces) {
    Subclient subclient(kSubclient);
    SetSupportedProtocols(subclient, "nfsv4,,nfsv4,NFSV3,smb ");
    std::vector<int> types;
    ASSERT_TRUE(StoredList(types));
    EXPECT_EQ((std::vector<int>{2, 2}), types) << "pieces match exactly";
}

TEST_F(SubclientHelpersTest, SetProtocolsWithEmptyTextStoresEmptyList) {
    Subclient subclient(kSubclient);
    SetSupportedProtocols(subclient, "");
    std::vector<int> types = {9};
    ASSERT_TRUE(StoredList(types));
    EXPECT_TRUE(types.empty());
}

TEST_F(SubclientHelpersTest, GetProtocolsLastRecognisedEntryDecides) {
    Subclient subclient(kSubclient);
    std::string out;
    SetProperty(Serialized({2, 3}));
    ASSERT_TRUE(GetSupportedProtocols(subclient, out));
    EXPECT_EQ("smb", out);

    SetProperty(Serialized({3, 1}));
    EnableAppMgrClientMessageCache(false);
    EnableAppMgrClientMessageCache(true);
    out.clear();
    ASSERT_TRUE(GetSupportedProtocols(subclient, out));
    EXPECT_EQ("nfs", out);
}

TEST_F(SubclientHelpersTest, GetProtocolsIgnoresUnknownEntries) {
    Subclient subclient(kSubclient);
    SetProperty(Serialized({1, 7}));
    std::string out;
    ASSERT_TRUE(GetSupportedProtocols(subclient, out));
    EXPECT_EQ("nfs", out);
}

TEST_F(SubclientHelpersTest, GetProtocolsUsesUnparsableTextAsIs) {
    Subclient subclient(kSubclient);
    SetProperty("nfs,smb");
    std::string out;
    ASSERT_TRUE(GetSupportedProtocols(subclient, out));
    EXPECT_EQ("nfs,smb", out);
    EXPECT_LOGGED(-1, "Unserialize failed. protocols property [nfs,smb]. We will use it as is.");
}

TEST_F(SubclientHelpersTest, GetProtocolsWithoutListLeavesOutput) {
    Subclient subclient(kSubclient);
    App::MossgateProtocols message(30, 3078);
    std::string xml;
    message.serializeUnicode(xml);
    SetProperty(xml);
    std::string out = "before";
    EXPECT_TRUE(GetSupportedProtocols(subclient, out));
    EXPECT_EQ("before", out);
    EXPECT_LOGGED(-1, "protocolTypes is not set [" + xml + "]");
}

TEST_F(SubclientHelpersTest, GetProtocolsFailsWhenPropertyMissing) {
    Subclient subclient(kSubclient);
    std::string out = "before";
    EXPECT_FALSE(GetSupportedProtocols(subclient, out));
    EXPECT_EQ("before", out);
    EXPECT_LOGGED(-1, "Failed to get Supported Protocols property from QXDB.");
}

TEST_F(SubclientHelpersTest, PolicySubclient) {
    unsigned long policy = 0;
    EXPECT_TRUE(GetSCPolicySubclient(kSubclient, policy));
    EXPECT_EQ(kPolicy, policy);
    EXPECT_LOGGED(1, "Subclient Policy SubClientID [40]");

    policy = 77;
    EXPECT_FALSE(GetSCPolicySubclient(kPolicy, policy)) << "the policy has no policy";
    EXPECT_EQ(77u, policy);
    EXPECT_LOGGED(-1,
                  "Failed to get Associated subclient Policy Subclient Id [40]. err "
                  "[ZEL_PROP_NOT_FOUND]");

    ConfigDatabase::Instance().SetStatusOverride(kSubclient, "getSubclientPolicyId", 4);
    EXPECT_FALSE(GetSCPolicySubclient(kSubclient, policy));
    EXPECT_EQ(77u, policy);
    EXPECT_LOGGED(-1, "Failed to get Associated subclient Policy Subclient Id [12]. err [unknown]");
    ConfigDatabase::Instance().ClearStatusOverrides();
}

TEST_F(SubclientHelpersTest, DefaultCaseSensitiveIsTrue) {
    bool value = false;
    GetDefaultCaseSensitive(value);
    EXPECT_TRUE(value);
}

TEST_F(SubclientHelpersTest, AlreadyExportedAnswersAndClearsTheFlag) {
    ASSERT_FALSE(ConfigDatabase::Instance()
                     .SetProperty(kSubclient, "quayConfigOperationInProgress", "1")
                     .IsError());
    Subclient subclient(kSubclient);
    QuayBackupExportResp response;
    EXPECT_FALSE(HandleAlreadyExportedShare(&response, subclient, kSubclient));
    EXPECT_EQ(18, response.code);
    EXPECT_STREQ("share is already exported", response.text);
    EXPECT_LOGGED(1, "INFO: Share is already exported");
    std::string flag;
    ASSERT_EQ(0, ConfigDatabase::Instance().GetProperty(kSubclient, "quayConfigOperationInProgress",
                                                        flag));
    EXPECT_NE("1", flag);
    EXPECT_TRUE(BackupFSM::inProgressList.empty());
    free(response.text);
}

TEST_F(SubclientHelpersTest, AlreadyExportedHandsAFailedClearToTheTimer) {
    ConfigDatabase::Instance().SetStatusOverride(kSubclient, "setQuayConfigOperationInProgress", 4);
    Subclient subclient(kSubclient);
    QuayBackupExportResp response;
    EXPECT_FALSE(HandleAlreadyExportedShare(&response, subclient, kSubclient));
    EXPECT_EQ(18, response.code);
    EXPECT_LOGGED(-1,
                  "ERROR: Failed to reset in progress flag. Timer task will be created to reset "
                  "the flag");
    EXPECT_EQ((std::list<int>{12}), BackupFSM::inProgressList);
    ConfigDatabase::Instance().ClearStatusOverrides();
    free(response.text);
}

TEST_F(SubclientHelpersTest, SecondCreationOfSameSubclientIsAlreadyExported) {
    Subclient subclient(kSubclient);
    QuayBackupExportResp first;
    {
        ASSERT_TRUE(InsertShareInInit(kSubclient, &first, subclient));
        CleanShareInInit guard(kSubclient);
        EXPECT_EQ(1u, BackupFSMGlobals::sharesInInit.count(kSubclient));
        QuayBackupExportResp second;
        EXPECT_FALSE(InsertShareInInit(kSubclient, &second, subclient));
        EXPECT_EQ(18, second.code);
        free(second.text);
        EXPECT_EQ(0, first.code);
    }
    EXPECT_EQ(0u, BackupFSMGlobals::sharesInInit.count(kSubclient));
    EXPECT_LOGGED(1, "INFO: Removed [12] from sharesInInit");
    QuayBackupExportResp third;
    EXPECT_TRUE(InsertShareInInit(kSubclient, &third, subclient)) << "free again after the guard";
    CleanShareInInit cleanup(kSubclient);
}

}  // namespace
