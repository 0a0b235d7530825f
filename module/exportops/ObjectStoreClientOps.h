// Configuration RPCs that act on the object store behind a served share:
// passing client values to the store, and reading its backup statistics.
// Neither takes the export-operation lock; both may run beside an export
// operation and beside each other.
#pragma once
#include <cstddef>

// Request 38141986 (QuayObjectStoreClientUpdateReq): passes the two client
// texts to the open store of the share and clears the subclient's
// in-progress flag. The outputs are set to a new
// QuayObjectStoreClientUpdateResp (16 bytes, type 38141987) before any check,
// so every call answers with a record the host frees through
// ReleaseConfigRPCMem. False with its code: 19 missing subclient, 1 no share
// id or no export, 2 another module's export or the store refused, 3 a null
// request.
bool updateObjectStoreClient(void* request, char*& response, size_t& responseLength,
                             int& responseType);

// Request 38142000 (QuayBackupInfoReq): the statistics of the share's store
// as name/value texts in the library's order. The outputs are set to a new
// QuayBackupInfoResp (32 bytes, type 38142001) before any check. False with
// its code: 3 invalid argument, 28 no share id, 19 missing subclient, 2
// another module's export, 1 statistics not readable. A share id without an
// export answers true with an empty list.
bool getBackupStat(void* request, char*& response, size_t& responseLength, int& responseType);
