#include "module/exportops/ExportOperation.h"

#include <string>

#include "module/exportops/CreateExport.h"
#include "module/exportops/Unexport.h"
#include "module/exportops/UpdateExport.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"

bool ExportOperation(void* request, char*& response, size_t& responseLength, int& responseType) {
    auto* resp = new QuayBackupExportResp();
    response = reinterpret_cast<char*>(resp);
    responseLength = QUAY_BACKUP_EXPORT_RESP_LENGTH;
    responseType = QUAY_RPC_BACKUP_EXPORT_RESP;
    const auto* req = static_cast<const QuayBackupExportReq*>(request);
    if (req == nullptr || req->sharePath == nullptr) {
        BFSM_LOG(-1, "ERROR: Invalid argument");
        SetResponse(*resp, QUAY_RESP_INVALID_ARGUMENT, "Invalid argument");
        return false;
    }
    std::string sharePath = req->sharePath;
    std::string snapDetails = req->snapDetails != nullptr ? req->snapDetails : "";

    switch (req->operation) {
    case QUAY_EXPORT_OP_CREATE:
        return CreateNewExport(req->subClientId, sharePath, req->exportType, resp);
    case QUAY_EXPORT_OP_UPDATE:
        return UpdateExport(req->subClientId, sharePath, req->exportType, resp);
    case QUAY_EXPORT_OP_UNEXPORT:
        return HandleUnexport(req->subClientId, sharePath, snapDetails, req->exportType, resp);
    default:
        BFSM_LOG(-1, "ERROR: Unknown operation Type [%d]", static_cast<int>(req->operation));
        return false;
    }
}
