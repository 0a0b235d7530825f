// The host's table of served exports, keyed by share id. Thread-safe.
#pragma once
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "host/Export.h"

class ExportCache {
public:
    // True and the export when one with this share id is served.
    bool FindExport(unsigned int shareId, ExportPtr& exp);
    // Adds (or replaces) the export under its share id. False for a null pointer.
    bool AddExport(ExportPtr& exp);
    // Removes the export when it is the one served under its share id.
    bool RemoveExport(ExportPtr& exp);
    std::vector<ExportPtr> List();
    void Clear();

private:
    // Every request finds its export here, changes are rare: readers share it.
    std::shared_mutex mutex_;
    std::map<unsigned int, ExportPtr> exports_;  // guarded by mutex_
};

extern ExportCache* gAllExports;
