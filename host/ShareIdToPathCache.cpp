#include "host/ShareIdToPathCache.h"

#include <limits>
#include <mutex>

#include "host/HostLog.h"

namespace {

// Both directions of the mapping, always changed together.
struct ShareIdTable {
    std::mutex mutex;
    std::map<std::string, unsigned int> pathToId;  // guarded by mutex
    std::map<unsigned int, std::string> idToPath;  // guarded by mutex
};

ShareIdTable& Table() {
    static ShareIdTable* table = new ShareIdTable();  // never destroyed, see ExportCache
    return *table;
}

// The smallest id not in use. Small ids keep share ids within the range that
// NFS servers accept as export ids (16 bits in NFS-Ganesha). 0 when every id
// is taken.
unsigned int SmallestFreeIdLocked(const ShareIdTable& table) {
    unsigned int candidate = 1;
    for (const auto& entry : table.idToPath) {
        if (entry.first != candidate) break;
        if (candidate == std::numeric_limits<unsigned int>::max()) return 0;
        ++candidate;
    }
    return candidate;
}

void FreeLocked(ShareIdTable& table, unsigned int id) {
    auto found = table.idToPath.find(id);
    if (found == table.idToPath.end()) {
        HOST_LOG(1, "WARN: Share ID [%u] is not in use; nothing freed", id);
        return;
    }
    table.pathToId.erase(found->second);
    table.idToPath.erase(found);
}

}  // namespace

unsigned int ShareIdToPathCache::GetShareIdForPath(const std::string& path, bool allocate,
                                                   bool /*reserved*/) {
    if (path.empty()) {
        HOST_LOG(1, "ERROR: No share ID for an empty share path");
        return 0;
    }
    ShareIdTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.pathToId.find(path);
    if (found != table.pathToId.end()) return found->second;
    if (!allocate) return 0;
    unsigned int id = SmallestFreeIdLocked(table);
    if (id == 0) {
        HOST_LOG(-1, "ERROR: No free share ID left for [%s]", path.c_str());
        return 0;
    }
    table.pathToId[path] = id;
    table.idToPath[id] = path;
    return id;
}

bool ShareIdToPathCache::AddToExportPathToIdMap(const std::string& path, unsigned int id) {
    if (path.empty() || id == 0) {
        HOST_LOG(1, "ERROR: Cannot record share ID [%u] for share path [%s]", id, path.c_str());
        return false;
    }
    ShareIdTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto owner = table.idToPath.find(id);
    if (owner != table.idToPath.end()) {
        if (owner->second == path) return true;
        HOST_LOG(1, "ERROR: Share ID [%u] of [%s] is already used by [%s]", id, path.c_str(),
                 owner->second.c_str());
        return false;
    }
    auto previous = table.pathToId.find(path);
    if (previous != table.pathToId.end()) table.idToPath.erase(previous->second);
    table.pathToId[path] = id;
    table.idToPath[id] = path;
    return true;
}

void ShareIdToPathCache::FreeShareId(unsigned int id, bool /*reserved*/) {
    ShareIdTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    FreeLocked(table, id);
}

void ShareIdToPathCache::FreeShareIdAux(unsigned int id) { FreeShareId(id, false); }

std::string ShareIdToPathCache::GetPathForShareId(unsigned int id) {
    ShareIdTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.idToPath.find(id);
    return found == table.idToPath.end() ? std::string() : found->second;
}

std::map<std::string, unsigned int> ShareIdToPathCache::Snapshot() {
    ShareIdTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.pathToId;
}

void ShareIdToPathCache::Clear() {
    ShareIdTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.pathToId.clear();
    table.idToPath.clear();
}
