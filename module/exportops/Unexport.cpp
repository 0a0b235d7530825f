#include "module/exportops/Unexport.h"

#include "configclient/Subclient.h"
#include "host/ExportCache.h"
#include "host/HostServices.h"
#include "host/QuayServiceGlobals.h"
#include "host/ShareIdToPathCache.h"
#include "module/export/BackupFSMExport.h"
#include "module/exportops/InProgressReset.h"
#include "module/exportops/SnapDetails.h"
#include "module/exportops/XmlValueHelpers.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"

namespace {

// Samba share, Ganesha export, store, export cache. Failures of the host
// and store calls are not reported: the share is going away regardless.
void TakeDown(ExportPtr& exp, BackupFSMExport& fsmExport, unsigned int shareId) {
    if (BackupFSMGlobals::isSambaEnabledForBackupFSM != 0 && exp->GetSMBEnabled()) {
        ManageSambaShare(SAMBA_CMD_REMOVE, exp, exp->GetFSModuleType());
    }
    if (QuayServiceGlobals::isGanesha) ManageGaneshaExport(GANESHA_CMD_REMOVE, shareId);
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    if (container != nullptr) container->closeObjectStore(fsmExport.GetObjStoreIndex());
    gAllExports->RemoveExport(exp);
}

// Removes the PIT views of a live store, one per record; each failure is
// logged and the walk goes on.
void UnexportSnapViews(unsigned long subclientId, Subclient& subclient, std::string& sharePath,
                       std::string snapDetails, QuayBackupExportResp* response) {
    if (snapDetails.empty() && subclient.getQuayViewConfiguration(snapDetails, nullptr) != 0) {
        BFSM_LOG(-1, "ERROR: Export share [%s] failed as getting snap details failed. Still "
                     "continuing with un-export of Regular Object Store", sharePath.c_str());
    }
    BFSM_LOG(1, "INFO: un-exporting all the snap belongs to objectStore [%s]", sharePath.c_str());
    BFSM_LOG(1, "INFO: snap string [%s]", snapDetails.c_str());
    for (const std::string& record : SplitSnapRecords(snapDetails)) {
        std::string mountPath;
        GetValueFromXmlString(record, "MntPath", mountPath);
        if (!Unexport(subclientId, mountPath, response)) {
            BFSM_LOG(-1, "ERROR: Un-export of the share [%s] failed. Still continuing ",
                     mountPath.c_str());
        } else {
            BFSM_LOG(1, "INFO: Un-export of the share [%s] succeeded", mountPath.c_str());
        }
    }
}

}  // namespace

bool Unexport(unsigned long /*subclientId*/, std::string& sharePath,
              QuayBackupExportResp* response) {
    SetResponse(*response, QUAY_RESP_SUCCESS, nullptr);
    const unsigned int shareId = ShareIdToPathCache::GetShareIdForPath(sharePath, false, false);
    if (shareId == 0) {
        BFSM_LOG(-1, "ERROR: shareID not found for sharePath [%s]", sharePath.c_str());
        SetResponse(*response, QUAY_RESP_FAILED, "shareID not found");
        return false;
    }

    bool removed = false;
    ExportPtr exp;
    if (!gAllExports->FindExport(shareId, exp)) {
        BFSM_LOG(1, "Given share [%s] is not found in export table.", sharePath.c_str());
        SetResponse(*response, QUAY_RESP_NOT_EXPORTED, "Share not exported.");
    } else {
        BackupFSMExport* fsmExport = dynamic_cast<BackupFSMExport*>(exp.get());
        if (fsmExport == nullptr) {
            // Another module serves this id: its export and id are not ours to drop.
            BFSM_LOG(-1, "ERROR: Wrong export object");
            SetResponse(*response, QUAY_RESP_NOT_EXPORTED, "Wrong export object");
            return false;
        }
        TakeDown(exp, *fsmExport, shareId);
        BFSM_LOG(1, "Given share [%s] is unexported.", sharePath.c_str());
        removed = true;
    }
    ShareIdToPathCache::FreeShareId(shareId, false);
    SaveMountPointTable();
    return removed;
}

bool HandleUnexport(unsigned long subclientId, std::string& sharePath, std::string& snapDetails,
                    ExportType exportType, QuayBackupExportResp* response) {
    Subclient subclient(subclientId);
    if (exportType == EXPORT_TYPE_OBJECT_STORE) {
        UnexportSnapViews(subclientId, subclient, sharePath, snapDetails, response);
    }
    BFSM_LOG(1, "INFO: un-exporting share [%s]", sharePath.c_str());
    if (!Unexport(subclientId, sharePath, response)) {
        BFSM_LOG(-1, "ERROR: Un-export of the share [%s] failed. ", sharePath.c_str());
        return false;
    }
    if (exportType == EXPORT_TYPE_PIT) ResetConfigInProgress(subclient, subclientId);
    return true;
}
