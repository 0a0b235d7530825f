// What only PostgreSQL has: a connection that can be lost (and a server that
// can stay away), credentials in the location, a schema version in a table.
#include <mutex>
#include <thread>
#include <vector>

#include "configclient/ConfigBackend.h"
#include "configclient/ConfigSchema.h"
#include "configclient/PostgresConfigBackend.h"
#include "configclient/PropertyNames.h"
#include "platform/ZelLogHook.h"
#include "tests/configclient/ConfigClientTest.h"

namespace {

std::mutex gWarningsMutex;
std::vector<std::string> gWarnings;

void CaptureWarning(const char*, int, const char* text) {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    gWarnings.push_back(text);
}

}  // namespace

class PostgresConnectionTest : public ConfigClientTest {
protected:
    void SetUp() override {
        ConfigClientTest::SetUp();
        {
            std::lock_guard<std::mutex> lock(gWarningsMutex);
            gWarnings.clear();
        }
        ZelSetWarningSink(CaptureWarning);
    }
    void TearDown() override {
        ZelSetWarningSink(nullptr);
        std::string ignored;
        PostgresTestServer::Exec("postgres", "ALTER DATABASE " + database_ + " ALLOW_CONNECTIONS true", ignored);
        ConfigClientTest::TearDown();
    }

    // Ends the client's connection as a server restart or a network cut would.
    void DropConnection() {
        std::string error;
        ASSERT_TRUE(PostgresTestServer::DropConnections(database_, error)) << error;
    }

    static bool Warned(const std::string& text) {
        std::lock_guard<std::mutex> lock(gWarningsMutex);
        for (const std::string& line : gWarnings) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

TEST_P(PostgresConnectionTest, ALostConnectionIsReportedAndTheReadRunsAgain) {
    Set(kSubclient, PropertyNames::kUsers, "1,2");
    DropConnection();
    std::string users;
    EXPECT_EQ(0, db().GetProperty(kSubclient, PropertyNames::kUsers, users));
    EXPECT_EQ("1,2", users);
    EXPECT_TRUE(Warned("connection lost"));
    EXPECT_TRUE(Warned("connection restored after 0 failed attempts"));
    EXPECT_EQ(0, Subclient(kSubclient).lookup(nullptr));
}

TEST_P(PostgresConnectionTest, AChangeCutOffBeforeItsCommitRunsAgainWhole) {
    int dropped = 0;
    db().SetStatementHook([&](const std::string& sql) {
        // The second write of the change: the first is in the database's
        // open transaction, which the cut rolls back.
        if (sql.find("INSERT INTO properties") == 0 && ++dropped == 2) DropConnection();
    });
    const CPelError error = db().Apply({ConfigChange::SetProperty(kSubclient, "quayUsers", "u"),
                                        ConfigChange::SetProperty(kSubclient, "quayGroups", "g"),
                                        ConfigChange::ClaimStore("store1", kSubclient)});
    db().SetStatementHook(nullptr);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_GE(dropped, 3);
    EXPECT_EQ("u", Stored(kSubclient, "quayUsers"));
    EXPECT_EQ("g", Stored(kSubclient, "quayGroups"));
    unsigned long owner = 0;
    EXPECT_EQ(0, db().FindStoreOwner("store1", owner));
}

TEST_P(PostgresConnectionTest, AChangeCutOffAtItsCommitIsAllOrNothingAndSaysSo) {
    bool cut = false;
    db().SetStatementHook([&](const std::string& sql) {
        if (sql == "COMMIT" && !cut) {
            cut = true;
            DropConnection();
        }
    });
    const CPelError error = db().Apply({ConfigChange::SetProperty(kSubclient, "quayUsers", "u"),
                                        ConfigChange::AddSubclient(11, kClient, "sc11", 0)});
    db().SetStatementHook(nullptr);
    ASSERT_TRUE(cut);
    EXPECT_EQ(EIO, error.ErrNo());
    EXPECT_NE(std::string::npos, error.Message().find("made whole or not at all")) << error.Message();
    const bool users = Stored(kSubclient, "quayUsers") == "u";
    SubclientRecord record;
    const bool added = db().FindSubclient(11, record) == 0;
    EXPECT_EQ(users, added) << "half a change";
}

TEST_P(PostgresConnectionTest, AServerThatStaysAwayFailsOperationsUntilItIsBack) {
    std::string error;
    ASSERT_TRUE(PostgresTestServer::Exec("postgres", "ALTER DATABASE " + database_ + " ALLOW_CONNECTIONS false",
                                         error))
        << error;
    DropConnection();
    std::string value = "keep";
    EXPECT_EQ(CONFIG_DB_ERROR, db().GetProperty(kSubclient, PropertyNames::kUsers, value));
    EXPECT_EQ("keep", value);
    EXPECT_EQ(CONFIG_DB_ERROR, Subclient(kSubclient).getQuayUsers(value, nullptr));
    EXPECT_EQ(EIO, db().AddClient(5, "x").ErrNo());
    EXPECT_TRUE(Warned("reconnect attempt 1 failed"));
    ASSERT_TRUE(PostgresTestServer::Exec("postgres", "ALTER DATABASE " + database_ + " ALLOW_CONNECTIONS true",
                                         error))
        << error;
    // Back within the back-off's bound; each try is a real call.
    int status = CONFIG_DB_ERROR;
    for (int i = 0; i < 400 && status != ZEL_PROP_NOT_FOUND; ++i) {
        status = db().GetProperty(kSubclient, PropertyNames::kUsers, value);
        if (status != ZEL_PROP_NOT_FOUND) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, status);
    EXPECT_TRUE(Warned("connection restored"));
    EXPECT_FALSE(db().AddClient(5, "x").IsError());
}

TEST_P(PostgresConnectionTest, ASchemaOfAnotherVersionIsRefused) {
    std::string error;
    ASSERT_TRUE(PostgresTestServer::Exec(database_, "UPDATE config_schema SET version = 99", error)) << error;
    const CPelError newer = db().Open(location_);
    EXPECT_EQ(ENOTSUP, newer.ErrNo());
    EXPECT_EQ("configuration database schema version 99 is newer than " + std::to_string(ConfigSchema::kVersion),
              newer.Message());
    ASSERT_TRUE(PostgresTestServer::Exec(database_, "UPDATE config_schema SET version = 2", error)) << error;
    EXPECT_EQ(ENOTSUP, db().Open(location_, false).ErrNo());
    EXPECT_FALSE(db().Open(location_).IsError());
    EXPECT_FALSE(db().Open(location_, false).IsError());
}

TEST_P(PostgresConnectionTest, AnUnreachableServerIsAnOpenErrorWithoutThePassword) {
    const std::string uri = "postgresql://quay:s3cret@/quay?host=" + dir_ + "&port=1&connect_timeout=2";
    const CPelError error = db().Open(uri);
    EXPECT_EQ(EIO, error.ErrNo());
    EXPECT_EQ(std::string::npos, error.Message().find("s3cret")) << error.Message();
    EXPECT_NE(std::string::npos, error.Message().find("postgresql://quay@" + dir_ + ":1/quay")) << error.Message();
    EXPECT_EQ(location_, db().Path());
}

TEST(PostgresLocationTest, DescriptionsNeverCarryThePassword) {
    EXPECT_EQ("postgresql://admin@db.example:5433/quay",
              ConfigBackend::Describe("postgresql://admin:pw@db.example:5433/quay?sslmode=require"));
    EXPECT_EQ("postgresql:///quay?service=quaycfg", ConfigBackend::Describe("postgres:///quay?service=quaycfg"));
    EXPECT_TRUE(PostgresConfigBackend::HasPassword("postgresql://admin:pw@h/quay"));
    EXPECT_TRUE(PostgresConfigBackend::HasPassword("postgresql://h/quay?password=pw"));
    EXPECT_FALSE(PostgresConfigBackend::HasPassword("postgresql://admin@h/quay?passfile=/root/.pgpass"));
    EXPECT_EQ("/var/lib/quay/config\\x0A.db", ConfigBackend::Describe("/var/lib/quay/config\n.db"));
    EXPECT_TRUE(ConfigBackend::IsPostgresLocation("postgres://h/q"));
    EXPECT_FALSE(ConfigBackend::IsPostgresLocation("/data/postgresql://x"));
    // libpq's keyword strings
    EXPECT_TRUE(ConfigBackend::IsPostgresLocation("service=quay"));
    EXPECT_TRUE(ConfigBackend::IsPostgresLocation("host=db.example dbname=quay user=admin"));
    EXPECT_FALSE(ConfigBackend::IsPostgresLocation("/data/config=1.db"));
    EXPECT_FALSE(ConfigBackend::IsPostgresLocation("config.db"));
    EXPECT_EQ("postgresql://admin@db.example/quay",
              ConfigBackend::Describe("host=db.example dbname=quay user=admin password=pw"));
    EXPECT_TRUE(ConfigBackend::HasPassword("host=db.example password=pw"));
    EXPECT_EQ("postgresql:///?service=quay", ConfigBackend::Describe("service=quay"));
}

INSTANTIATE_TEST_SUITE_P(Backends, PostgresConnectionTest, ::testing::Values(Backend::kPostgres), BackendName);
