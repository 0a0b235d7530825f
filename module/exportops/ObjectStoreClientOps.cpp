#include "module/exportops/ObjectStoreClientOps.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "configclient/Subclient.h"
#include "host/ExportCache.h"
#include "host/ShareIdToPathCache.h"
#include "module/export/BackupFSMExport.h"
#include "module/exportops/InProgressReset.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"

namespace {

std::string TextOf(const char* text) { return text != nullptr ? text : ""; }

// Fresh configuration data for the lookup that follows.
void FlushConfigCache() {
    BFSM_LOG(4, "INFO: Flushing App manager client side code");
    EnableAppMgrClientMessageCache(false);
    EnableAppMgrClientMessageCache(true);
}

// The share's served export. Null when the path has no export; *wrongModule
// tells an export of another module apart.
BackupFSMExport* FindFsmExport(unsigned int shareId, ExportPtr& exp, bool& wrongModule) {
    wrongModule = false;
    if (!gAllExports->FindExport(shareId, exp)) return nullptr;
    BackupFSMExport* fsmExport = dynamic_cast<BackupFSMExport*>(exp.get());
    wrongModule = fsmExport == nullptr;
    return fsmExport;
}

// Store update for the share; false with the response set (the flag is
// cleared by the caller).
bool SendClientPair(const QuayObjectStoreClientUpdateReq& req, const std::string& path,
                    QuayObjectStoreClientUpdateResp& resp) {
    const unsigned int shareId = ShareIdToPathCache::GetShareIdForPath(path, false, false);
    if (shareId == 0) {
        BFSM_LOG(-1, "ERROR: shareID not found for shareName [%s]", path.c_str());
        SetResponse(resp, QUAY_RESP_FAILED, "shareID not found");
        return false;
    }
    ExportPtr exp;
    bool wrongModule = false;
    BackupFSMExport* fsmExport = FindFsmExport(shareId, exp, wrongModule);
    if (fsmExport == nullptr) {
        if (wrongModule) {
            BFSM_LOG(-1, "ERROR: Wrong export object");
            SetResponse(resp, QUAY_RESP_NOT_EXPORTED, "Wrong export object");
        } else {
            BFSM_LOG(-1, "ERROR: shareID found but export not found for sharePath [%s]",
                     path.c_str());
            SetResponse(resp, QUAY_RESP_FAILED, "shareID not found");
        }
        return false;
    }
    const std::string first = TextOf(req.clientFirst);
    const std::string second = TextOf(req.clientSecond);
    if (first.empty() && second.empty()) return true;

    // The store takes the pair in the other order.
    ObjectStore::ObjectStoreUpdates updates;
    updates.hasClientPair = true;
    updates.clientFirst = second;
    updates.clientSecond = first;
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    if (container == nullptr ||
        container->updateObjectStore(fsmExport->GetObjStoreIndex(), updates).IsError()) {
        SetResponse(resp, QUAY_RESP_NOT_EXPORTED, "object store not found");
        return false;
    }
    return true;
}

// Moves the statistics into the response's list, in the library's order.
void FillStats(const ObjectStore::NameValueList& stats, QuayBackupInfoResp& resp) {
    if (stats.empty()) return;
    resp.list.items = new QuayBackupInfo[stats.size()];
    resp.list.count = static_cast<uint32_t>(stats.size());
    for (size_t i = 0; i < stats.size(); ++i) {
        resp.list.items[i].name = strdup(stats[i].first.c_str());
        resp.list.items[i].value = strdup(stats[i].second.c_str());
        BFSM_LOG(5, "INFO: Backup stat: name --> value: [%s] --> [%s]", stats[i].first.c_str(),
                 stats[i].second.c_str());
    }
}

bool ReadStats(unsigned int shareId, const std::string& path, QuayBackupInfoResp& resp) {
    ExportPtr exp;
    bool wrongModule = false;
    BackupFSMExport* fsmExport = FindFsmExport(shareId, exp, wrongModule);
    if (fsmExport == nullptr) {
        if (!wrongModule) return true;  // nothing served: no statistics
        BFSM_LOG(-1, "ERROR: Wrong export object");
        SetResponse(resp, QUAY_RESP_NOT_EXPORTED, "Wrong export object");
        return false;
    }
    ObjectStore::NameValueList stats;
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    if (container == nullptr ||
        container->getObjStrGuiStats(fsmExport->GetObjStoreIndex(), stats).IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to get backup information for share [%s]", path.c_str());
        SetResponse(resp, QUAY_RESP_FAILED, "Failed to get backup information");
        return false;
    }
    FillStats(stats, resp);
    return true;
}

}  // namespace

bool updateObjectStoreClient(void* request, char*& response, size_t& responseLength,
                             int& responseType) {
    auto* resp = new QuayObjectStoreClientUpdateResp();
    response = reinterpret_cast<char*>(resp);
    responseLength = QUAY_OBJSTORE_CLIENT_UPDATE_RESP_LENGTH;
    responseType = QUAY_RPC_OBJSTORE_CLIENT_UPDATE_RESP;
    const auto* req = static_cast<const QuayObjectStoreClientUpdateReq*>(request);
    if (req == nullptr) {
        BFSM_LOG(-1, "ERROR: Invalid argument");
        SetResponse(*resp, QUAY_RESP_INVALID_ARGUMENT, "Invalid argument");
        return false;
    }
    const std::string path = TextOf(req->sharePath);
    Subclient subclient(req->subClientId);

    FlushConfigCache();
    if (subclient.lookup(nullptr) == ZEL_SUBCLIENT_NOT_FOUND) {
        BFSM_LOG(-1, "ERROR: Given subclient [%lu] not found",
                 static_cast<unsigned long>(req->subClientId));
        SetResponse(*resp, QUAY_RESP_SUBCLIENT_NOT_FOUND, "Given subclient not found");
        return false;
    }
    // Every outcome after the look-up ends the configuration operation.
    const bool sent = SendClientPair(*req, path, *resp);
    ResetConfigInProgress(subclient, req->subClientId);
    return sent;
}

bool getBackupStat(void* request, char*& response, size_t& responseLength, int& responseType) {
    auto* resp = new QuayBackupInfoResp();
    response = reinterpret_cast<char*>(resp);
    responseLength = QUAY_BACKUP_INFO_RESP_LENGTH;
    responseType = QUAY_RPC_BACKUP_INFO_RESP;
    const auto* req = static_cast<const QuayBackupInfoReq*>(request);
    if (req == nullptr || req->subClientId == 0 || req->sharePath == nullptr) {
        BFSM_LOG(-1, "ERROR: Invalid argument");
        SetResponse(*resp, QUAY_RESP_INVALID_ARGUMENT, "Invalid argument");
        return false;
    }
    const std::string path = req->sharePath;
    const unsigned int shareId = ShareIdToPathCache::GetShareIdForPath(path, false, false);
    if (shareId == 0) {
        BFSM_LOG(-1, "ERROR: shareID not found for sharePath [%s]", path.c_str());
        SetResponse(*resp, QUAY_RESP_NO_SHARE_ID, "shareID not found");
        return false;
    }
    FlushConfigCache();
    Subclient subclient(req->subClientId);
    if (subclient.lookup(nullptr) == ZEL_SUBCLIENT_NOT_FOUND) {
        BFSM_LOG(-1, "ERROR: Given subclient [%lu] not found",
                 static_cast<unsigned long>(req->subClientId));
        SetResponse(*resp, QUAY_RESP_SUBCLIENT_NOT_FOUND, "Given subclient not found");
        return false;
    }
    return ReadStats(shareId, path, *resp);
}
