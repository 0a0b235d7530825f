// Fixture of the re-export tests: stores configured as shares in the
// configuration database, the module's share records, and unload.
#pragma once
#include "module/fsm/ReExport.h"
#include "module/fsm/SavedExportHooks.h"
#include "tests/module/ExportOpsFixture.h"

namespace exportops_test {

class ReExportTest : public ExportOpsTest {
protected:
    // A subclient whose store the stored procedure lists as a share.
    void AddStore(unsigned long id, const std::string& storeName, const std::string& server,
                  const std::string& details = "") {
        AddSubclient(id);
        SetProperty(id, PropertyNames::kObjectStoreName, storeName);
        SetProperty(id, PropertyNames::kNFSServers, server);
        SetProperty(id, PropertyNames::kViewConfiguration, details);
    }
    // Makes the store exist on disk without serving it (views need it).
    static void MakeStore(const std::string& path) {
        ObjectStore::ObjectStoreConfig config;
        config.storePath = path;
        uint64_t index = 0;
        ASSERT_FALSE(BackupFSM::GetObjContainer()->openObjectStore(index, config).IsError());
        BackupFSM::GetObjContainer()->closeObjectStore(index);
    }
    static std::string View(const std::string& path, const std::string& server = "",
                            const std::string& toTime = "100") {
        std::string record = Tag("MntPath", path) + Tag("ToTime", toTime);
        if (!server.empty()) record += Tag("NFSServer", server);
        return record;
    }
    // Records a saved export the way the host does at start.
    static void SaveExport(const std::string& path, unsigned int shareId, const std::string& subclient,
                           const std::string& snapshotTime, const std::string& snapName) {
        ExportPtr noParent;
        ExportPtr saved(new Export(path, SHARE_PERM_READ_WRITE, "*", shareId, noParent));
        saved->SetOptionalParam("subClientID", subclient);
        saved->SetOptionalParam("snapshotTime", snapshotTime);
        saved->SetOptionalParam("snapName", snapName);
        ExportPtr created;
        ASSERT_TRUE(BackupFSM::GetFSM()->CreateExport(saved, created));
    }
    // Starts the re-export and waits for the per-store threads (the list
    // thread is then in its wait).
    static void StartAndSettle() {
        BackupFSM::GetFSM()->FinalizeExports();
        WaitForReExportThreads();
    }
    static int StatusOf(const std::string& storeName) {
        ZelCriticalSectionLock lock(sharesListCS);
        for (const auto& share : sharesListFromQX) {
            if (share->StoreName() == storeName) return share->status.load();
        }
        return -1;  // not (or no longer) listed
    }
    static size_t Listed() {
        ZelCriticalSectionLock lock(sharesListCS);
        return sharesListFromQX.size();
    }
    static void Unload() {
        BackupFSM* module = BackupFSM::backupFSM;
        ASSERT_NE(nullptr, module);
        ASSERT_TRUE(module->UnloadFSM());
        delete module;
    }
};

}  // namespace exportops_test
