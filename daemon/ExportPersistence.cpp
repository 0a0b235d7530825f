#include "daemon/ExportPersistence.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/QuaydLog.h"
#include "daemon/SavedExportsFile.h"
#include "host/AtomicFile.h"
#include "host/ExportCache.h"
#include "host/ShareIdToPathCache.h"

namespace {

constexpr char kSubclientParam[] = "subClientID";
constexpr char kExportTypeParam[] = "exportType";
constexpr char kPitExportType[] = "2";

}  // namespace

ExportPersistence::ExportPersistence(std::string path, int moduleType, StillConfigured stillConfigured)
    : path_(std::move(path)), moduleType_(moduleType), stillConfigured_(std::move(stillConfigured)) {}

size_t ExportPersistence::Restore(FSM& module) {
    std::string text;
    const int error = SavedExportsFile::Read(path_, text);
    if (error == ENOENT) {
        QUAYD_LOG(1, "INFO: No saved exports at [%s]", path_.c_str());
        return 0;
    }
    if (error != 0) {
        QUAYD_LOG(-1, "ERROR: Cannot read saved exports [%s]: %s", path_.c_str(), strerror(error));
        KeepDamagedFile(strerror(error));
        return 0;
    }
    std::vector<SavedExport> saved;
    std::vector<std::string> problems;
    SavedExportsFile::Parse(text, saved, problems);
    for (const std::string& problem : problems) {
        QUAYD_LOG(-1, "ERROR: Saved exports [%s]: %s", path_.c_str(), problem.c_str());
    }
    if (!problems.empty()) KeepDamagedFile("damaged records");

    size_t accepted = 0;
    for (const SavedExport& entry : saved) {
        if (entry.moduleType != moduleType_) {
            QUAYD_LOG(-1, "ERROR: Saved export [%s] belongs to module type [%d], not [%d]; dropped",
                      entry.path.c_str(), entry.moduleType, moduleType_);
            continue;
        }
        // Reserve the id first: a share created meanwhile cannot take it.
        if (!ShareIdToPathCache::AddToExportPathToIdMap(entry.path, entry.shareId)) {
            QUAYD_LOG(-1, "ERROR: Share ID [%u] of saved export [%s] is taken; dropped", entry.shareId,
                      entry.path.c_str());
            continue;
        }
        ExportPtr hostExport = SavedExportsFile::ToExport(entry);
        ExportPtr created;
        if (module.CreateExport(hostExport, created)) {
            ++accepted;
            QUAYD_LOG(1, "INFO: Restored saved export [%s] with share ID [%u]", entry.path.c_str(), entry.shareId);
        } else {
            QUAYD_LOG(-1, "ERROR: The module did not accept saved export [%s] with share ID [%u]",
                      entry.path.c_str(), entry.shareId);
        }
        if (created) gAllExports->AddExport(created);
        std::lock_guard<std::mutex> lock(mutex_);
        pending_[entry.path] = entry;
    }
    // A damaged file was moved aside: write the good records back at once.
    if (!problems.empty()) Save(true);
    return accepted;
}

void ExportPersistence::Forget(const std::string& path, bool withViews) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string viewPrefix = path + "-";
    for (auto it = pending_.begin(); it != pending_.end();) {
        auto type = it->second.params.find(kExportTypeParam);
        const bool isView = withViews && it->first.compare(0, viewPrefix.size(), viewPrefix) == 0 &&
                            type != it->second.params.end() && type->second == kPitExportType;
        if (it->first == path || isView) {
            QUAYD_LOG(1, "INFO: Saved export [%s] forgotten after un-export", it->first.c_str());
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

int ExportPersistence::Save(bool force) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string text = SavedExportsFile::Format(CurrentLocked());
    if (!force && haveWritten_ && text == written_) return 0;
    const int error = AtomicFile::Write(path_, text);
    if (error != 0) {
        QUAYD_LOG(-1, "ERROR: Cannot save exports to [%s]: %s", path_.c_str(), strerror(error));
        return error;
    }
    written_ = text;
    haveWritten_ = true;
    return 0;
}

std::vector<SavedExport> ExportPersistence::Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CurrentLocked();
}

std::vector<SavedExport> ExportPersistence::CurrentLocked() {
    std::map<unsigned int, SavedExport> byId;
    std::map<std::string, unsigned int> served;
    std::map<unsigned int, std::string> servedIds;
    for (const ExportPtr& exp : gAllExports->List()) {
        if (exp->GetFSModuleType() != moduleType_) continue;
        SavedExport saved = SavedExportsFile::FromExport(*exp);
        served[saved.path] = saved.shareId;
        servedIds[saved.shareId] = saved.path;
        byId[saved.shareId] = saved;
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (StillPendingLocked(it->second, served, servedIds)) {
            byId[it->second.shareId] = it->second;
            ++it;
        } else {
            it = pending_.erase(it);
        }
    }
    std::vector<SavedExport> exports;
    for (const auto& entry : byId) exports.push_back(entry.second);
    return exports;
}

bool ExportPersistence::StillPendingLocked(const SavedExport& saved, const std::map<std::string, unsigned int>& served,
                                           const std::map<unsigned int, std::string>& servedIds) {
    if (served.count(saved.path) != 0) return false;  // back again; saved from the export cache
    if (servedIds.count(saved.shareId) != 0) {
        QUAYD_LOG(-1, "ERROR: Saved export [%s] dropped: share ID [%u] now serves [%s]", saved.path.c_str(),
                  saved.shareId, servedIds.at(saved.shareId).c_str());
        return false;
    }
    auto subclient = saved.params.find(kSubclientParam);
    if (subclient == saved.params.end()) return true;
    const unsigned long id = strtoul(subclient->second.c_str(), nullptr, 10);
    if (stillConfigured_(id, saved.path)) return true;
    QUAYD_LOG(1, "INFO: Saved export [%s] dropped: subclient [%lu] no longer gives it to this server",
              saved.path.c_str(), id);
    if (ShareIdToPathCache::GetPathForShareId(saved.shareId) == saved.path) {
        ShareIdToPathCache::FreeShareId(saved.shareId, false);
    }
    return false;
}

void ExportPersistence::KeepDamagedFile(const std::string& why) {
    const std::string kept = path_ + ".bad";
    if (::rename(path_.c_str(), kept.c_str()) == 0) {
        QUAYD_LOG(-1, "WARN: Saved exports [%s] kept as [%s] (%s)", path_.c_str(), kept.c_str(), why.c_str());
    }
}
