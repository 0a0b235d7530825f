#include "platform/ZelDataDir.h"

#include <stdlib.h>

std::string ZelDataDir() {
    const char* env = getenv("QUAY_DATA_DIR");
    if (env == nullptr || env[0] == '\0') return "/var/lib/quay";
    // Callers append "/name"; drop trailing slashes so paths stay clean.
    std::string dir(env);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}
