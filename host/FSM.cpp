#include "host/FSM.h"

#include <cstring>

#include "host/ExportCache.h"
#include "host/HostLog.h"

FSM::~FSM() = default;

bool FSM::FindExport(const nfs_fh3& handle, ExportPtr& exp) {
    // Bytes 4 to 7 must be part of the handle, not leftovers of the record.
    if (handle.length < 8 || handle.length > NFS3_FHSIZE_MAX) return false;
    uint32_t shareId = 0;
    memcpy(&shareId, handle.data + 4, sizeof(shareId));
    return gAllExports->FindExport(shareId, exp);
}

void FSM::PrintPerfCounters() {
    HOST_LOG(3, "INFO: No performance counters kept by FSM [%s]", GetFSMName().c_str());
}
