#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "host/ExportCache.h"
#include "host/HostServices.h"
#include "tests/host/HostTestSupport.h"

namespace {

using hosttest::FileExists;
using hosttest::ListDir;
using hosttest::ReadFile;

class HostServicesTest : public hosttest::HostTest {
protected:
    ExportPtr MakeExport(unsigned int id, const std::string& path, const std::string& clients,
                         SharePerms perms = SHARE_PERM_READ_WRITE) {
        ExportPtr none;
        return ExportPtr(new Export(path, perms, clients, id, none));
    }
    std::string GaneshaFile(unsigned int id) {
        return dataDir_.path() + "/ganesha/export_" + std::to_string(id) + ".conf";
    }
    std::string SambaFile(unsigned int id) {
        return dataDir_.path() + "/samba/share_" + std::to_string(id) + ".conf";
    }
    std::vector<std::string> Calls() { return HostCallLog::Calls(); }
};

TEST_F(HostServicesTest, GaneshaExportForAnOpenShare) {
    ExportPtr exp = MakeExport(7, "/store", "");
    exp->SetNfsVersions("3,4");
    ASSERT_EQ(0, CreateGaneshaExport(exp));
    EXPECT_EQ(
        "EXPORT\n{\n"
        "\tExport_Id = 7;\n"
        "\tPath = \"/store\";\n"
        "\tPseudo = \"/store\";\n"
        "\tAccess_Type = RW;\n"
        "\tSquash = No_Root_Squash;\n"
        "\tAnonymous_Uid = 65534;\n"
        "\tAnonymous_Gid = 65534;\n"
        "\tProtocols = 3, 4;\n"
        "\tCLIENT\n\t{\n"
        "\t\tClients = *;\n"
        "\t\tAccess_Type = RW;\n"
        "\t}\n}\n",
        ReadFile(GaneshaFile(7)));
    EXPECT_EQ(std::vector<std::string>{"export_7.conf"}, ListDir(dataDir_.path() + "/ganesha"));
}

TEST_F(HostServicesTest, GaneshaExportAdmitsOnlyTheListedClients) {
    ExportPtr exp = MakeExport(12, "/pit/a-1", "10.0.0.0/8,backup-host", SHARE_PERM_READ_ONLY);
    exp->SetNfsVersions("4");
    exp->SetSquashingType(ZEL_QUAY_ALL_SQUASH);
    exp->SetAnonUid(1000);
    exp->SetAnonGid(2000);
    exp->SetSMBEnabled(true);
    ASSERT_EQ(0, CreateGaneshaExport(exp));
    EXPECT_EQ(
        "EXPORT\n{\n"
        "\tExport_Id = 12;\n"
        "\tPath = \"/pit/a-1\";\n"
        "\tPseudo = \"/pit/a-1\";\n"
        "\tAccess_Type = None;\n"
        "\tSquash = All_Squash;\n"
        "\tAnonymous_Uid = 1000;\n"
        "\tAnonymous_Gid = 2000;\n"
        "\tProtocols = 4;\n"
        "\tCLIENT\n\t{\n"
        "\t\tClients = 10.0.0.0/8, backup-host, 127.0.0.1;\n"
        "\t\tAccess_Type = RO;\n"
        "\t}\n}\n",
        ReadFile(GaneshaFile(12)));

    // Update after SMB was switched off takes 127.0.0.1 out again.
    exp->SetSMBEnabled(false);
    exp->SetSquashingType(ZEL_QUAY_ROOT_SQUASH);
    ASSERT_EQ(0, UpdateGaneshaExport(exp));
    std::string text = ReadFile(GaneshaFile(12));
    EXPECT_NE(std::string::npos, text.find("\t\tClients = 10.0.0.0/8, backup-host;\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\tSquash = Root_Squash;\n")) << text;
}

TEST_F(HostServicesTest, GaneshaProtocolsFromNfsVersions) {
    struct Case {
        const char* versions;
        const char* protocols;
    } cases[] = {{"3,4", "3, 4"},         {"4", "4"},     {"3", "3"},     {"", "3, 4"},
                 {"nfsv3,nfsv4", "3, 4"}, {"nfsv4", "4"}, {"smb", "3, 4"}};
    ExportPtr exp = MakeExport(3, "/s", "*");
    for (const Case& c : cases) {
        exp->SetNfsVersions(c.versions);
        ASSERT_EQ(0, UpdateGaneshaExport(exp));
        EXPECT_NE(
            std::string::npos,
            ReadFile(GaneshaFile(3)).find(std::string("\tProtocols = ") + c.protocols + ";\n"))
            << c.versions;
    }
}

TEST_F(HostServicesTest, GaneshaExportRefusesWhatWouldBreakItsFile) {
    struct Case {
        unsigned int id;
        const char* path;
        const char* clients;
        int result;
    } cases[] = {
        {4, "/a\"b", "", EINVAL},        {4, "/a\nb", "", EINVAL},  {4, "relative", "", EINVAL},
        {4, "/a", "10.0.0.1;x", EINVAL}, {4, "/a", "h{1}", EINVAL}, {70000, "/a", "", ERANGE},
    };
    for (const Case& c : cases) {
        ExportPtr exp = MakeExport(c.id, c.path, c.clients);
        EXPECT_EQ(c.result, CreateGaneshaExport(exp)) << c.path << " " << c.clients;
    }
    EXPECT_TRUE(ListDir(dataDir_.path() + "/ganesha").empty());
    EXPECT_TRUE(Logged(-1, "ERROR: Allowed client [10.0.0.1;x] of [/a] is malformed")) << Dump();
    EXPECT_TRUE(Logged(-1, "ERROR: Share ID [70000] of [/a] is not a valid Ganesha export id"))
        << Dump();

    ExportPtr null;
    EXPECT_EQ(EINVAL, CreateGaneshaExport(null));
    EXPECT_EQ("CreateGaneshaExport 0", Calls().back());
}

TEST_F(HostServicesTest, GaneshaExportRemoval) {
    ExportPtr exp = MakeExport(5, "/s", "");
    ASSERT_EQ(0, CreateGaneshaExport(exp));
    ManageGaneshaExport(GANESHA_CMD_REMOVE, 5);
    EXPECT_FALSE(FileExists(GaneshaFile(5)));
    ManageGaneshaExport(GANESHA_CMD_REMOVE, 5);  // nothing left: no error
    ManageGaneshaExport(9, 5);
    EXPECT_TRUE(Logged(-1, "ERROR: Unknown Ganesha export command [9] for share ID [5]")) << Dump();
    std::vector<LogLine> lines = Lines();
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                               [](const LogLine& l) { return l.level == -1; }))
        << Dump();
}

TEST_F(HostServicesTest, WriteFailureIsReportedAndLeavesNothingBehind) {
    hosttest::WriteFile(dataDir_.path() + "/ganesha", "a file where the folder belongs");
    ExportPtr exp = MakeExport(6, "/s", "");
    EXPECT_EQ(ENOTDIR, CreateGaneshaExport(exp));
    EXPECT_EQ(std::vector<std::string>{"ganesha"}, ListDir(dataDir_.path()));
}

TEST_F(HostServicesTest, SambaShareLifecycle) {
    ExportPtr exp = MakeExport(8, "/backups/store 1", "");
    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_CREATE, exp, 4));
    EXPECT_EQ("[backups_store_1]\n\tpath = /backups/store 1\n\tread only = no\n",
              ReadFile(SambaFile(8)));

    exp->SetSharePerms(SHARE_PERM_READ_ONLY);
    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_UPDATE, exp, 4));
    EXPECT_EQ("[backups_store_1]\n\tpath = /backups/store 1\n\tread only = yes\n",
              ReadFile(SambaFile(8)));

    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_REMOVE, exp, 4));
    EXPECT_FALSE(FileExists(SambaFile(8)));
    EXPECT_EQ(0, ManageSambaShare(SAMBA_CMD_REMOVE, exp, 4));
    EXPECT_EQ(EINVAL, ManageSambaShare(3, exp, 4));
    EXPECT_EQ(EINVAL, ManageSambaShare(SAMBA_CMD_CREATE, ExportPtr(), 4));
    EXPECT_EQ(EINVAL, ManageSambaShare(SAMBA_CMD_CREATE, MakeExport(9, "/a\nb", ""), 4));
    EXPECT_FALSE(FileExists(SambaFile(9)));
}

TEST_F(HostServicesTest, SambaShareNamesAreDistinctPerPath) {
    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_CREATE, MakeExport(1, "/", ""), 4));
    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_CREATE, MakeExport(2, "/a/store/", ""), 4));
    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_CREATE, MakeExport(3, "/b/store", ""), 4));
    EXPECT_EQ(0u, ReadFile(SambaFile(1)).find("[root]\n"));
    EXPECT_EQ(0u, ReadFile(SambaFile(2)).find("[a_store]\n"));
    EXPECT_EQ(0u, ReadFile(SambaFile(3)).find("[b_store]\n"));
}

TEST_F(HostServicesTest, RemoveSMBShareByPath) {
    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_CREATE, MakeExport(1, "/store", ""), 4));
    ASSERT_EQ(0, ManageSambaShare(SAMBA_CMD_CREATE, MakeExport(2, "/store2", ""), 4));
    EXPECT_EQ(0, RemoveSMBShare("/store", 4));
    EXPECT_EQ(std::vector<std::string>{"share_2.conf"}, ListDir(dataDir_.path() + "/samba"));
    EXPECT_EQ(0, RemoveSMBShare("/store", 4));  // none left
    EXPECT_EQ(0, RemoveSMBShare("/elsewhere", 4));
}

TEST_F(HostServicesTest, RemoveSMBShareWithoutSambaFolder) {
    EXPECT_EQ(0, RemoveSMBShare("/store", 4));
    EXPECT_FALSE(FileExists(dataDir_.path() + "/samba"));
}

TEST_F(HostServicesTest, CallLogKeepsEveryCallInOrder) {
    ExportPtr exp = MakeExport(7, "/store", "");
    CreateGaneshaExport(exp);
    UpdateGaneshaExport(exp);
    ManageSambaShare(SAMBA_CMD_CREATE, exp, 4);
    ManageSambaShare(SAMBA_CMD_UPDATE, exp, 4);
    RemoveSMBShare("/store", 4);
    ManageGaneshaExport(GANESHA_CMD_REMOVE, 7);
    SaveMountPointTable();
    EXPECT_EQ((std::vector<std::string>{"CreateGaneshaExport 7", "UpdateGaneshaExport 7",
                                        "ManageSambaShare 1 7 4", "ManageSambaShare 4 7 4",
                                        "RemoveSMBShare /store 4", "ManageGaneshaExport 2 7",
                                        "SaveMountPointTable"}),
              Calls());
    HostCallLog::Clear();
    EXPECT_TRUE(Calls().empty());
}

TEST_F(HostServicesTest, PlannedFailuresSkipTheWork) {
    ExportPtr exp = MakeExport(7, "/store", "");
    HostCallLog::FailNext("CreateGaneshaExport", 2, 5);
    EXPECT_EQ(5, CreateGaneshaExport(exp));
    EXPECT_EQ(0, UpdateGaneshaExport(exp));  // other services run
    ManageGaneshaExport(GANESHA_CMD_REMOVE, 7);
    EXPECT_EQ(5, CreateGaneshaExport(exp));
    EXPECT_FALSE(FileExists(GaneshaFile(7)));
    EXPECT_EQ(0, CreateGaneshaExport(exp));  // plan used up
    EXPECT_TRUE(FileExists(GaneshaFile(7)));
    EXPECT_EQ(5u, Calls().size());

    HostCallLog::FailNext("ManageGaneshaExport", 1, 1);
    ManageGaneshaExport(GANESHA_CMD_REMOVE, 7);
    EXPECT_TRUE(FileExists(GaneshaFile(7)));

    HostCallLog::FailNext("ManageSambaShare", 1, 22);
    EXPECT_EQ(22, ManageSambaShare(SAMBA_CMD_CREATE, exp, 4));
    EXPECT_FALSE(FileExists(SambaFile(7)));
    HostCallLog::FailNext("RemoveSMBShare", 3, 9);
    HostCallLog::FailNext("RemoveSMBShare", 0, 9);  // cancelled
    EXPECT_EQ(0, RemoveSMBShare("/store", 4));

    HostCallLog::FailNext("SaveMountPointTable", 1, 1);
    SaveMountPointTable();
    EXPECT_FALSE(FileExists(dataDir_.path() + "/mounttab"));
    HostCallLog::FailNext("CreateGaneshaExport", 1, 5);
    HostCallLog::Clear();  // forgets plans too
    EXPECT_EQ(0, CreateGaneshaExport(exp));
}

TEST_F(HostServicesTest, MountTableListsServedExports) {
    SaveMountPointTable();
    EXPECT_EQ("", ReadFile(dataDir_.path() + "/mounttab"));
    EXPECT_TRUE(FileExists(dataDir_.path() + "/mounttab"));

    ExportPtr b = MakeExport(9, "/b", "", SHARE_PERM_READ_ONLY);
    ExportPtr a = MakeExport(2, "/a", "");
    ExportPtr odd = MakeExport(4, "/x\ty\\z\nw", "");
    gAllExports->AddExport(b);
    gAllExports->AddExport(a);
    gAllExports->AddExport(odd);
    SaveMountPointTable();
    EXPECT_EQ("2\t/a\trw\n4\t/x\\ty\\\\z\\nw\trw\n9\t/b\tro\n",
              ReadFile(dataDir_.path() + "/mounttab"));

    gAllExports->RemoveExport(odd);
    gAllExports->RemoveExport(b);
    SaveMountPointTable();
    EXPECT_EQ("2\t/a\trw\n", ReadFile(dataDir_.path() + "/mounttab"));
    EXPECT_EQ(std::vector<std::string>{"mounttab"}, ListDir(dataDir_.path()));  // no temporaries
}

TEST_F(HostServicesTest, ConcurrentServiceCalls) {
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 15; ++i) {
                unsigned int id = static_cast<unsigned int>(t * 100 + i + 1);
                ExportPtr exp = MakeExport(id, "/s" + std::to_string(id), "");
                gAllExports->AddExport(exp);
                CreateGaneshaExport(exp);
                ManageSambaShare(SAMBA_CMD_CREATE, exp, 4);
                SaveMountPointTable();
                ManageSambaShare(SAMBA_CMD_REMOVE, exp, 4);
                ManageGaneshaExport(GANESHA_CMD_REMOVE, id);
                gAllExports->RemoveExport(exp);
                SaveMountPointTable();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(static_cast<size_t>(kThreads * 15 * 6), Calls().size());
    EXPECT_TRUE(ListDir(dataDir_.path() + "/ganesha").empty());
    EXPECT_TRUE(ListDir(dataDir_.path() + "/samba").empty());
    SaveMountPointTable();
    EXPECT_EQ("", ReadFile(dataDir_.path() + "/mounttab"));
}

}  // namespace
