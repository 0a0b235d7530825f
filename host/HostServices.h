// Host control of NFS-Ganesha and Samba, and the mount point table.
// Each call is recorded (HostCallLog) so tests can assert call sequences, and
// each can be told to fail. Real work: the Ganesha export and Samba share
// definitions are written as files in <data dir>/ganesha and <data dir>/samba
// (formats in GaneshaExportConfig.h and SambaShareConfig.h), and the mount
// point table to <data dir>/mounttab: one line per served export,
// "<share id>\t<path>\t<rw|ro>", sorted by share id, with "\", tab and
// newline in the path written as "\\", "\t" and "\n". Every file is
// replaced whole (temporary file, then rename). Results are 0 or an errno
// value (EINVAL for a null export or an unknown command). All are thread-safe.
#pragma once
#include <string>
#include <vector>

#include "host/Export.h"

enum { GANESHA_CMD_REMOVE = 2 };
enum { SAMBA_CMD_CREATE = 1, SAMBA_CMD_REMOVE = 2, SAMBA_CMD_UPDATE = 4 };

int CreateGaneshaExport(ExportPtr& exp);
int UpdateGaneshaExport(ExportPtr& exp);
void ManageGaneshaExport(int command, unsigned int shareId);
int ManageSambaShare(int command, ExportPtr exp, int moduleType);
int RemoveSMBShare(const std::string& path, int moduleType);
void SaveMountPointTable();

// Test seam: the record of calls and planned failures.
namespace HostCallLog {
// One line per call, in call order, also for calls that a planned failure
// answered: "CreateGaneshaExport <id>", "UpdateGaneshaExport <id>",
// "ManageGaneshaExport <command> <id>", "ManageSambaShare <command> <id>
// <module type>", "RemoveSMBShare <path> <module type>", "SaveMountPointTable".
// A null export is written as share id 0.
std::vector<std::string> Calls();
// Forgets the calls and every planned failure.
void Clear();
// The next `count` calls of the named service (its function name) return
// `result` (non-zero) without doing their work; void services just skip it.
// A count of 0 or less cancels the plan for that service.
void FailNext(const std::string& service, int count, int result);
}  // namespace HostCallLog
