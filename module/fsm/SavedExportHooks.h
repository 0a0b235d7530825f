// What the host's saved exports tell the module at start: the share id each
// saved share had, and, for the stale clean-up after the re-export at start,
// each saved share's subclient, snapshot time and snap name.
#pragma once
#include <ctime>
#include <map>
#include <string>

#include "platform/ZelCriticalSection.h"

// One saved share, as its optional parameters recorded it.
struct ShareData {
    unsigned long subclientId = 0;  // narrowed to 32 bits when read
    time_t snapshotTime = 0;        // seconds
    std::string snapName;
};

// Saved shares by share path. The re-export at start removes each share the
// configuration database still gives to this server; what is left is stale.
extern std::map<std::string, ShareData> sharesInExportsFile;  // guarded by oldShareListLock
extern ZelCriticalSection oldShareListLock;

// Removes the Samba share entry of path when shares are served through
// NFS-Ganesha; a failure is logged only. Thread-safe.
void cleanupSMBShare(std::string path);
