#include "host/HostServices.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "host/AtomicFile.h"
#include "host/ExportCache.h"
#include "host/GaneshaExportConfig.h"
#include "host/HostCallRecord.h"
#include "host/HostLog.h"
#include "host/SambaShareConfig.h"
#include "platform/ZelDataDir.h"

namespace {

// One writer at a time for the service files: a create and a remove of the
// same share must not interleave.
std::mutex& FilesMutex() {
    static std::mutex* mutex = new std::mutex();  // never destroyed
    return *mutex;
}

unsigned int ShareIdOf(const ExportPtr& exp) { return exp ? exp->GetShareId() : 0; }

int WriteGaneshaExport(const char* service, ExportPtr& exp) {
    int planned = 0;
    if (HostCallLog::RecordCall(service, std::to_string(ShareIdOf(exp)), planned)) return planned;
    if (!exp) {
        HOST_LOG(-1, "ERROR: %s without an export", service);
        return EINVAL;
    }
    std::string text;
    int error = GaneshaExportConfig::Render(*exp, text);
    if (error != 0) return error;
    const std::string file = GaneshaExportConfig::FilePath(ZelDataDir(), exp->GetShareId());
    std::lock_guard<std::mutex> lock(FilesMutex());
    error = AtomicFile::Write(file, text);
    if (error != 0) {
        HOST_LOG(-1, "ERROR: Writing Ganesha export [%s] failed: %s", file.c_str(),
                 strerror(error));
        return error;
    }
    HOST_LOG(2, "INFO: Ganesha export [%u] for [%s] written", exp->GetShareId(),
             exp->GetPath().c_str());
    return 0;
}

// Removes every Samba share file whose path is `path`. 0 or an errno value.
int RemoveSambaSharesForPathLocked(const std::string& path) {
    const std::string dir = SambaShareConfig::Dir(ZelDataDir());
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return errno == ENOENT ? 0 : errno;
    int result = 0;
    while (struct dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.compare(0, 6, "share_") != 0) continue;
        const std::string file = dir + "/" + name;
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        if (SambaShareConfig::PathOf(text.str()) != path) continue;
        int error = AtomicFile::Remove(file);
        if (error != 0) result = error;
    }
    closedir(listing);
    return result;
}

// "\t", "\n" and "\\" in a path are escaped so that each line stays one entry.
std::string EscapeField(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

int CreateGaneshaExport(ExportPtr& exp) { return WriteGaneshaExport("CreateGaneshaExport", exp); }

int UpdateGaneshaExport(ExportPtr& exp) { return WriteGaneshaExport("UpdateGaneshaExport", exp); }

void ManageGaneshaExport(int command, unsigned int shareId) {
    int planned = 0;
    if (HostCallLog::RecordCall("ManageGaneshaExport",
                                std::to_string(command) + " " + std::to_string(shareId), planned)) {
        return;
    }
    if (command != GANESHA_CMD_REMOVE) {
        HOST_LOG(-1, "ERROR: Unknown Ganesha export command [%d] for share ID [%u]", command,
                 shareId);
        return;
    }
    std::lock_guard<std::mutex> lock(FilesMutex());
    int error = AtomicFile::Remove(GaneshaExportConfig::FilePath(ZelDataDir(), shareId));
    if (error != 0) {
        HOST_LOG(-1, "ERROR: Removing Ganesha export [%u] failed: %s", shareId, strerror(error));
    }
}

int ManageSambaShare(int command, ExportPtr exp, int moduleType) {
    int planned = 0;
    if (HostCallLog::RecordCall("ManageSambaShare",
                                std::to_string(command) + " " + std::to_string(ShareIdOf(exp)) +
                                    " " + std::to_string(moduleType),
                                planned)) {
        return planned;
    }
    if (!exp) {
        HOST_LOG(-1, "ERROR: Samba command [%d] without an export", command);
        return EINVAL;
    }
    const std::string file = SambaShareConfig::FilePath(ZelDataDir(), exp->GetShareId());
    if (command == SAMBA_CMD_REMOVE) {
        std::lock_guard<std::mutex> lock(FilesMutex());
        int error = AtomicFile::Remove(file);
        if (error != 0) {
            HOST_LOG(-1, "ERROR: Removing Samba share [%s] failed: %s", file.c_str(),
                     strerror(error));
        }
        return error;
    }
    if (command != SAMBA_CMD_CREATE && command != SAMBA_CMD_UPDATE) {
        HOST_LOG(-1, "ERROR: Unknown Samba command [%d] for share ID [%u]", command,
                 exp->GetShareId());
        return EINVAL;
    }
    std::string text;
    int error = SambaShareConfig::Render(*exp, text);
    if (error != 0) return error;
    std::lock_guard<std::mutex> lock(FilesMutex());
    error = AtomicFile::Write(file, text);
    if (error != 0) {
        HOST_LOG(-1, "ERROR: Writing Samba share [%s] failed: %s", file.c_str(), strerror(error));
    }
    return error;
}

int RemoveSMBShare(const std::string& path, int moduleType) {
    int planned = 0;
    if (HostCallLog::RecordCall("RemoveSMBShare", path + " " + std::to_string(moduleType),
                                planned)) {
        return planned;
    }
    std::lock_guard<std::mutex> lock(FilesMutex());
    int error = RemoveSambaSharesForPathLocked(path);
    if (error != 0) {
        HOST_LOG(-1, "ERROR: Removing Samba share of [%s] failed: %s", path.c_str(),
                 strerror(error));
    }
    return error;
}

void SaveMountPointTable() {
    int planned = 0;
    if (HostCallLog::RecordCall("SaveMountPointTable", "", planned)) return;
    // Listing under the lock keeps a slower caller from writing an older table last.
    std::lock_guard<std::mutex> lock(FilesMutex());
    std::string table;
    for (const ExportPtr& exp : gAllExports->List()) {
        table += std::to_string(exp->GetShareId()) + "\t" + EscapeField(exp->GetPath()) + "\t" +
                 (exp->GetSharePerms() == SHARE_PERM_READ_WRITE ? "rw" : "ro") + "\n";
    }
    const std::string file = ZelDataDir() + "/mounttab";
    int error = AtomicFile::Write(file, table);
    if (error != 0) {
        HOST_LOG(-1, "ERROR: Saving the mount point table [%s] failed: %s", file.c_str(),
                 strerror(error));
    }
}
