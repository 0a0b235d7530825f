// Database administration of quayd: property rules, view records, and the
// commands on the configuration database, checked through what the module's
// configuration client reads back.
#include <string>

#include <gtest/gtest.h>

#include "configclient/ConfigDatabase.h"
#include "configclient/PropertyNames.h"
#include "configclient/Subclient.h"
#include "daemon/ConfigAdmin.h"
#include "daemon/PropertyRules.h"
#include "daemon/ViewConfiguration.h"
#include "tests/daemon/DaemonTestSupport.h"

namespace {

using daemontest::DaemonTest;

TEST(PropertyRules, ValuesAreCheckedAndStoredInTheClientsForm) {
    const struct {
        const char* name;
        const char* value;
        bool ok;
        const char* stored;
    } cases[] = {
        {"quayACLEnableFlag", "true", true, "1"},
        {"quayACLEnableFlag", "FALSE", true, "0"},
        {"quayACLEnableFlag", "yes", false, ""},
        {"quaySquashType", "all_squash", true, "2"},
        {"quaySquashType", "1", true, "1"},
        {"quaySquashType", "3", false, ""},
        {"quayAnonUid", "4294967295", true, "4294967295"},
        {"quayAnonUid", "-1", false, ""},
        {"quayVersionInterval", "60", true, "60"},
        {"quayVersionInterval", "-5", false, ""},
        {"quayUsers", "1000, 1001", true, "1000, 1001"},
        {"quayUsers", "*", true, "*"},
        {"quayUsers", "alice", false, ""},
        {"quayAccessPermission", "RO", true, "RO"},
        {"quayAccessPermission", "ro", false, ""},
        {"quayAllowedNFSClients", "10.0.0.0/8, localhost,fe80::1,*", true, "10.0.0.0/8, localhost,fe80::1,*"},
        {"quayAllowedNFSClients", "a b", false, ""},
        {"quayNFSServers", "server one", false, ""},
        {"quayObjectStoreName", "../etc", false, ""},
        {"quayObjectStoreName", "/store1", true, "store1"},
        {"quayObjectStoreName", "/", false, ""},
        {"quayViewConfiguration", "<ToTime>1</ToTime>", false, ""},
        {"quayViewConfiguration", "<MntPath>/s-a</MntPath>;;", false, ""},  // who may use it?
        {"quayViewConfiguration", "<MntPath>/s-a</MntPath><NFSClient>*</NFSClient><UID></UID><GID>5</GID>;", true,
         "<MntPath>/s-a</MntPath><NFSClient>*</NFSClient><UID></UID><GID>5</GID>;"},
        {"quayViewConfiguration", "<MntPath>/s-a</MntPath><NFSClient></NFSClient><UID></UID><GID></GID>", false, ""},
        {"quayViewConfiguration", "<MntPath>/s-a</MntPath><NFSClient>*</NFSClient><UID>x</UID><GID></GID>", false, ""},
        {"quayBackupFilter", "*.tmp", true, "*.tmp"},
        {"quaySupportedProtocols", "nfsv3,ftp", false, ""},
    };
    for (const auto& c : cases) {
        std::string stored = "untouched";
        std::string error;
        EXPECT_EQ(c.ok, PropertyRules::Prepare(c.name, c.value, stored, error)) << c.name << "=" << c.value;
        EXPECT_EQ(c.ok ? std::string(c.stored) : std::string("untouched"), stored) << c.name << "=" << c.value;
    }
}

// Allow-lists mean what they say: each refused value with its reason.
TEST(PropertyRules, AllowListsThatWouldNotMatchAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "property quayAllowedNFSClients must not be empty: use * for every client"},
        {" , ", "property quayAllowedNFSClients must not be empty: use * for every client"},
        {"10.0.0.1,127.0.0.1/33",
         "property quayAllowedNFSClients has [127.0.0.1/33], which is neither *, an address, an IPv4 network "
         "a.b.c.d/0-32 nor a host name"},
        {"fe80::/64", "property quayAllowedNFSClients has [fe80::/64], which is neither *, an address, an IPv4 "
                      "network a.b.c.d/0-32 nor a host name"},
        {"host*.example.com", "property quayAllowedNFSClients has [host*.example.com], which is neither *, an "
                              "address, an IPv4 network a.b.c.d/0-32 nor a host name"},
        {"localhost,no-such-host.invalid",
         "property quayAllowedNFSClients names host [no-such-host.invalid], which does not resolve"},
    };
    for (const auto& c : cases) {
        std::string stored = "untouched";
        std::string error;
        EXPECT_FALSE(PropertyRules::Prepare("quayAllowedNFSClients", c.first, stored, error)) << c.first;
        EXPECT_EQ(c.second, error);
        EXPECT_EQ("untouched", stored);
    }
}

TEST(PropertyRules, UnknownNamesAreRefusedWithTheKnownOnes) {
    std::string stored;
    std::string error;
    EXPECT_FALSE(PropertyRules::Prepare("quayUsrs", "1000", stored, error));
    EXPECT_EQ(0u, error.find("unknown property [quayUsrs]; known: quayObjectStoreName quayNFSServers"));
}

TEST(PropertyRules, ProtocolsListRoundTripsThroughTheMessage) {
    std::string serialised;
    std::string error;
    ASSERT_TRUE(PropertyRules::EncodeProtocols("nfsv4, smb", serialised, error));
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Msg family=\"30\" id=\"3078\"><ListInt "
              "tag=\"506452600.9910465\"><I>2</I><I>3</I></ListInt></Msg>",
              serialised);
    std::string list;
    ASSERT_TRUE(PropertyRules::DecodeProtocols(serialised, list));
    EXPECT_EQ("nfsv4,smb", list);
    EXPECT_FALSE(PropertyRules::DecodeProtocols("nfs", list));
    EXPECT_EQ("nfs", PropertyRules::Describe("quaySupportedProtocols", "nfs"));
}

TEST(ViewConfiguration, RecordsAreFoundAppendedAndRemovedByMountPath) {
    ViewConfiguration views(";<MntPath>/s-a</MntPath><ToTime>5</ToTime>;;<MntPath>/s-b</MntPath>;");
    ASSERT_EQ(2u, views.records().size());
    EXPECT_TRUE(views.HasMountPath("/s-a"));
    EXPECT_FALSE(views.HasMountPath("/s"));

    ViewConfiguration::View view;
    view.mountPath = "/s-c";
    view.toTime = "07-15-2023 10:20:30";
    view.readOnly = true;
    view.snapName = "c";
    view.nfsServer = "srv";
    views.Append(view);
    EXPECT_EQ(1u, views.Remove("/s-b"));
    EXPECT_EQ(0u, views.Remove("/s-b"));
    EXPECT_EQ("<MntPath>/s-a</MntPath><ToTime>5</ToTime>;<MntPath>/s-c</MntPath><ToTime>07-15-2023 10:20:30</ToTime>"
              "<ReadOnly>1</ReadOnly><WritablePIT>0</WritablePIT><SnapName>c</SnapName><NFSServer>srv</NFSServer>"
              "<NFSClient></NFSClient><UID></UID><GID></GID>",
              views.Text());
}

TEST(ViewConfiguration, ElementTakesTheFirstOpeningAndTheNextClosingTag) {
    std::string value = "untouched";
    EXPECT_TRUE(ViewConfiguration::Element("<A>1</A><A>2</A>", "A", value));
    EXPECT_EQ("1", value);
    EXPECT_TRUE(ViewConfiguration::Element("<A></A>", "A", value));
    EXPECT_EQ("", value);
    value = "untouched";
    EXPECT_FALSE(ViewConfiguration::Element("<A>1", "A", value));
    EXPECT_FALSE(ViewConfiguration::Element("<a>1</a>", "A", value));
    EXPECT_EQ("untouched", value);
}

TEST(ViewConfiguration, OnlyTimesTheModuleParsesCorrectlyAreAccepted) {
    for (const char* good : {"0", "1700000000", "07-15-2023 10:20:30", "7-5-1970 0:0:0", "12-31-2023 23:59:59"}) {
        EXPECT_TRUE(ViewConfiguration::IsValidTime(good)) << good;
    }
    for (const char* bad : {"", "07-15-2023", "15-07-2023 10:20:30", "07-15-1969 10:20:30", "07-15-2023 24:00:00",
                            "07-15-2023 10:20", "07-15-2023  10:20:30", "-5", "1e9", "07/15/2023 10:20:30"}) {
        EXPECT_FALSE(ViewConfiguration::IsValidTime(bad)) << bad;
    }
}

// The access elements every raw view record needs.
const std::string kAccess = "<NFSClient>*</NFSClient><UID>*</UID><GID>*</GID>";

class ConfigAdminTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_EQ(0, admin_.AddClient(1, "myhost").code);
    }
    std::string Property(unsigned long subclient, const char* name) {
        std::string value = "(unset)";
        db_.GetProperty(subclient, name, value);
        return value;
    }

    ConfigDatabase& db_ = ConfigDatabase::Instance();
    ConfigAdmin admin_{ConfigDatabase::Instance(), "nfsserver1"};
};

TEST_F(ConfigAdminTest, DefineStoreCreatesTheSubclientWithEveryExportProperty) {
    const AdminResult result = admin_.DefineStore(10, 1, "store1");
    ASSERT_EQ(AdminProtocol::kOk, result.code) << result.text;
    EXPECT_EQ("subclient 10 presents store [store1] served by [nfsserver1]: 18 properties written, 0 kept", result.text);
    EXPECT_EQ(18u, result.rows.size());

    Subclient subclient(10);
    ASSERT_EQ(0, subclient.lookup(nullptr));
    std::string text;
    EXPECT_EQ(0, subclient.getQuayNFSServers(text, nullptr));
    EXPECT_EQ("nfsserver1", text);
    EXPECT_EQ(0, subclient.getQuayUsers(text, nullptr));
    EXPECT_EQ("*", text);
    EXPECT_EQ(0, subclient.getQuayAccessPermission(text, nullptr));
    EXPECT_EQ("RW", text);
    EXPECT_EQ(0, subclient.getQuayViewConfiguration(text, nullptr));
    EXPECT_EQ("", text);
    ZELQUAYSquashType squash = ZEL_QUAY_ALL_SQUASH;
    EXPECT_EQ(0, subclient.getQuaySquashType(squash, nullptr));
    EXPECT_EQ(ZEL_QUAY_ROOT_SQUASH, squash);
    unsigned int number = 0;
    EXPECT_EQ(0, subclient.getQuayAnonUid(number, nullptr));
    EXPECT_EQ(65534u, number);
    bool flag = false;
    EXPECT_EQ(0, subclient.getQuayIsCaseSensitive(flag, nullptr));
    EXPECT_TRUE(flag);
    EXPECT_EQ(0, subclient.getQuaySupportDNFS(flag, nullptr));
    EXPECT_FALSE(flag);
    EXPECT_EQ(0, subclient.getQuaySupportedProtocols(text, nullptr));
    std::string list;
    EXPECT_TRUE(PropertyRules::DecodeProtocols(text, list));
    EXPECT_EQ("nfsv3,nfsv4", list);
    EXPECT_EQ("store1", Property(10, PropertyNames::kObjectStoreName));
}

TEST_F(ConfigAdminTest, DefineStoreKeepsWhatIsAlreadySet) {
    ASSERT_EQ(0, admin_.AddSubclient(10, 1, "backups", 0).code);
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kUsers, "1000").code);
    const AdminResult result = admin_.DefineStore(10, 1, "store1");
    ASSERT_EQ(AdminProtocol::kOk, result.code) << result.text;
    EXPECT_EQ("subclient 10 presents store [store1] served by [nfsserver1]: 17 properties written, 1 kept", result.text);
    EXPECT_EQ("1000", Property(10, PropertyNames::kUsers));
    // Running it again changes nothing and still succeeds.
    EXPECT_EQ(AdminProtocol::kOk, admin_.DefineStore(10, 1, "store1").code);
}

TEST_F(ConfigAdminTest, DefineStoreRefusesConflictsAndLeavesNothingBehind) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    ASSERT_EQ(0, admin_.AddClient(2, "other").code);

    AdminResult result = admin_.DefineStore(11, 1, "store1");
    EXPECT_EQ(AdminProtocol::kAlreadyExists, result.code);
    EXPECT_EQ("store [store1] belongs to subclient 10", result.text);
    result = admin_.DefineStore(10, 1, "store2");
    EXPECT_EQ(AdminProtocol::kAlreadyExists, result.code);
    EXPECT_EQ("subclient 10 already presents store [store1]", result.text);
    result = admin_.DefineStore(10, 2, "store1");
    EXPECT_EQ(AdminProtocol::kAlreadyExists, result.code);
    EXPECT_EQ("subclient 10 belongs to client 1, not 2", result.text);
    result = admin_.DefineStore(12, 7, "store3");
    EXPECT_EQ(AdminProtocol::kNotFound, result.code);
    result = admin_.DefineStore(13, 1, "a/b");
    EXPECT_EQ(AdminProtocol::kBadRequest, result.code);

    SubclientRecord record;
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, db_.FindSubclient(11, record));
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, db_.FindSubclient(12, record));
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, db_.FindSubclient(13, record));
}

TEST_F(ConfigAdminTest, SetPropertyIsSeenByTheClientAtOnce) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    Subclient subclient(10);
    std::string users;
    ASSERT_EQ(0, subclient.getQuayUsers(users, nullptr));  // now cached by the client
    const AdminResult result = admin_.SetProperty(10, PropertyNames::kUsers, "1000,1001");
    ASSERT_EQ(AdminProtocol::kOk, result.code);
    EXPECT_EQ("property quayUsers of subclient 10 set", result.text);
    ASSERT_EQ(0, subclient.getQuayUsers(users, nullptr));
    EXPECT_EQ("1000,1001", users);
}

TEST_F(ConfigAdminTest, SetPropertyRefusesBadInputAndMissingSubclients) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    AdminResult result = admin_.SetProperty(10, PropertyNames::kSquashType, "squash");
    EXPECT_EQ(AdminProtocol::kBadRequest, result.code);
    EXPECT_EQ("property quaySquashType must be 0, 1, 2, no_root_squash, root_squash or all_squash, not [squash]",
              result.text);
    EXPECT_EQ("1", Property(10, PropertyNames::kSquashType));
    result = admin_.SetProperty(99, PropertyNames::kUsers, "1");
    EXPECT_EQ(AdminProtocol::kNotFound, result.code);
    ASSERT_EQ(0, admin_.AddSubclient(11, 1, "second", 0).code);
    result = admin_.SetProperty(11, PropertyNames::kObjectStoreName, "/store1");
    EXPECT_EQ(AdminProtocol::kAlreadyExists, result.code);
    result = admin_.RemoveProperty(10, "quayNoSuch");
    EXPECT_EQ(AdminProtocol::kNotFound, result.code);
}

TEST_F(ConfigAdminTest, AddViewWritesTheRecordTheModuleReads) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    AdminResult result = admin_.AddView(10, "/store1-snap1", "1700000000", true, false, {});
    ASSERT_EQ(AdminProtocol::kOk, result.code) << result.text;
    result = admin_.AddView(10, "/store1-snap2", "07-15-2023 10:20:30", false, true, {});
    ASSERT_EQ(AdminProtocol::kOk, result.code) << result.text;
    EXPECT_EQ("<MntPath>/store1-snap1</MntPath><ToTime>1700000000</ToTime><ReadOnly>1</ReadOnly><WritablePIT>0"
              "</WritablePIT><SnapName>snap1</SnapName><NFSServer>nfsserver1</NFSServer><NFSClient>*</NFSClient>"
              "<UID>*</UID><GID>*</GID>;<MntPath>/store1-snap2</MntPath><ToTime>07-15-2023 10:20:30</ToTime>"
              "<ReadOnly>0</ReadOnly><WritablePIT>1</WritablePIT><SnapName>snap2</SnapName><NFSServer>nfsserver1"
              "</NFSServer><NFSClient>*</NFSClient><UID>*</UID><GID>*</GID>",
              Property(10, PropertyNames::kViewConfiguration));

    result = admin_.AddView(10, "/store1-snap1", "1", false, false, {});
    EXPECT_EQ(AdminProtocol::kAlreadyExists, result.code);
    EXPECT_EQ("subclient 10 already has a view [/store1-snap1]", result.text);
    for (const char* badPath : {"/store1", "/store1-", "/store2-a", "/store1-a-b", "store1-a", "/store1-a/b"}) {
        EXPECT_EQ(AdminProtocol::kBadRequest, admin_.AddView(10, badPath, "1", false, false, {}).code) << badPath;
    }
    result = admin_.AddView(10, "/store1-x", "yesterday", false, false, {});
    EXPECT_EQ(AdminProtocol::kBadRequest, result.code);
    EXPECT_EQ("time [yesterday] must be seconds since 1970 or MM-DD-YYYY HH:MM:SS", result.text);

    ASSERT_EQ(0, admin_.AddSubclient(11, 1, "nostore", 0).code);
    result = admin_.AddView(11, "/x-a", "1", false, false, {});
    EXPECT_EQ(AdminProtocol::kNotFound, result.code);
    EXPECT_EQ("subclient 11 has no store; run define-store first", result.text);
}

TEST_F(ConfigAdminTest, RemoveViewDropsOnlyThatView) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    ASSERT_EQ(0, admin_.AddView(10, "/store1-a", "1", false, false, {}).code);
    ASSERT_EQ(0, admin_.AddView(10, "/store1-b", "2", false, false, {}).code);
    EXPECT_EQ(AdminProtocol::kOk, admin_.RemoveView(10, "/store1-a").code);
    EXPECT_EQ(AdminProtocol::kNotFound, admin_.RemoveView(10, "/store1-a").code);
    ViewConfiguration views(Property(10, PropertyNames::kViewConfiguration));
    ASSERT_EQ(1u, views.records().size());
    EXPECT_TRUE(views.HasMountPath("/store1-b"));
}

TEST_F(ConfigAdminTest, SharesOfThisServerAreTheStoreAndItsViewsServedHere) {
    EXPECT_FALSE(admin_.IsShareOfThisServer(10, "/store1"));  // no such subclient
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    ASSERT_EQ(0, admin_.AddView(10, "/store1-a", "1", false, false, {}).code);
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kViewConfiguration,
                                    Property(10, PropertyNames::kViewConfiguration) +
                                        ";<MntPath>/store1-b</MntPath><NFSServer>elsewhere</NFSServer>" + kAccess +
                                        ";<MntPath>/store1-c</MntPath>" + kAccess).code);
    EXPECT_TRUE(admin_.IsShareOfThisServer(10, "/store1"));
    EXPECT_TRUE(admin_.IsShareOfThisServer(10, "/store1-a"));
    EXPECT_FALSE(admin_.IsShareOfThisServer(10, "/store1-b"));
    EXPECT_TRUE(admin_.IsShareOfThisServer(10, "/store1-c"));  // follows the store's server
    EXPECT_FALSE(admin_.IsShareOfThisServer(10, "/store1-d"));
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kNFSServers, "NFSSERVER1").code);
    EXPECT_TRUE(admin_.IsShareOfThisServer(10, "/store1"));  // names ignore case
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kNFSServers, "elsewhere").code);
    EXPECT_FALSE(admin_.IsShareOfThisServer(10, "/store1"));
    EXPECT_FALSE(admin_.IsShareOfThisServer(10, "/store1-c"));
    EXPECT_TRUE(admin_.IsShareOfThisServer(10, "/store1-a"));
}

TEST_F(ConfigAdminTest, ListingAndShowingSubclients) {
    ASSERT_EQ(0, admin_.AddSubclient(10, 1, "backups", 0).code);
    ASSERT_EQ(0, admin_.AddSubclient(11, 1, "more", 10).code);
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kSupportedProtocols, "smb").code);
    AdminResult result = admin_.ListSubclients();
    EXPECT_EQ((std::vector<std::string>{"10\t1\tmyhost\t0\tbackups", "11\t1\tmyhost\t10\tmore"}), result.rows);
    result = admin_.ShowSubclient(10);
    EXPECT_EQ("subclient 10 [backups] of client 1 [myhost], policy subclient 0", result.text);
    EXPECT_EQ((std::vector<std::string>{"quaySupportedProtocols\tsmb"}), result.rows);
    EXPECT_EQ(AdminProtocol::kNotFound, admin_.ShowSubclient(12).code);
    EXPECT_EQ(AdminProtocol::kAlreadyExists, admin_.AddClient(1, "again").code);
    EXPECT_EQ(AdminProtocol::kNotFound, admin_.AddSubclient(12, 5, "orphan", 0).code);
    EXPECT_EQ(AdminProtocol::kOk, admin_.RemoveSubclient(11).code);
    EXPECT_EQ(AdminProtocol::kNotFound, admin_.RemoveSubclient(11).code);
}

// A store belongs to the subclient that defined it: nobody else defines,
// names or views it, and no share path stands for two subclients.
TEST_F(ConfigAdminTest, AnOwnedStoreIsNobodyElsesToDefineNameOrView) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    ASSERT_EQ(0, admin_.AddView(10, "/store1-a", "1", false, false, {}).code);
    ASSERT_EQ(0, admin_.DefineStore(50, 1, "other").code);
    const struct {
        AdminResult result;
        int code;
        const char* text;
    } cases[] = {
        {admin_.DefineStore(51, 1, "store1"), AdminProtocol::kAlreadyExists, "store [store1] belongs to subclient 10"},
        {admin_.SetProperty(50, PropertyNames::kObjectStoreName, "/store1"), AdminProtocol::kAlreadyExists,
         "store [store1] belongs to subclient 10"},
        {admin_.DefineStore(51, 1, "store1-a"), AdminProtocol::kAlreadyExists,
         "share path [/store1-a] is a view of subclient 10"},
        {admin_.SetProperty(50, PropertyNames::kViewConfiguration, "<MntPath>/store1-b</MntPath>" + kAccess),
         AdminProtocol::kAlreadyExists, "store [store1] of share [/store1-b] belongs to subclient 10"},
        {admin_.SetProperty(50, PropertyNames::kViewConfiguration, "<MntPath>/nostore-b</MntPath>" + kAccess),
         AdminProtocol::kNotFound, "store [nostore] of share [/nostore-b] is not defined; run define-store 50 "
                                   "<client> nostore first"},
        {admin_.CheckShareOwner(50, "/store1", true), AdminProtocol::kAlreadyExists,
         "store [store1] of share [/store1] belongs to subclient 10"},
        {admin_.CheckShareOwner(50, "/store1-a", false), AdminProtocol::kAlreadyExists,
         "store [store1] of share [/store1-a] belongs to subclient 10"},
        {admin_.CheckShareOwner(50, "/notmystore", true), AdminProtocol::kNotFound,
         "store [notmystore] of share [/notmystore] is not defined; run define-store 50 <client> notmystore first"},
        {admin_.CheckShareOwner(10, "/store1/x", true), AdminProtocol::kBadRequest,
         "share path [/store1/x] does not name a store: a live store is /<store>, a PIT view /<store>-<name>"},
        {admin_.CheckShareOwner(10, "/store1", false), AdminProtocol::kBadRequest,
         "share path [/store1] does not name a store: a live store is /<store>, a PIT view /<store>-<name>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, c.result.code) << c.text;
        EXPECT_EQ(c.text, c.result.text);
    }
    EXPECT_EQ(AdminProtocol::kOk, admin_.CheckShareOwner(10, "/store1", true).code);
    EXPECT_EQ(AdminProtocol::kOk, admin_.CheckShareOwner(10, "/store1-a", false).code);
    SubclientRecord record;
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, db_.FindSubclient(51, record));
    EXPECT_EQ("other", Property(50, PropertyNames::kObjectStoreName));

    // A store called like another subclient's view path cannot be viewed
    // under that path either.
    ASSERT_EQ(0, admin_.DefineStore(60, 1, "v").code);
    ASSERT_EQ(0, admin_.DefineStore(61, 1, "v-x").code);
    const AdminResult clash = admin_.AddView(60, "/v-x", "1", false, false, {});
    EXPECT_EQ(AdminProtocol::kAlreadyExists, clash.code);
    EXPECT_EQ("share path [/v-x] (store [v-x]) belongs to subclient 61", clash.text);
}

TEST_F(ConfigAdminTest, OnlyRemovingTheSubclientOrReleasingTheStoreFreesIt) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    ASSERT_EQ(0, admin_.AddView(10, "/store1-a", "1", false, false, {}).code);
    // Taking the name away does not give the store away.
    ASSERT_EQ(0, admin_.RemoveProperty(10, PropertyNames::kObjectStoreName).code);
    EXPECT_EQ(AdminProtocol::kAlreadyExists, admin_.DefineStore(50, 1, "store1").code);

    AdminResult result = admin_.ReleaseStore(50, "store1");
    EXPECT_EQ(AdminProtocol::kNotFound, result.code);
    EXPECT_EQ("subclient 50 does not own store [store1]; subclient 10 does", result.text);
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kObjectStoreName, "store1").code);
    result = admin_.ReleaseStore(10, "/store1");
    ASSERT_EQ(AdminProtocol::kOk, result.code) << result.text;
    EXPECT_EQ("store [store1] released by subclient 10 (its store name and 1 view records removed); its data stays "
              "for the subclient that defines it next",
              result.text);
    EXPECT_EQ("(unset)", Property(10, PropertyNames::kObjectStoreName));
    EXPECT_EQ("", Property(10, PropertyNames::kViewConfiguration));
    EXPECT_EQ(AdminProtocol::kNotFound, admin_.ReleaseStore(10, "store1").code);

    ASSERT_EQ(0, admin_.DefineStore(50, 1, "store1").code);
    EXPECT_EQ(AdminProtocol::kOk, admin_.CheckShareOwner(50, "/store1", true).code);
    ASSERT_EQ(0, admin_.RemoveSubclient(50).code);
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
}

TEST_F(ConfigAdminTest, AViewAdmitsWhomItsStoreAdmitsUnlessToldOtherwise) {
    ASSERT_EQ(0, admin_.DefineStore(10, 1, "store1").code);
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kAllowedNFSClients, "10.0.0.0/8").code);
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kUsers, "1000").code);
    ASSERT_EQ(0, admin_.SetProperty(10, PropertyNames::kGroups, "").code);
    ASSERT_EQ(0, admin_.AddView(10, "/store1-a", "1", true, false, {}).code);
    const std::string clients = "127.0.0.1,localhost";
    const std::string users = "0,2000";
    ConfigAdmin::ViewAccess access;
    access.clients = &clients;
    access.users = &users;
    ASSERT_EQ(0, admin_.AddView(10, "/store1-b", "2", false, true, access).code);

    const AdminResult listed = admin_.ListViews(10);
    EXPECT_EQ("2 views of subclient 10", listed.text);
    EXPECT_EQ((std::vector<std::string>{"/store1-a\t1\tro\t10.0.0.0/8\t1000\t\tnfsserver1",
                                        "/store1-b\t2\trw\t127.0.0.1,localhost\t0,2000\t\tnfsserver1"}),
              listed.rows);
    // What the module reads back for the first view.
    Subclient subclient(10);
    std::string text;
    ASSERT_EQ(0, subclient.getQuayViewConfiguration(text, nullptr));
    EXPECT_NE(std::string::npos,
              text.find("<MntPath>/store1-a</MntPath><ToTime>1</ToTime><ReadOnly>1</ReadOnly><WritablePIT>0"
                        "</WritablePIT><SnapName>a</SnapName><NFSServer>nfsserver1</NFSServer><NFSClient>10.0.0.0/8"
                        "</NFSClient><UID>1000</UID><GID></GID>"))
        << text;

    const std::string bad = "127.0.0.1/33";
    access.clients = &bad;
    AdminResult result = admin_.AddView(10, "/store1-c", "3", false, false, access);
    EXPECT_EQ(AdminProtocol::kBadRequest, result.code);
    EXPECT_EQ("view access: --clients has [127.0.0.1/33], which is neither *, an address, an IPv4 network "
              "a.b.c.d/0-32 nor a host name",
              result.text);
    ASSERT_EQ(0, db_.SetProperty(10, PropertyNames::kAllowedNFSClients, "").IsError() ? 1 : 0);
    result = admin_.AddView(10, "/store1-c", "3", false, false, {});
    EXPECT_EQ(AdminProtocol::kBadRequest, result.code);
    EXPECT_EQ("view access: the store's quayAllowedNFSClients must not be empty: use * for every client",
              result.text);
    ASSERT_EQ(0, admin_.RemoveProperty(10, PropertyNames::kGroups).code);
    const std::string star = "*";
    access.clients = &star;
    result = admin_.AddView(10, "/store1-c", "3", false, false, access);
    EXPECT_EQ(AdminProtocol::kNotFound, result.code);
    EXPECT_EQ("subclient 10 has no quayGroups for the view to take; set it or give --groups", result.text);
    EXPECT_EQ(2u, admin_.ListViews(10).rows.size());
    EXPECT_EQ(AdminProtocol::kNotFound, admin_.ListViews(99).code);
}

}  // namespace
