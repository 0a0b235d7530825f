// BackupFSM: the module object the host loads through LoadFSM. Module-wide
// state lives in its static members and in namespace BackupFSMGlobals.
#pragma once
#include <atomic>
#include <ctime>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/FSM.h"
#include "objectstore/ObjectContainer.h"
#include "platform/ZelCriticalSection.h"
#include "platform/ZelEvent.h"
#include "platform/ZelThread.h"
#include "platform/ZelTimer.h"

extern "C" FSM* LoadFSM();

class BackupFSM : public FSM {
public:
    ~BackupFSM() override;
    std::string GetFSMName() override;
    int GetFSMType() override;
    std::string GetFSMDetails() override;
    bool UnloadFSM() override;
    bool GenericConfigRPCHandler(void* request, const std::string& caller, unsigned rpcType,
                                 char*& response, size_t& responseLength,
                                 int& responseType) override;
    void ReleaseConfigRPCMem(int responseType, void* response) override;
    bool CreateExport(const ExportPtr& saved, ExportPtr& created) override;
    std::string FH2Str(const nfs_fh3& handle) override;
    BkEndProcPtr GetFSObject(ExportPtr& exp, const nfs_fh3& handle) override;
    void UnExport(ExportPtr& exp) override;
    void FinalizeExports() override;

    // True when the handle is one of this module's (type word 4, length 41 or 43).
    bool IsFHValid(const nfs_fh3& handle);

    static BackupFSM* GetFSM();
    // The singleton once the module is ready; null when initialisation failed.
    static BackupFSM* FSMInit();
    static void LoadBackupFSMRegKeys();
    static ObjectStore::ObjectContainer* GetObjContainer();

    static void AddToInprogressList(int subclientId);
    static ZELTimerErrno SetInProgressFlag(void* argument);

    // Period of the re-export list thread's wait, in milliseconds.
    static unsigned long setWakeTime;

    static BackupFSM* backupFSM;
    static ObjectStore::ObjectContainer* objectContainer;  // guarded by initCS
    static bool fsmInited;                                 // guarded by initCS
    static ZelCriticalSection initCS;
    static std::list<int> inProgressList;                  // guarded by inProgressCS
    static ZelCriticalSection inProgressCS;
    static ZelEvent timerEvent;

    ZelCriticalSection exportOperationCS;
    std::vector<ZelThread> exportThreads;

private:
    BackupFSM() = default;
};

namespace BackupFSMGlobals {
extern int versionInterval;           // seconds; -1 = not configured
extern unsigned int syncInterval;     // seconds
extern std::atomic<time_t> lastSyncTime;  // shared by every request thread that flushes
extern int isSambaEnabledForBackupFSM;
extern std::map<std::string, unsigned int> oldShareAndIdMap;  // guarded by oldShareAndIdLock
extern ZelCriticalSection oldShareAndIdLock;
extern std::set<unsigned long> sharesInInit;  // guarded by *sharesInInitCS
extern ZelCriticalSection* sharesInInitCS;
}  // namespace BackupFSMGlobals
