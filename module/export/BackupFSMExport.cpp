#include "module/export/BackupFSMExport.h"

#include <cerrno>
#include <cstdlib>

#include <boost/make_shared.hpp>

#include "configclient/ApplicationId.h"
#include "configclient/Subclient.h"
#include "module/backend/Authorization.h"
#include "module/export/BackupFSMTunables.h"
#include "module/filehandle/BackupFSMFileHandle.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"

namespace {

const uint32_t kLiveStoreMode = 0777;
const uint32_t kPitStoreMode = 0555;
const uint32_t kFlushAfterSeconds = 60;

// Optional parameters carry numbers as unsigned 64-bit decimal text.
std::string Decimal(uint64_t value) { return std::to_string(value); }
std::string Decimal(int64_t value) { return Decimal(static_cast<uint64_t>(value)); }
std::string Decimal(int value) { return Decimal(static_cast<int64_t>(value)); }
std::string Decimal(unsigned int value) { return Decimal(static_cast<uint64_t>(value)); }

uint64_t ParseU64(const std::string& text) { return strtoull(text.c_str(), nullptr, 10); }
uint32_t ParseU32(const std::string& text) { return static_cast<uint32_t>(ParseU64(text)); }
int ParseInt(const std::string& text) {
    return static_cast<int>(strtol(text.c_str(), nullptr, 10));
}

}  // namespace

BackupFSMExport::BackupFSMExport(const std::string& path, SharePerms perms,
                                 std::string allowedClients, unsigned int shareId,
                                 ExportPtr& parent)
    : Export(path, perms, std::move(allowedClients), shareId, parent) {}

BackupFSMExport::BackupFSMExport(const Export& e) : Export(e) {
    RebuildFromOptionalParams();
    populateUidSet();
    populateGidSet();
}

BackupFSMExport::~BackupFSMExport() {
    BFSM_LOG(10, "SinkFSMExport [%p] deleted", static_cast<void*>(this));
}

bool BackupFSMExport::init(unsigned long subClientIdArg, ExportType exportTypeArg,
                           time_t snapshotTimeArg, std::string& userIdsArg,
                           std::string& groupIdsArg, uint32_t copyPrecedenceArg,
                           const std::string& backupFilterArg, uint32_t writablePITArg,
                           const std::string& snapName, bool supportDNFSArg,
                           bool caseSensitiveArg, const std::string& protocolsArg,
                           uint32_t versionIntervalArg) {
    const uint32_t mode = exportTypeArg == EXPORT_TYPE_PIT ? kPitStoreMode : kLiveStoreMode;

    subClientID = subClientIdArg;
    exportType = exportTypeArg;
    {
        ZelCriticalSectionLock lock(settingsCS);
        userIds = userIdsArg;
        groupIds = groupIdsArg;
        backupFilter = backupFilterArg;
    }
    copyPrecedence.store(copyPrecedenceArg);
    writablePIT.store(writablePITArg);

    extentSize = ::GetExtentSize();
    timeoutUntilBackup = ::GetTimeoutUntilBackup();
    versionCacheBytes = ::GetVersionCacheBytes();
    guidCacheBytes = ::GetGuidCacheBytes();
    attribCacheEntries = static_cast<int>(::GetAttribCacheEntries());
    xattrCacheEntries = static_cast<int>(::GetXattrCacheEntries());
    dirCacheEntries = static_cast<int>(::GetDirCacheEntries());
    flushAfterCount = static_cast<uint32_t>(::GetFlushAfterCount());
    flushAfterSeconds = kFlushAfterSeconds;

    enabledVersions.store(FetchEnabledVersions());
    versionInterval.store(static_cast<int>(versionIntervalArg));
    supportDNFS = supportDNFSArg;

    RecordOptionalParams(snapshotTimeArg, snapName, caseSensitiveArg, protocolsArg);
    populateUidSet();
    populateGidSet();

    bool readOnly = false;
    const std::string storePath = StorePath(readOnly);

    ApplicationId app(ApplicationId::KIND_SUBCLIENT, subClientID);
    if (app.getApplicationId(nullptr) != 0) {
        BFSM_LOG(-1, "Error: Failed to identify subclient params from subclient id [%lu]",
                 subClientID);
        return false;
    }
    BFSM_LOG(1,
             "opening the ObjectStore [%s] for Client ID [%lu], Subclient ID [%lu], "
             "snapShotTime[%ld] timeoutUntilBackup [%lu] enabledVersions [%d] readOnly [%d] "
             "writablePIT [%d]",
             storePath.c_str(), app.getAppIdInfo().clientId, subClientID,
             static_cast<long>(snapshotTimeArg), static_cast<unsigned long>(timeoutUntilBackup),
             enabledVersions.load(), readOnly ? 1 : 0, static_cast<int>(writablePITArg));

    FillStoreConfig(storePath, mode, readOnly, snapshotTimeArg, snapName, caseSensitiveArg,
                    versionIntervalArg);
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    uint64_t index = 0;
    const CPelError openError = container != nullptr
                                    ? container->openObjectStore(index, storeConfig)
                                    : CPelError(ENXIO, "no object container");
    if (openError.IsError()) {
        BFSM_LOG(-1, "ObjectStore [%s] open failed", storePath.c_str());
        BFSM_LOG(1, "INFO: ObjectStore [%s] open error [%s]", storePath.c_str(),
                 openError.AsString().c_str());
        return false;
    }
    objStoreIndex = index;
    return OpenRoot(storePath);
}

void BackupFSMExport::RecordOptionalParams(time_t snapshotTimeArg, const std::string& snapName,
                                           bool caseSensitiveArg,
                                           const std::string& protocolsArg) {
    std::string users;
    std::string groups;
    std::string filter;
    {
        ZelCriticalSectionLock lock(settingsCS);
        users = userIds;
        groups = groupIds;
        filter = backupFilter;
    }
    SetOptionalParam("subClientID", Decimal(static_cast<uint64_t>(subClientID)));
    SetOptionalParam("exportType", Decimal(static_cast<int>(exportType)));
    SetOptionalParam("uid", users);
    SetOptionalParam("gid", groups);
    SetOptionalParam("extentSize", Decimal(extentSize));
    SetOptionalParam("timeoutUntilBackup", Decimal(timeoutUntilBackup));
    SetOptionalParam("snapshotTime", Decimal(static_cast<int64_t>(snapshotTimeArg)));
    SetOptionalParam("guidCacheBytes", Decimal(guidCacheBytes));
    SetOptionalParam("versionCacheBytes", Decimal(versionCacheBytes));
    SetOptionalParam("attribCacheEntries", Decimal(attribCacheEntries));
    SetOptionalParam("xattrCacheEntries", Decimal(xattrCacheEntries));
    SetOptionalParam("dirCacheEntries", Decimal(dirCacheEntries));
    SetOptionalParam("flushAfterCount", Decimal(flushAfterCount));
    SetOptionalParam("flushAfterSeconds", Decimal(flushAfterSeconds));
    SetOptionalParam("enabledVersions", Decimal(enabledVersions.load()));
    SetOptionalParam("copyPrecedence", Decimal(copyPrecedence.load()));
    SetOptionalParam("backupFilter", filter);
    SetOptionalParam("writablePIT", Decimal(writablePIT.load()));
    SetOptionalParam("snapName", snapName);
    SetOptionalParam("supportDNFS", supportDNFS ? "1" : "0");
    SetOptionalParam("caseSensitive", caseSensitiveArg ? "1" : "0");
    SetOptionalParam("protocols", protocolsArg);
}

// A PIT share is named "<store path>-<snap>": its store is the path before the
// last "-". A PIT view is read-only unless it is writable.
std::string BackupFSMExport::StorePath(bool& readOnly) const {
    std::string path = GetPath();
    if (exportType != EXPORT_TYPE_PIT) return path;
    const std::string::size_type dash = path.rfind('-');
    if (dash != std::string::npos) path.erase(dash);
    readOnly = writablePIT.load() == 0;
    return path;
}

void BackupFSMExport::FillStoreConfig(const std::string& storePath, uint32_t mode, bool readOnly,
                                      time_t snapshotTimeArg, const std::string& snapName,
                                      bool caseSensitiveArg, uint32_t versionIntervalArg) {
    storeConfig.storePath = storePath;
    storeConfig.subClientId = subClientID;
    storeConfig.defaultAttribs.mode = mode;
    storeConfig.defaultAttribs.uid = 0;
    storeConfig.defaultAttribs.gid = 0;
    storeConfig.extentSize = extentSize;
    storeConfig.timeoutUntilBackup = timeoutUntilBackup;
    storeConfig.snapshotTime = static_cast<int64_t>(snapshotTimeArg);
    storeConfig.guidCacheBytes = guidCacheBytes;
    storeConfig.versionCacheBytes = versionCacheBytes;
    storeConfig.attribCacheEntries = attribCacheEntries;
    storeConfig.xattrCacheEntries = xattrCacheEntries;
    storeConfig.dirCacheEntries = dirCacheEntries;
    storeConfig.maxPath = ::GetMaxPath();
    storeConfig.flushAfterCount = flushAfterCount;
    storeConfig.flushAfterSeconds = kFlushAfterSeconds;
    storeConfig.readOnly = readOnly;
    storeConfig.writablePIT = writablePIT.load() == 1;
    storeConfig.copyPrecedence = copyPrecedence.load();
    storeConfig.snapName =
        snapName.empty() ? std::to_string(static_cast<int64_t>(snapshotTimeArg)) : snapName;
    {
        ZelCriticalSectionLock lock(settingsCS);
        storeConfig.backupFilter = backupFilter;
    }
    storeConfig.caseSensitive = caseSensitiveArg;
    storeConfig.versionInterval = versionIntervalArg;
    storeConfig.enabledVersions = enabledVersions.load() != 0;
    storeConfig.isPIT = exportType == EXPORT_TYPE_PIT;
}

bool BackupFSMExport::OpenRoot(const std::string& storePath) {
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    const std::string rootGuid = container->getRootGuid(objStoreIndex);
    std::string rootPath;
    container->guidToPath(objStoreIndex, rootGuid, rootPath);
    if (rootPath.empty()) {
        BFSM_LOG(-1, "ERROR: Root path is empty for rootGUID [%s]", rootGuid.c_str());
        CloseStore();
        return false;
    }
    rootHandle = boost::make_shared<BackupFSMFileHandle>(GetShareId(), rootGuid.c_str(), rootPath);
    if (!rootHandle->valid) {
        BFSM_LOG(-1, "ERROR: failed to get file handle for rootGUID [%s] and rootPath [%s]",
                 rootGuid.c_str(), rootPath.c_str());
        rootHandle.reset();
        CloseStore();
        return false;
    }
    BFSM_LOG(1, "Object Store [%s] opened and root GUID [%s]", storePath.c_str(),
             rootGuid.c_str());
    return true;
}

// A failed init must not leave its store open: nobody else would close it.
void BackupFSMExport::CloseStore() {
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    const CPelError error = container->closeObjectStore(objStoreIndex);
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to close ObjectStore index [%lu]: %s", objStoreIndex,
                 error.AsString().c_str());
    }
}

int BackupFSMExport::FetchEnabledVersions() {
    bool needed = false;
    Subclient subclient(subClientID);
    subclient.getQuayVersionSupportNeeded(needed, nullptr);
    if (needed) {
        BFSM_LOG(1, "SubclientID [%lu] bEnableVersions = True ", subClientID);
        return 1;
    }
    BFSM_LOG(1, "SubclientID [%lu] bEnableVersions = False ", subClientID);
    return 0;
}

void BackupFSMExport::RebuildFromOptionalParams() {
    std::string value;
    {
        ZelCriticalSectionLock lock(settingsCS);
        if (GetOptionalParam("uid", value)) userIds = value;
        if (GetOptionalParam("gid", value)) groupIds = value;
    }
    if (GetOptionalParam("subClientID", value)) subClientID = ParseU32(value);
    if (GetOptionalParam("exportType", value)) exportType = static_cast<ExportType>(ParseInt(value));
    if (GetOptionalParam("extentSize", value)) extentSize = ParseU32(value);
    if (GetOptionalParam("timeoutUntilBackup", value)) timeoutUntilBackup = ParseU32(value);
    if (GetOptionalParam("snapshotTime", value)) {
        snapshotTime = static_cast<int64_t>(ParseU64(value));
    }
    if (GetOptionalParam("guidCacheBytes", value)) guidCacheBytes = ParseU32(value);
    if (GetOptionalParam("versionCacheBytes", value)) versionCacheBytes = ParseU32(value);
    if (GetOptionalParam("attribCacheEntries", value)) attribCacheEntries = ParseInt(value);
    if (GetOptionalParam("xattrCacheEntries", value)) xattrCacheEntries = ParseInt(value);
    if (GetOptionalParam("dirCacheEntries", value)) dirCacheEntries = ParseInt(value);
    if (GetOptionalParam("flushAfterCount", value)) flushAfterCount = ParseU32(value);
    if (GetOptionalParam("flushAfterSeconds", value)) flushAfterSeconds = ParseU32(value);
    if (GetOptionalParam("enabledVersions", value)) {
        enabledVersions.store(ParseInt(value));
        BFSM_LOG(1, "enabledVersions = %d", enabledVersions.load());
    }
    if (GetOptionalParam("copyPrecedence", value)) {
        copyPrecedence.store(ParseU32(value));
        BFSM_LOG(1, "copyPrecedence = %d", static_cast<int>(copyPrecedence.load()));
    }
    if (GetOptionalParam("writablePIT", value)) {
        writablePIT.store(ParseU32(value));
        BFSM_LOG(1, "writablePIT = %d", static_cast<int>(writablePIT.load()));
    }
    if (GetOptionalParam("backupFilter", value)) {
        // The filter is kept: a rebuilt export must back up what it did before.
        BFSM_LOG(1, "backupFilter = %s", value.c_str());
        ZelCriticalSectionLock lock(settingsCS);
        backupFilter = value;
    }
    if (GetOptionalParam("supportDNFS", value)) {
        supportDNFS = ParseInt(value) != 0;
        BFSM_LOG(1, "supportDNFS = %s", value.c_str());
    }
}

void BackupFSMExport::GetFileHandle(const CPelIPAddr&, nfs_fh3& handle) {
    if (!rootHandle) {
        handle.length = 0;
        return;
    }
    rootHandle->ToNfsFH(handle);
}

int BackupFSMExport::GetFSModuleType() { return kFsmType; }

void BackupFSMExport::SetUserIds(std::string& ids) {
    {
        ZelCriticalSectionLock lock(settingsCS);
        userIds = ids;
    }
    populateUidSet();
}

void BackupFSMExport::SetGroupIds(std::string& ids) {
    {
        ZelCriticalSectionLock lock(settingsCS);
        groupIds = ids;
    }
    populateGidSet();
}

std::string BackupFSMExport::GetUserIds() {
    ZelCriticalSectionLock lock(settingsCS);
    return userIds;
}

std::string BackupFSMExport::GetGroupIds() {
    ZelCriticalSectionLock lock(settingsCS);
    return groupIds;
}

void BackupFSMExport::populateUidSet() { RebuildSet(GetUserIds(), uidSet); }

void BackupFSMExport::populateGidSet() { RebuildSet(GetGroupIds(), gidSet); }

// Parsed outside the lock and swapped in whole: a test sees the old set or the
// new one, never a partial one.
void BackupFSMExport::RebuildSet(const std::string& text, std::set<unsigned int>& set) {
    std::set<unsigned int> parsed = ParseIdSet(text);
    ZelCriticalSectionLock lock(idSetCS);
    set.swap(parsed);
}

bool BackupFSMExport::isUserIdAllowed(unsigned int uid) {
    ZelCriticalSectionLock lock(idSetCS);
    return uidSet.empty() || uidSet.count(uid) != 0;
}

bool BackupFSMExport::isGroupIdAllowed(unsigned int gid) {
    ZelCriticalSectionLock lock(idSetCS);
    return gidSet.empty() || gidSet.count(gid) != 0;
}

int BackupFSMExport::SetEnabledVersions(int enabled) {
    enabledVersions.store(enabled);
    return 0;
}

void BackupFSMExport::GetBackupFilter(std::string& filter) {
    ZelCriticalSectionLock lock(settingsCS);
    filter = backupFilter;
}

void BackupFSMExport::SetBackupFilter(std::string& filter) {
    ZelCriticalSectionLock lock(settingsCS);
    backupFilter = filter;
}
