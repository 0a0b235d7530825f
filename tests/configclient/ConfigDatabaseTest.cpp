// Administration API, persistence and opening of the configuration database.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <fstream>

#include "configclient/ConfigSchema.h"
#include "configclient/PropertyNames.h"
#include "tests/configclient/ConfigClientTest.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

using ConfigDatabaseTest = ConfigClientTest;
using SqliteFileTest = ConfigClientTest;

TEST_P(ConfigDatabaseTest, AdminRejectsBadArgumentsWithEinval) {
    EXPECT_EQ(EINVAL, db().AddClient(0, "a").ErrNo());
    EXPECT_EQ(EINVAL, db().AddClient(2, "").ErrNo());
    EXPECT_EQ(EINVAL, db().AddSubclient(static_cast<unsigned long>(LLONG_MAX) + 1, kClient, "x", 0).ErrNo());
    EXPECT_EQ(EINVAL, db().AddSubclient(11, kClient, "", 0).ErrNo());
    EXPECT_EQ(EINVAL, db().AddSubclient(11, 0, "x", 0).ErrNo());
    EXPECT_EQ(EINVAL, db().SetProperty(kSubclient, "", "v").ErrNo());
    EXPECT_EQ(EINVAL, db().RemoveSubclient(0).ErrNo());
    EXPECT_TRUE(db().ListSubclients().size() == 1);
}

TEST_P(ConfigDatabaseTest, AdminReportsDuplicatesAndMissingReferences) {
    EXPECT_EQ(EEXIST, db().AddClient(kClient, "again").ErrNo());
    EXPECT_EQ(EEXIST, db().AddSubclient(kSubclient, kClient, "again", 0).ErrNo());
    EXPECT_EQ(ENOENT, db().AddSubclient(11, 99, "orphan", 0).ErrNo());
    EXPECT_EQ(ENOENT, db().SetProperty(99, "quayUsers", "1").ErrNo());
    EXPECT_EQ(ENOENT, db().RemoveSubclient(99).ErrNo());
    EXPECT_EQ(ENOENT, db().RemoveProperty(kSubclient, "quayUsers").ErrNo());
    // The rejected rows left nothing behind.
    const auto subclients = db().ListSubclients();
    ASSERT_EQ(1u, subclients.size());
    EXPECT_EQ("sc10", subclients[0].name);
}

TEST_P(ConfigDatabaseTest, GetPropertyTellsMissingSubclientFromMissingProperty) {
    std::string value = "keep";
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, db().GetProperty(99, "quayUsers", value));
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, db().GetProperty(kSubclient, "quayUsers", value));
    EXPECT_EQ("keep", value);
    Set(kSubclient, "quayUsers", "");
    EXPECT_EQ(0, db().GetProperty(kSubclient, "quayUsers", value));
    EXPECT_EQ("", value);
}

TEST_P(ConfigDatabaseTest, PropertyValuesKeepEveryByte) {
    const std::string value("a\0b \"quoted\" <x>&\n\xC3\xA9", 20);
    Set(kSubclient, "quayBackupFilter", value);
    EXPECT_EQ(value, Stored(kSubclient, "quayBackupFilter"));
    Set(kSubclient, "quayBackupFilter", "replaced");
    EXPECT_EQ("replaced", Stored(kSubclient, "quayBackupFilter"));
    ASSERT_FALSE(db().RemoveProperty(kSubclient, "quayBackupFilter").IsError());
    EXPECT_EQ("<unset>", Stored(kSubclient, "quayBackupFilter"));
}

TEST_P(ConfigDatabaseTest, RemovingSubclientRemovesItsProperties) {
    Set(kSubclient, "quayUsers", "1,2");
    ASSERT_FALSE(db().RemoveSubclient(kSubclient).IsError());
    ASSERT_FALSE(db().AddSubclient(kSubclient, kClient, "reborn", 0).IsError());
    std::string value;
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, db().GetProperty(kSubclient, "quayUsers", value));
}

TEST_P(ConfigDatabaseTest, ListsSubclientsAndPropertiesInOrder) {
    ASSERT_FALSE(db().AddClient(2, "mediaagent2").IsError());
    ASSERT_FALSE(db().AddSubclient(30, 2, "sc30", 10).IsError());
    ASSERT_FALSE(db().AddSubclient(20, kClient, "sc20", 0).IsError());
    const auto subclients = db().ListSubclients();
    ASSERT_EQ(3u, subclients.size());
    EXPECT_EQ(10u, subclients[0].id);
    EXPECT_EQ(20u, subclients[1].id);
    EXPECT_EQ(30u, subclients[2].id);
    EXPECT_EQ(2u, subclients[2].clientId);
    EXPECT_EQ("mediaagent2", subclients[2].clientName);
    EXPECT_EQ(10u, subclients[2].policyId);
    EXPECT_EQ(0u, subclients[1].policyId);

    Set(kSubclient, "zeta", "z");
    Set(kSubclient, "alpha", "a");
    CPelError error;
    const auto properties = db().ListProperties(kSubclient, &error);
    EXPECT_FALSE(error.IsError());
    ASSERT_EQ(2u, properties.size());
    EXPECT_EQ(std::make_pair(std::string("alpha"), std::string("a")), properties[0]);
    EXPECT_EQ(std::make_pair(std::string("zeta"), std::string("z")), properties[1]);
    EXPECT_TRUE(db().ListProperties(99, &error).empty());
    EXPECT_EQ(ENOENT, error.ErrNo());
}

TEST_P(SqliteFileTest, FileDatabaseSurvivesCloseAndOpen) {
    const std::string path = dir_ + "/config.db";
    ASSERT_FALSE(db().Open(path).IsError());
    EXPECT_EQ(path, db().Path());
    ASSERT_FALSE(db().AddClient(5, "ma5").IsError());
    ASSERT_FALSE(db().AddSubclient(50, 5, "sc50", 0).IsError());
    Set(50, PropertyNames::kUsers, "100,200");
    EXPECT_TRUE(Exists(path + "-wal")) << "file databases use write-ahead logging";
    db().Close();
    EXPECT_EQ("", db().Path());

    ASSERT_FALSE(db().Open(path).IsError());
    EXPECT_EQ("100,200", Stored(50, PropertyNames::kUsers));
    std::string users;
    EXPECT_EQ(0, Subclient(50).getQuayUsers(users, nullptr));
    EXPECT_EQ("100,200", users);
}

TEST_P(ConfigDatabaseTest, FailedOpenKeepsThePreviousDatabase) {
    Set(kSubclient, "quayUsers", "7");
    const CPelError error = db().Open(dir_ + "/missing/dir/config.db");
    EXPECT_EQ(EIO, error.ErrNo());
    EXPECT_NE(std::string::npos, error.Message().find("cannot open configuration database")) << error.Message();
    EXPECT_EQ(location_, db().Path());
    EXPECT_EQ("7", Stored(kSubclient, "quayUsers"));
    EXPECT_EQ(EINVAL, db().Open("").ErrNo());
}

TEST_P(SqliteFileTest, OpenRefusesFileThatIsNotADatabase) {
    const std::string path = dir_ + "/garbage.db";
    std::ofstream(path) << "this is not an SQLite database, just some text that is long enough";
    const CPelError error = db().Open(path);
    EXPECT_EQ(EIO, error.ErrNo());
    EXPECT_EQ(":memory:", db().Path());
}

TEST_P(SqliteFileTest, OpenRefusesNewerSchemaVersion) {
    const std::string path = dir_ + "/newer.db";
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &raw));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, ("PRAGMA user_version=" + std::to_string(ConfigSchema::kVersion + 1)).c_str(), nullptr, nullptr, nullptr));
    sqlite3_close(raw);
    EXPECT_EQ(ENOTSUP, db().Open(path).ErrNo());
}

TEST_P(SqliteFileTest, ReopensAnOlderFileAndAddsMissingTables) {
    const std::string path = dir_ + "/partial.db";
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &raw));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw,
                                      "CREATE TABLE clients(id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
                                      "INSERT INTO clients VALUES(3, 'kept');",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(raw);
    ASSERT_FALSE(db().Open(path).IsError());
    EXPECT_EQ(EEXIST, db().AddClient(3, "again").ErrNo());
    ASSERT_FALSE(db().AddSubclient(31, 3, "sc31", 0).IsError());
    EXPECT_EQ("kept", db().ListSubclients()[0].clientName);
}

TEST_P(ConfigDatabaseTest, AStoreBelongsToOneSubclientUntilReleasedOrItsSubclientIsRemoved) {
    ASSERT_FALSE(db().AddSubclient(50, kClient, "sc50", 0).IsError());
    unsigned long owner = 0;
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, db().FindStoreOwner("store1", owner));
    ASSERT_FALSE(db().ClaimStore("store1", kSubclient).IsError());
    EXPECT_FALSE(db().ClaimStore("store1", kSubclient).IsError());  // again: no change
    const CPelError taken = db().ClaimStore("store1", 50);
    EXPECT_EQ(EEXIST, taken.ErrNo());
    EXPECT_EQ("store [store1] belongs to subclient 10", taken.Message());
    EXPECT_EQ(ENOENT, db().ClaimStore("other", 99).ErrNo());
    EXPECT_EQ(EINVAL, db().ClaimStore("", kSubclient).ErrNo());
    EXPECT_EQ(0, db().FindStoreOwner("store1", owner));
    EXPECT_EQ(kSubclient, owner);

    EXPECT_EQ(ENOENT, db().ReleaseStore("store1", 50).ErrNo());
    ASSERT_FALSE(db().ReleaseStore("store1", kSubclient).IsError());
    ASSERT_FALSE(db().ClaimStore("store1", 50).IsError());
    ASSERT_FALSE(db().ClaimStore("store2", 50).IsError());
    std::vector<std::pair<std::string, unsigned long>> owners;
    ASSERT_EQ(0, db().ListStoreOwners(owners));
    EXPECT_EQ((std::vector<std::pair<std::string, unsigned long>>{{"store1", 50}, {"store2", 50}}), owners);
    ASSERT_FALSE(db().RemoveSubclient(50).IsError());
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, db().FindStoreOwner("store2", owner));
    ASSERT_EQ(0, db().ListStoreOwners(owners));
    EXPECT_TRUE(owners.empty());
}

TEST_P(SqliteFileTest, AVersionOneFileGetsItsOwnersFromTheStoreNames) {
    const std::string path = dir_ + "/v1.db";
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &raw));
    ASSERT_EQ(SQLITE_OK,
              sqlite3_exec(raw,
                           "CREATE TABLE clients(id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
                           "CREATE TABLE subclients(id INTEGER PRIMARY KEY, client_id INTEGER NOT NULL, "
                           "name TEXT NOT NULL, policy_subclient_id INTEGER);"
                           "CREATE TABLE properties(subclient_id INTEGER NOT NULL, name TEXT NOT NULL, "
                           "value TEXT NOT NULL, PRIMARY KEY(subclient_id, name));"
                           "INSERT INTO clients VALUES(1, 'c');"
                           "INSERT INTO subclients VALUES(7, 1, 'a', NULL), (12, 1, 'b', NULL), (3, 1, 'c', NULL);"
                           "INSERT INTO properties VALUES(12, 'quayObjectStoreName', '/shared'),"
                           "(7, 'quayObjectStoreName', 'shared'), (3, 'quayObjectStoreName', '//own'),"
                           "(12, 'quayUsers', 'shared');"
                           "PRAGMA user_version=1;",
                           nullptr, nullptr, nullptr));
    sqlite3_close(raw);
    ASSERT_FALSE(db().Open(path).IsError());
    std::vector<std::pair<std::string, unsigned long>> owners;
    ASSERT_EQ(0, db().ListStoreOwners(owners));
    EXPECT_EQ((std::vector<std::pair<std::string, unsigned long>>{{"own", 3}, {"shared", 7}}), owners);
}

TEST_P(ConfigDatabaseTest, WithoutOpenUsesQuayConfigDbAndCreatesItsDirectory) {
    db().Close();
    const bool sqlite = GetParam() == Backend::kSqlite;
    const std::string path = sqlite ? dir_ + "/nested/dir/lazy.db" : location_;
    setenv("QUAY_CONFIG_DB", path.c_str(), 1);
    const CPelError added = db().AddClient(7, "lazy");
    unsetenv("QUAY_CONFIG_DB");
    ASSERT_FALSE(added.IsError()) << added.AsString();
    EXPECT_EQ(path, db().Path());
    if (sqlite) {
        EXPECT_TRUE(Exists(path));
    } else {
        EXPECT_EQ(1u, db().ListSubclients().size());
    }
}

TEST_P(SqliteFileTest, DefaultPathFollowsTheDataDirectory) {
    unsetenv("QUAY_CONFIG_DB");
    setenv("QUAY_DATA_DIR", dir_.c_str(), 1);
    EXPECT_EQ(dir_ + "/config.db", ConfigDatabase::DefaultPath());
    db().Close();
    std::string value;
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, db().GetProperty(kSubclient, "quayUsers", value));
    EXPECT_TRUE(Exists(dir_ + "/config.db"));
    unsetenv("QUAY_DATA_DIR");
}

TEST_P(SqliteFileTest, UnopenableDefaultFailsEveryOperation) {
    db().Close();
    const std::string blocker = dir_ + "/file";
    std::ofstream(blocker) << "x";
    // A regular file where the directory should be: the database cannot be made.
    setenv("QUAY_CONFIG_DB", (blocker + "/config.db").c_str(), 1);
    std::string value = "keep";
    EXPECT_EQ(CONFIG_DB_ERROR, db().GetProperty(kSubclient, "quayUsers", value));
    EXPECT_EQ(EIO, db().AddClient(8, "x").ErrNo());
    CPelError error;
    EXPECT_TRUE(db().ListSubclients(&error).empty());
    EXPECT_EQ(EIO, error.ErrNo());
    EXPECT_EQ(CONFIG_DB_ERROR, Subclient(kSubclient).lookup(nullptr));
    unsetenv("QUAY_CONFIG_DB");
    EXPECT_EQ("keep", value);
}

TEST_P(ConfigDatabaseTest, OpeningAnotherDatabaseDropsCachedValues) {
    Set(kSubclient, "quayUsers", "cached");
    std::string users;
    ASSERT_EQ(0, Subclient(kSubclient).getQuayUsers(users, nullptr));
    ASSERT_EQ(0, Subclient(kSubclient).lookup(nullptr));
    ASSERT_FALSE(db().Open(":memory:").IsError());
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, Subclient(kSubclient).getQuayUsers(users, nullptr));
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, Subclient(kSubclient).lookup(nullptr));
}

TEST_P(ConfigDatabaseTest, ApplyMakesEveryChangeOrNone) {
    const CPelError failed = db().Apply({ConfigChange::SetProperty(kSubclient, "quayUsers", "1"),
                                         ConfigChange::AddSubclient(11, kClient, "sc11", 0),
                                         ConfigChange::ClaimStore("store1", 11),
                                         ConfigChange::RemoveProperty(kSubclient, "quayGroups")});
    EXPECT_EQ(ENOENT, failed.ErrNo());
    EXPECT_EQ("property quayGroups of subclient 10 is not set", failed.Message());
    EXPECT_EQ("<unset>", Stored(kSubclient, "quayUsers"));
    EXPECT_EQ(1u, db().ListSubclients().size());
    unsigned long owner = 0;
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, db().FindStoreOwner("store1", owner));

    ASSERT_FALSE(db().Apply({ConfigChange::SetProperty(kSubclient, "quayUsers", "1"),
                             ConfigChange::AddSubclient(11, kClient, "sc11", 0), ConfigChange::ClaimStore("store1", 11),
                             ConfigChange::ReleaseStore("store1", 11), ConfigChange::RemoveSubclient(11)})
                     .IsError());
    EXPECT_EQ("1", Stored(kSubclient, "quayUsers"));
    EXPECT_EQ(1u, db().ListSubclients().size());
    // A bad argument anywhere refuses the whole list before anything runs.
    EXPECT_EQ(EINVAL, db().Apply({ConfigChange::SetProperty(kSubclient, "quayUsers", "2"),
                                  ConfigChange::AddClient(0, "zero")})
                          .ErrNo());
    EXPECT_EQ("1", Stored(kSubclient, "quayUsers"));
}

TEST_P(ConfigDatabaseTest, NamesSortAndCompareByTheirBytes) {
    const std::string names[] = {"\xC3\xA9t\xC3\xA9", "Zeta", "alpha", "a b", std::string("n\0ul", 4)};
    for (const std::string& name : names) Set(kSubclient, name, name + "=");
    CPelError error;
    const auto properties = db().ListProperties(kSubclient, &error);
    ASSERT_FALSE(error.IsError());
    ASSERT_EQ(5u, properties.size());
    EXPECT_EQ("Zeta", properties[0].first);
    EXPECT_EQ("a b", properties[1].first);
    EXPECT_EQ("alpha", properties[2].first);
    EXPECT_EQ(std::string("n\0ul", 4), properties[3].first);
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", properties[4].first);
    EXPECT_EQ(std::string("n\0ul=", 5), Stored(kSubclient, std::string("n\0ul", 4)));
    EXPECT_EQ("<unset>", Stored(kSubclient, "ALPHA"));
}

ON_EVERY_BACKEND(ConfigDatabaseTest);
ON_SQLITE_ONLY(SqliteFileTest);
