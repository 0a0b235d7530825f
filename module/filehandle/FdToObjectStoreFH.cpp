#include "module/filehandle/FdToObjectStoreFH.h"

boost::unordered_map<unsigned int, boost::shared_ptr<ObjectStore::FileHandle>>
    FdToObjectStoreFH::fdTofhMap;
ZelCriticalSection FdToObjectStoreFH::fileHandleMapCS;

bool FdToObjectStoreFH::Add(int fd, boost::shared_ptr<ObjectStore::FileHandle> fh) {
    // The replaced entry is released after the lock, never under it.
    boost::shared_ptr<ObjectStore::FileHandle> previous = std::move(fh);
    {
        ZelCriticalSectionLock lock(fileHandleMapCS);
        fdTofhMap[static_cast<unsigned int>(fd)].swap(previous);
    }
    return true;
}

bool FdToObjectStoreFH::Remove(int fd) {
    boost::shared_ptr<ObjectStore::FileHandle> removed;
    {
        ZelCriticalSectionLock lock(fileHandleMapCS);
        auto it = fdTofhMap.find(static_cast<unsigned int>(fd));
        if (it == fdTofhMap.end()) return true;
        removed.swap(it->second);
        fdTofhMap.erase(it);
    }
    return true;
}

bool FdToObjectStoreFH::find(int fd, boost::shared_ptr<ObjectStore::FileHandle>& fh) {
    fh.reset();
    ZelCriticalSectionLock lock(fileHandleMapCS);
    auto it = fdTofhMap.find(static_cast<unsigned int>(fd));
    if (it == fdTofhMap.end()) return false;
    fh = it->second;
    return true;
}
