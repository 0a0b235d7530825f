#include "daemon/metrics/StoreUsage.h"

#include <ftw.h>

#include <cstdlib>
#include <exception>
#include <map>
#include <memory>

#include "host/FSMCache.h"
#include "objectstore/PathRules.h"
#include "objectstore/StoreEngine.h"

namespace {

// nftw keeps no caller's pointer: the walk of this thread adds up here.
thread_local uint64_t tWalkBytes = 0;

int AddBlocks(const char*, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_F) tWalkBytes += static_cast<uint64_t>(st->st_blocks) * 512;
    return 0;
}

uint64_t DiskBytes(const std::string& folder) {
    tWalkBytes = 0;
    nftw(folder.c_str(), AddBlocks, 16, FTW_PHYS);
    return tWalkBytes;
}

uint64_t Number(const std::map<std::string, std::string>& values, const char* name) {
    auto found = values.find(name);
    return found == values.end() ? 0 : strtoull(found->second.c_str(), nullptr, 10);
}

}  // namespace

std::string StoreUsage::StoreOfShare(const std::string& sharePath, bool pointInTime) {
    if (!pointInTime) return sharePath;
    const size_t dash = sharePath.rfind('-');
    const size_t slash = sharePath.rfind('/');
    return dash == std::string::npos || (slash != std::string::npos && dash < slash) ? sharePath
                                                                                       : sharePath.substr(0, dash);
}

bool StoreUsage::MeasureOne(const std::string& dataRoot, const std::string& storePath, StoreFigures& figures) {
    try {
        const std::shared_ptr<ObjectStore::StoreEngine> engine =
            ObjectStore::StoreEngine::FindShared(dataRoot + "/" + ObjectStore::StoreFolderName(storePath));
        if (!engine) return false;
        std::map<std::string, std::string> values;
        for (const auto& pair : engine->Stats()) values.insert(pair);
        figures.store = storePath;
        figures.files = Number(values, "Files");
        figures.directories = Number(values, "Directories");
        figures.symlinks = Number(values, "Symbolic links");
        figures.versions = Number(values, "Versions");
        figures.logicalBytes = Number(values, "Logical bytes");
        figures.storedBytes = Number(values, "Stored bytes");
        figures.diskBytes = DiskBytes(engine->Folder());
        return true;
    } catch (const std::exception&) {
        // A store that cannot tell now is left out of this measurement.
        return false;
    }
}

std::vector<StoreFigures> StoreUsage::Measure(const std::vector<std::string>& storePaths) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (storePaths == measured_ && now - at_ < maxAge_) return figures_;
    figures_.clear();
    // The module makes the disk cache as it serves its first share; before
    // that there is no store to measure.
    if (FSMCache::spFsmCache) {
        const std::string root = FSMCache::spFsmCache->GetDiskCacheConfig().path;
        for (const std::string& store : storePaths) {
            StoreFigures figures;
            if (MeasureOne(root, store, figures)) figures_.push_back(figures);
        }
    }
    measured_ = storePaths;
    at_ = now;
    return figures_;
}
