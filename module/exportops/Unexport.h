// Taking shares down: one export by its path, or a live store together with
// every point-in-time view of it.
#pragma once
#include <string>

#include "host/NfsTypes.h"

struct QuayBackupExportResp;

// Removes the export served at sharePath: its Samba share (when it has one)
// and Ganesha export, its open store, its place in the export cache and its
// share id; then saves the mount point table. subclientId is not used.
// Resets *response on entry. True when an export was found and removed.
// False with code 1 "shareID not found" when the path has no share id
// (nothing touched); with code 2 "Share not exported." when the id has no
// export (the id is freed); with code 2 "Wrong export object" when the id is
// served by another module's export (nothing touched). Takes no lock of its
// own; callers serialise export operations.
bool Unexport(unsigned long subclientId, std::string& sharePath, QuayBackupExportResp* response);

// Serves the un-export request. For a live store (exportType 1) first
// removes every PIT view named in snapDetails (read from the subclient when
// empty), carrying on past failures, then the store's own export. For a PIT
// view (2) removes that view and clears the subclient's in-progress flag.
// The result and *response are those of the final Unexport.
bool HandleUnexport(unsigned long subclientId, std::string& sharePath, std::string& snapDetails,
                    ExportType exportType, QuayBackupExportResp* response);
