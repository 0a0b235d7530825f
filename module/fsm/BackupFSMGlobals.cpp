// Module-wide state, constructed when the library loads. No thread runs yet.
#include "module/fsm/BackupFSM.h"

BackupFSM* BackupFSM::backupFSM = nullptr;
ObjectStore::ObjectContainer* BackupFSM::objectContainer = nullptr;
bool BackupFSM::fsmInited = false;
ZelCriticalSection BackupFSM::initCS;
std::list<int> BackupFSM::inProgressList;
ZelCriticalSection BackupFSM::inProgressCS;
ZelEvent BackupFSM::timerEvent(false);
unsigned long BackupFSM::setWakeTime = 60000;

namespace BackupFSMGlobals {
int versionInterval = -1;
unsigned int syncInterval = 0;
std::atomic<time_t> lastSyncTime(0);
int isSambaEnabledForBackupFSM = 0;
std::map<std::string, unsigned int> oldShareAndIdMap;
ZelCriticalSection oldShareAndIdLock;
std::set<unsigned long> sharesInInit;
// Created at load and never destroyed: creations on detached threads may still
// take it while the process exits.
ZelCriticalSection* sharesInInitCS = new ZelCriticalSection();
}  // namespace BackupFSMGlobals
