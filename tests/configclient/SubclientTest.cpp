// Subclient getters and setters: statuses, value formats, the message cache
// and the test seams.
#include <functional>
#include <vector>

#include "configclient/CallRecorder.h"
#include "configclient/MessageCache.h"
#include "configclient/PropertyNames.h"
#include "tests/configclient/ConfigClientTest.h"

namespace {

// One getter, with its output turned into text. Typed outputs start from a
// sentinel so that a getter writing its output on failure shows.
struct Getter {
    const char* operation;
    const char* property;
    std::function<int(Subclient&, std::string&)> read;
    const char* stored;    // a valid stored value
    const char* expected;  // what the getter yields for it
};

template <typename T>
std::function<int(Subclient&, std::string&)> Typed(int (Subclient::*getter)(T&, void*), T sentinel) {
    return [getter, sentinel](Subclient& subclient, std::string& out) {
        T value = sentinel;
        const int status = (subclient.*getter)(value, nullptr);
        out = std::to_string(static_cast<long long>(value));
        return status;
    };
}

std::function<int(Subclient&, std::string&)> Text(int (Subclient::*getter)(std::string&, void*)) {
    return [getter](Subclient& subclient, std::string& out) { return (subclient.*getter)(out, nullptr); };
}

const std::vector<Getter>& Getters() {
    static const std::vector<Getter> getters = {
        {"getQuayAllowedNFSClients", PropertyNames::kAllowedNFSClients, Text(&Subclient::getQuayAllowedNFSClients),
         "10.0.0.1,host2", "10.0.0.1,host2"},
        {"getQuayUsers", PropertyNames::kUsers, Text(&Subclient::getQuayUsers), "1000,1001", "1000,1001"},
        {"getQuayGroups", PropertyNames::kGroups, Text(&Subclient::getQuayGroups), "*", "*"},
        {"getQuayAccessPermission", PropertyNames::kAccessPermission, Text(&Subclient::getQuayAccessPermission),
         "RO", "RO"},
        {"getQuaySquashType", PropertyNames::kSquashType,
         Typed(&Subclient::getQuaySquashType, ZEL_QUAY_ALL_SQUASH), "1", "1"},
        {"getQuayAnonUid", PropertyNames::kAnonUid, Typed(&Subclient::getQuayAnonUid, 4242u), "4294967295",
         "4294967295"},
        {"getQuayAnonGid", PropertyNames::kAnonGid, Typed(&Subclient::getQuayAnonGid, 4242u), "65534", "65534"},
        {"getQuayCopyPrecedence", PropertyNames::kCopyPrecedence, Typed(&Subclient::getQuayCopyPrecedence, 4242u),
         "0", "0"},
        {"getQuayACLEnableFlag", PropertyNames::kACLEnableFlag, Typed(&Subclient::getQuayACLEnableFlag, false),
         "true", "1"},
        {"getQuayBackupFilter", PropertyNames::kBackupFilter, Text(&Subclient::getQuayBackupFilter),
         "*.tmp;*.bak", "*.tmp;*.bak"},
        {"getQuaySupportDNFS", PropertyNames::kSupportDNFS, Typed(&Subclient::getQuaySupportDNFS, false), "1", "1"},
        {"getQuayIsCaseSensitive", PropertyNames::kIsCaseSensitive,
         Typed(&Subclient::getQuayIsCaseSensitive, true), "FALSE", "0"},
        {"getQuayVersionInterval", PropertyNames::kVersionInterval,
         Typed(&Subclient::getQuayVersionInterval, 4242), "-2147483648", "-2147483648"},
        {"getQuayVersionSupportNeeded", PropertyNames::kVersionSupportNeeded,
         Typed(&Subclient::getQuayVersionSupportNeeded, false), "True", "1"},
        {"getQuayViewConfiguration", PropertyNames::kViewConfiguration,
         Text(&Subclient::getQuayViewConfiguration), "<MntPath>/s-1</MntPath>;", "<MntPath>/s-1</MntPath>;"},
        {"getQuaySupportedProtocols", PropertyNames::kSupportedProtocols,
         Text(&Subclient::getQuaySupportedProtocols), "<Msg family=\"30\" id=\"3078\"></Msg>",
         "<Msg family=\"30\" id=\"3078\"></Msg>"},
        {"getQuayNFSServers", PropertyNames::kNFSServers, Text(&Subclient::getQuayNFSServers), "quay1", "quay1"},
    };
    return getters;
}

std::string Sentinel(const Getter& getter) {
    Subclient none(0);
    std::string out = "untouched";
    // Reading id 0 never succeeds: what comes back is the untouched output.
    getter.read(none, out);
    return out;
}

}  // namespace

using SubclientTest = ConfigClientTest;

TEST_P(SubclientTest, LookupAnswers100OnlyForMissingSubclient) {
    EXPECT_EQ(0, Subclient(kSubclient).lookup(nullptr));
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, Subclient(99).lookup(nullptr));
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, Subclient(0).lookup(nullptr));
}

TEST_P(SubclientTest, EveryGetterReadsItsOwnProperty) {
    for (const Getter& getter : Getters()) Set(kSubclient, getter.property, getter.stored);
    for (const Getter& getter : Getters()) {
        Subclient subclient(kSubclient);
        std::string out;
        EXPECT_EQ(0, getter.read(subclient, out)) << getter.operation;
        EXPECT_EQ(getter.expected, out) << getter.operation;
        EXPECT_EQ(1u, db().CallCount(kSubclient, getter.operation)) << getter.operation;
    }
}

TEST_P(SubclientTest, EveryGetterReportsUnsetPropertyAndKeepsItsOutput) {
    for (const Getter& getter : Getters()) {
        Subclient subclient(kSubclient);
        std::string out = "untouched";
        EXPECT_EQ(ZEL_PROP_NOT_FOUND, getter.read(subclient, out)) << getter.operation;
        EXPECT_EQ(Sentinel(getter), out) << getter.operation;
    }
}

TEST_P(SubclientTest, EveryGetterReportsMissingSubclient) {
    for (const Getter& getter : Getters()) {
        Subclient subclient(99);
        std::string out = "untouched";
        EXPECT_EQ(CONFIG_NO_SUBCLIENT, getter.read(subclient, out)) << getter.operation;
        EXPECT_EQ(Sentinel(getter), out) << getter.operation;
    }
}

TEST_P(SubclientTest, UnparsableValuesAreBadValueNotNotFound) {
    struct Case {
        const char* operation;
        const char* stored;
    };
    const Case cases[] = {
        {"getQuaySquashType", "3"},          {"getQuaySquashType", "root"},
        {"getQuayAnonUid", "-1"},            {"getQuayAnonUid", "4294967296"},
        {"getQuayAnonGid", " 65534"},        {"getQuayAnonGid", ""},
        {"getQuayCopyPrecedence", "+1"},     {"getQuayCopyPrecedence", "1x"},
        {"getQuayACLEnableFlag", "yes"},     {"getQuaySupportDNFS", "2"},
        {"getQuayIsCaseSensitive", ""},      {"getQuayVersionSupportNeeded", "truex"},
        {"getQuayVersionInterval", "2147483648"}, {"getQuayVersionInterval", "-"},
        {"getQuayVersionInterval", "99999999999999999999"},
    };
    for (const Case& c : cases) {
        const Getter* getter = nullptr;
        for (const Getter& candidate : Getters()) {
            if (std::string(candidate.operation) == c.operation) getter = &candidate;
        }
        ASSERT_NE(nullptr, getter) << c.operation;
        Set(kSubclient, getter->property, c.stored);
        Flush();
        Subclient subclient(kSubclient);
        std::string out;
        EXPECT_EQ(CONFIG_BAD_VALUE, getter->read(subclient, out)) << c.operation << " [" << c.stored << "]";
        EXPECT_EQ(Sentinel(*getter), out) << c.operation << " [" << c.stored << "]";
    }
}

TEST_P(SubclientTest, SettersStoreTheirValues) {
    Subclient subclient(kSubclient);
    EXPECT_EQ(0, subclient.setQuayConfigOperationInProgress(false, nullptr));
    EXPECT_EQ("0", Stored(kSubclient, PropertyNames::kConfigOperationInProgress));
    EXPECT_EQ(0, subclient.setQuayConfigOperationInProgress(true, nullptr));
    EXPECT_EQ("1", Stored(kSubclient, PropertyNames::kConfigOperationInProgress));
    EXPECT_EQ(0, subclient.setQuayIsCaseSensitive(false, nullptr));
    EXPECT_EQ("0", Stored(kSubclient, PropertyNames::kIsCaseSensitive));
    EXPECT_EQ(0, subclient.setQuayIsCaseSensitive(true, nullptr));
    EXPECT_EQ("1", Stored(kSubclient, PropertyNames::kIsCaseSensitive));
    const std::string protocols = "<Msg family=\"30\" id=\"3078\"></Msg>";
    EXPECT_EQ(0, subclient.setQuaySupportedProtocols(protocols, nullptr));
    EXPECT_EQ(protocols, Stored(kSubclient, PropertyNames::kSupportedProtocols));
    bool sensitive = false;
    EXPECT_EQ(0, subclient.getQuayIsCaseSensitive(sensitive, nullptr));
    EXPECT_TRUE(sensitive);
}

TEST_P(SubclientTest, SettersOnMissingSubclientFailAndStoreNothing) {
    Subclient missing(99);
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, missing.setQuayConfigOperationInProgress(false, nullptr));
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, missing.setQuayIsCaseSensitive(true, nullptr));
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, missing.setQuaySupportedProtocols("x", nullptr));
    bool sensitive = false;
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, missing.getQuayIsCaseSensitive(sensitive, nullptr));
}

TEST_P(SubclientTest, PolicyIdComesFromTheSubclientRow) {
    ASSERT_FALSE(db().AddSubclient(20, kClient, "policy", 0).IsError());
    ASSERT_FALSE(db().AddSubclient(21, kClient, "member", 20).IsError());
    unsigned long policy = 777;
    EXPECT_EQ(0, Subclient(21).getSubclientPolicyId(policy, nullptr));
    EXPECT_EQ(20u, policy);
    policy = 777;
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, Subclient(20).getSubclientPolicyId(policy, nullptr));
    EXPECT_EQ(777u, policy);
    EXPECT_EQ(CONFIG_NO_SUBCLIENT, Subclient(99).getSubclientPolicyId(policy, nullptr));
    EXPECT_EQ(777u, policy);
}

TEST_P(SubclientTest, DirectDatabaseChangeIsSeenOnlyAfterFlush) {
    Set(kSubclient, PropertyNames::kNFSServers, "old");
    std::string servers;
    ASSERT_EQ(0, Subclient(kSubclient).getQuayNFSServers(servers, nullptr));
    Set(kSubclient, PropertyNames::kNFSServers, "new");
    ASSERT_EQ(0, Subclient(kSubclient).getQuayNFSServers(servers, nullptr));
    EXPECT_EQ("old", servers);
    Flush();
    ASSERT_EQ(0, Subclient(kSubclient).getQuayNFSServers(servers, nullptr));
    EXPECT_EQ("new", servers);
}

TEST_P(SubclientTest, LookupSeesRemovedSubclientAfterFlush) {
    ASSERT_EQ(0, Subclient(kSubclient).lookup(nullptr));
    ASSERT_FALSE(db().RemoveSubclient(kSubclient).IsError());
    EXPECT_EQ(0, Subclient(kSubclient).lookup(nullptr));
    Flush();
    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, Subclient(kSubclient).lookup(nullptr));
}

TEST_P(SubclientTest, UnsetPropertiesAreNotCached) {
    std::string users;
    ASSERT_EQ(ZEL_PROP_NOT_FOUND, Subclient(kSubclient).getQuayUsers(users, nullptr));
    Set(kSubclient, PropertyNames::kUsers, "5");
    EXPECT_EQ(0, Subclient(kSubclient).getQuayUsers(users, nullptr));
    EXPECT_EQ("5", users);
}

TEST_P(SubclientTest, DisabledCacheReadsThroughUntilEnabled) {
    Set(kSubclient, PropertyNames::kGroups, "a");
    EnableAppMgrClientMessageCache(false);
    std::string groups;
    ASSERT_EQ(0, Subclient(kSubclient).getQuayGroups(groups, nullptr));
    Set(kSubclient, PropertyNames::kGroups, "b");
    ASSERT_EQ(0, Subclient(kSubclient).getQuayGroups(groups, nullptr));
    EXPECT_EQ("b", groups);
    EnableAppMgrClientMessageCache(true);
    ASSERT_EQ(0, Subclient(kSubclient).getQuayGroups(groups, nullptr));
    Set(kSubclient, PropertyNames::kGroups, "c");
    ASSERT_EQ(0, Subclient(kSubclient).getQuayGroups(groups, nullptr));
    EXPECT_EQ("b", groups);
}

TEST_P(SubclientTest, WritesThroughTheClientUpdateTheCache) {
    std::string protocols;
    Set(kSubclient, PropertyNames::kSupportedProtocols, "before");
    ASSERT_EQ(0, Subclient(kSubclient).getQuaySupportedProtocols(protocols, nullptr));
    ASSERT_EQ(0, Subclient(kSubclient).setQuaySupportedProtocols("after", nullptr));
    ASSERT_EQ(0, Subclient(kSubclient).getQuaySupportedProtocols(protocols, nullptr));
    EXPECT_EQ("after", protocols);
    bool sensitive = true;
    Set(kSubclient, PropertyNames::kIsCaseSensitive, "1");
    ASSERT_EQ(0, Subclient(kSubclient).getQuayIsCaseSensitive(sensitive, nullptr));
    ASSERT_EQ(0, Subclient(kSubclient).setQuayIsCaseSensitive(false, nullptr));
    ASSERT_EQ(0, Subclient(kSubclient).getQuayIsCaseSensitive(sensitive, nullptr));
    EXPECT_FALSE(sensitive);
}

TEST_P(SubclientTest, ReadThatRacedWithAWriteOrFlushIsNotCached) {
    // The interleaving a reader thread can hit: it fetched the old value,
    // then a write (or flush) went through before it stored that value.
    MessageCache& cache = MessageCache::Instance();
    const uint64_t beforeWrite = cache.Epoch();
    ASSERT_EQ(0, cache.WriteProperty(kSubclient, "p", "new", [] { return 0; }));
    cache.PutProperty(kSubclient, "p", "old", beforeWrite);
    std::string value;
    ASSERT_TRUE(cache.GetProperty(kSubclient, "p", value));
    EXPECT_EQ("new", value);

    const uint64_t beforeFlush = cache.Epoch();
    Flush();
    cache.PutProperty(kSubclient, "p", "old", beforeFlush);
    EXPECT_FALSE(cache.GetProperty(kSubclient, "p", value));
}

TEST_P(SubclientTest, OverrideAnswersForOneSubclientAndOperationUntilCleared) {
    ASSERT_FALSE(db().AddSubclient(11, kClient, "sc11", 0).IsError());
    db().SetStatusOverride(kSubclient, "lookup", ZEL_SUBCLIENT_NOT_FOUND);
    db().SetStatusOverride(kSubclient, "setQuayConfigOperationInProgress", 7);
    db().SetStatusOverride(kSubclient, "getQuayUsers", ZEL_PROP_NOT_FOUND);
    Set(kSubclient, PropertyNames::kUsers, "1");

    EXPECT_EQ(ZEL_SUBCLIENT_NOT_FOUND, Subclient(kSubclient).lookup(nullptr));
    EXPECT_EQ(7, Subclient(kSubclient).setQuayConfigOperationInProgress(false, nullptr));
    EXPECT_EQ("<unset>", Stored(kSubclient, PropertyNames::kConfigOperationInProgress));
    std::string users = "keep";
    EXPECT_EQ(ZEL_PROP_NOT_FOUND, Subclient(kSubclient).getQuayUsers(users, nullptr));
    EXPECT_EQ("keep", users);
    EXPECT_EQ(0, Subclient(11).lookup(nullptr));
    EXPECT_EQ(0, Subclient(11).setQuayConfigOperationInProgress(false, nullptr));

    db().ClearStatusOverrides();
    EXPECT_EQ(0, Subclient(kSubclient).lookup(nullptr));
    EXPECT_EQ(0, Subclient(kSubclient).setQuayConfigOperationInProgress(false, nullptr));
    EXPECT_EQ("0", Stored(kSubclient, PropertyNames::kConfigOperationInProgress));
}

TEST_P(SubclientTest, CallLogKeepsOrderAndCountsIncludingOverriddenCalls) {
    db().SetStatusOverride(kSubclient, "setQuayConfigOperationInProgress", 7);
    Flush();
    Subclient(kSubclient).lookup(nullptr);
    Subclient(kSubclient).setQuayConfigOperationInProgress(false, nullptr);
    Subclient(kSubclient).setQuayConfigOperationInProgress(false, nullptr);
    const std::vector<ConfigCall> expected = {
        {0, "EnableAppMgrClientMessageCache(false)"},
        {0, "EnableAppMgrClientMessageCache(true)"},
        {kSubclient, "lookup"},
        {kSubclient, "setQuayConfigOperationInProgress"},
        {kSubclient, "setQuayConfigOperationInProgress"},
    };
    EXPECT_EQ(expected, db().CallLog());
    EXPECT_EQ(2u, db().CallCount(kSubclient, "setQuayConfigOperationInProgress"));
    EXPECT_EQ(0u, db().CallCount(11, "setQuayConfigOperationInProgress"));
    db().ClearCallLog();
    EXPECT_TRUE(db().CallLog().empty());
    EXPECT_EQ(0u, db().CallCount(kSubclient, "lookup"));
}

TEST_P(SubclientTest, CallLogKeepsOnlyTheLatestCalls) {
    const size_t calls = CallRecorder::kLogCapacity + 5;
    for (size_t i = 0; i < calls; ++i) Subclient(i < 5 ? 99 : kSubclient).lookup(nullptr);
    const std::vector<ConfigCall> log = db().CallLog();
    ASSERT_EQ(CallRecorder::kLogCapacity, log.size());
    EXPECT_EQ(kSubclient, log.front().subclientId);
    EXPECT_EQ(5u, db().CallCount(99, "lookup"));
    EXPECT_EQ(CallRecorder::kLogCapacity, db().CallCount(kSubclient, "lookup"));
}
ON_EVERY_BACKEND(SubclientTest);
