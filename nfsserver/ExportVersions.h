// Which NFS versions a share is served over: its export's NFS versions
// ("3,4", "4", "3"). An export that names none (one made before versions
// were recorded) is served over both.
#pragma once
#include "host/Export.h"

class ExportVersions {
public:
    static bool Serves(const Export& exp, unsigned version);
};
