// SavedExport: what quayd keeps of one served export across restarts: enough
// to rebuild the host's Export and hand it to the module, which re-creates
// the share under the same share id. A value type.
#pragma once
#include <map>
#include <string>

#include "host/NfsTypes.h"

struct SavedExport {
    std::string path;
    unsigned int shareId = 0;
    int moduleType = 0;
    SharePerms perms = SHARE_PERM_READ_WRITE;
    std::string allowedClients;                  // comma-separated, as the export gives them
    std::map<std::string, std::string> params;   // the export's optional parameters
};
