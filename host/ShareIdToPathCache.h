// Share ids: the host gives each share path a stable, unique, non-zero id.
// Ids are allocated only when asked and freed explicitly. Thread-safe.
#pragma once
#include <map>
#include <string>

class ShareIdToPathCache {
public:
    // The path's id; when the path has none, a new id if allocate is true,
    // else 0. The third argument is reserved (always false here).
    static unsigned int GetShareIdForPath(const std::string& path, bool allocate, bool reserved);
    // Records that path has id (kept from before a restart). False when the id
    // is already taken by another path.
    static bool AddToExportPathToIdMap(const std::string& path, unsigned int id);
    static void FreeShareId(unsigned int id, bool reserved);
    static void FreeShareIdAux(unsigned int id);
    // Path of an id; empty when the id is free.
    static std::string GetPathForShareId(unsigned int id);
    static std::map<std::string, unsigned int> Snapshot();
    static void Clear();  // test seam
};
