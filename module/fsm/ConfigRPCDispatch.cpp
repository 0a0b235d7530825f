// Configuration RPCs: routing by type, the answer when the module cannot
// start, and the freeing of responses by their type.
#include "module/fsm/ConfigRPCDispatch.h"

#include "host/QuayServiceGlobals.h"
#include "module/exportops/ExportOperation.h"
#include "module/exportops/ObjectStoreClientOps.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"

namespace {

template <typename Record>
void StoreResponse(Record* record, size_t length, int type, int code, const std::string& text,
                   char*& response, size_t& responseLength, int& responseType) {
    SetResponse(*record, code, text.c_str());
    response = reinterpret_cast<char*>(record);
    responseLength = length;
    responseType = type;
}

}  // namespace

void FillErrorResponse(unsigned rpcType, char*& response, size_t& responseLength,
                       int& responseType, int code, const std::string& text) {
    switch (rpcType) {
    case QUAY_RPC_BACKUP_EXPORT_REQ:
        StoreResponse(new QuayBackupExportResp(), QUAY_BACKUP_EXPORT_RESP_LENGTH,
                      QUAY_RPC_BACKUP_EXPORT_RESP, code, text, response, responseLength,
                      responseType);
        return;
    case QUAY_RPC_OBJSTORE_CLIENT_UPDATE_REQ:
        StoreResponse(new QuayObjectStoreClientUpdateResp(),
                      QUAY_OBJSTORE_CLIENT_UPDATE_RESP_LENGTH,
                      QUAY_RPC_OBJSTORE_CLIENT_UPDATE_RESP, code, text, response, responseLength,
                      responseType);
        return;
    case QUAY_RPC_BACKUP_INFO_REQ:
        StoreResponse(new QuayBackupInfoResp(), QUAY_BACKUP_INFO_RESP_LENGTH,
                      QUAY_RPC_BACKUP_INFO_RESP, code, text, response, responseLength,
                      responseType);
        return;
    default:
        BFSM_LOG(-1, "ERROR: BackupFSM does not support RPC type [%d]", static_cast<int>(rpcType));
        return;
    }
}

bool BackupFSM::GenericConfigRPCHandler(void* request, const std::string& /*caller*/,
                                        unsigned rpcType, char*& response,
                                        size_t& responseLength, int& responseType) {
    responseType = 0;
    response = nullptr;
    responseLength = 0;
    if (FSMInit() == nullptr) {
        BFSM_LOG(-1, "Error: Failed to initialize BackupFSM: Cannot proceed further.");
        FillErrorResponse(rpcType, response, responseLength, responseType, QUAY_RESP_INIT_FAILED,
                          "Failed to initialize BackupFSM module");
        return false;
    }
    if ((!QuayServiceGlobals::networkServicesStarted || !QuayServiceGlobals::portMapperRegistered) &&
        QuayServiceGlobals::setupNWSvcCB != nullptr) {
        QuayServiceGlobals::setupNWSvcCB(1, 1);
    }

    switch (rpcType) {
    case QUAY_RPC_BACKUP_EXPORT_REQ: {
        ZelCriticalSectionLock lock(exportOperationCS);
        return ExportOperation(request, response, responseLength, responseType);
    }
    case QUAY_RPC_OBJSTORE_CLIENT_UPDATE_REQ:
        return updateObjectStoreClient(request, response, responseLength, responseType);
    case QUAY_RPC_BACKUP_INFO_REQ:
        return getBackupStat(request, response, responseLength, responseType);
    default:
        BFSM_LOG(-1, "ERROR: BackupFSM does not support RPC type [%d]", static_cast<int>(rpcType));
        return false;
    }
}

void BackupFSM::ReleaseConfigRPCMem(int responseType, void* response) {
    if (response == nullptr) return;
    switch (responseType) {
    case QUAY_RPC_BACKUP_EXPORT_RESP:
        ReleaseBackupExportMem(response);
        return;
    case QUAY_RPC_CACHE_CONFIG_RESP:
        ReleaseCacheConfigMem(response);
        return;
    case QUAY_RPC_OBJSTORE_CLIENT_UPDATE_RESP:
        ReleaseUpdateClientMem(response);
        return;
    case QUAY_RPC_BACKUP_INFO_RESP:
        ReleaseBackupInfoMem(response);
        return;
    default:
        BFSM_LOG(-1, "ERROR: BackupFSM does not support RPC type [%d]", responseType);
        return;
    }
}
