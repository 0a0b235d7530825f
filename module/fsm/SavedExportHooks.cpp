// Hooks the host calls for its saved exports: CreateExport while it loads
// them at start, UnExport when it takes one down.
#include "module/fsm/SavedExportHooks.h"

#include <cstdlib>

#include "host/HostServices.h"
#include "host/QuayServiceGlobals.h"
#include "module/export/BackupFSMExport.h"
#include "module/exportops/Unexport.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"

std::map<std::string, ShareData> sharesInExportsFile;
ZelCriticalSection oldShareListLock;

void cleanupSMBShare(std::string path) {
    if (!QuayServiceGlobals::isGanesha) return;
    if (RemoveSMBShare(path, BackupFSMExport::kFsmType) != 0) {
        BFSM_LOG(-1, "WARN: Removing SMB share entry for [%s] failed", path.c_str());
    }
}

// Only records the saved share: the share itself is made again by the
// re-export at start, which then finds its old id here.
bool BackupFSM::CreateExport(const ExportPtr& saved, ExportPtr& /*created*/) {
    if (FSMInit() == nullptr) {
        BFSM_LOG(-1, "Error: Failed to initialize BackupFSM: Cannot proceed further.");
        return false;
    }
    if (!saved) return false;
    const std::string path = saved->GetPath();
    cleanupSMBShare(path);

    std::string subclientText;
    std::string snapshotText;
    std::string snapName;
    const bool hasSubclient = saved->GetOptionalParam("subClientID", subclientText);
    const bool hasSnapshot = saved->GetOptionalParam("snapshotTime", snapshotText);
    saved->GetOptionalParam("snapName", snapName);
    if (snapName.empty()) snapName = snapshotText;

    if (hasSubclient && hasSnapshot) {
        ShareData data;
        data.subclientId = static_cast<uint32_t>(atoll(subclientText.c_str()));
        data.snapshotTime = static_cast<time_t>(atoll(snapshotText.c_str()));
        data.snapName = snapName;
        ZelCriticalSectionLock lock(oldShareListLock);
        sharesInExportsFile[path] = data;
    }
    {
        ZelCriticalSectionLock lock(BackupFSMGlobals::oldShareAndIdLock);
        BackupFSMGlobals::oldShareAndIdMap[path] = saved->GetShareId();
    }
    return true;
}

void BackupFSM::UnExport(ExportPtr& exp) {
    BackupFSMExport* fsmExport = dynamic_cast<BackupFSMExport*>(exp.get());
    if (fsmExport == nullptr) {
        BFSM_LOG(-1, "ERROR: Wrong export object");
        return;
    }
    std::string path = fsmExport->GetPath();
    // Serialised with the export operations: an un-export request for the
    // same share must not close its store and free its id a second time.
    ZelCriticalSectionLock lock(exportOperationCS);
    QuayBackupExportResp response;
    Unexport(fsmExport->GetSubClientID(), path, &response);
    free(response.text);
}
