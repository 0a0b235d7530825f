#include "host/QuayServiceGlobals.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace {

std::string DefaultClientName() {
    const char* configured = getenv("QUAY_CLIENT_NAME");
    if (configured != nullptr && *configured != '\0') return configured;
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return "localhost";
    return name;
}

}  // namespace

namespace QuayServiceGlobals {
bool isGanesha = true;
bool networkServicesStarted = false;
bool portMapperRegistered = false;
SetupNWSvcCallback setupNWSvcCB = nullptr;
std::string clientName = DefaultClientName();
}  // namespace QuayServiceGlobals

int gIsSambaEnabled = 0;
ZelTimer gQuayTimerObj;
