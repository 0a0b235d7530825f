// Records of the configuration RPCs between the host and the module: plain
// C-layout structures (64-bit, little-endian, natural alignment) whose
// offsets are fixed and checked below.
//
// Request records are filled by the host; the module only reads them.
// Response records are allocated by the module with new, every text in them a
// strdup copy; the host hands them back to be freed by the release function of
// their response type. A new response has code 0, no text and an empty list.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/NfsTypes.h"

// RPC type numbers.
constexpr unsigned int QUAY_RPC_BACKUP_EXPORT_REQ = 38141978;        // 0x246001A
constexpr int QUAY_RPC_BACKUP_EXPORT_RESP = 38141979;                // 0x246001B
constexpr int QUAY_RPC_CACHE_CONFIG_RESP = 38141985;                 // 0x2460021
constexpr unsigned int QUAY_RPC_OBJSTORE_CLIENT_UPDATE_REQ = 38141986;  // 0x2460022
constexpr int QUAY_RPC_OBJSTORE_CLIENT_UPDATE_RESP = 38141987;       // 0x2460023
constexpr unsigned int QUAY_RPC_BACKUP_INFO_REQ = 38142000;          // 0x2460030
constexpr int QUAY_RPC_BACKUP_INFO_RESP = 38142001;                  // 0x2460031

// Response lengths in bytes, as reported to the host.
constexpr size_t QUAY_BACKUP_EXPORT_RESP_LENGTH = 16;
constexpr size_t QUAY_OBJSTORE_CLIENT_UPDATE_RESP_LENGTH = 16;
constexpr size_t QUAY_CACHE_CONFIG_RESP_LENGTH = 16;
constexpr size_t QUAY_BACKUP_INFO_RESP_LENGTH = 32;

// Operations of the export-operation request.
enum QuayBackupExportOperation {
    QUAY_EXPORT_OP_CREATE = 1,
    QUAY_EXPORT_OP_UPDATE = 2,
    QUAY_EXPORT_OP_UNEXPORT = 3
};

// Response codes.
enum QuayResponseCode : int16_t {
    QUAY_RESP_SUCCESS = 0,
    QUAY_RESP_FAILED = 1,             // a property read, init, share id or statistics failed
    QUAY_RESP_NOT_EXPORTED = 2,       // not exported, not ours, or the store refused
    QUAY_RESP_INVALID_ARGUMENT = 3,
    QUAY_RESP_EXPORT_FAILED = 17,     // the NFS-Ganesha export or SMB share failed
    QUAY_RESP_ALREADY_EXPORTED = 18,
    QUAY_RESP_SUBCLIENT_NOT_FOUND = 19,
    QUAY_RESP_NO_SHARE_ID = 28,       // statistics request for a path without share id
    QUAY_RESP_INIT_FAILED = 49
};

// Export operation (request 38141978).
struct QuayBackupExportReq {
    uint32_t reserved;
    ExportType exportType;  // 1 live store, 2 PIT view
    int32_t operation;      // QuayBackupExportOperation
    uint64_t subClientId;
    char* sharePath;
    char* snapDetails;      // may be null; read by un-export only
};

// Object-store client update (request 38141986).
struct QuayObjectStoreClientUpdateReq {
    uint64_t reserved;
    uint64_t subClientId;
    char* clientFirst;
    char* clientSecond;
    char* sharePath;
};

// Backup statistics (request 38142000).
struct QuayBackupInfoReq {
    uint64_t reserved;
    uint64_t subClientId;  // 0 is invalid
    char* sharePath;       // null is invalid
};

struct QuayBackupExportResp {
    int16_t code = 0;
    char* text = nullptr;
};

struct QuayObjectStoreClientUpdateResp {
    int16_t code = 0;
    char* text = nullptr;
};

// Cache-configuration response: only freed by this module.
struct QuayCacheConfigResp {
    unsigned char reserved[8] = {};
    char* text = nullptr;
};

struct QuayBackupInfo {
    char* name = nullptr;
    char* value = nullptr;
};

struct QuayBackupInfoList {
    uint32_t count = 0;
    QuayBackupInfo* items = nullptr;  // new[] array of count items
};

struct QuayBackupInfoResp {
    QuayBackupInfoList list;
    int16_t code = 0;
    char* text = nullptr;
};

static_assert(sizeof(ExportType) == 4, "export type is a 32-bit field");
static_assert(offsetof(QuayBackupExportReq, exportType) == 4, "layout");
static_assert(offsetof(QuayBackupExportReq, operation) == 8, "layout");
static_assert(offsetof(QuayBackupExportReq, subClientId) == 16, "layout");
static_assert(offsetof(QuayBackupExportReq, sharePath) == 24, "layout");
static_assert(offsetof(QuayBackupExportReq, snapDetails) == 32, "layout");
static_assert(offsetof(QuayObjectStoreClientUpdateReq, subClientId) == 8, "layout");
static_assert(offsetof(QuayObjectStoreClientUpdateReq, clientFirst) == 16, "layout");
static_assert(offsetof(QuayObjectStoreClientUpdateReq, clientSecond) == 24, "layout");
static_assert(offsetof(QuayObjectStoreClientUpdateReq, sharePath) == 32, "layout");
static_assert(offsetof(QuayBackupInfoReq, subClientId) == 8, "layout");
static_assert(offsetof(QuayBackupInfoReq, sharePath) == 16, "layout");
static_assert(offsetof(QuayBackupExportResp, code) == 0, "layout");
static_assert(offsetof(QuayBackupExportResp, text) == 8, "layout");
static_assert(sizeof(QuayBackupExportResp) == QUAY_BACKUP_EXPORT_RESP_LENGTH, "layout");
static_assert(offsetof(QuayObjectStoreClientUpdateResp, code) == 0, "layout");
static_assert(offsetof(QuayObjectStoreClientUpdateResp, text) == 8, "layout");
static_assert(sizeof(QuayObjectStoreClientUpdateResp) == QUAY_OBJSTORE_CLIENT_UPDATE_RESP_LENGTH,
              "layout");
static_assert(offsetof(QuayCacheConfigResp, text) == 8, "layout");
static_assert(sizeof(QuayCacheConfigResp) == QUAY_CACHE_CONFIG_RESP_LENGTH, "layout");
static_assert(offsetof(QuayBackupInfoList, count) == 0, "layout");
static_assert(offsetof(QuayBackupInfoList, items) == 8, "layout");
static_assert(sizeof(QuayBackupInfo) == 16, "layout");
static_assert(offsetof(QuayBackupInfo, value) == 8, "layout");
static_assert(offsetof(QuayBackupInfoResp, list) == 0, "layout");
static_assert(offsetof(QuayBackupInfoResp, code) == 16, "layout");
static_assert(offsetof(QuayBackupInfoResp, text) == 24, "layout");
static_assert(sizeof(QuayBackupInfoResp) == QUAY_BACKUP_INFO_RESP_LENGTH, "layout");

// Replace the response's code and text (text copied with strdup; null for
// none). The earlier text is freed, so a response may be set more than once.
void SetResponse(QuayBackupExportResp& response, int code, const char* text);
void SetResponse(QuayObjectStoreClientUpdateResp& response, int code, const char* text);
void SetResponse(QuayBackupInfoResp& response, int code, const char* text);

// Free a response and everything it owns. A null pointer is ignored. Each
// takes the record of its response type:
void ReleaseBackupExportMem(void* response);  // QuayBackupExportResp
void ReleaseCacheConfigMem(void* response);   // QuayCacheConfigResp
void ReleaseUpdateClientMem(void* response);  // QuayObjectStoreClientUpdateResp
void ReleaseBackupInfoMem(void* response);    // QuayBackupInfoResp, its list and texts
