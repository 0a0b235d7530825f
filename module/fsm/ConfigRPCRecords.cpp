#include "module/fsm/ConfigRPCRecords.h"

#include <cstdlib>
#include <cstring>

namespace {

void ReplaceText(char*& text, const char* value) {
    free(text);
    text = value != nullptr ? strdup(value) : nullptr;
}

}  // namespace

void SetResponse(QuayBackupExportResp& response, int code, const char* text) {
    response.code = static_cast<int16_t>(code);
    ReplaceText(response.text, text);
}

void SetResponse(QuayObjectStoreClientUpdateResp& response, int code, const char* text) {
    response.code = static_cast<int16_t>(code);
    ReplaceText(response.text, text);
}

void SetResponse(QuayBackupInfoResp& response, int code, const char* text) {
    response.code = static_cast<int16_t>(code);
    ReplaceText(response.text, text);
}

void ReleaseBackupExportMem(void* response) {
    auto* record = static_cast<QuayBackupExportResp*>(response);
    if (record == nullptr) return;
    free(record->text);
    delete record;
}

void ReleaseCacheConfigMem(void* response) {
    auto* record = static_cast<QuayCacheConfigResp*>(response);
    if (record == nullptr) return;
    free(record->text);
    delete record;
}

void ReleaseUpdateClientMem(void* response) {
    auto* record = static_cast<QuayObjectStoreClientUpdateResp*>(response);
    if (record == nullptr) return;
    free(record->text);
    delete record;
}

void ReleaseBackupInfoMem(void* response) {
    auto* record = static_cast<QuayBackupInfoResp*>(response);
    if (record == nullptr) return;
    free(record->text);
    if (record->list.items != nullptr) {
        for (uint32_t i = 0; i < record->list.count; ++i) {
            free(record->list.items[i].name);
            free(record->list.items[i].value);
        }
        delete[] record->list.items;
    }
    delete record;
}
