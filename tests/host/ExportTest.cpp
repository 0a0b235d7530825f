#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/ClientMatcher.h"
#include "host/Export.h"

namespace {

ExportPtr MakeExport(const std::string& clients, unsigned int shareId = 7,
                     const std::string& path = "/store") {
    ExportPtr none;
    return ExportPtr(new Export(path, SHARE_PERM_READ_WRITE, clients, shareId, none));
}

std::string Clients(Export& exp) {
    std::string text = "unchanged";
    exp.GetAllowedClients(text);
    return text;
}

TEST(ExportClients, ConstructorListIsTrimmedAndWithoutDuplicates) {
    EXPECT_EQ("10.0.0.1,host-a,10.1.0.0/16",
              Clients(*MakeExport(" 10.0.0.1, host-a,,10.0.0.1 ,10.1.0.0/16,")));
    EXPECT_EQ("", Clients(*MakeExport("")));
    EXPECT_EQ("", Clients(*MakeExport(" , ,")));
}

TEST(ExportClients, FillAddsOnlyNewEntriesAndRemoveTakesTheGivenOnes) {
    ExportPtr exp = MakeExport("a,b");
    exp->FillAllowedClients("b, c,d,c");
    EXPECT_EQ("a,b,c,d", Clients(*exp));
    exp->RemoveAllowedClients("b,x, d");
    EXPECT_EQ("a,c", Clients(*exp));
    exp->RemoveAllowedClients("");
    EXPECT_EQ("a,c", Clients(*exp));
}

TEST(ExportClients, ReplacingTheListThroughGetRemoveFill) {
    ExportPtr exp = MakeExport("10.0.0.1,10.0.0.2,*");
    std::string current;
    exp->GetAllowedClients(current);
    exp->RemoveAllowedClients(current);
    EXPECT_EQ("", Clients(*exp));
    exp->FillAllowedClients("192.168.1.0/24");
    EXPECT_EQ("192.168.1.0/24", Clients(*exp));
}

TEST(ExportClients, AuthorizeByListEntryKind) {
    struct Case {
        const char* list;
        const char* address;
        const char* host;
        bool admitted;
    } cases[] = {
        {"", "10.9.9.9", "", true},  // no list: everybody
        {"*", "10.9.9.9", "", true},
        {"10.0.0.1", "10.0.0.1", "", true},
        {"10.0.0.1", "10.0.0.2", "", false},
        {"10.1.0.0/16", "10.1.255.3", "", true},
        {"10.1.0.0/16", "10.2.0.1", "", false},
        {"10.1.2.3/32", "10.1.2.3", "", true},
        {"10.1.2.3/32", "10.1.2.4", "", false},
        {"0.0.0.0/0", "203.0.113.5", "", true},
        {"10.1.0.0/33", "10.1.0.1", "", false},  // malformed network admits nobody
        {"10.1.0.0/", "10.1.0.1", "", false},
        {"10.1.0.0/x", "10.1.0.1", "", false},
        {"10.0.0.0/8", "::ffff:10.3.4.5", "", true},  // IPv4-mapped client
        {"10.0.0.7", "::ffff:10.0.0.7", "", true},
        {"fe80::1", "fe80::1", "", true},
        {"fe80::1", "fe80:0:0::1", "", true},  // same address, other spelling
        {"fe80::1", "fe80::2", "", false},
        {"fe80::/64", "fe80::2", "", false},  // IPv6 matches exactly only
        {"backup-1.example.com", "10.0.0.5", "Backup-1.Example.com", true},
        {"*.example.com", "10.0.0.5", "db.example.com", true},
        {"*.example.com", "10.0.0.5", "db.example.org", false},
        {"backup-1", "10.0.0.5", "", false},
        {"10.0.0.1,10.2.0.0/16", "10.2.3.4", "", true},
        {"10.0.0.1,10.2.0.0/16", "10.3.3.4", "", false},
        {"10.0.0.1", "not-an-address", "", false},
    };
    for (const Case& c : cases) {
        ExportPtr exp = MakeExport(c.list);
        EXPECT_EQ(c.admitted, exp->Authorize(ZELIPAddr{c.address}, c.host))
            << "list [" << c.list << "] address " << c.address << " host " << c.host;
    }
}

TEST(ExportClients, EntriesAreClassifiedAsTheMatcherReadsThem) {
    using Kind = ClientMatcher::EntryKind;
    const std::pair<const char*, Kind> cases[] = {
        {"*", Kind::kEveryone},         {"10.0.0.1", Kind::kAddress},       {"fe80::1", Kind::kAddress},
        {"10.0.0.0/8", Kind::kNetwork}, {"0.0.0.0/0", Kind::kNetwork},      {"127.0.0.1/33", Kind::kMalformed},
        {"10.0.0.0/", Kind::kMalformed}, {"fe80::/64", Kind::kMalformed},   {"localhost", Kind::kHostName},
        {"backup-1.example.com", Kind::kHostName}, {"*.example.com", Kind::kMalformed},
        {"10.0.0.256", Kind::kMalformed}, {"a b", Kind::kMalformed},        {"", Kind::kMalformed},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, ClientMatcher::Classify(c.first)) << c.first;
}

// A name admits the addresses it resolved to when the list was set.
// "localhost" resolves from the hosts file; ".invalid" never resolves.
TEST(ExportClients, HostNamesAdmitTheirAddresses) {
    ExportPtr exp = MakeExport("localhost,no-such-host.invalid");
    EXPECT_TRUE(exp->Authorize(ZELIPAddr{"127.0.0.1"}, ""));
    EXPECT_TRUE(exp->Authorize(ZELIPAddr{"::ffff:127.0.0.1"}, ""));
    EXPECT_FALSE(exp->Authorize(ZELIPAddr{"10.0.0.1"}, ""));
    Export copy(*exp);
    EXPECT_TRUE(copy.Authorize(ZELIPAddr{"127.0.0.1"}, ""));

    exp->RemoveAllowedClients("localhost");
    EXPECT_FALSE(exp->Authorize(ZELIPAddr{"127.0.0.1"}, ""));  // only the unresolvable name is left
    exp->FillAllowedClients("localhost");
    EXPECT_TRUE(exp->Authorize(ZELIPAddr{"127.0.0.1"}, ""));
    EXPECT_EQ("no-such-host.invalid,localhost", Clients(*exp));
    EXPECT_TRUE(ClientMatcher::Resolve("no-such-host.invalid").empty());
}

TEST(ExportClients, AuthorizeAnyOfSeveralAddresses) {
    ExportPtr exp = MakeExport("10.0.0.0/24");
    EXPECT_TRUE(exp->Authorize({ZELIPAddr{"192.168.0.1"}, ZELIPAddr{"10.0.0.9"}}, ""));
    EXPECT_FALSE(exp->Authorize({ZELIPAddr{"192.168.0.1"}, ZELIPAddr{"10.0.1.9"}}, ""));
    EXPECT_FALSE(exp->Authorize(std::vector<ZELIPAddr>{}, ""));
}

TEST(ExportBase, SlotDefaults) {
    ExportPtr exp = MakeExport("");
    nfs_fh3 handle;
    handle.length = 41;
    exp->GetFileHandle(ZELIPAddr{"10.0.0.1"}, handle);
    EXPECT_EQ(0u, handle.length);
    EXPECT_EQ(0, exp->GetFSModuleType());
    EXPECT_TRUE(exp->LoadOnRestart());
    EXPECT_FALSE(exp->isQuayFDCacheSupported());
    EXPECT_EQ(SHARE_PERM_READ_WRITE, exp->GetSharePerms());
    exp->SetSharePerms(SHARE_PERM_READ_ONLY);
    EXPECT_EQ(SHARE_PERM_READ_ONLY, exp->GetSharePerms());
    EXPECT_EQ("/store", exp->GetPath());
    EXPECT_EQ(7u, exp->GetShareId());
}

TEST(ExportSettings, OptionalParameters) {
    ExportPtr exp = MakeExport("");
    std::string value = "untouched";
    EXPECT_FALSE(exp->GetOptionalParam("subClientID", value));
    EXPECT_EQ("untouched", value);

    exp->SetOptionalParam("subClientID", "12");
    exp->SetOptionalParam("snapName", "");
    exp->SetOptionalParam("subClientID", "13");
    EXPECT_TRUE(exp->GetOptionalParam("subClientID", value));
    EXPECT_EQ("13", value);
    EXPECT_TRUE(exp->GetOptionalParam("snapName", value));  // present though empty
    EXPECT_EQ("", value);
    std::map<std::string, std::string> expected{{"snapName", ""}, {"subClientID", "13"}};
    EXPECT_EQ(expected, exp->GetOptionalParams());
}

TEST(ExportSettings, CopyTakesEverythingAndStaysIndependent) {
    ExportPtr none;
    Export original("/pit-1", SHARE_PERM_READ_ONLY, "10.0.0.1,h", 12, none);
    original.SetOptionalParam("k", "v");
    original.SetNfsVersions("4");
    original.SetSquashingType(ZEL_QUAY_ROOT_SQUASH);
    original.SetAnonUid(1);
    original.SetAnonGid(2);
    original.EnableACL(true);
    original.SetSMBEnabled(true);

    Export copy(original);
    original.FillAllowedClients("later");
    original.SetOptionalParam("k", "changed");

    EXPECT_EQ("/pit-1", copy.GetPath());
    EXPECT_EQ(12u, copy.GetShareId());
    EXPECT_EQ(SHARE_PERM_READ_ONLY, copy.GetSharePerms());
    EXPECT_EQ("10.0.0.1,h", Clients(copy));
    std::string value;
    EXPECT_TRUE(copy.GetOptionalParam("k", value));
    EXPECT_EQ("v", value);
    EXPECT_EQ("4", copy.GetNfsVersions());
    EXPECT_EQ(ZEL_QUAY_ROOT_SQUASH, copy.GetSquashingType());
    EXPECT_EQ(1u, copy.GetAnonUid());
    EXPECT_EQ(2u, copy.GetAnonGid());
    EXPECT_TRUE(copy.IsACLEnabled());
    EXPECT_TRUE(copy.GetSMBEnabled());
}

// An update replaces settings while request threads authorise and read.
TEST(ExportConcurrency, UpdatesBesideReaders) {
    ExportPtr exp = MakeExport("10.0.0.0/8");
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0};
    std::thread reader([&] {
        while (!stop.load()) {
            // 10.0.0.0/8 is in every list the writer installs.
            if (!exp->Authorize(ZELIPAddr{"10.1.1.1"}, "")) refused++;
            std::string value;
            exp->GetOptionalParam("n", value);
            exp->GetNfsVersions();
            Export copy(*exp);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        exp->FillAllowedClients("192.168." + std::to_string(i % 250) + ".0/24");
        exp->RemoveAllowedClients("192.168." + std::to_string((i + 125) % 250) + ".0/24");
        exp->SetOptionalParam("n", std::to_string(i));
        exp->SetNfsVersions(i % 2 ? "3,4" : "4");
    }
    stop = true;
    reader.join();
    EXPECT_EQ(0, refused.load());
}

}  // namespace
