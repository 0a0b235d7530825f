// Saved exports: the file format, and keeping share ids across restarts.
#include <sys/stat.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "daemon/ExportPersistence.h"
#include "daemon/SavedExportsFile.h"
#include "host/ExportCache.h"
#include "host/ShareIdToPathCache.h"
#include "tests/daemon/DaemonTestSupport.h"
#include "tests/daemon/RecordingModule.h"

namespace {

using daemontest::DaemonTest;
using daemontest::FileExists;
using daemontest::ReadFile;
using daemontest::WriteFile;

SavedExport Saved(const std::string& path, unsigned int id, const std::string& subclient, const std::string& type) {
    SavedExport saved;
    saved.path = path;
    saved.shareId = id;
    saved.moduleType = 4;
    saved.allowedClients = "10.0.0.0/8,host1";
    saved.params = {{"subClientID", subclient}, {"exportType", type}, {"snapName", "a\nb\tc"}};
    return saved;
}

bool SameSaved(const SavedExport& a, const SavedExport& b) {
    return a.path == b.path && a.shareId == b.shareId && a.moduleType == b.moduleType && a.perms == b.perms &&
           a.allowedClients == b.allowedClients && a.params == b.params;
}

TEST(SavedExportsFile, RecordsRoundTrip) {
    SavedExport readOnly = Saved("/store1-snap 1", 3, "10", "2");
    readOnly.perms = SHARE_PERM_READ_ONLY;
    const std::vector<SavedExport> exports = {Saved("/store1", 1, "10", "1"), readOnly};
    const std::string text = SavedExportsFile::Format(exports);
    EXPECT_EQ(0u, text.find("format=quayd-saved-exports\nversion=1\nexport=/store1\nshareId=1\nmoduleType=4\n"
                            "permission=rw\nclients=10.0.0.0/8,host1\nparam.exportType=1\n"));
    std::vector<SavedExport> back;
    std::vector<std::string> problems;
    ASSERT_TRUE(SavedExportsFile::Parse(text, back, problems));
    EXPECT_TRUE(problems.empty());
    ASSERT_EQ(2u, back.size());
    EXPECT_TRUE(SameSaved(exports[0], back[0]));
    EXPECT_TRUE(SameSaved(exports[1], back[1]));
}

TEST(SavedExportsFile, DamagedRecordsAreLeftOutAndNamed) {
    const std::string text =
        "format=quayd-saved-exports\nversion=1\n"
        "export=/good\nshareId=1\nmoduleType=4\npermission=rw\n"
        "export=/noid\nmoduleType=4\npermission=rw\n"
        "export=/badid\nshareId=0\nmoduleType=4\npermission=rw\n"
        "export=/badperm\nshareId=5\nmoduleType=4\npermission=rx\n"
        "export=/twice\nshareId=6\nshareId=7\nmoduleType=4\npermission=rw\n"
        "export=/unknown\nshareId=8\nmoduleType=4\npermission=rw\ncolour=red\n"
        "export=/good\nshareId=9\nmoduleType=4\npermission=rw\n"
        "export=/sameid\nshareId=1\nmoduleType=4\npermission=ro\n"
        "export=/type7\nshareId=11\nmoduleType=4\npermission=rw\nparam.exportType=7\n"
        "export=/typelive\nshareId=12\nmoduleType=4\npermission=rw\nparam.exportType=live\n"
        "export=/last\nshareId=10\nmoduleType=4\npermission=ro\nparam.exportType=2\n";
    std::vector<SavedExport> exports;
    std::vector<std::string> problems;
    ASSERT_TRUE(SavedExportsFile::Parse(text, exports, problems));
    ASSERT_EQ(2u, exports.size());
    EXPECT_EQ("/good", exports[0].path);
    EXPECT_EQ("/last", exports[1].path);
    EXPECT_EQ(SHARE_PERM_READ_ONLY, exports[1].perms);
    EXPECT_EQ((std::vector<std::string>{
                  "export [/noid]: missing field shareId",
                  "export [/badid]: share id [0] is not a number from 1 to 4294967295",
                  "export [/badperm]: permission [rx] is neither rw nor ro",
                  "export [/twice]: field shareId given twice",
                  "export [/unknown]: unknown field colour",
                  "export [/good]: path saved twice",
                  "export [/sameid]: share id 1 saved twice",
                  "export [/type7]: export type [7] is neither 1 (live) nor 2 (pit)",
                  "export [/typelive]: export type [live] is neither 1 (live) nor 2 (pit)",
              }),
              problems);
}

TEST(SavedExportsFile, OtherFilesAreNotSavedExports) {
    std::vector<SavedExport> exports;
    std::vector<std::string> problems;
    EXPECT_FALSE(SavedExportsFile::Parse("format=quayd-saved-exports\nversion=2\n", exports, problems));
    EXPECT_FALSE(SavedExportsFile::Parse("EXPORT /x\n", exports, problems));
    EXPECT_TRUE(exports.empty());
    EXPECT_EQ(2u, problems.size());
}

TEST(SavedExportsFile, HostExportCarriesEverythingSaved) {
    const SavedExport saved = Saved("/store1", 7, "10", "1");
    ExportPtr exp = SavedExportsFile::ToExport(saved);
    EXPECT_EQ("/store1", exp->GetPath());
    EXPECT_EQ(7u, exp->GetShareId());
    std::string value;
    EXPECT_TRUE(exp->GetOptionalParam("subClientID", value));
    EXPECT_EQ("10", value);
    SavedExport back = SavedExportsFile::FromExport(*exp);
    back.moduleType = 4;  // the host's own Export reports type 0
    EXPECT_TRUE(SameSaved(saved, back));
}

class ExportPersistenceTest : public DaemonTest {
protected:
    std::string File() const { return dir_.path() + "/exports.saved"; }
    void WriteSaved(const std::vector<SavedExport>& exports) { WriteFile(File(), SavedExportsFile::Format(exports)); }
    std::vector<SavedExport> ReadSaved() {
        std::vector<SavedExport> exports;
        std::vector<std::string> problems;
        EXPECT_TRUE(SavedExportsFile::Parse(ReadFile(File()), exports, problems));
        return exports;
    }
    void Serve(const std::string& path, unsigned int id) {
        ExportPtr exp(new ServedExport(path, id));
        exp->SetOptionalParam("exportType", "1");
        gAllExports->AddExport(exp);
    }

    std::set<std::pair<unsigned long, std::string>> unconfigured_;
    ExportPersistence persistence_{dir_.path() + "/exports.saved", 4,
                                   [this](unsigned long subclient, const std::string& path) {
                                       return unconfigured_.count({subclient, path}) == 0;
                                   }};
    RecordingModule module_;
};

TEST_F(ExportPersistenceTest, RestoreReservesEachIdAndHandsTheExportToTheModule) {
    WriteSaved({Saved("/store1", 4, "10", "1"), Saved("/store1-snap1", 9, "10", "2")});
    EXPECT_EQ(2u, persistence_.Restore(module_));
    ASSERT_EQ(2u, module_.saved.size());
    EXPECT_EQ("/store1", module_.saved[0]->GetPath());
    EXPECT_EQ(4u, module_.saved[0]->GetShareId());
    std::string value;
    EXPECT_TRUE(module_.saved[1]->GetOptionalParam("exportType", value));
    EXPECT_EQ("2", value);
    EXPECT_LOGGED(1, "INFO: Restored saved export [/store1] with share ID [4]");
    // The ids are held for their paths: a new share cannot take them.
    EXPECT_EQ(9u, ShareIdToPathCache::GetShareIdForPath("/store1-snap1", false, false));
    EXPECT_EQ(1u, ShareIdToPathCache::GetShareIdForPath("/new1", true, false));
    EXPECT_EQ(2u, ShareIdToPathCache::GetShareIdForPath("/new2", true, false));
    EXPECT_EQ(3u, ShareIdToPathCache::GetShareIdForPath("/new3", true, false));
    EXPECT_EQ(5u, ShareIdToPathCache::GetShareIdForPath("/new4", true, false));
}

TEST_F(ExportPersistenceTest, AMissingFileRestoresNothing) {
    EXPECT_EQ(0u, persistence_.Restore(module_));
    EXPECT_TRUE(module_.saved.empty());
    EXPECT_LOGGED(1, "INFO: No saved exports at [" + File() + "]");
}

TEST_F(ExportPersistenceTest, ExportsNotBackYetAreSavedAgainSoARestartKeepsTheirIds) {
    WriteSaved({Saved("/store1", 4, "10", "1"), Saved("/store2", 9, "20", "1")});
    module_.acceptSaved = false;  // even a refused one keeps its id
    EXPECT_EQ(0u, persistence_.Restore(module_));
    EXPECT_LOGGED(-1, "ERROR: The module did not accept saved export [/store2] with share ID [9]");
    Serve("/store1", 4);
    ASSERT_EQ(0, persistence_.Save(true));
    const std::vector<SavedExport> saved = ReadSaved();
    ASSERT_EQ(2u, saved.size());
    EXPECT_EQ("/store1", saved[0].path);
    EXPECT_EQ((std::map<std::string, std::string>{{"exportType", "1"}}), saved[0].params);  // from the cache now
    EXPECT_EQ("/store2", saved[1].path);
    EXPECT_EQ(9u, saved[1].shareId);
}

TEST_F(ExportPersistenceTest, UnexportForgetsTheStoreAndItsViewsOnly) {
    WriteSaved({Saved("/store1", 1, "10", "1"), Saved("/store1-a", 2, "10", "2"), Saved("/store1-b", 3, "10", "1"),
                Saved("/store10", 4, "11", "1")});
    persistence_.Restore(module_);
    persistence_.Forget("/store1", true);
    std::vector<SavedExport> current = persistence_.Current();
    ASSERT_EQ(2u, current.size());
    EXPECT_EQ("/store1-b", current[0].path);  // a live store whose name only looks like a view
    EXPECT_EQ("/store10", current[1].path);
    persistence_.Forget("/store10", false);
    EXPECT_EQ(1u, persistence_.Current().size());
}

TEST_F(ExportPersistenceTest, ExportsNoLongerConfiguredAreDroppedAndTheirIdsFreed) {
    WriteSaved({Saved("/store1", 1, "10", "1"), Saved("/store2", 2, "20", "1")});
    persistence_.Restore(module_);
    unconfigured_.insert({20, "/store2"});
    const std::vector<SavedExport> current = persistence_.Current();
    ASSERT_EQ(1u, current.size());
    EXPECT_EQ("/store1", current[0].path);
    EXPECT_EQ(0u, ShareIdToPathCache::GetShareIdForPath("/store2", false, false));
    EXPECT_LOGGED(1, "INFO: Saved export [/store2] dropped: subclient [20] no longer gives it to this server");
}

TEST_F(ExportPersistenceTest, OnlyExportsOfTheModulesTypeAreSaved) {
    ExportPtr noParent;
    ExportPtr foreign(new Export("/other", SHARE_PERM_READ_WRITE, "", 5, noParent));
    gAllExports->AddExport(foreign);
    Serve("/store1", 1);
    ASSERT_EQ(0, persistence_.Save(false));
    const std::vector<SavedExport> saved = ReadSaved();
    ASSERT_EQ(1u, saved.size());
    EXPECT_EQ("/store1", saved[0].path);
}

TEST_F(ExportPersistenceTest, AnUnchangedListIsNotWrittenAgain) {
    Serve("/store1", 1);
    ASSERT_EQ(0, persistence_.Save(false));
    struct stat before;
    ASSERT_EQ(0, stat(File().c_str(), &before));
    ASSERT_EQ(0, persistence_.Save(false));
    struct stat after;
    ASSERT_EQ(0, stat(File().c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    ASSERT_EQ(0, persistence_.Save(true));
    ASSERT_EQ(0, stat(File().c_str(), &after));
    EXPECT_NE(before.st_ino, after.st_ino);
}

TEST_F(ExportPersistenceTest, ADamagedFileIsKeptAsideAndItsGoodRecordsWrittenBack) {
    const std::string damaged = SavedExportsFile::Format({Saved("/store1", 1, "10", "1")}) +
                                "export=/broken\nshareId=x\nmoduleType=4\npermission=rw\n";
    WriteFile(File(), damaged);
    EXPECT_EQ(1u, persistence_.Restore(module_));
    EXPECT_EQ(damaged, ReadFile(File() + ".bad"));
    EXPECT_LOGGED(-1, "ERROR: Saved exports [" + File() + "]: export [/broken]: share id [x] is not a number from 1 "
                      "to 4294967295");
    const std::vector<SavedExport> saved = ReadSaved();
    ASSERT_EQ(1u, saved.size());
    EXPECT_EQ("/store1", saved[0].path);
}

TEST_F(ExportPersistenceTest, ATakenIdDropsTheSavedExport) {
    ASSERT_TRUE(ShareIdToPathCache::AddToExportPathToIdMap("/elsewhere", 4));
    WriteSaved({Saved("/store1", 4, "10", "1")});
    EXPECT_EQ(0u, persistence_.Restore(module_));
    EXPECT_TRUE(module_.saved.empty());
    EXPECT_LOGGED(-1, "ERROR: Share ID [4] of saved export [/store1] is taken; dropped");
}

TEST_F(ExportPersistenceTest, AFailedWriteIsReported) {
    WriteFile(dir_.path() + "/file", "x");
    ExportPersistence blocked(dir_.path() + "/file/exports.saved", 4,
                              [](unsigned long, const std::string&) { return true; });
    EXPECT_EQ(ENOTDIR, blocked.Save(true));
    EXPECT_LOGGED(-1, "ERROR: Cannot save exports to [" + dir_.path() + "/file/exports.saved]: Not a directory");
}

}  // namespace
