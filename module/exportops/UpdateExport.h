// Updating a served share in place from its subclient's current settings.
#pragma once
#include <string>

#include "host/NfsTypes.h"

struct QuayBackupExportResp;

// Applies the subclient's settings to the export served at sharePath: to the
// export object, to its optional parameters, and (for the settings the store
// keeps) to its open store; then refreshes the Ganesha export and Samba share
// and clears the in-progress flag. exportType 1 reads the live store's
// properties; any other value is handled as a PIT view and reads the view's
// snapshot record. response must point to a record the caller owns; it is
// reset on entry.
//
// True when every step succeeded (code 0). On false the response holds the
// failing step's code and text; steps already applied stay (no roll-back).
// Callers serialise export operations; request threads may read the export
// meanwhile.
bool UpdateExport(unsigned long subclientId, std::string& sharePath, ExportType exportType,
                  QuayBackupExportResp* response);
