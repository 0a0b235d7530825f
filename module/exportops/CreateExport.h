// Creating a share: one object store of a subclient, or a point-in-time view
// of it, becomes a served export with its share id, NFS-Ganesha export and,
// where enabled, Samba share.
#pragma once
#include <string>

#include "host/NfsTypes.h"

struct QuayBackupExportResp;

// Exports the live store (exportType 1) or the PIT view (2) at sharePath,
// with its settings read from the subclient's properties (a PIT view's from
// its snapshot record). response must point to a record the caller owns.
//
// True when the share is served; the response is then code 0 with no text.
// On false the response holds the failure's code and text (18 when the share
// or a creation for the subclient is already under way, 19 for a missing
// subclient, 1 for a failed read or init, 17 for a failed Ganesha export),
// except for a bad export type, missing or empty snap details in the
// record, no record for the path and an unreadable "ToTime", which leave it
// untouched. Nothing is left behind on failure: the share id is freed and
// the export removed again.
//
// Thread-safe: creations for different subclients may run at once; a second
// creation for a subclient whose creation is under way is answered with 18
// at once, without waiting.
bool CreateNewExport(unsigned long subclientId, std::string& sharePath, ExportType exportType,
                     QuayBackupExportResp* response);
