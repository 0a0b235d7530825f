// Configuration RPC records: sizes, offsets, fresh values and release.
#include "module/fsm/ConfigRPCRecords.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(RpcRecordsTest, RecordSizes) {
    EXPECT_EQ(QUAY_BACKUP_EXPORT_RESP_LENGTH, sizeof(QuayBackupExportResp));
    EXPECT_EQ(QUAY_OBJSTORE_CLIENT_UPDATE_RESP_LENGTH, sizeof(QuayObjectStoreClientUpdateResp));
    EXPECT_EQ(QUAY_CACHE_CONFIG_RESP_LENGTH, sizeof(QuayCacheConfigResp));
    EXPECT_EQ(QUAY_BACKUP_INFO_RESP_LENGTH, sizeof(QuayBackupInfoResp));
    EXPECT_EQ(16u, QUAY_BACKUP_EXPORT_RESP_LENGTH);
    EXPECT_EQ(32u, QUAY_BACKUP_INFO_RESP_LENGTH);
    EXPECT_EQ(16u, sizeof(QuayBackupInfo));
    EXPECT_EQ(40u, sizeof(QuayBackupExportReq));
    EXPECT_EQ(40u, sizeof(QuayObjectStoreClientUpdateReq));
    EXPECT_EQ(24u, sizeof(QuayBackupInfoReq));
}

// The host fills request records as raw bytes; the module must read the
// fields at their agreed offsets.
TEST(RpcRecordsTest, RequestFieldsReadFromRawBytes) {
    unsigned char raw[40] = {};
    const uint32_t type = 2;
    const int32_t operation = 3;
    const uint64_t subclient = 0x1122334455667788ull;
    char path[] = "/store";
    char* pathPtr = path;
    memcpy(raw + 4, &type, 4);
    memcpy(raw + 8, &operation, 4);
    memcpy(raw + 16, &subclient, 8);
    memcpy(raw + 24, &pathPtr, 8);
    QuayBackupExportReq req;
    memcpy(&req, raw, sizeof(req));
    EXPECT_EQ(EXPORT_TYPE_PIT, req.exportType);
    EXPECT_EQ(QUAY_EXPORT_OP_UNEXPORT, req.operation);
    EXPECT_EQ(subclient, req.subClientId);
    EXPECT_EQ(path, req.sharePath);
    EXPECT_EQ(nullptr, req.snapDetails);
}

TEST(RpcRecordsTest, NewResponsesStartEmpty) {
    QuayBackupExportResp exportResp;
    EXPECT_EQ(0, exportResp.code);
    EXPECT_EQ(nullptr, exportResp.text);
    QuayBackupInfoResp info;
    EXPECT_EQ(0u, info.list.count);
    EXPECT_EQ(nullptr, info.list.items);
    EXPECT_EQ(0, info.code);
    EXPECT_EQ(nullptr, info.text);
}

TEST(RpcRecordsTest, SetResponseReplacesTextWithoutLeaking) {
    auto* resp = new QuayBackupExportResp;
    SetResponse(*resp, 1, "first");
    SetResponse(*resp, 18, "share is already exported");
    EXPECT_EQ(18, resp->code);
    EXPECT_STREQ("share is already exported", resp->text);
    SetResponse(*resp, 0, nullptr);
    EXPECT_EQ(nullptr, resp->text);
    SetResponse(*resp, 0x12345, "cut");
    EXPECT_EQ(0x2345, resp->code) << "codes are 16-bit";
    ReleaseBackupExportMem(resp);  // LeakSanitizer checks the text went with it
}

TEST(RpcRecordsTest, ReleaseWithNullTextsAndEmptyLists) {
    ReleaseBackupExportMem(new QuayBackupExportResp);
    ReleaseUpdateClientMem(new QuayObjectStoreClientUpdateResp);
    ReleaseCacheConfigMem(new QuayCacheConfigResp);
    ReleaseBackupInfoMem(new QuayBackupInfoResp);
    ReleaseBackupExportMem(nullptr);
    ReleaseUpdateClientMem(nullptr);
    ReleaseCacheConfigMem(nullptr);
    ReleaseBackupInfoMem(nullptr);
    SUCCEED() << "sanitizer builds check nothing is freed twice or leaked";
}

TEST(RpcRecordsTest, ReleaseFreesEverythingARecordOwns) {
    auto* update = new QuayObjectStoreClientUpdateResp;
    SetResponse(*update, 2, "object store not found");
    ReleaseUpdateClientMem(update);

    auto* cache = new QuayCacheConfigResp;
    cache->text = strdup("cache");
    ReleaseCacheConfigMem(cache);

    auto* info = new QuayBackupInfoResp;
    SetResponse(*info, 0, "ok");
    info->list.count = 3;
    info->list.items = new QuayBackupInfo[3];
    info->list.items[0].name = strdup("Files");
    info->list.items[0].value = strdup("10");
    info->list.items[1].name = strdup("Bytes");  // value left null
    info->list.items[2].value = strdup("x");     // name left null
    ReleaseBackupInfoMem(info);
    SUCCEED() << "LeakSanitizer fails the test if any text survives";
}

}  // namespace
