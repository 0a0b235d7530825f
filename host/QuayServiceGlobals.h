// Host-wide settings and services that modules read.
#pragma once
#include <string>

#include "platform/ZelTimer.h"

namespace QuayServiceGlobals {
extern bool isGanesha;               // shares are served through NFS-Ganesha
extern bool networkServicesStarted;
extern bool portMapperRegistered;
typedef int (*SetupNWSvcCallback)(int, int);
extern SetupNWSvcCallback setupNWSvcCB;  // brings network services up
extern std::string clientName;       // this server's client name
}  // namespace QuayServiceGlobals

extern int gIsSambaEnabled;  // 1 when the host runs Samba
extern ZelTimer gQuayTimerObj;
