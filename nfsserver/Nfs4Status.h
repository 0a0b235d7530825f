// errno values of the file service as NFSv4 statuses: one table, the same
// steps as NfsStatusFromErrno for NFSv3, with the statuses only NFSv4 has.
#pragma once
#include "nfsserver/nfs4.h"

struct Errno4StatusRow {
    int error;
    nfsstat4 status;
};

// The table, for tests: every errno the service returns and its status.
const Errno4StatusRow* Nfs4StatusTable(size_t& rows);
// NFS4ERR_IO for an errno the table lacks.
nfsstat4 Nfs4StatusFromErrno(int error);
