#include "module/exportops/CreateExport.h"

#include <memory>

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

const uint32_t kDefaultVersionIntervalSecs = 60;

// Everything the new export is built with, at its start values.
struct NewExportSettings {
    std::string allowedClients;
    std::string users;
    std::string groups;
    std::string accessPermission;
    ZELQUAYSquashType squash = ZEL_QUAY_NO_ROOT_SQUASH;
    unsigned int anonUid = 0;
    unsigned int anonGid = 0;
    unsigned int copyPrecedence = 0;
    bool aclEnabled = false;
    std::string backupFilter;
    bool supportDNFS = false;
    bool caseSensitive = true;
    std::string protocols;
    uint32_t versionInterval = kDefaultVersionIntervalSecs;
    unsigned int readOnly = 0;
    unsigned int writablePIT = 0;
    std::string snapName;
    time_t pitTime = 0;
    SharePerms perms = SHARE_PERM_READ_WRITE;
};

// The subclient of the request and its policy subclient, which receives the
// defaults the creation decides on. hasPolicy is false when the policy id
// could not be read: there is then nothing to write the defaults to.
struct CreationContext {
    unsigned long subclientId;
    const std::string& path;
    Subclient& subclient;
    Subclient& policy;
    bool hasPolicy;
    QuayBackupExportResp* response;
};

bool FailRead(const CreationContext& ctx, const char* what) {
    BFSM_LOG(-1, "ERROR: Failed to get %s. Create Export failed for share [%s].", what,
             ctx.path.c_str());
    const std::string text = std::string("Failed to get ") + what + ".";
    SetResponse(*ctx.response, QUAY_RESP_FAILED, text.c_str());
    return false;
}

// Squash and anonymous ids: read for both kinds of export.
bool ReadSquashAndAnonIds(const CreationContext& ctx, NewExportSettings& s) {
    if (ctx.subclient.getQuaySquashType(s.squash, nullptr) != 0) {
        return FailRead(ctx, "squash type");
    }
    if (ctx.subclient.getQuayAnonUid(s.anonUid, nullptr) != 0) {
        return FailRead(ctx, "anonymous uid");
    }
    if (ctx.subclient.getQuayAnonGid(s.anonGid, nullptr) != 0) {
        return FailRead(ctx, "anonymous gid");
    }
    return true;
}

bool ReadCaseSensitive(const CreationContext& ctx, bool writeDefaultBack, NewExportSettings& s) {
    const int status = ctx.subclient.getQuayIsCaseSensitive(s.caseSensitive, nullptr);
    if (status == ZEL_PROP_NOT_FOUND) {
        GetDefaultCaseSensitive(s.caseSensitive);
        if (!writeDefaultBack) {
            BFSM_LOG(1, "CaseSensitive property is not set. Will use default value [%d]",
                     s.caseSensitive ? 1 : 0);
            return true;
        }
        BFSM_LOG(1, "CaseSensitive property is not set. Setting it to [%d]",
                 s.caseSensitive ? 1 : 0);
        if (ctx.hasPolicy) {
            ctx.policy.setQuayIsCaseSensitive(s.caseSensitive, nullptr);
        } else {
            BFSM_LOG(1, "WARN: No policy subclient known for subclient [%lu]. CaseSensitive "
                        "default not stored", ctx.subclientId);
        }
        return true;
    }
    if (status != 0) {
        BFSM_LOG(-1, "ERROR: Failed to get IsCaseSensitive property. Create Export failed for "
                     "share [%s]. err [%d]", ctx.path.c_str(), status);
        SetResponse(*ctx.response, QUAY_RESP_FAILED, "Failed to get IsCaseSensitive property.");
        return false;
    }
    return true;
}

bool ReadProtocols(const CreationContext& ctx, NewExportSettings& s) {
    if (GetSupportedProtocols(ctx.subclient, s.protocols)) return true;
    BFSM_LOG(-1, "ERROR: Failed to get SupportedProtocols property. Create Export failed for "
                 "share [%s].", ctx.path.c_str());
    SetResponse(*ctx.response, QUAY_RESP_FAILED, "Failed to get SupportedProtocols property.");
    return false;
}

bool ReadLiveProperties(const CreationContext& ctx, NewExportSettings& s) {
    Subclient& sc = ctx.subclient;
    if (sc.getQuayAllowedNFSClients(s.allowedClients, nullptr) != 0) {
        return FailRead(ctx, "allowed nfs client");
    }
    if (sc.getQuayUsers(s.users, nullptr) != 0) return FailRead(ctx, "allowed user");
    if (sc.getQuayGroups(s.groups, nullptr) != 0) return FailRead(ctx, "allowed group");
    if (sc.getQuayAccessPermission(s.accessPermission, nullptr) != 0) {
        return FailRead(ctx, "access permission");
    }
    if (!ReadSquashAndAnonIds(ctx, s)) return false;
    if (sc.getQuayCopyPrecedence(s.copyPrecedence, nullptr) != 0) {
        return FailRead(ctx, "copyPrecedence");
    }
    if (sc.getQuayACLEnableFlag(s.aclEnabled, nullptr) != 0) {
        return FailRead(ctx, "enable ACL flag");
    }
    if (sc.getQuayBackupFilter(s.backupFilter, nullptr) != 0) {
        return FailRead(ctx, "backup filter");
    }
    if (sc.getQuaySupportDNFS(s.supportDNFS, nullptr) != 0) {
        return FailRead(ctx, "supportDNFS property");
    }
    return true;
}

// The registry's interval (seconds) wins over the subclient's (minutes).
uint32_t LiveVersionInterval(Subclient& subclient) {
    if (BackupFSMGlobals::versionInterval != -1) {
        return static_cast<uint32_t>(BackupFSMGlobals::versionInterval);
    }
    int minutes = static_cast<int>(kDefaultVersionIntervalSecs);
    subclient.getQuayVersionInterval(minutes, nullptr);
    return static_cast<uint32_t>(minutes) * 60u;
}

bool ReadLiveSettings(const CreationContext& ctx, NewExportSettings& s) {
    if (!ReadLiveProperties(ctx, s)) return false;
    if (!ReadCaseSensitive(ctx, true, s)) return false;
    if (!ReadProtocols(ctx, s)) return false;
    s.versionInterval = LiveVersionInterval(ctx.subclient);

    BFSM_LOG(1, "Subclient access permission: %s", s.accessPermission.c_str());
    if (s.accessPermission == "1" || s.accessPermission == "RO") {
        BFSM_LOG(1, "Info: Marking [%s] read-only", ctx.path.c_str());
        s.perms = SHARE_PERM_READ_ONLY;
    }
    return true;
}

// The first record whose "MntPath" is the share path, with its settings.
// False when none matches or its "ToTime" does not parse (logged).
bool ReadSnapRecord(const CreationContext& ctx, const std::string& details,
                    NewExportSettings& s) {
    for (const std::string& record : SplitSnapRecords(details)) {
        BFSM_LOG(5, "Matching snap [%s]", record.c_str());
        std::string mountPath;
        GetValueFromXmlString(record, "MntPath", mountPath);
        if (mountPath != ctx.path) continue;

        // A record without "ReadOnly" or "WritablePIT" counts it as 0.
        GetValueFromXmlString(record, "CopyPrecedence", s.copyPrecedence);
        GetValueFromXmlString(record, "ReadOnly", s.readOnly);
        GetValueFromXmlString(record, "WritablePIT", s.writablePIT);
        GetValueFromXmlString(record, "NFSClient", s.allowedClients);
        GetValueFromXmlString(record, "UID", s.users);
        GetValueFromXmlString(record, "GID", s.groups);
        GetValueFromXmlString(record, "SnapName", s.snapName);
        std::string toTime;
        GetValueFromXmlString(record, "ToTime", toTime);
        if (!ParseTime(toTime, s.pitTime)) {
            BFSM_LOG(-1, "ERROR: Failed to parse to time string [%s]", toTime.c_str());
            return false;
        }
        return true;
    }
    BFSM_LOG(-1, "ERROR: Given sharePath [%s], not found in snap", ctx.path.c_str());
    return false;
}

bool ReadPitSettings(const CreationContext& ctx, NewExportSettings& s) {
    std::string details;
    if (ctx.subclient.getQuayViewConfiguration(details, nullptr) != 0) {
        BFSM_LOG(-1, "ERROR: Failed to get snap details. Create Export failed for share [%s].",
                 ctx.path.c_str());
        SetResponse(*ctx.response, QUAY_RESP_FAILED, "Failed to get snap details.");
        return false;
    }
    BFSM_LOG(1, "INFO: snapDetails [%s]", details.c_str());
    if (details.empty()) {
        BFSM_LOG(-1, " No snap details found in the objectStore");
        return false;
    }
    if (!ReadSnapRecord(ctx, details, s)) return false;

    if (!ReadSquashAndAnonIds(ctx, s)) return false;
    if (ctx.subclient.getQuayACLEnableFlag(s.aclEnabled, nullptr) != 0) {
        return FailRead(ctx, "enable ACL flag");
    }
    if (ctx.subclient.getQuaySupportDNFS(s.supportDNFS, nullptr) != 0) {
        return FailRead(ctx, "supportDNFS property");
    }
    if (!ReadCaseSensitive(ctx, false, s)) return false;
    if (!ReadProtocols(ctx, s)) return false;

    // "WritablePIT" only travels to the store; "ReadOnly" decides the share.
    if (s.readOnly != 0) {
        BFSM_LOG(1, "Info: Marking PIT [%s] as read-only", ctx.path.c_str());
        s.perms = SHARE_PERM_READ_ONLY;
    } else {
        BFSM_LOG(1, "Info: Marking PIT [%s] as writable", ctx.path.c_str());
        s.perms = SHARE_PERM_READ_WRITE;
    }
    return true;
}

// The share keeps the id it had before a restart, so handles that clients
// still hold stay valid. 0 when no id can be had.
unsigned int AllotShareId(const std::string& path) {
    ZelCriticalSectionLock lock(BackupFSMGlobals::oldShareAndIdLock);
    auto found = BackupFSMGlobals::oldShareAndIdMap.find(path);
    if (found != BackupFSMGlobals::oldShareAndIdMap.end()) {
        const unsigned int oldId = found->second;
        if (ShareIdToPathCache::AddToExportPathToIdMap(path, oldId)) {
            BFSM_LOG(1, "INFO: Existing share added to PathToIDMap [%u : %s]", oldId,
                     path.c_str());
            return oldId;
        }
        // Serving two shares under one id would mix up their file handles.
        BFSM_LOG(-1, "ERROR: Share ID [%u] of [%s] is in use by another share. A new ID is "
                     "taken", oldId, path.c_str());
    }
    const unsigned int newId = ShareIdToPathCache::GetShareIdForPath(path, true, false);
    BFSM_LOG(1, "INFO: New share [%s] got shareID [%u]", path.c_str(), newId);
    return newId;
}

// Builds the export and opens its store; null (logged, id freed, response
// set) when init fails.
ExportPtr BuildExport(const CreationContext& ctx, ExportType type, unsigned int shareId,
                      NewExportSettings& s) {
    ExportPtr noParent;
    std::unique_ptr<BackupFSMExport> exp(
        new BackupFSMExport(ctx.path, s.perms, s.allowedClients, shareId, noParent));
    if (!exp->init(ctx.subclientId, type, s.pitTime, s.users, s.groups, s.copyPrecedence,
                   s.backupFilter, s.writablePIT, s.snapName, s.supportDNFS, s.caseSensitive,
                   s.protocols, s.versionInterval)) {
        BFSM_LOG(-1, "ERROR: BackupFSMExport init Failed");
        exp.reset();
        ShareIdToPathCache::FreeShareIdAux(shareId);
        SetResponse(*ctx.response, QUAY_RESP_FAILED, "BackupFSMExport init Failed");
        return ExportPtr();
    }
    return ExportPtr(exp.release());
}

// "nfs" serves NFSv3 and v4; an SMB-only share still gets NFSv4. Neither:
// both NFS versions, and the policy subclient is told so.
std::string NfsVersionsFor(const CreationContext& ctx, const std::string& protocols) {
    std::string versions;
    if (protocols.find("nfs") != std::string::npos) {
        versions = "3,4";
        BFSM_LOG(1, "INFO: NFS Versions [3,4]");
    }
    if (protocols.find("smb") != std::string::npos) {
        if (versions.empty()) versions = "4";
        BFSM_LOG(1, "INFO: SMB share will be created");
    }
    if (versions.empty()) {
        BFSM_LOG(-1, "INFO: Unsupported protocols [%s]", protocols.c_str());
        versions = "3,4";
        if (ctx.hasPolicy) {
            SetSupportedProtocols(ctx.policy, "nfsv3,nfsv4");
        } else {
            BFSM_LOG(1, "WARN: No policy subclient known for subclient [%lu]. Supported "
                        "protocols not stored", ctx.subclientId);
        }
    }
    return versions;
}

// Ganesha export and, where the module serves SMB, the Samba share. False
// (export withdrawn, id freed, response 17) when the Ganesha export fails; a
// failed Samba share leaves an NFS-only share.
bool PublishThroughGanesha(const CreationContext& ctx, ExportPtr& exp, unsigned int shareId) {
    const bool smb = BackupFSMGlobals::isSambaEnabledForBackupFSM != 0;
    if (smb) exp->SetSMBEnabled(true);
    if (CreateGaneshaExport(exp) != 0) {
        gAllExports->RemoveExport(exp);
        ShareIdToPathCache::FreeShareIdAux(shareId);
        SetResponse(*ctx.response, QUAY_RESP_EXPORT_FAILED, "Creation of Ganesha export failed.");
        return false;
    }
    if (smb && ManageSambaShare(SAMBA_CMD_CREATE, exp, exp->GetFSModuleType()) != 0) {
        BFSM_LOG(-1, "ERROR: SMB Share Creation failed");
        exp->SetSMBEnabled(false);
        // Ganesha admits 127.0.0.1 while the SMB flag is set; take it out again.
        if (UpdateGaneshaExport(exp) != 0) {
            BFSM_LOG(-1, "Error: Update Export to remove 127.0.0.1 from allowed clients failed");
        }
    }
    return true;
}

bool ExportWithSettings(const CreationContext& ctx, ExportType type, NewExportSettings& s) {
    const unsigned int shareId = AllotShareId(ctx.path);
    if (shareId == 0) {
        BFSM_LOG(-1, "ERROR: Share ID not found for sharePath [%s]", ctx.path.c_str());
        SetResponse(*ctx.response, QUAY_RESP_FAILED, "Share ID not found");
        return false;
    }
    ExportPtr existing;
    if (gAllExports->FindExport(shareId, existing)) {
        return HandleAlreadyExportedShare(ctx.response, ctx.subclient, ctx.subclientId);
    }
    ExportPtr exp = BuildExport(ctx, type, shareId, s);
    if (!exp) return false;

    const std::string versions = NfsVersionsFor(ctx, s.protocols);
    exp->SetNfsVersions(versions);
    BFSM_LOG(1, "INFO: NFS Versions [%s]", versions.c_str());
    exp->SetSquashingType(s.squash);
    exp->SetAnonUid(s.anonUid);
    exp->SetAnonGid(s.anonGid);
    exp->EnableACL(s.aclEnabled);
    gAllExports->AddExport(exp);

    if (QuayServiceGlobals::isGanesha && !PublishThroughGanesha(ctx, exp, shareId)) return false;

    ResetConfigInProgress(ctx.subclient, ctx.subclientId);
    SaveMountPointTable();
    SetResponse(*ctx.response, QUAY_RESP_SUCCESS, nullptr);
    return true;
}

}  // namespace

bool CreateNewExport(unsigned long subclientId, std::string& sharePath, ExportType exportType,
                     QuayBackupExportResp* response) {
    Subclient subclient(subclientId);
    if (!InsertShareInInit(subclientId, response, subclient)) return false;
    CleanShareInInit leaveSharesInInit(subclientId);

    BFSM_LOG(4, "INFO: Flushing App manager client side code");
    EnableAppMgrClientMessageCache(false);
    EnableAppMgrClientMessageCache(true);
    if (subclient.lookup(nullptr) == ZEL_SUBCLIENT_NOT_FOUND) {
        BFSM_LOG(-1, "ERROR: Given subclient [%lu] not found", subclientId);
        SetResponse(*response, QUAY_RESP_SUBCLIENT_NOT_FOUND, "Given subclient not found");
        return false;
    }

    unsigned long policyId = 0;
    const bool hasPolicy = GetSCPolicySubclient(subclientId, policyId);
    Subclient policy(policyId);
    BFSM_LOG(1, "INFO: Exporting the share [%s] subclient [%lu] scpSubclient [%lu]",
             sharePath.c_str(), subclientId, policyId);

    const CreationContext ctx{subclientId, sharePath, subclient, policy, hasPolicy, response};
    NewExportSettings settings;
    if (exportType == EXPORT_TYPE_OBJECT_STORE) {
        if (!ReadLiveSettings(ctx, settings)) return false;
    } else if (exportType == EXPORT_TYPE_PIT) {
        if (!ReadPitSettings(ctx, settings)) return false;
    } else {
        BFSM_LOG(-1, "ERROR: Wrong ExportType [%d]", static_cast<int>(exportType));
        return false;
    }
    return ExportWithSettings(ctx, exportType, settings);
}
