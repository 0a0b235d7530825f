#include "tests/daemon/RecordingModule.h"

#include <cstdlib>
#include <cstring>

#include "module/fsm/ConfigRPCRecords.h"

namespace {

char* Copy(const char* text) {
    return text != nullptr ? strdup(text) : nullptr;
}

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

void FreeResponse(int type, void* response) {
    if (type == QUAY_RPC_BACKUP_INFO_RESP) {
        auto* record = static_cast<QuayBackupInfoResp*>(response);
        free(record->text);
        for (uint32_t i = 0; i < record->list.count; ++i) {
            free(record->list.items[i].name);
            free(record->list.items[i].value);
        }
        delete[] record->list.items;
        delete record;
    } else {
        auto* record = static_cast<QuayBackupExportResp*>(response);
        free(record->text);
        delete record;
    }
}

}  // namespace

bool RecordingModule::GenericConfigRPCHandler(void* request, const std::string& caller, unsigned rpcType,
                                              char*& response, size_t& responseLength, int& responseType) {
    Request copy;
    copy.rpcType = rpcType;
    copy.caller = caller;
    response = nullptr;
    responseLength = 0;
    responseType = 0;
    if (rpcType == QUAY_RPC_BACKUP_EXPORT_REQ) {
        const auto* record = static_cast<const QuayBackupExportReq*>(request);
        copy.exportType = record->exportType;
        copy.operation = record->operation;
        copy.subclientId = record->subClientId;
        copy.path = Text(record->sharePath);
        copy.hasSnap = record->snapDetails != nullptr;
        copy.snap = Text(record->snapDetails);
    } else if (rpcType == QUAY_RPC_OBJSTORE_CLIENT_UPDATE_REQ) {
        const auto* record = static_cast<const QuayObjectStoreClientUpdateReq*>(request);
        copy.subclientId = record->subClientId;
        copy.path = Text(record->sharePath);
        copy.first = Text(record->clientFirst);
        copy.second = Text(record->clientSecond);
    } else if (rpcType == QUAY_RPC_BACKUP_INFO_REQ) {
        const auto* record = static_cast<const QuayBackupInfoReq*>(request);
        copy.subclientId = record->subClientId;
        copy.path = Text(record->sharePath);
    }
    requests.push_back(copy);
    if (onRequest != nullptr) onRequest(copy);
    if (!respond) return result;
    if (rpcType == QUAY_RPC_BACKUP_INFO_REQ) {
        auto* record = new QuayBackupInfoResp();
        record->code = static_cast<int16_t>(code);
        record->text = Copy(text);
        record->list.count = static_cast<uint32_t>(stats.size());
        record->list.items = stats.empty() ? nullptr : new QuayBackupInfo[stats.size()];
        for (size_t i = 0; i < stats.size(); ++i) {
            record->list.items[i].name = strdup(stats[i].first.c_str());
            record->list.items[i].value = strdup(stats[i].second.c_str());
        }
        response = reinterpret_cast<char*>(record);
        responseLength = QUAY_BACKUP_INFO_RESP_LENGTH;
        responseType = QUAY_RPC_BACKUP_INFO_RESP;
    } else {
        auto* record = new QuayBackupExportResp();
        record->code = static_cast<int16_t>(code);
        record->text = Copy(text);
        response = reinterpret_cast<char*>(record);
        responseLength = QUAY_BACKUP_EXPORT_RESP_LENGTH;
        responseType = rpcType == QUAY_RPC_OBJSTORE_CLIENT_UPDATE_REQ ? QUAY_RPC_OBJSTORE_CLIENT_UPDATE_RESP
                                                                      : QUAY_RPC_BACKUP_EXPORT_RESP;
    }
    if (responseTypeOverride != 0) responseType = responseTypeOverride;
    return result;
}

void RecordingModule::ReleaseConfigRPCMem(int responseType, void* response) {
    releases.push_back({responseType, response});
    if (response == nullptr) return;
    // Free by what the record really is: the last request's kind.
    const unsigned lastType = requests.empty() ? 0 : requests.back().rpcType;
    FreeResponse(lastType == QUAY_RPC_BACKUP_INFO_REQ ? QUAY_RPC_BACKUP_INFO_RESP : QUAY_RPC_BACKUP_EXPORT_RESP,
                 response);
}

bool RecordingModule::CreateExport(const ExportPtr& exp, ExportPtr& created) {
    saved.push_back(exp);
    (void)created;
    return acceptSaved;
}

namespace {
ExportPtr noParent;
}  // namespace

ServedExport::ServedExport(const std::string& path, unsigned int shareId, SharePerms perms)
    : Export(path, perms, "*", shareId, noParent) {}
