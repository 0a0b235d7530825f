// Retry of the subclients' configuration-in-progress flag, once per timer tick.
#include "configclient/Subclient.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"

void BackupFSM::AddToInprogressList(int subclientId) {
    ZelCriticalSectionLock lock(inProgressCS);
    inProgressList.push_back(subclientId);
}

// Runs on the host's timer thread. Holds inProgressCS across the whole walk so
// ids added meanwhile wait for the next tick.
ZELTimerErrno BackupFSM::SetInProgressFlag(void* /*argument*/) {
    ZelCriticalSectionLock lock(inProgressCS);
    if (inProgressList.empty()) return 0;

    // Flush the client's cache so the look-ups below see current data.
    BFSM_LOG(4, "INFO: Flushing App manager client side code");
    EnableAppMgrClientMessageCache(false);
    EnableAppMgrClientMessageCache(true);

    for (auto it = inProgressList.begin(); it != inProgressList.end();) {
        const int id = *it;
        // The id was cut to 32 bits when it was added; widen it back with its sign.
        Subclient subclient(static_cast<unsigned long>(static_cast<long>(id)));
        if (subclient.lookup(nullptr) == ZEL_SUBCLIENT_NOT_FOUND) {
            BFSM_LOG(-1, "ERROR: Subclient [%d] is missing. Removing subclient form timer task list "
                         "(in process flag reset)", id);
            it = inProgressList.erase(it);
            continue;
        }
        if (subclient.setQuayConfigOperationInProgress(false, nullptr) != 0) {
            BFSM_LOG(-1, "ERROR: Failed to set in progress flag for subcleint id [%d]", id);
            ++it;
            continue;
        }
        BFSM_LOG(1, "INFO: Reset In progress flag for subclient id [%d] is succeeded", id);
        it = inProgressList.erase(it);
    }
    return 0;
}
