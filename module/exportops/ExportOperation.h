// The export-operation RPC (request 38141978): create, update or un-export a
// share as the request record says.
#pragma once
#include <cstddef>

// Reads the QuayBackupExportReq at request and runs the operation it names
// (1 create, 2 update, 3 un-export). The outputs are set to a new
// QuayBackupExportResp (16 bytes, type 38141979) before the operation runs;
// the host frees it through ReleaseConfigRPCMem. Returns the operation's
// result; false, with code 0 and no text, for an unknown operation; false
// with code 3 for a null request. Callers hold the export-operation lock.
bool ExportOperation(void* request, char*& response, size_t& responseLength, int& responseType);
