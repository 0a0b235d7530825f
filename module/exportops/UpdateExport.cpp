#include "module/exportops/UpdateExport.h"

#include <cerrno>

#include "configclient/Subclient.h"
#include "host/ExportCache.h"
#include "host/HostServices.h"
#include "host/QuayServiceGlobals.h"
#include "host/ShareIdToPathCache.h"
#include "module/export/BackupFSMExport.h"
#include "module/exportops/InProgressReset.h"
#include "module/exportops/SnapDetails.h"
#include "module/exportops/SubclientHelpers.h"
#include "module/exportops/XmlValueHelpers.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"

namespace {

struct UpdateContext {
    unsigned long subclientId;
    const std::string& path;
    Subclient& subclient;
    ExportPtr& exp;
    BackupFSMExport& fsmExport;
    QuayBackupExportResp* response;
};

bool Fail(const UpdateContext& ctx, int code, const char* text) {
    SetResponse(*ctx.response, code, text);
    return false;
}

// Most read failures of the update say so; a few keep the creation's wording.
bool FailRead(const UpdateContext& ctx, const char* what, const char* operation = "Update") {
    BFSM_LOG(-1, "ERROR: Failed to get %s. %s Export failed for share [%s].", what, operation,
             ctx.path.c_str());
    const std::string text = std::string("Failed to get ") + what + ".";
    return Fail(ctx, QUAY_RESP_FAILED, text.c_str());
}

void ReplaceAllowedClients(Export& exp, const std::string& clients) {
    std::string current;
    exp.GetAllowedClients(current);
    exp.RemoveAllowedClients(current);
    exp.FillAllowedClients(clients);
}

// Sends one setting to the export's open store.
CPelError SendStoreUpdate(BackupFSMExport& exp, const ObjectStore::ObjectStoreUpdates& updates) {
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    if (container == nullptr) return CPelError(ENODEV, "object container not initialised");
    return container->updateObjectStore(exp.GetObjStoreIndex(), updates);
}

CPelError SendCopyPrecedence(BackupFSMExport& exp, unsigned int copyPrecedence) {
    ObjectStore::ObjectStoreUpdates updates;
    updates.hasCopyPrecedence = true;
    updates.copyPrecedence = copyPrecedence;
    return SendStoreUpdate(exp, updates);
}

void ApplyCopyPrecedence(const UpdateContext& ctx, unsigned int copyPrecedence) {
    ctx.fsmExport.SetCopyPrecedence(copyPrecedence);
    ctx.exp->SetOptionalParam("copyPrecedence", NumToStr(copyPrecedence));
}

void ApplyUsersAndGroups(const UpdateContext& ctx, std::string& users, std::string& groups) {
    ctx.fsmExport.SetUserIds(users);
    ctx.exp->SetOptionalParam("uid", users);
    ctx.fsmExport.SetGroupIds(groups);
    ctx.exp->SetOptionalParam("gid", groups);
}

// Clients, users and groups of a live store.
bool UpdateLiveAccessLists(const UpdateContext& ctx) {
    std::string clients;
    std::string users;
    std::string groups;
    if (ctx.subclient.getQuayAllowedNFSClients(clients, nullptr) != 0) {
        return FailRead(ctx, "allowed nfs client");
    }
    ReplaceAllowedClients(*ctx.exp, clients);
    if (ctx.subclient.getQuayUsers(users, nullptr) != 0) return FailRead(ctx, "allowed user");
    ctx.fsmExport.SetUserIds(users);
    ctx.exp->SetOptionalParam("uid", users);
    if (ctx.subclient.getQuayGroups(groups, nullptr) != 0) return FailRead(ctx, "allowed group");
    ctx.fsmExport.SetGroupIds(groups);
    ctx.exp->SetOptionalParam("gid", groups);
    return true;
}

// Protocols and file versions. Unlike creation, protocols that name neither
// NFS nor SMB leave the NFS versions empty.
bool UpdateLiveProtocols(const UpdateContext& ctx) {
    std::string protocols;
    if (!GetSupportedProtocols(ctx.subclient, protocols)) {
        return FailRead(ctx, "SupportedProtocols property", "Create");
    }
    std::string versions;
    if (protocols.find("nfs") != std::string::npos) {
        versions = "3,4";
        ctx.exp->SetNfsVersions(versions);
        BFSM_LOG(1, "INFO: NFS Versions [3,4]");
    }
    if (protocols.find("smb") != std::string::npos) {
        if (versions.empty()) versions = "4";
        BFSM_LOG(1, "INFO: SMB share will be created");
    }
    if (versions.empty()) BFSM_LOG(-1, "INFO: Unsupported protocols [%s]", protocols.c_str());

    bool versionsNeeded = false;
    ctx.subclient.getQuayVersionSupportNeeded(versionsNeeded, nullptr);
    if (versionsNeeded && ctx.fsmExport.GetEnabledVersions() == 0) {
        ctx.exp->SetOptionalParam("enabledVersions", "1");
        ctx.fsmExport.SetEnabledVersions(1);
    } else if (!versionsNeeded && ctx.fsmExport.GetEnabledVersions() == 1) {
        ctx.exp->SetOptionalParam("enabledVersions", "0");
        ctx.fsmExport.SetEnabledVersions(0);
    }
    ctx.exp->SetNfsVersions(versions);
    BFSM_LOG(1, "INFO: NFS Versions [%s]", versions.c_str());
    return true;
}

// Squash, anonymous ids and ACLs, for both kinds of export.
bool UpdateSquashAndAcl(const UpdateContext& ctx) {
    ZELQUAYSquashType squash = ZEL_QUAY_NO_ROOT_SQUASH;
    unsigned int anonUid = 0;
    unsigned int anonGid = 0;
    bool aclEnabled = false;
    if (ctx.subclient.getQuaySquashType(squash, nullptr) != 0) {
        return FailRead(ctx, "squash type");
    }
    ctx.exp->SetSquashingType(squash);
    if (ctx.subclient.getQuayAnonUid(anonUid, nullptr) != 0) {
        return FailRead(ctx, "anonymous uid");
    }
    if (ctx.subclient.getQuayAnonGid(anonGid, nullptr) != 0) {
        BFSM_LOG(-1, "ERROR: Update Export failed for share [%s].", ctx.path.c_str());
        return Fail(ctx, QUAY_RESP_FAILED, "Failed to get anonymous gid.");
    }
    ctx.exp->SetAnonUid(anonUid);
    ctx.exp->SetAnonGid(anonGid);
    if (ctx.subclient.getQuayACLEnableFlag(aclEnabled, nullptr) != 0) {
        return FailRead(ctx, "ACL enable flag");
    }
    ctx.exp->EnableACL(aclEnabled);
    return true;
}

bool UpdateLiveCopyPrecedenceAndFilter(const UpdateContext& ctx) {
    unsigned int copyPrecedence = 0;
    if (ctx.subclient.getQuayCopyPrecedence(copyPrecedence, nullptr) != 0) {
        return FailRead(ctx, "copyPrecedence", "Create");
    }
    ApplyCopyPrecedence(ctx, copyPrecedence);
    BFSM_LOG(4, "INFO: copyPrecedence [%d].", static_cast<int>(copyPrecedence));
    SendCopyPrecedence(ctx.fsmExport, copyPrecedence);

    std::string filter;
    if (ctx.subclient.getQuayBackupFilter(filter, nullptr) != 0) {
        return FailRead(ctx, "backupFilter", "Create");
    }
    std::string current;
    ctx.fsmExport.GetBackupFilter(current);
    if (filter == current) return true;
    ctx.fsmExport.SetBackupFilter(filter);
    ctx.exp->SetOptionalParam("backupFilter", filter);
    BFSM_LOG(4, "INFO: backupFilter [%s].", filter.c_str());
    ObjectStore::ObjectStoreUpdates updates;
    updates.hasBackupFilter = true;
    updates.backupFilter = filter;
    SendStoreUpdate(ctx.fsmExport, updates);
    return true;
}

// The registry's interval, when configured, wins and the export keeps its own.
void UpdateLiveVersionInterval(const UpdateContext& ctx) {
    if (BackupFSMGlobals::versionInterval != -1) {
        BFSM_LOG(1, "INFO: Quay\\%s = [%d] mins.", "nVersionIntervalMins",
                 BackupFSMGlobals::versionInterval / 60);
        return;
    }
    int minutes = 0;
    ctx.subclient.getQuayVersionInterval(minutes, nullptr);
    BFSM_LOG(1, "INFO: Version interval in DB [%d] mins.", minutes);
    const int seconds = minutes * 60;
    if (seconds == ctx.fsmExport.GetVersionInterval()) return;
    BFSM_LOG(1, "INFO: Updating version interval [%d] mins.", minutes);
    ctx.fsmExport.SetVersionInterval(seconds);
    ObjectStore::ObjectStoreUpdates updates;
    updates.hasVersionInterval = true;
    updates.versionInterval = static_cast<uint32_t>(seconds);
    SendStoreUpdate(ctx.fsmExport, updates);
}

bool UpdateLiveCaseSensitive(const UpdateContext& ctx) {
    bool caseSensitive = true;
    const int status = ctx.subclient.getQuayIsCaseSensitive(caseSensitive, nullptr);
    if (status == ZEL_PROP_NOT_FOUND) {
        caseSensitive = true;
    } else if (status != 0) {
        BFSM_LOG(-1, "ERROR: Failed to get IsCaseSensitive property. Create Export failed for "
                     "share [%s]. err [%d]", ctx.path.c_str(), status);
        return Fail(ctx, QUAY_RESP_FAILED, "Failed to get IsCaseSensitive property.");
    }
    ctx.fsmExport.SetCaseSensitive(caseSensitive);
    ctx.exp->SetOptionalParam("caseSensitive", caseSensitive ? "1" : "0");
    BFSM_LOG(4, "INFO: caseSensitive [%s].", caseSensitive ? "True" : "False");
    ObjectStore::ObjectStoreUpdates updates;
    updates.hasCaseSensitive = true;
    updates.caseSensitive = caseSensitive;
    SendStoreUpdate(ctx.fsmExport, updates);
    return true;
}

// Only the exact texts switch: "RO"/"1" to read-only, "RW"/"0" to read-write.
bool UpdateLivePermission(const UpdateContext& ctx) {
    const SharePerms current = ctx.exp->GetSharePerms();
    std::string permission;
    if (ctx.subclient.getQuayAccessPermission(permission, nullptr) != 0) {
        return FailRead(ctx, "access permission");
    }
    BFSM_LOG(1, "INFO: Export [%s] Export property: %d Subclient Property %s", ctx.path.c_str(),
             static_cast<int>(current), permission.c_str());
    if (current == SHARE_PERM_READ_WRITE && (permission == "RO" || permission == "1")) {
        BFSM_LOG(1, "INFO: Export [%s] changed to read-only", ctx.path.c_str());
        ctx.exp->SetSharePerms(SHARE_PERM_READ_ONLY);
    } else if (current == SHARE_PERM_READ_ONLY && (permission == "RW" || permission == "0")) {
        BFSM_LOG(1, "INFO: Export [%s] changed to read-write", ctx.path.c_str());
        ctx.exp->SetSharePerms(SHARE_PERM_READ_WRITE);
    }
    return true;
}

bool UpdateLiveStore(const UpdateContext& ctx) {
    if (!UpdateLiveAccessLists(ctx)) return false;
    if (!UpdateLiveProtocols(ctx)) return false;
    if (!UpdateSquashAndAcl(ctx)) return false;
    if (!UpdateLiveCopyPrecedenceAndFilter(ctx)) return false;
    UpdateLiveVersionInterval(ctx);
    if (!UpdateLiveCaseSensitive(ctx)) return false;
    return UpdateLivePermission(ctx);
}

// Settings of a PIT view's snapshot record. A record without "ReadOnly" or
// "WritablePIT" counts the missing element as 0.
struct SnapRecordSettings {
    unsigned int copyPrecedence = 0;
    unsigned int readOnly = 0;
    unsigned int writablePIT = 0;
    std::string clients;
    std::string users;
    std::string groups;
};

bool FindSnapRecord(const UpdateContext& ctx, SnapRecordSettings& out) {
    std::string details;
    if (ctx.subclient.getQuayViewConfiguration(details, nullptr) != 0) {
        return FailRead(ctx, "snap details");
    }
    if (details.empty()) {
        BFSM_LOG(-1, "No snap details found in the objectStore");
        return Fail(ctx, QUAY_RESP_FAILED, "No snap details found in the objectStore");
    }
    for (const std::string& record : SplitSnapRecords(details)) {
        std::string mountPath;
        GetValueFromXmlString(record, "MntPath", mountPath);
        if (mountPath != ctx.path) continue;
        GetValueFromXmlString(record, "CopyPrecedence", out.copyPrecedence);
        GetValueFromXmlString(record, "ReadOnly", out.readOnly);
        GetValueFromXmlString(record, "WritablePIT", out.writablePIT);
        GetValueFromXmlString(record, "NFSClient", out.clients);
        GetValueFromXmlString(record, "UID", out.users);
        GetValueFromXmlString(record, "GID", out.groups);
        return true;
    }
    BFSM_LOG(-1, "ERROR: Given sharePath [%s], not found in snap", ctx.path.c_str());
    return Fail(ctx, QUAY_RESP_FAILED, "sharePath not found in snap");
}

bool UpdatePitView(const UpdateContext& ctx) {
    SnapRecordSettings record;
    if (!FindSnapRecord(ctx, record)) return false;
    ReplaceAllowedClients(*ctx.exp, record.clients);
    ApplyUsersAndGroups(ctx, record.users, record.groups);
    ApplyCopyPrecedence(ctx, record.copyPrecedence);

    CPelError error = SendCopyPrecedence(ctx.fsmExport, record.copyPrecedence);
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to update copy precedence for share [%s], error=%s",
                 ctx.path.c_str(), error.AsString().c_str());
        return Fail(ctx, QUAY_RESP_FAILED, "Failed to update copy precedence.");
    }
    ctx.fsmExport.SetWritablePIT(record.writablePIT);
    ctx.exp->SetOptionalParam("writablePIT", NumToStr(record.writablePIT));
    ctx.exp->SetSharePerms(record.readOnly != 0 ? SHARE_PERM_READ_ONLY : SHARE_PERM_READ_WRITE);

    ObjectStore::ObjectStoreUpdates updates;
    updates.hasDiscardWrites = true;
    updates.discardWrites = record.writablePIT == 1;
    error = SendStoreUpdate(ctx.fsmExport, updates);
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to update discardWrites for share [%s], error=%s",
                 ctx.path.c_str(), error.AsString().c_str());
        return Fail(ctx, QUAY_RESP_FAILED, "Failed to update discardWrites.");
    }
    return UpdateSquashAndAcl(ctx);
}

// Ganesha export and Samba share refreshed. A Samba share that cannot be
// made again takes the Ganesha export down too: a share must not be served
// by one protocol with the settings of the other.
bool RefreshHostShares(const UpdateContext& ctx, unsigned int shareId) {
    if (!QuayServiceGlobals::isGanesha) return true;
    if (UpdateGaneshaExport(ctx.exp) != 0) {
        return Fail(ctx, QUAY_RESP_EXPORT_FAILED, "Creation of Ganesha export failed.");
    }
    if (BackupFSMGlobals::isSambaEnabledForBackupFSM == 0 || !ctx.exp->GetSMBEnabled()) {
        return true;
    }
    BFSM_LOG(1, "SMB_UPDATE_SHARE");
    if (ManageSambaShare(SAMBA_CMD_UPDATE, ctx.exp, ctx.exp->GetFSModuleType()) != 0) {
        BFSM_LOG(-1, "ERROR: Re-Creation of SMB Share failed");
        BFSM_LOG(-1, "ERROR: Removing Ganesha Export");
        ManageGaneshaExport(GANESHA_CMD_REMOVE, shareId);
        return Fail(ctx, QUAY_RESP_EXPORT_FAILED, "Re-Creation of SMB Share failed.");
    }
    return true;
}

// The served export of the path; null with the response set otherwise.
BackupFSMExport* FindServedExport(unsigned long subclientId, const std::string& path,
                                  unsigned int shareId, Subclient& subclient, ExportPtr& exp,
                                  QuayBackupExportResp* response) {
    if (!gAllExports->FindExport(shareId, exp)) {
        BFSM_LOG(-1, "ERROR: shareID found but export not found for sharePath [%s]",
                 path.c_str());
        SetResponse(*response, QUAY_RESP_FAILED, "shareID not found");
        ResetConfigInProgress(subclient, subclientId);
        return nullptr;
    }
    BackupFSMExport* fsmExport = dynamic_cast<BackupFSMExport*>(exp.get());
    if (fsmExport == nullptr) {
        BFSM_LOG(-1, "ERROR: Wrong export object");
        SetResponse(*response, QUAY_RESP_NOT_EXPORTED, "Wrong export object");
        ResetConfigInProgress(subclient, subclientId);
    }
    return fsmExport;
}

}  // namespace

bool UpdateExport(unsigned long subclientId, std::string& sharePath, ExportType exportType,
                  QuayBackupExportResp* response) {
    SetResponse(*response, QUAY_RESP_SUCCESS, nullptr);
    Subclient subclient(subclientId);
    const unsigned int shareId = ShareIdToPathCache::GetShareIdForPath(sharePath, false, false);
    if (shareId == 0) {
        BFSM_LOG(-1, "ERROR: Share ID not found for sharePath [%s]", sharePath.c_str());
        SetResponse(*response, QUAY_RESP_FAILED, "Share ID not found");
        return false;
    }
    BFSM_LOG(4, "INFO: Flushing App manager client side code");
    EnableAppMgrClientMessageCache(false);
    EnableAppMgrClientMessageCache(true);
    if (subclient.lookup(nullptr) == ZEL_SUBCLIENT_NOT_FOUND) {
        BFSM_LOG(-1, "ERROR: Given subclient [%lu] not found", subclientId);
        SetResponse(*response, QUAY_RESP_SUBCLIENT_NOT_FOUND, "Given subclient not found");
        return false;
    }
    unsigned long policyId = 0;
    GetSCPolicySubclient(subclientId, policyId);

    ExportPtr exp;
    BackupFSMExport* fsmExport =
        FindServedExport(subclientId, sharePath, shareId, subclient, exp, response);
    if (fsmExport == nullptr) return false;
    BFSM_LOG(4, "flushing App manager client side cache");
    EnableAppMgrClientMessageCache(false);
    EnableAppMgrClientMessageCache(true);

    const UpdateContext ctx{subclientId, sharePath, subclient, exp, *fsmExport, response};
    const bool updated =
        exportType == EXPORT_TYPE_OBJECT_STORE ? UpdateLiveStore(ctx) : UpdatePitView(ctx);
    if (!updated || !RefreshHostShares(ctx, shareId)) return false;

    ResetConfigInProgress(subclient, subclientId);
    BFSM_LOG(1, "INFO: Updated the export with shareID [%u] and sharePath [%s]", shareId,
             sharePath.c_str());
    SaveMountPointTable();
    return true;
}
