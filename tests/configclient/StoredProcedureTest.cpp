// The NFS-share stored procedure, ApplicationId and the index-cache client.
#include <string>

#include "configclient/AppMessages.h"
#include "configclient/App_ExecuteSP.h"
#include "configclient/ApplicationId.h"
#include "configclient/PropertyNames.h"
#include "configclient/ZELMMIdxInfo.h"
#include "tests/configclient/ConfigClientTest.h"

namespace {

std::string RequestXml() {
    std::string xml;
    App::GetNFSShareReq().serialize(xml, false);
    return xml;
}

}  // namespace

using StoredProcedureTest = ConfigClientTest;

TEST_P(StoredProcedureTest, ListsEverySubclientWithAStoreName) {
    for (unsigned long id : {11, 12, 13, 14}) {
        ASSERT_FALSE(db().AddSubclient(id, kClient, "sc" + std::to_string(id), 0).IsError());
    }
    Set(12, PropertyNames::kObjectStoreName, "/store12");
    Set(kSubclient, PropertyNames::kObjectStoreName, "store10");
    Set(11, PropertyNames::kObjectStoreName, "");
    Set(13, PropertyNames::kObjectStoreName, "/");
    Set(14, PropertyNames::kNFSServers, "quay1");

    std::string response;
    ASSERT_EQ(0, App_ExecuteSP::executeStoredProcedure(506208772, RequestXml(), response, nullptr));
    App::GetNFSShareResp answer;
    ASSERT_EQ(0, answer.unserialize(response)) << response;
    const auto* shares = answer.getlistobject(1, 1, 509091626, 1427983, false);
    ASSERT_NE(nullptr, shares);
    ASSERT_EQ(2u, shares->size());
    EXPECT_EQ(10, (*shares)[0].getint64(1, 513467887, 10794118));
    EXPECT_EQ("store10", (*shares)[0].getstring(2, 2, 513467887, 4977462));
    EXPECT_EQ(12, (*shares)[1].getint64(1, 513467887, 10794118));
    EXPECT_EQ("store12", (*shares)[1].getstring(2, 2, 513467887, 4977462));
}

TEST_P(StoredProcedureTest, NoStoresGiveAnEmptyList) {
    std::string response;
    ASSERT_EQ(0, App_ExecuteSP::executeStoredProcedure(506208772, RequestXml(), response, nullptr));
    App::GetNFSShareResp answer;
    ASSERT_EQ(0, answer.unserialize(response));
    const auto* shares = answer.getlistobject(1, 1, 509091626, 1427983, false);
    ASSERT_NE(nullptr, shares);
    EXPECT_TRUE(shares->empty());
}

TEST_P(StoredProcedureTest, BadRequestsFailAndLeaveTheResponseAlone) {
    std::string response = "untouched";
    EXPECT_EQ(CONFIG_UNKNOWN_PROCEDURE, App_ExecuteSP::executeStoredProcedure(1, RequestXml(), response, nullptr));
    EXPECT_EQ(CONFIG_BAD_REQUEST, App_ExecuteSP::executeStoredProcedure(506208772, "<Msg", response, nullptr));
    std::string protocols;
    App::MossgateProtocols().serialize(protocols, false);
    EXPECT_EQ(CONFIG_BAD_REQUEST, App_ExecuteSP::executeStoredProcedure(506208772, protocols, response, nullptr));
    EXPECT_EQ("untouched", response);
}

TEST_P(StoredProcedureTest, OverrideFailsTheProcedure) {
    db().SetStatusOverride(0, "executeStoredProcedure", 42);
    std::string response = "untouched";
    EXPECT_EQ(42, App_ExecuteSP::executeStoredProcedure(506208772, RequestXml(), response, nullptr));
    EXPECT_EQ("untouched", response);
    EXPECT_EQ(1u, db().CallCount(0, "executeStoredProcedure"));
}

TEST_P(StoredProcedureTest, ApplicationIdFillsClientAndNames) {
    ApplicationId app(ApplicationId::KIND_SUBCLIENT, kSubclient);
    ASSERT_EQ(0, app.getApplicationId(nullptr));
    EXPECT_EQ(kClient, app.getAppIdInfo().clientId);
    EXPECT_EQ(kSubclient, app.getAppIdInfo().subclientId);
    EXPECT_EQ("mediaagent1", app.getAppIdInfo().clientName);
    EXPECT_EQ("sc10", app.getAppIdInfo().subclientName);
}

TEST_P(StoredProcedureTest, ApplicationIdFailsForUnknownSubclientOrKind) {
    ApplicationId missing(2, 99);
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, missing.getApplicationId(nullptr));
    EXPECT_EQ(0u, missing.getAppIdInfo().clientId);
    ApplicationId client(1, kSubclient);
    EXPECT_EQ(CONFIG_BAD_REQUEST, client.getApplicationId(nullptr));
    db().SetStatusOverride(kSubclient, "getApplicationId", 9);
    EXPECT_EQ(9, ApplicationId(2, kSubclient).getApplicationId(nullptr));
}

TEST_P(StoredProcedureTest, IndexCacheIdIsStablePerClientNameIgnoringCase) {
    const unsigned long id = ZELMMIdxInfo(0, "mediaagent1", 0).getCacheIDForMA();
    EXPECT_NE(0u, id);
    EXPECT_EQ(id, ZELMMIdxInfo(0, "mediaagent1", 0).getCacheIDForMA());
    EXPECT_EQ(id, ZELMMIdxInfo(3, "MediaAgent1", 1).getCacheIDForMA());
    EXPECT_NE(id, ZELMMIdxInfo(0, "mediaagent2", 0).getCacheIDForMA());
    EXPECT_LE(id, static_cast<unsigned long>(INT64_MAX));
}

TEST_P(StoredProcedureTest, IndexCacheStateIsRecorded) {
    ZELMMIdxInfo info(0, "mediaagent1", 0);
    const unsigned long id = info.getCacheIDForMA();
    bool online = false;
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, db().GetIndexCacheState(id, online));
    ASSERT_EQ(0, info.setIndexCacheOnlineOffline(id, true, 0));
    ASSERT_EQ(0, db().GetIndexCacheState(id, online));
    EXPECT_TRUE(online);
    ASSERT_EQ(0, info.setIndexCacheOnlineOffline(id, false, 0));
    ASSERT_EQ(0, db().GetIndexCacheState(id, online));
    EXPECT_FALSE(online);
    EXPECT_EQ(CONFIG_BAD_REQUEST, info.setIndexCacheOnlineOffline(0, true, 0));
}

TEST_P(StoredProcedureTest, IndexCacheOverrideFailsWithoutRecording) {
    ZELMMIdxInfo info(0, "mediaagent1", 0);
    const unsigned long id = info.getCacheIDForMA();
    db().SetStatusOverride(0, "setIndexCacheOnlineOffline", 13);
    EXPECT_EQ(13, info.setIndexCacheOnlineOffline(id, true, 0));
    bool online = false;
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, db().GetIndexCacheState(id, online));
    EXPECT_EQ(1u, db().CallCount(0, "setIndexCacheOnlineOffline"));
}
ON_EVERY_BACKEND(StoredProcedureTest);
