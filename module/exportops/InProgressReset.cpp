#include "module/exportops/InProgressReset.h"

#include "configclient/Subclient.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"

void ResetConfigInProgress(Subclient& subclient, unsigned long subclientId) {
    if (subclient.setQuayConfigOperationInProgress(false, nullptr) == 0) return;
    BFSM_LOG(-1, "ERROR: Failed to reset in progress flag. Timer task will be created to reset "
                 "the flag");
    BackupFSM::AddToInprogressList(static_cast<int>(subclientId));
}
