// The module object: identity, the singleton, one-time initialisation and unload.
#include "module/fsm/BackupFSM.h"

#include "configclient/ZELMMIdxInfo.h"
#include "host/FSMCache.h"
#include "host/QuayServiceGlobals.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ReExport.h"
#include "platform/ZELPlatformInfo.h"

namespace {
const char* const kRegistrySection = "Quay";
const int kFSMType = 4;
const int kInProgressTimerTask = 3;
const unsigned long kInProgressTimerPeriodMs = 60000;
}  // namespace

extern "C" FSM* LoadFSM() {
    return BackupFSM::GetFSM();
}

BackupFSM::~BackupFSM() {
    for (ZelThread& thread : exportThreads) {
        if (thread.IsRunning()) thread.Join();
    }
}

std::string BackupFSM::GetFSMName() {
    return "BackupFSM";
}

int BackupFSM::GetFSMType() {
    return kFSMType;
}

std::string BackupFSM::GetFSMDetails() {
    return "Using this FSM, NFS Clients can use the exported NFS share as backup target.";
}

BackupFSM* BackupFSM::GetFSM() {
    if (backupFSM == nullptr) backupFSM = new BackupFSM();
    return backupFSM;
}

ObjectStore::ObjectContainer* BackupFSM::GetObjContainer() {
    return objectContainer;
}

// Creates and initialises the one container on the shared disk cache. A
// container whose init failed is discarded, so the next call starts afresh
// instead of running on an uninitialised container.
static bool InitObjectContainer(const boost::shared_ptr<FSMCache>& cache) {
    if (BackupFSM::objectContainer != nullptr) return true;
    const ObjectStore::DiskCacheConfig settings = cache->GetDiskCacheConfig();
    ObjectStore::ObjectContainerConfig config;
    config.dataRoot = settings.path;
    config.cacheHighWatermarkPct = settings.highWatermarkPct;
    config.cacheLowWatermarkPct = settings.lowWatermarkPct;
    config.cacheWarnWatermarkPct = settings.warnWatermarkPct;
    config.maxOpenStores = settings.maxOpenStores;
    config.flags = settings.flags;
    config.diskCache = cache->getDiskCache();
    config.useDiskCache = true;

    BackupFSM::objectContainer = new ObjectStore::ObjectContainer();
    if (BackupFSM::objectContainer->init(config).IsError()) {
        BFSM_LOG(-1, "ERROR: Could not initialize objectContainer");
        delete BackupFSM::objectContainer;
        BackupFSM::objectContainer = nullptr;
        return false;
    }
    return true;
}

// Tells the management server that this server's index cache is online. The
// outcome is logged only: it does not decide whether the module starts.
static void ReportIndexCacheOnline() {
    BFSM_LOG(1, "Cache Migration not in Progress. Setting Cache Status Online");
    ZELMMIdxInfo indexInfo(2, QuayServiceGlobals::clientName, 3);
    const unsigned long cacheId = indexInfo.getCacheIDForMA();
    if (indexInfo.setIndexCacheOnlineOffline(cacheId, true, 0) != 0) {
        BFSM_LOG(-1, "ERROR: Cache Status set failed.");
    } else {
        BFSM_LOG(1, "INFO: Cache status set Online on QX");
    }
}

BackupFSM* BackupFSM::FSMInit() {
    ZelCriticalSectionLock lock(initCS);
    if (fsmInited) return GetFSM();

    const CPelError cacheError = FSMCache::InitDiskCache();
    if (cacheError.IsError()) {
        BFSM_LOG(-1, "Error: Failed to initialize disk cache [%s]", cacheError.AsString().c_str());
        return nullptr;
    }
    if (!InitObjectContainer(FSMCache::spFsmCache)) return nullptr;

    LoadBackupFSMRegKeys();
    if (!objectContainer->isCacheMigrationInProgress()) ReportIndexCacheOnline();

    GetFSM();
    fsmInited = true;
    gQuayTimerObj.Register(kInProgressTimerTask, &BackupFSM::SetInProgressFlag,
                           kInProgressTimerPeriodMs, 0, nullptr);
    return GetFSM();
}

void BackupFSM::LoadBackupFSMRegKeys() {
    ZELPlatformInfo registry;
    unsigned long value = 0;

    if (!registry.getNumber(kRegistrySection, "nEnableSMBObjectStore", &value)) {
        BFSM_LOG(1, "Info: nEnableSMBObjectStore not found, SMB Support Disabled for BackupFSM");
        BackupFSMGlobals::isSambaEnabledForBackupFSM = 0;
    } else if (static_cast<uint32_t>(value) != 0) {
        BackupFSMGlobals::isSambaEnabledForBackupFSM = gIsSambaEnabled == 1 ? 1 : 0;
        if (BackupFSMGlobals::isSambaEnabledForBackupFSM == 1) {
            BFSM_LOG(1, "Info: SMB Support for BackupFSM Enabled");
        } else {
            BFSM_LOG(1, "Info: Enable nUSESAMBA along with nEnableSMBObjectStore to get SMB support "
                        "for BackupFSM");
        }
    } else {
        BackupFSMGlobals::isSambaEnabledForBackupFSM = 0;
        BFSM_LOG(1, "Info: SMB Support for BackupFSM Disabled");
    }

    if (registry.getNumber(kRegistrySection, "nSyncInterval", &value)) {
        BackupFSMGlobals::syncInterval = static_cast<unsigned int>(value);
    }
    BFSM_LOG(1, "Info: nSyncInterval = [%u] seconds", BackupFSMGlobals::syncInterval);

    if (registry.getNumber(kRegistrySection, "nVersionIntervalMins", &value)) {
        const uint32_t minutes = static_cast<uint32_t>(value);
        BFSM_LOG(1, "Info: nVersionIntervalMins = [%u] mins", minutes);
        // Unsigned arithmetic: a huge registry value wraps instead of overflowing.
        BackupFSMGlobals::versionInterval = static_cast<int>(minutes * 60u);
    }
}

bool BackupFSM::UnloadFSM() {
    timerEvent.Set();
    for (ZelThread& thread : exportThreads) {
        if (thread.IsRunning()) thread.Join();
    }
    WaitForReExportThreads();
    {
        ZelCriticalSectionLock lock(initCS);
        delete objectContainer;
        objectContainer = nullptr;
    }
    if (backupFSM == this) backupFSM = nullptr;
    return true;
}
