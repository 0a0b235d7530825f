#include "module/filehandle/FileHandleToExport.h"

#include "module/export/BackupFSMExport.h"

std::map<std::string, boost::shared_ptr<BackupFSMExport>> FileHandleToExport::fhToExportMap;
ZelCriticalSection FileHandleToExport::exportMapCS;

bool FileHandleToExport::Add(std::string& key, boost::shared_ptr<BackupFSMExport> exp) {
    // The replaced entry is released after the lock, never under it.
    boost::shared_ptr<BackupFSMExport> previous = std::move(exp);
    {
        ZelCriticalSectionLock lock(exportMapCS);
        fhToExportMap[key].swap(previous);
    }
    return true;
}

bool FileHandleToExport::Remove(std::string& key) {
    boost::shared_ptr<BackupFSMExport> removed;
    {
        ZelCriticalSectionLock lock(exportMapCS);
        auto it = fhToExportMap.find(key);
        if (it == fhToExportMap.end()) return true;
        removed.swap(it->second);
        fhToExportMap.erase(it);
    }
    return true;
}

bool FileHandleToExport::find(std::string& key, boost::shared_ptr<BackupFSMExport>& exp) {
    exp.reset();
    ZelCriticalSectionLock lock(exportMapCS);
    auto it = fhToExportMap.find(key);
    if (it == fhToExportMap.end()) return false;
    exp = it->second;
    return true;
}
