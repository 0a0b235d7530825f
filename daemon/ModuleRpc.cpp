#include "daemon/ModuleRpc.h"

#include "daemon/QuaydLog.h"
#include "module/fsm/ConfigRPCRecords.h"

namespace {

std::string CopyText(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

// The records take mutable C strings; these buffers live for the call.
std::vector<char> CString(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return buffer;
}

}  // namespace

ModuleAnswer ModuleRpc::Export(int operation, int exportType, uint64_t subclientId, const std::string& path,
                               const std::string* snapDetails) {
    ModuleAnswer refused;
    if (exportType != EXPORT_TYPE_OBJECT_STORE && exportType != EXPORT_TYPE_PIT) {
        refused.refused = "export type [" + std::to_string(exportType) + "] is neither 1 (live) nor 2 (pit)";
    } else if (operation < QUAY_EXPORT_OP_CREATE || operation > QUAY_EXPORT_OP_UNEXPORT) {
        refused.refused = "export operation [" + std::to_string(operation) + "] is not 1, 2 or 3";
    }
    if (!refused.refused.empty()) return refused;
    std::vector<char> pathText = CString(path);
    std::vector<char> snapText = CString(snapDetails != nullptr ? *snapDetails : std::string());
    QuayBackupExportReq request = {};
    request.exportType = static_cast<ExportType>(exportType);
    request.operation = operation;
    request.subClientId = subclientId;
    request.sharePath = pathText.data();
    request.snapDetails = snapDetails != nullptr ? snapText.data() : nullptr;
    return Call(&request, QUAY_RPC_BACKUP_EXPORT_REQ);
}

ModuleAnswer ModuleRpc::ClientUpdate(uint64_t subclientId, const std::string& path, const std::string& first,
                                     const std::string& second) {
    std::vector<char> pathText = CString(path);
    std::vector<char> firstText = CString(first);
    std::vector<char> secondText = CString(second);
    QuayObjectStoreClientUpdateReq request = {};
    request.subClientId = subclientId;
    request.clientFirst = firstText.data();
    request.clientSecond = secondText.data();
    request.sharePath = pathText.data();
    return Call(&request, QUAY_RPC_OBJSTORE_CLIENT_UPDATE_REQ);
}

ModuleAnswer ModuleRpc::Stats(uint64_t subclientId, const std::string& path) {
    std::vector<char> pathText = CString(path);
    QuayBackupInfoReq request = {};
    request.subClientId = subclientId;
    request.sharePath = pathText.data();
    return Call(&request, QUAY_RPC_BACKUP_INFO_REQ);
}

ModuleAnswer ModuleRpc::Call(void* request, unsigned rpcType) {
    ModuleAnswer answer;
    char* response = nullptr;
    size_t length = 0;
    int responseType = 0;
    answer.result = module_.GenericConfigRPCHandler(request, caller_, rpcType, response, length, responseType);
    answer.responseType = responseType;
    if (response != nullptr) {
        answer.hasResponse = ReadResponse(response, length, responseType, answer);
        if (!answer.hasResponse) {
            QUAYD_LOG(-1, "ERROR: RPC type [%u] came back with response type [%d] of [%zu] bytes, which quayd cannot read",
                      rpcType, responseType, length);
        }
        module_.ReleaseConfigRPCMem(responseType, response);
    }
    return answer;
}

bool ModuleRpc::ReadResponse(const char* response, size_t length, int type, ModuleAnswer& answer) {
    if (type == QUAY_RPC_BACKUP_EXPORT_RESP && length >= sizeof(QuayBackupExportResp)) {
        const auto* record = reinterpret_cast<const QuayBackupExportResp*>(response);
        answer.code = record->code;
        answer.text = CopyText(record->text);
        return true;
    }
    if (type == QUAY_RPC_OBJSTORE_CLIENT_UPDATE_RESP && length >= sizeof(QuayObjectStoreClientUpdateResp)) {
        const auto* record = reinterpret_cast<const QuayObjectStoreClientUpdateResp*>(response);
        answer.code = record->code;
        answer.text = CopyText(record->text);
        return true;
    }
    if (type == QUAY_RPC_BACKUP_INFO_RESP && length >= sizeof(QuayBackupInfoResp)) {
        const auto* record = reinterpret_cast<const QuayBackupInfoResp*>(response);
        answer.code = record->code;
        answer.text = CopyText(record->text);
        if (record->list.items != nullptr) {
            for (uint32_t i = 0; i < record->list.count; ++i) {
                answer.stats.emplace_back(CopyText(record->list.items[i].name),
                                          CopyText(record->list.items[i].value));
            }
        }
        return true;
    }
    return false;
}

AdminResult ModuleRpc::ToResult(const ModuleAnswer& answer) {
    AdminResult result;
    if (!answer.refused.empty()) return AdminResult::Make(AdminProtocol::kBadRequest, answer.refused);
    if (!answer.hasResponse) {
        return AdminResult::Make(AdminProtocol::kModuleFailed,
                                 "the module did not answer the request (see the quayd log)");
    }
    result.code = answer.code;
    result.text = answer.text;
    if (!answer.result && answer.code == 0) {
        result.code = AdminProtocol::kModuleFailed;
        result.text = "the module refused the request without a reason (see the quayd log)";
    }
    for (const auto& stat : answer.stats) result.AddRow({stat.first, stat.second});
    return result;
}
