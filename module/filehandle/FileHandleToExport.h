// FileHandleToExport: a process-wide table from a string key to an export.
// The module finds exports through the host's export cache by share id; this
// table is kept for callers that key exports by text.
//
// Thread safety: every operation takes exportMapCS for its whole run and does
// nothing else under it than the table access and a pointer copy.
#pragma once
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

#include "platform/ZelCriticalSection.h"

class BackupFSMExport;

class FileHandleToExport {
public:
    FileHandleToExport() = delete;

    // Sets the key's entry, replacing an earlier one. Always true.
    static bool Add(std::string& key, boost::shared_ptr<BackupFSMExport> exp);
    // Erases the key's entry if there is one. Always true.
    static bool Remove(std::string& key);
    // Empties exp, then shares the key's export when it has an entry (keys
    // compare as exact byte strings). True when found.
    static bool find(std::string& key, boost::shared_ptr<BackupFSMExport>& exp);

    static std::map<std::string, boost::shared_ptr<BackupFSMExport>>
        fhToExportMap;  // guarded by exportMapCS
    static ZelCriticalSection exportMapCS;
};
